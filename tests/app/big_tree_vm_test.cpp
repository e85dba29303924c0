// A large tree through the real VM: 1,000 files in 50 folders with links, an empty folder and a
// 200 MB file, exported from a card and uploaded back, byte for byte with their modes and
// modification times; a cancel in the middle of the big file leaves no part of it on either
// side.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/browser/file_browser_view_model.h"
#include "app/core/app_state.h"
#include "app/core/service_adapters.h"
#include "app/devices/device_list_view_model.h"
#include "app_road.h"
#include "app_test_support.h"
#include "disk/disk_detection_service.h"
#include "disk/privileged_helper_client.h"
#include "disk_image.h"
#include "guest/vm_lifecycle_service.h"
#include "guest/vsock_transport.h"

namespace quorvale::app {
namespace {

using namespace quorvale::testing;
using namespace std::chrono_literals;

constexpr qint64 bigBytes = 200'000'000;

// Bytes that differ from block to block, so that a misplaced chunk shows.
void writeBigFile(const QString& path) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    std::uint64_t state = 0x9e3779b97f4a7c15ULL;
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qint64 written = 0; written < bigBytes;) {
        auto* words = reinterpret_cast<std::uint64_t*>(block.data());
        for (std::size_t i = 0; i < block.size() / sizeof *words; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            words[i] = state;
        }
        const qint64 n = std::min<qint64>(block.size(), bigBytes - written);
        ASSERT_EQ(file.write(block.constData(), n), n);
        written += n;
    }
}

void setTimes(const QString& path, time_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW);
}

// 50 folders of 20 files (sizes 0 to 40 KB, three modes, distinct times), a link in each of 10
// folders (one dangling), an empty folder and the big file.
void makeTree(const QString& root) {
    for (int d = 0; d < 50; ++d) {
        const QString folder = QStringLiteral("%1/group %2/sub%3").arg(root).arg(d % 10).arg(d);
        ASSERT_TRUE(QDir().mkpath(folder));
        for (int f = 0; f < 20; ++f) {
            const QString path = QStringLiteral("%1/file-%2.dat").arg(folder).arg(f);
            QByteArray bytes((d * 20 + f) * 41 % 40000, Qt::Uninitialized);
            for (qsizetype i = 0; i < bytes.size(); ++i)
                bytes[i] = char(i * 31 + d + f);
            writeFile(path, bytes);
            static constexpr mode_t modes[] = {0644, 0600, 0755};
            ::chmod(QFile::encodeName(path).constData(), modes[f % 3]);
            setTimes(path, 1500000000 + d * 1000 + f);
        }
        if (d % 5 == 0)
            ::symlink(d == 0 ? "nowhere" : "file-1.dat",
                      QFile::encodeName(folder + "/link").constData());
    }
    ASSERT_TRUE(QDir().mkpath(root + "/empty"));
    writeBigFile(root + "/big.bin");
    ::chmod(QFile::encodeName(root + "/big.bin").constData(), 0640);
    setTimes(root + "/big.bin", 1600000000);
}

QStringList localEntries(const QString& dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot |
                               QDir::System);
}

class BigTreeTest : public ::testing::Test {
protected:
    model::FileItem itemNamed(const QString& name) {
        for (const auto& item : browser.files())
            if (item.name == name)
                return item;
        ADD_FAILURE() << "no " << name.toStdString() << " in "
                      << browser.currentPath().toStdString();
        return {};
    }

    // Cancels the running transfer once `bytes` of it are done.
    QMetaObject::Connection cancelAfter(std::uint64_t bytes) {
        return QObject::connect(&browser, &FileBrowserViewModel::transferChanged, [this, bytes] {
            if (browser.isTransferring() && browser.transferBytesDone() >= bytes)
                browser.cancelTransfer();
        });
    }

    FileBrowserViewModel browser;
};

TEST_F(BigTreeTest, ExportedAndUploadedBackWholeAndCancelledWithoutAPartialFile) {
    ensureApplication();
    if (!vmImageAvailable())
        GTEST_SKIP() << "no VM image in the build tree";
    QTemporaryDir work;
    const QString source = work.filePath("card/tree");
    makeTree(source);
    const QStringList original = describeLocalTree(source);
    ASSERT_EQ(original.filter(".dat ").size(), 1000);
    const QString image = work.filePath("card.img");
    ASSERT_TRUE(makeLargeDiskImage(work.filePath("card"), image, 640));

    AppRoad road;
    AppState& state = road.state;
    DeviceListViewModel& devices = *road.devices;
    const std::optional<model::Device> card = road.open(image);
    ASSERT_TRUE(card);
    ASSERT_TRUE(road.waitForMounts(1, 180s));
    ASSERT_EQ(state.vmStatus(), guest::VMStatus::running())
        << state.vmStatus().description.toStdString();
    browser.fileOpService = devices.fileOpService();
    browser.currentPartition = state.selectedPartition()->bsdName;

    // Out: the whole tree, as it was made.
    const QString out = work.filePath("out");
    QDir().mkpath(out);
    run(browser.navigateTo("/"));
    TransferReport exported = run(browser.exportItems(QList{itemNamed("tree")}, out), 1800s);
    EXPECT_FALSE(exported.cancelled);
    EXPECT_EQ(exported.filesDone, 1001);
    EXPECT_EQ(treeDifference(describeLocalTree(out + "/tree"), original), QStringList());

    // A cancel in the middle of the big file keeps nothing of it, on either side.
    const QString cancelled = work.filePath("cancelled");
    QDir().mkpath(cancelled);
    run(browser.navigateTo("/tree"));
    auto stop = cancelAfter(30'000'000);
    exported = run(browser.exportItems(QList{itemNamed("big.bin")}, cancelled), 900s);
    QObject::disconnect(stop);
    EXPECT_TRUE(exported.cancelled);
    EXPECT_EQ(localEntries(cancelled), QStringList{});
    run(browser.navigateTo("/"));
    run(browser.createFolder("cancel"));
    run(browser.navigateTo("/cancel"));
    stop = cancelAfter(30'000'000);
    TransferReport uploaded = run(browser.uploadFiles(QStringList{source + "/big.bin"}), 900s);
    QObject::disconnect(stop);
    EXPECT_TRUE(uploaded.cancelled);
    EXPECT_TRUE(browser.files().isEmpty());

    // Back in: the tree uploaded into another folder, then exported again, is the same tree.
    run(browser.navigateTo("/"));
    run(browser.createFolder("back"));
    run(browser.navigateTo("/back"));
    uploaded = run(browser.uploadFiles(QStringList{source}), 1800s);
    EXPECT_FALSE(uploaded.cancelled);
    EXPECT_EQ(uploaded.filesDone, 1001);
    const QString again = work.filePath("again");
    QDir().mkpath(again);
    exported = run(browser.exportItems(QList{itemNamed("tree")}, again), 1800s);
    EXPECT_EQ(treeDifference(describeLocalTree(again + "/tree"), original), QStringList());

    run(devices.ejectDevice(*card), 120s);
    const QString part = work.filePath("part.img");
    ASSERT_TRUE(extractLargePartition(image, part));
    const auto [fsck, fsckOut] = runTool("e2fsck", {"-fn", part});
    EXPECT_EQ(fsck, 0) << fsckOut.toStdString();
    // Not even a hidden temporary is left of the cancelled upload.
    const auto [ls, lsOut] = runTool("debugfs", {"-R", "ls -p /cancel", part});
    EXPECT_EQ(ls, 0);
    EXPECT_EQ(QString::fromUtf8(lsOut).split('\n').filter(QRegularExpression("^/\\d+/")).size(),
              2)
        << lsOut.toStdString();  // "." and ".." only
}

}  // namespace
}  // namespace quorvale::app
