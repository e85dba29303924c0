// The eject road of DeviceListViewModel: sync, unmount, check, release, eject, a pulled card.

#include "device_list_fixture.h"

namespace quorvale::app {
namespace {

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
