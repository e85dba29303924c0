#pragma once
// DeviceListViewModel over fake helper, VM and disks, with the real transport talking to fake
// guests over socketpairs; TwoCardsTest starts with two cards in one running VM.

#include <QThreadPool>

#include <gtest/gtest.h>

#include "app/core/app_state.h"
#include "app/devices/device_list_view_model.h"
#include "app_test_support.h"
#include "fake_services.h"
#include "guest/vsock_transport.h"

namespace quorvale::app {

using namespace quorvale::testing;
using guest::VMStatus;
using model::Device;
using model::FilesystemType;
using model::Partition;

inline Partition partition(const QString& name, FilesystemType type,
                           std::optional<QString> label = {}) {
    Partition p;
    p.id = name;
    p.bsdName = name;
    p.label = std::move(label);
    p.filesystemType = type;
    return p;
}

inline Device device(const QString& name, QList<Partition> partitions) {
    Device d;
    d.id = name;
    d.bsdName = name;
    d.name = QStringLiteral("Card ") + name;
    d.partitions = std::move(partitions);
    return d;
}

inline Device cardWithFatAndExt4() {
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

}  // namespace quorvale::app
