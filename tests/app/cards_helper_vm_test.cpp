// Two cards as real block devices, opened and ejected through the real helper daemon, in one
// real VM. Loop devices stand for two USB disks of a fake sysfs tree (their nodes there carry
// the loop devices' numbers), so the kernel's exclusive-open rule decides: the helper ejects a
// disk only once every descriptor of it is closed. Ejecting one card while the other still
// lists thus shows that the app and QEMU let go of that card, and only of it; a card mounted
// again at once after a cancelled boot shows that the boot let go of it. Needs root, two
// free loop devices and device nodes; skipped where any is missing.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/browser/file_browser_view_model.h"
#include "app/core/app_state.h"
#include "app/core/service_adapters.h"
#include "app/devices/device_list_view_model.h"
#include "app/staging/staged_recording.h"
#include "app_road.h"
#include "app_test_support.h"
#include "disk/disk_detection_service.h"
#include "disk/disk_event_source.h"
#include "disk/privileged_helper_client.h"
#include "disk_image.h"
#include "guest/vm_lifecycle_service.h"
#include "guest/vsock_transport.h"
#include "helper/fake_system.h"

namespace quorvale::app {
namespace {

using namespace quorvale::testing;
using namespace std::chrono_literals;
using guest::VMStatus;
namespace fs = std::filesystem;

// The tree's events come from the test, not from udev.
class NoEvents : public disk::DiskEventSource {
public:
    void start(Handlers) override {}
};

// The detection service over the fake tree, ejecting through the helper client.
class FakeTreeDiskSource : public DiskSource {
public:
    FakeTreeDiskSource(disk::DiskPaths paths, disk::DiskEjector* ejector)
        : detection(std::make_unique<NoEvents>(), std::move(paths)) {
        detection.setEjector(ejector);
    }
    void setDelegate(disk::DiskDetectionDelegate* delegate) override {
        detection.setDelegate(delegate);
    }
    void startMonitoring() override { detection.startMonitoring(); }
    QCoro::Task<void> ejectDisk(model::Device device) override {
        co_await detection.ejectDisk(std::move(device));
    }
    std::optional<UniqueFd> imageHandle(const QString&) override { return std::nullopt; }

    disk::DiskDetectionService detection;
};

class LoopDevice {
public:
    explicit LoopDevice(const QString& image) {
        const auto [status, out] = runTool("losetup", {"--find", "--show", image});
        if (status == 0)
            node = QString::fromUtf8(out).trimmed();
    }
    ~LoopDevice() {
        if (!node.isEmpty())
            runTool("losetup", {"--detach", node});
    }
    QString node;
};

// One card: a whole-disk ext4 filesystem made from a tree holding `<name>.txt`.
struct Card {
    QString name;
    QString image;
    QByteArray text;
    std::unique_ptr<LoopDevice> loop = nullptr;
};

class CardsThroughHelperVMTest : public ::testing::Test, protected AppRoad {
protected:
    CardsThroughHelperVMTest() : AppRoad(Deferred{}) {}
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root for loop devices and device nodes";
        ensureApplication();
        if (!vmImageAvailable())
            GTEST_SKIP() << "no VM image in the build tree";
        fs::permissions(work.path().toStdString(), fs::perms(0755));
        for (const QString& name : {QStringLiteral("sdq"), QStringLiteral("sdr")}) {
            Card card{name, work.filePath(name + ".img"), ("the card " + name + "\n").toUtf8()};
            const QString tree = work.filePath(name);
            QDir().mkpath(tree);
            writeFile(tree + "/" + name + ".txt", card.text);
            ASSERT_EQ(runTool("mkfs.ext4",
                              {"-q", "-F", "-L", name.toUpper(), "-d", tree, card.image, "32M"})
                          .first,
                      0);
            card.loop = std::make_unique<LoopDevice>(card.image);
            if (card.loop->node.isEmpty())
                GTEST_SKIP() << "no free loop device";
            struct stat st {};
            ASSERT_EQ(::stat(card.loop->node.toLocal8Bit().constData(), &st), 0);
            const std::string number =
                std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
            system.addDisk({name.toStdString(), number, quorvale::test::Bus::usb});
            const fs::path node = system.dev / name.toStdString();
            fs::remove(node);
            if (::mknod(node.c_str(), S_IFBLK | 0600, st.st_rdev) != 0)
                GTEST_SKIP() << "cannot make device nodes here";
            if (UniqueFd probe(::open(node.c_str(), O_RDONLY | O_CLOEXEC)); !probe)
                GTEST_SKIP() << "device nodes cannot be opened here (nodev)";
            cards.push_back(std::move(card));
        }
        daemon = std::make_unique<quorvale::test::DaemonProcess>(
            socket, system.daemonArguments(), work.filePath("helper.log").toStdString());

        disk::PrivilegedHelperClient::Options options;
        options.socketPath = QString::fromStdString(socket.string());
        options.replyTimeout = 60s;
        helperClient = std::make_unique<disk::PrivilegedHelperClient>(options);
        disk::DiskPaths paths{QString::fromStdString(system.dev.string()),
                              QString::fromStdString(system.sys.string())};
        useDisks(std::make_unique<FakeTreeDiskSource>(paths, helperClient.get()), *helperClient);
    }
    // Before the helper and the loop devices go.
    void TearDown() override {
        run(vmService.stopVM(), 60s);
        devices.reset();
    }

    static model::Device device(const Card& card) {
        model::Device device;
        device.id = device.bsdName = card.name;
        device.name = "Card " + card.name;
        device.mediaType = model::MediaType::usbDrive;
        model::Partition partition;
        partition.id = partition.bsdName = card.name;
        partition.label = card.name.toUpper();
        partition.filesystemType = model::FilesystemType::ext4;
        device.partitions = {partition};
        return device;
    }
    void select(const model::Partition& partition) { ASSERT_TRUE(AppRoad::select(partition)); }
    void expectRunning() { EXPECT_TRUE(running()); }
    // What the helper wrote to the disk's SCSI "delete" file: "1" once it ejected the disk.
    std::string detached(const QString& name) {
        std::string word;
        std::ifstream(system.scsiDelete(name.toStdString())) >> word;
        return word;
    }
    // The file `path` on the card, read by debugfs (its banner goes to stderr, dropped here).
    static QByteArray debugfsCat(const Card& card, const QString& path) {
        QProcess process;
        process.start("debugfs", {"-R", "cat " + path, card.image});
        process.closeWriteChannel();
        process.waitForFinished(60000);
        return process.readAllStandardOutput();
    }

    QTemporaryDir work;
    quorvale::test::FakeSystem system{work.filePath("machine").toStdString()};
    fs::path socket = work.filePath("helper.sock").toStdString();
    std::vector<Card> cards;
    std::unique_ptr<quorvale::test::DaemonProcess> daemon;
    std::unique_ptr<disk::PrivilegedHelperClient> helperClient;
};

TEST_F(CardsThroughHelperVMTest, OneCardIsEjectedWhileTheOtherStillLists) {
    const model::Device first = device(cards[0]), second = device(cards[1]);
    run(devices->deviceUpdated(first));  // auto-selected: the VM boots with it
    ASSERT_TRUE(spinUntil([&] { return mountsFinished == 1 && !state.isBootingVM(); }, 240s));
    expectRunning();
    run(devices->deviceUpdated(second));
    select(second.partitions[0]);  // plugged into the running VM
    expectRunning();
    EXPECT_EQ(vmService.diskNames(), (QStringList{"sdq", "sdr"}));

    // Written on the second card while the first stays mounted.
    const QByteArray payload(200000, 'x');
    writeFile(work.filePath("upload.bin"), payload);
    FileBrowserViewModel browser;
    browser.fileOpService = devices->fileOpService();
    browser.currentPartition = "sdr";
    run(browser.navigateTo("/"), 60s);
    run(browser.uploadFiles({work.filePath("upload.bin")}), 120s);
    ASSERT_FALSE(browser.error()) << browser.error()->toStdString();

    // The helper ejects the second card: the app and QEMU have closed every descriptor of it.
    run(devices->ejectDevice(second), 120s);
    EXPECT_EQ(state.errorMessage(), "Safe to remove: the file system is clean");
    EXPECT_EQ(detached("sdr"), "1");
    EXPECT_EQ(detached("sdq"), "");
    EXPECT_EQ(vmService.diskNames(), QStringList{"sdq"});
    EXPECT_EQ(devices->heldDisks(), QStringList{"sdq"});
    expectRunning();
    EXPECT_EQ(list("sdq"), (QStringList{"lost+found", "sdq.txt"}));

    // The last card stops the VM and is ejected too.
    state.setErrorMessage(std::nullopt);
    run(devices->ejectDevice(first), 120s);
    EXPECT_EQ(state.errorMessage(), "Safe to remove: the file system is clean");
    EXPECT_EQ(detached("sdq"), "1");
    EXPECT_EQ(state.vmStatus(), VMStatus::stopped());
    EXPECT_TRUE(devices->heldDisks().isEmpty());

    for (const Card& card : cards) {
        EXPECT_EQ(runTool("e2fsck", {"-fn", card.image}).first, 0) << card.name.toStdString();
        EXPECT_EQ(debugfsCat(card, "/" + card.name + ".txt"), card.text);
    }
    EXPECT_EQ(debugfsCat(cards[1], "/upload.bin"), payload);
    EXPECT_EQ(debugfsCat(cards[0], "/upload.bin"), "") << "written to the wrong card";
}

TEST_F(CardsThroughHelperVMTest, ACancelledBootLetsGoOfTheCardSoItOpensAgainAtOnce) {
    const model::Device card = device(cards[0]);
    run(devices->deviceUpdated(card));  // auto-selected: the boot starts
    ASSERT_TRUE(spinUntil([&] { return vmService.virtualMachine() != nullptr; }, 60s));
    ASSERT_TRUE(state.isBootingVM());
    devices->cancelMount();
    EXPECT_FALSE(vmService.virtualMachine());
    EXPECT_TRUE(devices->heldDisks().isEmpty());

    // The helper opens the card exclusively: a QEMU left running would keep it claimed.
    select(card.partitions[0]);
    expectRunning();
    EXPECT_FALSE(state.showError()) << state.errorMessage().value_or("").toStdString();
    EXPECT_EQ(list("sdq"), (QStringList{"lost+found", "sdq.txt"}));
    run(devices->ejectDevice(card), 120s);
    EXPECT_EQ(detached("sdq"), "1");
}

// A staged card beside another, both held through the helper: the staged one's changes go to
// its overlay while the card stays as it was; a change the guest refuses is not pending;
// applying writes them through a second, writable descriptor the helper opens beside the VM's
// exclusive claim, and the other card is left alone.
TEST_F(CardsThroughHelperVMTest, AStagedCardBesideAnotherIsAppliedThroughTheHelper) {
    qputenv("XDG_CACHE_HOME", QFile::encodeName(work.filePath("cache")));
    const QString cacheDir = work.filePath("cache/quorvale/staged");
    const model::Device first = device(cards[0]), second = device(cards[1]);
    run(devices->deviceUpdated(first));
    ASSERT_TRUE(spinUntil([&] { return mountsFinished == 1 && !state.isBootingVM(); }, 240s));
    run(devices->deviceUpdated(second));
    select(second.partitions[0]);
    expectRunning();

    // Staged: sdr leaves the VM and comes back read-only below an overlay.
    const int mounts = mountsFinished;
    run(devices->setStaged(second.partitions[0], true), 240s);
    ASSERT_TRUE(spinUntil([&] { return mountsFinished > mounts && !state.isBootingVM(); }, 240s));
    expectRunning();
    ASSERT_TRUE(devices->stagedRecord("sdr"));
    EXPECT_EQ(vmService.diskNames(), (QStringList{"sdq", "sdr"}));
    // As the card was left when it was unmounted to be staged.
    const QByteArray secondBefore = fileSha256(cards[1].image);

    const QByteArray payload(300000, 's');
    writeFile(work.filePath("staged.bin"), payload);
    FileBrowserViewModel browser;
    browser.connectService(devices->fileOpService(), "sdr", "sdr");
    followStagedChanges(browser, *devices);
    run(browser.navigateTo("/"), 60s);
    run(browser.uploadFiles({work.filePath("staged.bin")}), 120s);
    ASSERT_FALSE(browser.error()) << browser.error()->toStdString();
    EXPECT_THROW(
        run(browser.fileOpService->rename("/missing.txt", "found.txt", QString("sdr")), 60s),
        std::exception);
    run(browser.fileOpService->createDirectory("/made", QString("sdr")), 60s);
    const auto record = devices->stagedRecord("sdr");
    ASSERT_TRUE(record);
    QStringList pending;
    for (const StagedOperation& operation : record->operations)
        pending << operation.description();
    EXPECT_EQ(pending, (QStringList{"Upload /staged.bin (300.0 kB)", "New folder /made"}));
    EXPECT_EQ(fileSha256(cards[1].image), secondBefore) << "a staged change reached the card";

    quint64 lastDone = 0, lastTotal = 0;
    const CheckReport report = run(devices->applyStagedChanges("sdr",
                                                               [&](quint64 done, quint64 total) {
                                                                   lastDone = done;
                                                                   lastTotal = total;
                                                               }),
                                   240s);
    EXPECT_EQ(report.exitStatus(), 0) << report.message.toStdString();
    EXPECT_EQ(lastDone, lastTotal);
    EXPECT_FALSE(devices->stagedRecord("sdr"));
    EXPECT_TRUE(QDir(cacheDir).entryList(QDir::Files).isEmpty());
    expectRunning();
    EXPECT_EQ(list("sdq"), (QStringList{"lost+found", "sdq.txt"}));

    run(devices->ejectDevice(second), 120s);
    run(devices->ejectDevice(first), 120s);
    qunsetenv("XDG_CACHE_HOME");
    for (const Card& card : cards) {
        EXPECT_EQ(runTool("e2fsck", {"-fn", card.image}).first, 0) << card.name.toStdString();
        EXPECT_EQ(debugfsCat(card, "/" + card.name + ".txt"), card.text);
    }
    EXPECT_EQ(debugfsCat(cards[1], "/staged.bin"), payload);
    const auto [status, listing] = runTool("debugfs", {"-R", "ls -p /", cards[1].image});
    EXPECT_TRUE(listing.contains("/made/")) << listing.toStdString();
    EXPECT_EQ(debugfsCat(cards[0], "/staged.bin"), "") << "written to the other card";
}

}  // namespace
}  // namespace quorvale::app
