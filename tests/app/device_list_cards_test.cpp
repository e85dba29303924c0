// Two cards in one VM: plug-in, reuse of a held disk, refusals, cancellation, eject, a dying VM.

#include "device_list_fixture.h"

namespace quorvale::app {
namespace {

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
