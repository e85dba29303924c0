// Card health through the real VM: a journal left dirty by killing QEMU during a read-write
// mount is refused until a choice is made, opened read-only without changing one byte of the
// image, then repaired; `quorvale-cli check` reports a clean card as clean and damage made
// while it was unmounted as damage; cards with unknown features open read-only only.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>

#include "app/core/app_state.h"
#include "app/core/service_adapters.h"
#include "app/devices/device_list_view_model.h"
#include "app/health/health_card.h"
#include "app_road.h"
#include "app_test_support.h"
#include "disk/disk_detection_service.h"
#include "disk/partition_health.h"
#include "disk/privileged_helper_client.h"
#include "disk_image.h"
#include "fileops/file_operation_service.h"
#include "fileops/partition_control.h"
#include "guest/qemu_launcher.h"
#include "guest/vm_lifecycle_service.h"
#include "guest/vsock_transport.h"
#include "rpc/json_rpc.h"

namespace quorvale::app {
namespace {

using namespace quorvale::testing;
using namespace std::chrono_literals;

constexpr std::uint64_t partitionStart = 1 << 20;

disk::PartitionHealth hostHealth(const QString& image) {
    UniqueFd fd(::open(image.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC));
    return disk::PartitionHealthReader::readAt(fd.get(), partitionStart, 32 << 20, image);
}

bool debugfs(const QString& image, const QString& request) {
    const auto [status, output] = runTool(
        "debugfs", {"-w", "-R", request, image + "?offset=" + QString::number(partitionStart)});
    if (status != 0)
        ADD_FAILURE() << output.toStdString();
    return status == 0;
}

// The application's road on one disk image: open it, let the list mount it, and reach the guest.
struct Road : AppRoad {
    fileops::PartitionControl control{transport};
    std::optional<model::Device> card;

    // Opens the image: the list reads its health and mounts its ext4 partition.
    bool open(const QString& image) {
        card = AppRoad::open(image);
        return card.has_value();
    }
    // Waits for the `count`th mount to end with the guest running.
    bool waitForMount(int count) { return waitForMounts(count, 180s) && running(); }
    bool boot(const QString& image) { return open(image) && waitForMount(1); }
    QString partition() const { return selectedPartition(); }
    fileops::FileOperationService& files() { return *devices->fileOpService(); }
    void unmountAndStop() {
        run(files().sync(), 30s);
        run(files().unmount(), 30s);
        run(vmService.stopVM(), 60s);
    }
};

TEST(HealthVMTest, ADirtyJournalIsReplayedOnlyWhenChosenAndReadOnlyWritesNothing) {
    ensureApplication();
    if (!vmImageAvailable())
        GTEST_SKIP() << "no VM image in the build tree";
    QTemporaryDir work;
    QDir().mkpath(work.filePath("tree"));
    writeFile(work.filePath("tree/hello.txt"), "hello\n");
    const QString image = work.filePath("card.img");
    ASSERT_TRUE(makeDiskImage(work.filePath("tree"), image, work.path()));

    {
        // Write through a read-write mount, then pull the plug: QEMU dies, the journal stays.
        Road road;
        ASSERT_TRUE(road.boot(image)) << road.state.vmStatus().description.toStdString();
        run(road.files().writeFile("/after-crash.txt", "journalled\n", road.partition()), 30s);
        run(road.files().sync(), 30s);
        const auto* machine = road.vmService.virtualMachine();
        ASSERT_TRUE(machine);
        ASSERT_GT(machine->processId(), 0);
        ::kill(static_cast<pid_t>(machine->processId()), SIGKILL);
        EXPECT_TRUE(spinUntil([&] { return !road.vm.isRunning(); }, 30s));
    }
    const disk::PartitionHealth dirty = hostHealth(image);
    ASSERT_TRUE(dirty.superblock);
    EXPECT_TRUE(dirty.superblock->needsRecovery());
    EXPECT_EQ(makeHealthCard(dirty).summary, "Not unmounted cleanly: the journal needs recovery");
    const CliResult info = cli({"info", image});
    EXPECT_EQ(info.status, 0) << info.err.toStdString();
    EXPECT_TRUE(info.out.contains("Journal: needs recovery")) << info.out.toStdString();
    const QByteArray before = fileSha256(image);

    {
        // The application asks before booting anything; "Open Read-Only" mounts with noload.
        Road road;
        ASSERT_TRUE(road.open(image));
        ASSERT_TRUE(spinUntil([&] { return road.mountsFinished > 0; }, 30s));
        const auto alert = road.state.activeAlert();
        ASSERT_TRUE(alert);
        EXPECT_EQ(alert->kind, AppAlert::Kind::journalRecovery);
        EXPECT_FALSE(road.vm.isRunning()) << "booted before the choice was made";
        road.devices->mount(alert->partition, JournalChoice::openReadOnly);
        ASSERT_TRUE(road.waitForMount(2));
        EXPECT_TRUE(road.state.errorMessage().value_or("").contains("read-only"))
            << road.state.errorMessage().value_or("").toStdString();
        QList<model::FileItem> listing;
        run([&]() -> QCoro::Task<void> {
            listing = co_await road.files().listDirectory("/", road.partition());
        }());
        EXPECT_FALSE(listing.isEmpty());

        // The guest holds the line by itself: unmounted again, it refuses a read-write mount
        // made without a choice.
        run(road.files().unmount(), 30s);
        std::int64_t code = 0;
        std::string refusal;
        run([&]() -> QCoro::Task<void> {
            try {
                co_await road.control.mount(road.partition(), false, false);
            } catch (const rpc::JSONRPCError& error) {
                code = error.code;
                refusal = error.what();
            }
        }());
        EXPECT_EQ(code, -EUCLEAN) << "a dirty journal was mounted without a choice";
        EXPECT_NE(refusal.find("journal needs recovery"), std::string::npos) << refusal;
    }
    EXPECT_EQ(fileSha256(image), before) << "the read-only session changed the image";

    {
        // Repair: the kernel replays the journal, and the file written before the crash is back.
        Road road;
        ASSERT_TRUE(road.open(image));
        ASSERT_TRUE(spinUntil([&] { return road.state.activeAlert().has_value(); }, 30s));
        road.devices->mount(road.state.activeAlert()->partition, JournalChoice::repairAndOpen);
        ASSERT_TRUE(road.waitForMount(2));
        EXPECT_FALSE(road.state.errorMessage()) << road.state.errorMessage()->toStdString();
        QStringList names;
        run([&]() -> QCoro::Task<void> {
            for (const auto& item : co_await road.files().listDirectory("/", road.partition()))
                names << item.name;
        }());
        EXPECT_TRUE(names.contains("after-crash.txt")) << names.join(',').toStdString();
        road.unmountAndStop();
    }
    const disk::PartitionHealth repaired = hostHealth(image);
    ASSERT_TRUE(repaired.superblock);
    EXPECT_FALSE(repaired.superblock->needsRecovery());
    EXPECT_TRUE(isPartitionClean(image));
}

TEST(HealthVMTest, CliCheckAndVerifiedEjectReportCleanThenDamageMadeWhileUnmounted) {
    ensureApplication();
    if (!vmImageAvailable())
        GTEST_SKIP() << "no VM image in the build tree";
    QTemporaryDir work;
    QDir().mkpath(work.filePath("tree/docs"));
    writeFile(work.filePath("tree/docs/a.txt"), "a\n");
    const QString image = work.filePath("card.img");
    ASSERT_TRUE(makeDiskImage(work.filePath("tree"), image, work.path()));

    const CliResult clean = cli({"check", image});
    EXPECT_EQ(clean.status, 0) << clean.err.toStdString() << clean.out.toStdString();
    EXPECT_TRUE(clean.out.contains("Safe to remove: the file system is clean"))
        << clean.out.toStdString();
    EXPECT_TRUE(clean.out.contains(QRegularExpression(R"(CARD: \d+/\d+ files .* blocks)")))
        << "e2fsck's summary: " << clean.out.toStdString();
    EXPECT_TRUE(clean.err.contains("Checking: ")) << "progress on stderr";
    const CliResult cleanEject = cli({"eject", image, "--verify"});
    EXPECT_EQ(cleanEject.status, 0) << cleanEject.err.toStdString();
    EXPECT_TRUE(cleanEject.out.contains("Safe to remove: the file system is clean"))
        << cleanEject.out.toStdString();

    ASSERT_TRUE(debugfs(image, "sif <2> links_count 9"));
    const CliResult damaged = cli({"check", image + ":1"});
    EXPECT_EQ(damaged.status, 4) << damaged.err.toStdString();
    EXPECT_TRUE(damaged.out.contains("Inode 2 ref count is 9")) << damaged.out.toStdString();
    EXPECT_TRUE(damaged.out.contains("The check found problems: ")) << damaged.out.toStdString();
    // Mounted and ejected with the damage: the eject names it instead of calling the card safe.
    const CliResult damagedEject = cli({"eject", image, "--verify"});
    EXPECT_EQ(damagedEject.status, 4) << damagedEject.err.toStdString();
    EXPECT_TRUE(damagedEject.out.contains("Inode 2 ref count is 9"))
        << damagedEject.out.toStdString();
    EXPECT_FALSE(damagedEject.out.contains("Safe to remove")) << damagedEject.out.toStdString();
}

TEST(HealthVMTest, UnknownFeaturesAndRecordedErrorsShowOnTheCardAndLimitTheMount) {
    ensureApplication();
    if (!vmImageAvailable())
        GTEST_SKIP() << "no VM image in the build tree";
    QTemporaryDir work;
    QDir().mkpath(work.filePath("tree"));
    writeFile(work.filePath("tree/kept.txt"), "kept\n");
    const QString image = work.filePath("card.img");
    ASSERT_TRUE(makeDiskImage(work.filePath("tree"), image, work.path()));
    ASSERT_TRUE(debugfs(image, "ssv error_count 3"));
    CliResult info = cli({"info", image});
    EXPECT_EQ(info.status, 0);
    EXPECT_TRUE(info.out.contains("Health: Errors recorded: 3")) << info.out.toStdString();

    ASSERT_TRUE(debugfs(image, "ssv error_count 0"));
    ASSERT_TRUE(debugfs(image, "feature FEATURE_R20"));
    info = cli({"info", image});
    EXPECT_TRUE(info.out.contains("Health: Read-only: unsupported features FEATURE_R20"))
        << info.out.toStdString();
    const QByteArray before = fileSha256(image);
    const CliResult ls = cli({"ls", image, "/"});
    EXPECT_EQ(ls.status, 0) << ls.err.toStdString();
    EXPECT_TRUE(ls.out.contains("kept.txt"));
    const CliResult mkdir = cli({"mkdir", image, "/refused"});
    EXPECT_EQ(mkdir.status, 1) << "the guest mounted it read-only";
    EXPECT_EQ(fileSha256(image), before);
}

}  // namespace
}  // namespace quorvale::app
