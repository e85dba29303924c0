// The mount and eject roads of DeviceListViewModel over fake helper, VM and disks, with the real
// transport talking to fake guests over socketpairs.

#include <QScopeGuard>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>

#include "app/core/app_state.h"
#include "app/devices/device_list_view_model.h"
#include "app_test_support.h"
#include "fake_services.h"
#include "fileops/file_operation_service.h"
#include "guest/vsock_transport.h"

namespace quorvale::app {
namespace {

using namespace quorvale::testing;
using guest::VMStatus;
using model::Device;
using model::FilesystemType;
using model::Partition;

Partition partition(const QString& name, FilesystemType type, std::optional<QString> label = {}) {
    Partition p;
    p.id = name;
    p.bsdName = name;
    p.label = std::move(label);
    p.filesystemType = type;
    return p;
}

Device device(const QString& name, QList<Partition> partitions) {
    Device d;
    d.id = name;
    d.bsdName = name;
    d.name = QStringLiteral("Card ") + name;
    d.partitions = std::move(partitions);
    return d;
}

Device cardWithFatAndExt4() {
    return device("sdb", {partition("sdb1", FilesystemType::fat32),
                          partition("sdb2", FilesystemType::ext4, QStringLiteral("rootfs"))});
}

class DeviceListTest : public ::testing::Test {
protected:
    DeviceListTest() {
        ensureApplication();
        auto owned = std::make_unique<FakeDisks>();
        disks = owned.get();
        model =
            std::make_unique<DeviceListViewModel>(helper, vm, transport, &state, std::move(owned));
        model->readyTimeout = std::chrono::seconds(2);
        health.superblock = rpc::ExtSuperblock{};
        health.superblock->filesystem = "ext4";
        health.superblock->blockSize = 4096;
        health.superblock->state = 1;
        model->readHealth = [this](const model::Partition&, int) { return health; };
        QObject::connect(model.get(), &DeviceListViewModel::mountFinished,
                         [this] { ++mountsFinished; });
        state.setScheduler([](auto, auto) {});
    }

    // Health reads still running on the pool use the fixture.
    ~DeviceListTest() override { QThreadPool::globalInstance()->waitForDone(); }

    void report(const Device& d) { run(model->deviceUpdated(d)); }
    bool waitForMounts(int count) {
        return spinUntil([&] { return mountsFinished >= count; });
    }

    AppState state;
    FakeHelper helper;
    FakeVM vm;
    guest::VsockTransport transport;
    FakeDisks* disks = nullptr;
    std::unique_ptr<DeviceListViewModel> model;
    disk::PartitionHealth health;  // what the host reads of every partition
    int mountsFinished = 0;
};

TEST_F(DeviceListTest, NewDeviceSelectsItsFirstExt4PartitionAndMountsTheWholeDisk) {
    LogCapture logs;
    EXPECT_EQ(disks->delegate, model.get());
    report(cardWithFatAndExt4());
    EXPECT_EQ(model->devices().size(), 1);
    ASSERT_TRUE(state.selectedPartition());
    EXPECT_EQ(state.selectedPartition()->bsdName, "sdb2");
    EXPECT_TRUE(state.isBootingVM());
    EXPECT_EQ(state.vmStatus(), VMStatus::booting());

    ASSERT_TRUE(waitForMounts(1));
    EXPECT_EQ(helper.opened, QStringList{"sdb"});
    EXPECT_EQ(helper.readOnlyFlags, std::vector<bool>{false});
    EXPECT_EQ(vm.boots, 1);
    EXPECT_EQ(vm.bootDiskCounts, std::vector<size_t>{1});
    EXPECT_EQ(vm.ports, std::vector<std::uint32_t>{5000});
    EXPECT_EQ(state.vmStatus(), VMStatus::running());
    EXPECT_FALSE(state.isBootingVM());
    EXPECT_FALSE(model->isAutoSelecting());
    EXPECT_TRUE(logs.contains("Device updated: Card sdb (2 partitions)"));
    EXPECT_TRUE(logs.contains("Auto-selected EXT4 partition: sdb2"));
    EXPECT_TRUE(logs.contains("VM ready and responding"));

    // Reported again (a partition renamed): replaced in place, no second mount.
    Device again = cardWithFatAndExt4();
    again.name = "Renamed";
    report(again);
    ASSERT_EQ(model->devices().size(), 1);
    EXPECT_EQ(model->devices().front().name, "Renamed");
    spinUntil([] { return false; }, 50ms);
    EXPECT_EQ(helper.opened.size(), 1);
    EXPECT_EQ(vm.boots, 1);
}

TEST_F(DeviceListTest, DevicesWithoutExt4AreListedAndNothingIsSelected) {
    report(device("sdb", {partition("sdb1", FilesystemType::fat32)}));
    report(device("mmcblk0", {partition("mmcblk0p1", FilesystemType::ext3)}));
    EXPECT_EQ(model->devices().size(), 2);
    EXPECT_EQ(model->devices()[1].id, "mmcblk0");
    EXPECT_FALSE(state.selectedPartition());
    EXPECT_FALSE(state.isBootingVM());
    EXPECT_TRUE(helper.opened.isEmpty());
}

TEST_F(DeviceListTest, MountRefusesAnythingButExt4) {
    model->mount(partition("sdb1", FilesystemType::fat32, QStringLiteral("BOOT")));
    EXPECT_EQ(state.errorMessage(), "Cannot mount BOOT: only EXT4 filesystems are supported.");
    EXPECT_TRUE(state.showError());
    model->mount(partition("sdb3", FilesystemType::ext2));
    EXPECT_EQ(state.errorMessage(), "Cannot mount sdb3: only EXT4 filesystems are supported.");
    EXPECT_FALSE(state.isBootingVM());
    EXPECT_EQ(state.vmStatus(), VMStatus::stopped());
    spinUntil([] { return false; }, 50ms);
    EXPECT_TRUE(helper.opened.isEmpty());
}

TEST_F(DeviceListTest, PartitionNamesMapToTheirWholeDisksAndImagesUseTheirOwnDescriptor) {
    model->mount(partition("mmcblk0p1", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(1));
    EXPECT_EQ(helper.opened, QStringList{"mmcblk0"});

    vm.crash("QEMU terminated unexpectedly");
    disks->images << "image0";
    model->mount(partition("image0p1", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(2));
    EXPECT_EQ(helper.opened, QStringList{"mmcblk0"});  // the helper is not asked for images
    // One descriptor reads the card's health, the other is held for the VM.
    EXPECT_EQ(disks->imageHandles, (QStringList{"image0", "image0"}));
    EXPECT_EQ(vm.boots, 2);
    // A fresh VM takes every disk the app holds, each under its own name.
    EXPECT_EQ(vm.bootDisks.back(), (QStringList{"image0", "mmcblk0"}));
    EXPECT_EQ(state.vmStatus(), VMStatus::running());
}

TEST_F(DeviceListTest, AReadOnlySessionHandsEveryDiskToTheVMReadOnly) {
    disks->images << "image0"
                  << "image1";
    model->mount(partition("image1p1", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(1));
    EXPECT_TRUE(vm.readOnlyDisks.isEmpty());  // an image that may be written is written to

    model->attachReadOnly = true;
    model->mount(partition("image0p1", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(2));
    model->mount(partition("mmcblk0p1", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(3));
    EXPECT_EQ(helper.readOnlyFlags, std::vector<bool>{true});
    EXPECT_EQ(vm.readOnlyDisks, (QStringList{"image0", "mmcblk0"}));
}

TEST_F(DeviceListTest, ASecondMountCancelsTheFirstWhoseLateResultsWriteNothing) {
    helper.delayFor["sdb"] = 150ms;
    helper.failFor.emplace("sdb", disk::HelperError(disk::HelperError::Kind::openFailed, "busy"));
    model->mount(partition("sdb2", FilesystemType::ext4));
    // The first mount reads the card's health, then waits on the helper.
    ASSERT_TRUE(spinUntil([&] { return helper.opened.contains("sdb"); }));
    model->mount(partition("sdc1", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(2));
    EXPECT_EQ(helper.opened, (QStringList{"sdb", "sdc"}));
    EXPECT_EQ(vm.boots, 1);
    EXPECT_EQ(state.vmStatus(), VMStatus::running());
    EXPECT_FALSE(state.showError());  // the first mount's failure is not shown
    EXPECT_FALSE(state.errorMessage());
}

TEST_F(DeviceListTest, PongOnTheThirdAttemptUsesTheThirdConnection) {
    const auto hangUp = [](const std::string&) { return GuestReply::hangUp(); };
    const auto pingResult = [](std::string json) {
        return [json](const std::string& method) {
            return method == "ping" ? GuestReply::result(json) : healthyCard(method);
        };
    };
    vm.scripts = {hangUp, pingResult("\"not yet\""), pingResult("\"pong\"")};
    const auto firstService = model->fileOpService();
    model->mount(partition("sdb2", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(1));
    EXPECT_EQ(vm.ports.size(), 3u);
    EXPECT_EQ(state.vmStatus(), VMStatus::running());
    EXPECT_NE(model->fileOpService(), firstService);
    ASSERT_TRUE(transport.isConnected());
    run(model->fileOpService()->sync());
    EXPECT_EQ(vm.guests[2]->methods, (QStringList{"ping", "mount_partition", "sync"}));
    EXPECT_EQ(vm.guests[1]->methods, QStringList{"ping"});
}

TEST_F(DeviceListTest, AGuestThatNeverAnswersFailsTheMountAtTheDeadline) {
    EXPECT_EQ(DeviceListViewModel(helper, vm, transport, &state, std::make_unique<FakeDisks>())
                  .readyTimeout,
              std::chrono::seconds(10));
    LogCapture logs;
    vm.refuseConnections = true;
    model->mount(partition("sdb2", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(1));
    const QString description = "VM boot failed: VM did not respond within 2s";
    EXPECT_EQ(state.vmStatus(), VMStatus::error(description));
    EXPECT_FALSE(state.isBootingVM());
    EXPECT_EQ(state.errorMessage(), "Failed to mount: " + description);
    EXPECT_TRUE(logs.contains("Mount failed: " + description));
    // Attempts pause 250 ms after each failure: about eight in two seconds, never a busy loop.
    EXPECT_GE(vm.ports.size(), 2u);
    EXPECT_LE(vm.ports.size(), 9u);
}

TEST_F(DeviceListTest, AccessDeniedTakesTheFullDiskAccessRoad) {
    LogCapture logs;
    helper.failure = disk::HelperError(disk::HelperError::Kind::accessDenied);
    model->mount(partition("sdb2", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(1));
    EXPECT_TRUE(state.needsFullDiskAccess());
    EXPECT_EQ(state.vmStatus(), VMStatus::stopped());
    EXPECT_FALSE(state.isBootingVM());
    EXPECT_FALSE(state.showError());
    EXPECT_TRUE(logs.contains("Full Disk Access required"));
    EXPECT_EQ(vm.boots, 0);

    helper.failure = disk::HelperError(disk::HelperError::Kind::connectionFailed);
    model->mount(partition("sdb2", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(2));
    EXPECT_TRUE(state.vmStatus().isError());
    EXPECT_TRUE(state.errorMessage()->startsWith("Failed to mount: "));
}

TEST_F(DeviceListTest, CancelMountResetsTheBootStateAndTheTaskWritesNothingLater) {
    helper.delay = 100ms;
    model->mount(partition("sdb2", FilesystemType::ext4));
    model->cancelMount();
    EXPECT_FALSE(state.isBootingVM());
    EXPECT_EQ(state.vmStatus(), VMStatus::stopped());
    ASSERT_TRUE(waitForMounts(1));
    EXPECT_EQ(vm.boots, 0);
    EXPECT_EQ(state.vmStatus(), VMStatus::stopped());
    EXPECT_TRUE(model->heldDisks().isEmpty()) << "the late handle was kept";
}

TEST_F(DeviceListTest, CancelDuringABootEndsItAndANewMountWorksAtOnce) {
    vm.bootDelay = 300ms;
    model->mount(partition("sdb2", FilesystemType::ext4));
    ASSERT_TRUE(spinUntil([&] { return vm.boots == 1; }));
    EXPECT_EQ(model->heldDisks(), QStringList{"sdb"});
    model->cancelMount();
    EXPECT_EQ(vm.aborts, 1) << "the boot goes on";
    EXPECT_TRUE(model->heldDisks().isEmpty()) << "the handle stays open";
    EXPECT_EQ(state.vmStatus(), VMStatus::stopped());

    vm.bootDelay = 1ms;
    model->mount(partition("sdb2", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(2));
    EXPECT_EQ(helper.opened, (QStringList{"sdb", "sdb"}));
    EXPECT_EQ(state.vmStatus(), VMStatus::running());
    EXPECT_FALSE(state.isBootingVM());
    // The cancelled boot finishes late and writes nothing.
    spinUntil([] { return false; }, 400ms);
    EXPECT_EQ(state.vmStatus(), VMStatus::running());
    EXPECT_FALSE(state.showError());
}

TEST_F(DeviceListTest, EjectWithTheGuestGoneStillStopsDisconnectsAndEjects) {
    report(cardWithFatAndExt4());
    ASSERT_TRUE(waitForMounts(1));
    vm.guests.back()->hangUp();  // the guest dies
    LogCapture logs;
    run(model->ejectDevice(model->devices().front()));
    EXPECT_EQ(vm.stops, 1);
    EXPECT_FALSE(transport.isConnected());
    EXPECT_EQ(disks->ejected, QStringList{"sdb"});
    EXPECT_EQ(state.vmStatus(), VMStatus::stopped());
    const QStringList lines = logs.lines();
    EXPECT_TRUE(lines.filter("Filesystem sync failed (continuing eject): ").size() == 1);
    EXPECT_TRUE(lines.filter("Filesystem unmount failed (continuing eject): ").size() == 1);
    EXPECT_TRUE(logs.contains("Device ejected: sdb"));
    EXPECT_TRUE(state.errorMessage().value_or("").startsWith(
        "Not every change may have reached the card: the sync before eject failed ("));
    // The disappearance event, not the eject, removes the device.
    EXPECT_EQ(model->devices().size(), 1);
}

TEST_F(DeviceListTest, DeviceShowsItsEjectUnderWayWhetherOrNotItSucceeds) {
    report(cardWithFatAndExt4());
    ASSERT_TRUE(waitForMounts(1));
    for (const bool fails : {false, true}) {
        disks->ejectFails = fails;
        QList<bool> seen;
        const auto connection =
            QObject::connect(model.get(), &app::DeviceListViewModel::devicesChanged,
                             [&] { seen << model->devices().front().isEjecting; });
        run(model->ejectDevice(model->devices().front()));
        QObject::disconnect(connection);
        EXPECT_EQ(seen, (QList<bool>{true, false})) << "eject fails: " << fails;
        EXPECT_FALSE(model->devices().front().isEjecting);
    }
}

TEST_F(DeviceListTest, EjectSyncsUnmountsAndReportsARefusedEject) {
    report(cardWithFatAndExt4());
    ASSERT_TRUE(waitForMounts(1));
    FakeGuest* guest = vm.guests.back().get();
    disks->ejectFails = true;
    LogCapture logs;
    run(model->ejectDevice(model->devices().front()));
    EXPECT_EQ(guest->methods, (QStringList{"ping", "mount_partition", "sync", "unmount",
                                           "check_filesystem", "check_status"}));
    EXPECT_EQ(state.errorMessage(), "Failed to eject Card sdb: Failed to eject disk (status: -1)");
    EXPECT_TRUE(logs.contains("Eject failed: Failed to eject disk (status: -1)"));
    EXPECT_EQ(state.vmStatus(), VMStatus::stopped());
}

TEST_F(DeviceListTest, RemovingOnlyTheActiveDiskStopsTheVM) {
    report(cardWithFatAndExt4());
    report(device("sdc", {partition("sdc1", FilesystemType::ext4)}));
    ASSERT_TRUE(waitForMounts(1));
    model->setSelectedDeviceID(QStringLiteral("sdc"));

    run(model->deviceRemoved("sdc"));
    EXPECT_EQ(model->devices().size(), 1);
    EXPECT_FALSE(model->selectedDeviceID());
    EXPECT_EQ(vm.stops, 0);
    EXPECT_EQ(state.vmStatus(), VMStatus::running());
    EXPECT_TRUE(transport.isConnected());

    LogCapture logs;
    run(model->deviceRemoved("sdb"));
    EXPECT_TRUE(model->devices().isEmpty());
    EXPECT_EQ(vm.stops, 1);
    EXPECT_FALSE(state.selectedPartition());
    EXPECT_EQ(state.vmStatus(), VMStatus::stopped());
    EXPECT_FALSE(transport.isConnected());
    EXPECT_TRUE(logs.contains("Device removed: sdb"));
}

TEST_F(DeviceListTest, TheActiveCardPulledOutDuringABootCancelsTheMount) {
    helper.delay = 100ms;
    report(cardWithFatAndExt4());
    EXPECT_TRUE(state.isBootingVM());
    run(model->deviceRemoved("sdb"));
    EXPECT_FALSE(state.isBootingVM());
    ASSERT_TRUE(waitForMounts(1));
    EXPECT_EQ(vm.boots, 0);
    EXPECT_EQ(state.vmStatus(), VMStatus::stopped());
    EXPECT_FALSE(state.selectedPartition());
}

TEST_F(DeviceListTest, AMonitorThatCannotStartIsReportedAndImagesStillMount) {
    LogCapture logs;
    disks->monitorFailure = "Failed to create the device event monitor: Permission denied";
    model->startMonitoring();
    EXPECT_FALSE(model->isMonitoring());
    EXPECT_EQ(state.errorMessage(),
              "Removable disks cannot be watched: Failed to create the device event monitor: "
              "Permission denied. Disk images can still be opened.");
    EXPECT_TRUE(logs.contains(
        "Disk monitoring failed: Failed to create the device event monitor: Permission denied"));

    disks->images << "image0";
    report(device("image0", {partition("image0p1", FilesystemType::ext4)}));
    ASSERT_TRUE(waitForMounts(1));
    EXPECT_EQ(state.vmStatus(), VMStatus::running());

    disks->monitorFailure.reset();
    model->startMonitoring();
    EXPECT_TRUE(model->isMonitoring());
    EXPECT_TRUE(disks->monitoring);
}

// Two cards in one VM.
class TwoCardsTest : public DeviceListTest {
protected:
    void SetUp() override {
        report(cardWithFatAndExt4());  // sdb2 is auto-selected and boots the VM
        report(device("sdc", {partition("sdc1", FilesystemType::ext4)}));
        ASSERT_TRUE(waitForMounts(1));
        ASSERT_EQ(state.vmStatus(), VMStatus::running());
    }
    void select(const Partition& p) {
        state.setSelectedPartition(p);
        model->mount(p);
    }
    FakeGuest& guest() { return *vm.guests.back(); }
};

TEST_F(TwoCardsTest, ASecondCardIsPluggedIntoTheRunningVM) {
    select(partition("sdc1", FilesystemType::ext4));
    EXPECT_TRUE(state.isBootingVM());
    ASSERT_TRUE(waitForMounts(2));
    EXPECT_EQ(helper.opened, (QStringList{"sdb", "sdc"}));
    EXPECT_EQ(vm.boots, 1);
    EXPECT_EQ(vm.attached, QStringList{"sdc"});
    EXPECT_EQ(vm.disks, (QStringList{"sdb", "sdc"}));
    EXPECT_EQ(vm.ports.size(), 1u) << "the guest was probed again";
    EXPECT_EQ(state.vmStatus(), VMStatus::running());
    EXPECT_FALSE(state.isBootingVM());
    EXPECT_EQ(model->heldDisks(), (QStringList{"sdb", "sdc"}));
}

TEST_F(TwoCardsTest, AnotherPartitionOfAHeldDiskReusesItsHandle) {
    for (const char* name : {"sdb1", "sdb2", "sdb1"}) {
        select(partition(name, FilesystemType::ext4));
        EXPECT_FALSE(state.isBootingVM()) << name;
        EXPECT_EQ(state.vmStatus(), VMStatus::running()) << name;
    }
    ASSERT_TRUE(waitForMounts(4));
    EXPECT_EQ(helper.opened, QStringList{"sdb"}) << "the disk was opened again";
    EXPECT_TRUE(vm.attached.isEmpty());
    EXPECT_EQ(vm.boots, 1);
}

TEST_F(TwoCardsTest, RefusedPlugInShowsQemusTextAndLeavesTheOtherCardMounted) {
    LogCapture logs;
    vm.attachFailure =
        guest::VMError(guest::VMError::Kind::diskAttachmentFailed,
                       "blockdev-add: Could not open '/dev/fdset/3': Invalid argument");
    select(partition("sdc1", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(2));
    const QString description =
        "Disk attachment failed: blockdev-add: Could not open '/dev/fdset/3': Invalid argument";
    EXPECT_EQ(state.errorMessage(), "Failed to mount: " + description);
    EXPECT_TRUE(logs.contains("Mount failed: " + description));
    EXPECT_EQ(state.vmStatus(), VMStatus::running()) << "the VM still serves sdb";
    EXPECT_FALSE(state.isBootingVM());
    EXPECT_EQ(model->heldDisks(), QStringList{"sdb"}) << "the refused disk is still held";
    EXPECT_EQ(vm.disks, QStringList{"sdb"});
    EXPECT_EQ(vm.stops, 0);
    ASSERT_TRUE(transport.isConnected());
    run(model->fileOpService()->sync(QStringLiteral("sdb")));
    EXPECT_EQ(guest().requests.back(), R"(sync {"disk":"sdb"})");
}

TEST_F(TwoCardsTest, CancelDuringAPlugInTakesOnlyThatCardOut) {
    vm.attachDelay = 200ms;
    select(partition("sdc1", FilesystemType::ext4));
    ASSERT_TRUE(spinUntil([&] { return vm.attached.size() == 1; }));
    model->cancelMount();
    EXPECT_FALSE(state.isBootingVM());
    EXPECT_EQ(state.vmStatus(), VMStatus::running());
    ASSERT_TRUE(waitForMounts(2));
    ASSERT_TRUE(spinUntil([&] { return !vm.detached.isEmpty(); }));
    EXPECT_EQ(vm.detached, QStringList{"sdc"});
    EXPECT_EQ(vm.disks, QStringList{"sdb"});
    EXPECT_EQ(model->heldDisks(), QStringList{"sdb"});
    EXPECT_EQ(vm.aborts, 0);
    EXPECT_EQ(vm.stops, 0);
}

TEST_F(TwoCardsTest, ACardPulledOutWhileItIsPluggedInLeavesTheOtherOne) {
    vm.attachDelay = 200ms;
    select(partition("sdc1", FilesystemType::ext4));
    ASSERT_TRUE(spinUntil([&] { return vm.attached.size() == 1; }));
    run(model->deviceRemoved("sdc"));
    EXPECT_FALSE(state.selectedPartition());
    EXPECT_FALSE(state.isBootingVM());
    ASSERT_TRUE(waitForMounts(2));
    ASSERT_TRUE(spinUntil([&] { return !vm.disks.contains("sdc"); }));
    EXPECT_EQ(model->heldDisks(), QStringList{"sdb"});
    EXPECT_EQ(vm.stops, 0);
    EXPECT_EQ(state.vmStatus(), VMStatus::running());
    EXPECT_FALSE(state.showError());
    EXPECT_EQ(model->devices().size(), 1);
}

TEST_F(TwoCardsTest, EjectingOneCardKeepsTheOtherAndTheLastOneStopsTheVM) {
    select(partition("sdc1", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(2));
    LogCapture logs;
    run(model->ejectDevice(model->devices()[1]));
    // Only the ejected card is flushed and checked.
    EXPECT_EQ(guest().requests.mid(guest().requests.size() - 4),
              (QStringList{R"(sync {"disk":"sdc"})", R"(unmount {"disk":"sdc"})",
                           R"(check_filesystem {"partition":"sdc1"})",
                           R"(check_status {"partition":"sdc1"})"}));
    EXPECT_EQ(state.errorMessage(), "Safe to remove: the file system is clean");
    EXPECT_EQ(vm.detached, QStringList{"sdc"});
    EXPECT_EQ(vm.stops, 0);
    EXPECT_TRUE(transport.isConnected());
    EXPECT_EQ(disks->ejected, QStringList{"sdc"});
    EXPECT_EQ(model->heldDisks(), QStringList{"sdb"});
    EXPECT_EQ(state.vmStatus(), VMStatus::running());
    EXPECT_TRUE(logs.contains("Device ejected: sdc"));

    run(model->ejectDevice(model->devices()[0]));
    EXPECT_EQ(guest().requests.mid(guest().requests.size() - 4),
              (QStringList{R"(sync {"disk":"sdb"})", R"(unmount {"disk":"sdb"})",
                           R"(check_filesystem {"partition":"sdb2"})",
                           R"(check_status {"partition":"sdb2"})"}));
    EXPECT_EQ(vm.stops, 1);
    EXPECT_FALSE(transport.isConnected());
    EXPECT_EQ(disks->ejected, (QStringList{"sdc", "sdb"}));
    EXPECT_TRUE(model->heldDisks().isEmpty());
    EXPECT_EQ(state.vmStatus(), VMStatus::stopped());
}

TEST_F(TwoCardsTest, AVMThatDiesIsReportedAndTheNextMountBootsAFreshOneWithEveryCard) {
    select(partition("sdc1", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(2));
    LogCapture logs;
    vm.crash("Guest kernel panic");
    EXPECT_EQ(state.vmStatus(), VMStatus::error("Guest kernel panic"));
    EXPECT_EQ(state.errorMessage(), "The VM stopped unexpectedly: Guest kernel panic");
    EXPECT_TRUE(state.showError());
    EXPECT_FALSE(transport.isConnected());
    EXPECT_TRUE(logs.contains("VM stopped unexpectedly: Guest kernel panic"));

    select(partition("sdc1", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(3));
    EXPECT_EQ(vm.boots, 2);
    EXPECT_EQ(vm.bootDisks.back(), (QStringList{"sdb", "sdc"}));
    EXPECT_EQ(helper.opened, (QStringList{"sdb", "sdc"})) << "held handles are reused";
    EXPECT_EQ(state.vmStatus(), VMStatus::running());
    EXPECT_TRUE(transport.isConnected());
}

TEST_F(TwoCardsTest, EjectingACardABootHoldsRestartsThatBootWithoutIt) {
    select(partition("sdc1", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(2));
    vm.crash("Guest kernel panic");
    vm.bootDelay = 300ms;
    select(partition("sdb2", FilesystemType::ext4));
    ASSERT_TRUE(spinUntil([&] { return vm.boots == 2; }));
    EXPECT_EQ(vm.bootDisks.back(), (QStringList{"sdb", "sdc"}));

    run(model->ejectDevice(device("sdc", {partition("sdc1", FilesystemType::ext4)})), 5s);
    EXPECT_EQ(disks->ejected, QStringList{"sdc"});
    EXPECT_EQ(vm.aborts, 1) << "the boot holding the ejected card goes on";
    ASSERT_TRUE(spinUntil([&] {
        return vm.boots == 3 && state.vmStatus() == VMStatus::running() && !state.isBootingVM();
    }));
    EXPECT_EQ(vm.bootDisks.back(), QStringList{"sdb"});
    EXPECT_EQ(vm.diskNames(), QStringList{"sdb"});
    EXPECT_EQ(model->heldDisks(), QStringList{"sdb"});
    EXPECT_EQ(state.selectedPartition()->bsdName, "sdb2");
}

TEST_F(TwoCardsTest, ABootThatFailsLetsGoOfEveryHandle) {
    vm.crash("QEMU exited with status 1");
    vm.bootFailure = guest::VMError(guest::VMError::Kind::kernelNotFound);
    select(partition("sdc1", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(2));
    EXPECT_EQ(state.vmStatus(), VMStatus::error("Linux kernel not found in app bundle"));
    EXPECT_EQ(state.errorMessage(), "Failed to mount: Linux kernel not found in app bundle");
    EXPECT_TRUE(model->heldDisks().isEmpty());
}

}  // namespace
}  // namespace quorvale::app

namespace quorvale::app {
namespace {

// The road as each kind of card and choice sends it: what the helper opens, what the guest is
// asked to mount, what the person is asked or told.
TEST_F(DeviceListTest, HealthDecidesHowThePartitionOpens) {
    struct Case {
        const char* name;
        std::function<void(disk::PartitionHealth&)> card;
        JournalChoice choice;
        bool boots;
        std::optional<bool> diskReadOnly;  // the helper's read-only flag, when it was asked
        QString mountParams;               // fragment of the mount_partition params
        std::optional<AppAlert::Kind> alert;
        QString banner;
    };
    const auto dirty = [](disk::PartitionHealth& h) {
        h.superblock->incompat |= rpc::extIncompatRecover;
    };
    const Case cases[] = {
        {"healthy", [](auto&) {}, JournalChoice::undecided, true, false,
         R"("read_only":false,"replay_journal":false)", std::nullopt, ""},
        {"dirty journal asks first", dirty, JournalChoice::undecided, false, std::nullopt, "",
         AppAlert::Kind::journalRecovery, ""},
        {"dirty journal opened read-only", dirty, JournalChoice::openReadOnly, true, false,
         R"("read_only":true,"replay_journal":false)", std::nullopt,
         "sdb2 opened read-only: the journal was not replayed"},
        {"dirty journal repaired", dirty, JournalChoice::repairAndOpen, true, false,
         R"("read_only":false,"replay_journal":true)", std::nullopt, ""},
        {"write-protected", [](auto& h) { h.writeProtected = true; }, JournalChoice::undecided,
         true, true, R"("read_only":true,"replay_journal":false)", std::nullopt,
         "sdb2 is write-protected: opened read-only"},
        {"unknown incompatible feature", [](auto& h) { h.superblock->incompat |= 1u << 30; },
         JournalChoice::undecided, false, std::nullopt, "", std::nullopt,
         "Cannot mount sdb2: Cannot be opened: unsupported features FEATURE_I30"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        run(vm.stopVM());
        run(model->deviceRemoved("sdb"));  // each case is a fresh card: no handle is held
        helper.opened.clear();
        helper.readOnlyFlags.clear();
        vm.boots = 0;
        state.setActiveAlert(std::nullopt);
        state.setErrorMessage(std::nullopt);
        health.superblock->incompat = 0;
        health.writeProtected = false;
        c.card(health);
        const int before = mountsFinished;
        model->mount(partition("sdb2", FilesystemType::ext4), c.choice);
        ASSERT_TRUE(waitForMounts(before + 1));
        EXPECT_EQ(vm.boots, c.boots ? 1 : 0);
        if (c.diskReadOnly) {
            EXPECT_EQ(helper.readOnlyFlags, std::vector<bool>{*c.diskReadOnly});
        } else {
            EXPECT_TRUE(helper.opened.isEmpty());
        }
        if (c.boots) {
            ASSERT_FALSE(vm.guests.empty());
            EXPECT_EQ(vm.guests.back()->methods, (QStringList{"ping", "mount_partition"}));
            EXPECT_TRUE(vm.guests.back()->requests.last().contains(c.mountParams))
                << vm.guests.back()->requests.last().toStdString();
        }
        EXPECT_EQ(state.activeAlert().has_value(), c.alert.has_value());
        if (c.alert && state.activeAlert()) {
            EXPECT_EQ(state.activeAlert()->kind, *c.alert);
            EXPECT_EQ(state.activeAlert()->partition.bsdName, "sdb2");
        }
        EXPECT_EQ(state.errorMessage().value_or("").toStdString(), c.banner.toStdString());
        ASSERT_TRUE(model->healthCard("sdb2"));
    }
}

TEST_F(DeviceListTest, AGuestThatFindsTheJournalDirtyAsksInsteadOfFailing) {
    health.superblock.reset();  // the host could not read the card
    vm.defaultScript = [](const std::string& method) {
        if (method == "mount_partition")
            return GuestReply::error(-117,
                                     "Cannot mount sdb2 (/dev/vda2): the journal needs recovery");
        return GuestReply::result(method == "ping" ? "\"pong\"" : "true");
    };
    model->mount(partition("sdb2", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(1));
    ASSERT_TRUE(state.activeAlert());
    EXPECT_EQ(state.activeAlert()->kind, AppAlert::Kind::journalRecovery);
    EXPECT_EQ(state.vmStatus(), VMStatus::running()) << "the VM stays up for the choice";
}

TEST_F(DeviceListTest, EjectChecksEachMountedPartitionAndReportsWhatItFound) {
    struct Case {
        const char* name;
        bool verify;
        std::string status;  // check_status result
        bool skip;
        QString banner;
        QStringList methods;
        bool syncFails = false;
    };
    const QStringList checked = {"ping",    "mount_partition",  "sync",
                                 "unmount", "check_filesystem", "check_status"};
    const Case cases[] = {
        {"clean", true, R"({"state":"finished","pass":5,"percent":100,"exit_code":0,"output":""})",
         false, "Safe to remove: the file system is clean", checked},
        {"damaged", true,
         R"({"state":"finished","pass":5,"percent":100,"exit_code":4,"output":"Inode 12 has a bad extent.  Fix? no\n"})",
         false, "The check found problems: Inode 12 has a bad extent.", checked},
        {"not verified", false, "", false, "", {"ping", "mount_partition", "sync", "unmount"}},
        {"skipped",
         true,
         R"({"state":"running","pass":1,"percent":3,"output":""})",
         true,
         "Ejected without a check: the check was skipped",
         {"ping", "mount_partition", "sync", "unmount", "check_filesystem", "check_status",
          "check_cancel", "check_status"}},
        // The eject goes on, and the user learns that changes may be missing.
        {"sync refused", true,
         R"({"state":"finished","pass":5,"percent":100,"exit_code":0,"output":""})", false,
         "Not every change may have reached the card: the sync before eject failed (Cannot "
         "sync sdb: Input/output error). Safe to remove: the file system is clean",
         checked, true},
    };
    report(cardWithFatAndExt4());
    ASSERT_TRUE(waitForMounts(1));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        run(vm.stopVM());
        state.setErrorMessage(std::nullopt);
        bool cancelled = false;
        vm.defaultScript = [&c, &cancelled](const std::string& method) {
            if (method == "ping")
                return GuestReply::result("\"pong\"");
            if (method == "mount_partition")
                return GuestReply::result(R"({"read_only":false})");
            if (method == "check_cancel")
                cancelled = true;
            if (method == "sync" && c.syncFails)
                return GuestReply::error("Cannot sync sdb: Input/output error");
            if (method == "check_status")
                return GuestReply::result(
                    cancelled ? R"({"state":"cancelled","pass":1,"percent":3,"exit_code":32})"
                              : c.status);
            return GuestReply::result(method == "check_filesystem" ? R"({"started":true})"
                                                                   : "true");
        };
        const int before = mountsFinished;
        model->mount(partition("sdb2", FilesystemType::ext4));
        ASSERT_TRUE(waitForMounts(before + 1));
        model->verifyOnEject = c.verify;
        FakeGuest* guest = vm.guests.back().get();
        QList<int> seen;
        const auto connection =
            QObject::connect(model.get(), &DeviceListViewModel::ejectCheckChanged, [&] {
                if (auto check = model->ejectCheck()) {
                    seen << check->percent;
                    if (c.skip && !check->skipping && check->percent > 0)
                        model->skipEjectCheck();
                }
            });
        run(model->ejectDevice(model->devices().front()));
        QObject::disconnect(connection);
        EXPECT_EQ(guest->methods, c.methods);
        EXPECT_EQ(state.errorMessage().value_or("").toStdString(), c.banner.toStdString());
        EXPECT_FALSE(model->ejectCheck()) << "the progress ends with the check";
        EXPECT_EQ(!seen.isEmpty(), c.verify);
        EXPECT_EQ(state.vmStatus(), VMStatus::stopped());
    }
}

}  // namespace
}  // namespace quorvale::app

namespace quorvale::app {
namespace {

// Cards are read for every ext partition as its device is reported, before anything mounts;
// a mounted partition keeps the card read before its mount; a removed device's cards go, even
// those still being read when it went.
TEST_F(DeviceListTest, EveryExtPartitionHasItsCardFromTheReportOn) {
    std::mutex mutex;
    QStringList reads;
    std::map<QString, std::chrono::milliseconds> slow;
    // The reads use these locals: none may outlive them.
    const auto drain = qScopeGuard([] { QThreadPool::globalInstance()->waitForDone(); });
    model->readHealth = [&](const Partition& p, int) {
        std::chrono::milliseconds pause{0};
        {
            std::lock_guard lock(mutex);
            reads << p.bsdName;
            if (slow.contains(p.bsdName))
                pause = slow[p.bsdName];
        }
        std::this_thread::sleep_for(pause);
        disk::PartitionHealth h = health;
        h.superblock->label = p.bsdName.toStdString();
        return h;
    };
    const auto readNames = [&] {
        std::lock_guard lock(mutex);
        QStringList sorted = reads;
        sorted.sort();
        return sorted;
    };
    const Device card = device(
        "sdb", {partition("sdb1", FilesystemType::fat32), partition("sdb2", FilesystemType::ext4),
                partition("sdb3", FilesystemType::ext2)});
    // Something else is selected: nothing mounts, the cards are read all the same.
    state.setSelectedPartition(partition("sdz1", FilesystemType::ext4));
    report(card);
    ASSERT_TRUE(spinUntil([&] { return model->healthCard("sdb3").has_value(); }));
    ASSERT_TRUE(spinUntil([&] { return model->healthCard("sdb2").has_value(); }));
    EXPECT_FALSE(model->healthCard("sdb1"));
    EXPECT_EQ(readNames(), (QStringList{"sdb2", "sdb3"}));
    EXPECT_TRUE(model->healthCard("sdb3")->text().contains("sdb3"))
        << model->healthCard("sdb3")->text().toStdString();
    EXPECT_EQ(vm.boots, 0);

    // Mounted, sdb2 keeps its card across a new report; sdb3 is read again.
    model->mount(partition("sdb2", FilesystemType::ext4));
    ASSERT_TRUE(waitForMounts(1));
    {
        std::lock_guard lock(mutex);
        reads.clear();
    }
    report(card);
    ASSERT_TRUE(spinUntil([&] { return readNames() == QStringList{"sdb3"}; }));

    // Pulled out and put back: its cards go with it and are read afresh.
    run(model->deviceRemoved("sdb"));
    EXPECT_FALSE(model->healthCard("sdb2"));
    EXPECT_FALSE(model->healthCard("sdb3"));
    {
        std::lock_guard lock(mutex);
        reads.clear();
    }
    state.setSelectedPartition(partition("sdz1", FilesystemType::ext4));
    report(card);
    ASSERT_TRUE(spinUntil([&] { return readNames() == QStringList{"sdb2", "sdb3"}; }));
    ASSERT_TRUE(spinUntil([&] { return model->healthCard("sdb2").has_value(); }));
    run(model->deviceRemoved("sdb"));

    // Removed while a card is still being read: no card is left behind.
    {
        std::lock_guard lock(mutex);
        reads.clear();
        slow["sdc1"] = 200ms;
    }
    report(device("sdc", {partition("sdc1", FilesystemType::ext4)}));
    ASSERT_TRUE(spinUntil([&] { return readNames() == QStringList{"sdc1"}; }));
    run(model->deviceRemoved("sdc"));
    spinUntil([] { return false; }, 400ms);
    EXPECT_FALSE(model->healthCard("sdc1")) << "a late read stored a removed device's card";
}

}  // namespace
}  // namespace quorvale::app
