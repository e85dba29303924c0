// Several cards in one real VM, through the application's own road: a card plugged into the
// running VM, written while the other stays mounted, another partition of a held card, one card
// ejected while the other still lists, a boot cancelled and mounted again at once, and QEMU
// killed under the app. Afterwards debugfs shows every card holding exactly what it should.

#include <signal.h>

#include <QDir>
#include <QFile>
#include <QProcess>
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
#include "guest/qemu_launcher.h"
#include "guest/vm_lifecycle_service.h"
#include "guest/vsock_transport.h"

namespace quorvale::app {
namespace {

using namespace quorvale::testing;
using namespace std::chrono_literals;
using guest::VMStatus;

// What debugfs prints on stdout for one request on an ext4 partition image.
QByteArray debugfs(const QString& part, const QString& request) {
    QProcess process;
    process.start("debugfs", {"-R", request, part});
    process.closeWriteChannel();
    process.waitForFinished(60000);
    return process.readAllStandardOutput();
}

// The file `path` of an ext4 partition image.
QByteArray debugfsCat(const QString& part, const QString& path) {
    return debugfs(part, "cat " + path);
}

// Names in the directory `path` of an ext4 partition image.
QStringList debugfsNames(const QString& part, const QString& path) {
    QStringList names;
    for (const QByteArray& line : debugfs(part, "ls -p " + path).split('\n')) {
        const QList<QByteArray> fields = line.split('/');
        if (fields.size() >= 7 && fields[5] != "." && fields[5] != "..")
            names << QString::fromUtf8(fields[5]);
    }
    names.sort();
    return names;
}

// One card's tree: its files and their bytes.
struct Tree {
    QString root;
    std::map<QString, QByteArray> files;  // path from the root, e.g. "/docs/a.txt"

    Tree(const QString& root, const QString& tag) : root(root) {
        files["/" + tag + ".txt"] = ("the card " + tag + "\n").toUtf8();
        files["/docs/notes.txt"] = QByteArray(5000, tag.at(0).toLatin1());
        QByteArray binary;
        for (int i = 0; i < 70000; ++i)
            binary.append(char(i * 13 + tag.size()));
        files["/docs/data.bin"] = binary;
        for (const auto& [path, bytes] : files) {
            QDir().mkpath(QFileInfo(root + path).path());
            writeFile(root + path, bytes);
        }
    }
    // Fails the test unless the partition image holds exactly these files.
    void expectOn(const QString& part) const {
        for (const auto& [path, bytes] : files)
            EXPECT_EQ(debugfsCat(part, path), bytes) << path.toStdString();
        EXPECT_EQ(debugfsNames(part, "/docs"), (QStringList{"data.bin", "notes.txt"}));
    }
};

class TwoCardsVMTest : public ::testing::Test, protected AppRoad {
protected:
    void SetUp() override {
        ensureApplication();
        if (!vmImageAvailable())
            GTEST_SKIP() << "no VM image in the build tree";
    }
    // Before the images go with `work`.
    void TearDown() override { run(vmService.stopVM(), 60s); }

    model::Device open(const QString& image) {
        const auto device = AppRoad::open(image);
        EXPECT_TRUE(device);
        return device.value_or(model::Device{});
    }
    void select(const model::Partition& partition) { ASSERT_TRUE(AppRoad::select(partition)); }
    void expectRunning() { EXPECT_TRUE(running()); }

    QTemporaryDir work;
};

TEST_F(TwoCardsVMTest, EachCardGetsItsOwnWritesAndOneEjectLeavesTheOther) {
    const Tree alpha(work.filePath("alpha"), "alpha"), beta(work.filePath("beta"), "beta"),
        gamma(work.filePath("gamma"), "gamma");
    const QString first = work.filePath("first.img"), second = work.filePath("second.img");
    ASSERT_TRUE(makeDiskImage({alpha.root, beta.root}, first, work.path(), {"ALPHA", "BETA"}));
    ASSERT_TRUE(makeDiskImage({gamma.root}, second, work.path(), {"GAMMA"}));

    // The first card is auto-selected and boots the VM.
    const model::Device one = open(first);
    ASSERT_TRUE(spinUntil([&] { return mountsFinished == 1; }, 240s));
    expectRunning();
    ASSERT_EQ(state.selectedPartition()->bsdName, one.partitions[0].bsdName);
    EXPECT_EQ(list(one.partitions[0].bsdName), (QStringList{"alpha.txt", "docs", "lost+found"}));

    // The second card is plugged into the running VM.
    const model::Device two = open(second);
    // The list learns of the image from a posted event.
    ASSERT_TRUE(spinUntil([&] { return devices->devices().size() == 2; }, 10s));
    select(two.partitions[0]);
    expectRunning();
    EXPECT_EQ(vmService.diskNames(), (QStringList{one.bsdName, two.bsdName}));
    EXPECT_EQ(list(two.partitions[0].bsdName), (QStringList{"docs", "gamma.txt", "lost+found"}));

    // Written while the first card stays mounted: the file lands on the second only.
    QByteArray payload;
    for (int i = 0; i < 300000; ++i)
        payload.append(char(i * 7 + 3));
    writeFile(work.filePath("upload.bin"), payload);
    FileBrowserViewModel browser;
    browser.fileOpService = devices->fileOpService();
    browser.currentPartition = two.partitions[0].bsdName;
    run(browser.navigateTo("/docs"), 60s);
    run(browser.uploadFiles({work.filePath("upload.bin")}), 120s);
    ASSERT_FALSE(browser.error()) << browser.error()->toStdString();
    EXPECT_EQ(list(one.partitions[0].bsdName, "/docs"), (QStringList{"data.bin", "notes.txt"}));

    // The second partition of the first card: its disk is held already.
    select(one.partitions[1]);
    expectRunning();
    EXPECT_EQ(list(one.partitions[1].bsdName), (QStringList{"beta.txt", "docs", "lost+found"}));
    EXPECT_EQ(vmService.diskNames().size(), 2);

    // The second card leaves; the first still lists.
    run(devices->ejectDevice(two), 120s);
    EXPECT_EQ(vmService.diskNames(), QStringList{one.bsdName});
    expectRunning();
    EXPECT_EQ(list(one.partitions[0].bsdName), (QStringList{"alpha.txt", "docs", "lost+found"}));
    // A name whose disk has left is refused, never served from the card still there.
    FileBrowserViewModel gone;
    gone.fileOpService = devices->fileOpService();
    gone.currentPartition = two.partitions[0].bsdName;
    run(gone.navigateTo("/"), 60s);
    ASSERT_TRUE(gone.error());
    EXPECT_TRUE(gone.error()->contains("not attached")) << gone.error()->toStdString();

    // The last card stops the VM.
    run(devices->ejectDevice(one), 120s);
    EXPECT_EQ(state.vmStatus(), VMStatus::stopped());
    EXPECT_FALSE(vmService.virtualMachine());

    for (int number : {1, 2})
        EXPECT_TRUE(isPartitionClean(first, number)) << "first card, partition " << number;
    EXPECT_TRUE(isPartitionClean(second));
    const QString part = work.filePath("check.img");
    ASSERT_TRUE(extractPartition(first, part, 1));
    alpha.expectOn(part);
    ASSERT_TRUE(extractPartition(first, part, 2));
    beta.expectOn(part);
    ASSERT_TRUE(extractPartition(second, part, 1));
    EXPECT_EQ(debugfsCat(part, "/docs/upload.bin"), payload);
    EXPECT_EQ(debugfsNames(part, "/docs"), (QStringList{"data.bin", "notes.txt", "upload.bin"}));
    EXPECT_EQ(debugfsCat(part, "/gamma.txt"), gamma.files.at("/gamma.txt"));
}

// Copy and paste from one card's folder into another card's through the browser: the copy is
// byte-exact on the second card and the first keeps everything. A cut across cards copies and
// keeps the originals (entries move only within a partition), says so, and stays on the
// clipboard.
TEST_F(TwoCardsVMTest, PasteFromOneCardIntoAnotherCopiesAndACutKeepsTheOriginals) {
    const Tree alpha(work.filePath("alpha"), "alpha"), gamma(work.filePath("gamma"), "gamma");
    QByteArray big;
    for (int i = 0; i < (3 << 20) + 11; ++i)
        big.append(char((i * 31) ^ (i >> 9)));
    writeFile(alpha.root + "/docs/deep/big.bin", big);
    const QString first = work.filePath("first.img"), second = work.filePath("second.img");
    ASSERT_TRUE(makeDiskImage({alpha.root}, first, work.path(), {"ALPHA"}));
    ASSERT_TRUE(makeDiskImage({gamma.root}, second, work.path(), {"GAMMA"}));
    const model::Device one = open(first);
    ASSERT_TRUE(spinUntil([&] { return mountsFinished == 1; }, 240s));
    const model::Device two = open(second);
    ASSERT_TRUE(spinUntil([&] { return devices->devices().size() == 2; }, 10s));
    select(two.partitions[0]);
    ASSERT_EQ(vmService.diskNames(), (QStringList{one.bsdName, two.bsdName}));

    // One browser, moved from card to card as the window moves it.
    FileBrowserViewModel browser;
    const auto show = [&](const model::Device& device, const QString& folder) {
        browser.connectService(devices->fileOpService(), device.partitions[0].bsdName, device.name);
        browser.reset();
        run(browser.navigateTo(folder), 60s);
        ASSERT_FALSE(browser.error()) << browser.error()->toStdString();
    };
    const auto selectNamed = [&](const QString& path) {
        browser.setSelectedFiles({path});
        ASSERT_EQ(browser.selectedItems().size(), 1) << path.toStdString();
    };

    show(one, "/");
    selectNamed("/docs");
    browser.copySelection();
    show(two, "/");
    // The second card has a /docs of its own: both are kept.
    const PlacementReport copied = run(browser.paste("/"), 180s);
    EXPECT_EQ(copied.kind, Placement::copy);
    EXPECT_EQ(copied.placed, 1);
    EXPECT_EQ(copied.paths, QStringList{"/docs 2"});
    EXPECT_FALSE(copied.originalsKept);

    show(one, "/");
    selectNamed("/alpha.txt");
    browser.cutSelection();
    show(two, "/docs");
    const PlacementReport cut = run(browser.paste("/docs"), 120s);
    EXPECT_EQ(cut.kind, Placement::copy);
    EXPECT_EQ(cut.placed, 1);
    EXPECT_TRUE(cut.originalsKept);
    EXPECT_TRUE(cut.text().contains("originals stay")) << cut.text().toStdString();
    ASSERT_TRUE(browser.clipboard()) << "a cut whose originals stayed was used up";
    EXPECT_TRUE(browser.clipboard()->cut);
    EXPECT_EQ(list(one.partitions[0].bsdName), (QStringList{"alpha.txt", "docs", "lost+found"}));

    run(devices->ejectDevice(two), 120s);
    run(devices->ejectDevice(one), 120s);
    EXPECT_TRUE(isPartitionClean(first));
    EXPECT_TRUE(isPartitionClean(second));
    const QString part = work.filePath("check.img");
    ASSERT_TRUE(extractPartition(first, part, 1));
    for (const auto& [path, bytes] : alpha.files)
        EXPECT_EQ(debugfsCat(part, path), bytes) << path.toStdString();
    EXPECT_EQ(debugfsNames(part, "/docs"), (QStringList{"data.bin", "deep", "notes.txt"}));
    EXPECT_EQ(debugfsCat(part, "/docs/deep/big.bin"), big);
    ASSERT_TRUE(extractPartition(second, part, 1));
    EXPECT_EQ(debugfsNames(part, "/"), (QStringList{"docs", "docs 2", "gamma.txt", "lost+found"}));
    EXPECT_EQ(debugfsNames(part, "/docs"), (QStringList{"alpha.txt", "data.bin", "notes.txt"}));
    EXPECT_EQ(debugfsCat(part, "/docs/alpha.txt"), alpha.files.at("/alpha.txt"));
    EXPECT_EQ(debugfsCat(part, "/docs/data.bin"), gamma.files.at("/docs/data.bin"));
    EXPECT_EQ(debugfsNames(part, "\"/docs 2\""), (QStringList{"data.bin", "deep", "notes.txt"}));
    EXPECT_EQ(debugfsCat(part, "\"/docs 2/data.bin\""), alpha.files.at("/docs/data.bin"));
    EXPECT_EQ(debugfsCat(part, "\"/docs 2/notes.txt\""), alpha.files.at("/docs/notes.txt"));
    EXPECT_EQ(debugfsCat(part, "\"/docs 2/deep/big.bin\""), big);
}

TEST_F(TwoCardsVMTest, ACancelledBootEndsAndTheNextMountWorksAtOnce) {
    const Tree alpha(work.filePath("alpha"), "alpha");
    const QString image = work.filePath("card.img");
    ASSERT_TRUE(makeDiskImage(alpha.root, image, work.path()));
    const model::Device card = open(image);  // auto-selected: the boot starts
    ASSERT_TRUE(spinUntil([&] { return state.isBootingVM(); }, 10s));
    ASSERT_TRUE(spinUntil([&] { return vmService.virtualMachine() != nullptr; }, 60s));
    const qint64 pid = vmService.virtualMachine()->processId();
    devices->cancelMount();
    EXPECT_FALSE(vmService.virtualMachine());
    EXPECT_EQ(state.vmStatus(), VMStatus::stopped());
    EXPECT_NE(::kill(static_cast<pid_t>(pid), 0), 0) << "QEMU is still running";
    EXPECT_TRUE(devices->heldDisks().isEmpty());

    select(card.partitions[0]);
    expectRunning();
    EXPECT_EQ(list(card.partitions[0].bsdName), (QStringList{"alpha.txt", "docs", "lost+found"}));
}

TEST_F(TwoCardsVMTest, QemuKilledIsShownAndTheNextMountBootsAFreshVM) {
    const Tree alpha(work.filePath("alpha"), "alpha");
    const QString image = work.filePath("card.img");
    ASSERT_TRUE(makeDiskImage(alpha.root, image, work.path()));
    const model::Device card = open(image);
    ASSERT_TRUE(spinUntil([&] { return mountsFinished == 1; }, 240s));
    expectRunning();

    ASSERT_EQ(::kill(static_cast<pid_t>(vmService.virtualMachine()->processId()), SIGKILL), 0);
    ASSERT_TRUE(spinUntil([&] { return state.vmStatus().isError(); }, 30s));
    EXPECT_EQ(state.vmStatus(), VMStatus::error("QEMU terminated unexpectedly"));
    EXPECT_EQ(state.errorMessage(), "The VM stopped unexpectedly: QEMU terminated unexpectedly");
    EXPECT_TRUE(state.showError());
    EXPECT_FALSE(transport.isConnected());

    // The kill left the journal of the read-write mount dirty: nothing opens until asked.
    select(card.partitions[0]);
    const auto alert = state.activeAlert();
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->kind, AppAlert::Kind::journalRecovery);
    EXPECT_FALSE(vmService.virtualMachine()) << "booted before the choice was made";
    state.setActiveAlert(std::nullopt);
    const int before = mountsFinished;
    devices->mount(card.partitions[0], JournalChoice::repairAndOpen);
    ASSERT_TRUE(spinUntil([&] { return mountsFinished > before && !state.isBootingVM(); }, 240s));
    expectRunning();
    EXPECT_EQ(list(card.partitions[0].bsdName), (QStringList{"alpha.txt", "docs", "lost+found"}));
}

}  // namespace
}  // namespace quorvale::app
