// The mount road of DeviceListViewModel: selection, readiness probe, cancellation, refusals.

#include "device_list_fixture.h"

namespace quorvale::app {
namespace {

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
    EXPECT_EQ(helper.released, QStringList{"sdb"}) << "the helper still holds it";
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

}  // namespace
}  // namespace quorvale::app
