#pragma once
// Small fakes of the services the device list drives. Each records what it was asked; the VM
// fake opens real socketpairs and serves its far ends with FakeGuest scripts, one per
// connection in order.

#include <fcntl.h>
#include <sys/socket.h>

#include <qcoro/qcorotimer.h>

#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "app/core/service_interfaces.h"
#include "app_test_support.h"
#include "disk/disk_detection_delegate.h"
#include "disk/disk_error.h"
#include "disk/helper_error.h"
#include "guest/vm_error.h"
#include "rpc/error.h"

namespace quorvale::testing {

inline UniqueFd openDevNull() {
    return UniqueFd(::open("/dev/null", O_RDWR | O_CLOEXEC));
}

class FakeHelper : public app::HelperAccess {
public:
    QCoro::Task<UniqueFd> openDisk(QString bsdName, bool readOnly) override {
        opened << bsdName;
        readOnlyFlags.push_back(readOnly);
        const auto pause = delayFor.contains(bsdName) ? delayFor.at(bsdName) : delay;
        if (pause.count() > 0)
            co_await QCoro::sleepFor(pause);
        if (failFor.contains(bsdName))
            throw failFor.at(bsdName);
        if (failure)
            throw *failure;
        co_return readOnly ? UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)) : openDevNull();
    }
    QCoro::Task<UniqueFd> openHeldDisk(QString bsdName, int) override {
        heldOpened << bsdName;
        if (failure)
            throw *failure;
        co_return openDevNull();
    }
    void releaseDisk(const QString& bsdName) override { released << bsdName; }
    QCoro::Task<void> installHelper() override {
        ++installs;
        if (installFails)
            throw disk::HelperError(disk::HelperError::Kind::requiresApproval);
        co_return;
    }
    QCoro::Task<bool> checkHelper() override {
        ++checks;
        co_return helperRunning;
    }
    QCoro::Task<void> grantAccess() override {
        ++grants;
        co_return;
    }

    QStringList opened;
    QStringList heldOpened;  // open_held_disk requests
    QStringList released;    // disks let go of
    std::vector<bool> readOnlyFlags;
    std::optional<disk::HelperError> failure;
    std::chrono::milliseconds delay{0};
    std::map<QString, std::chrono::milliseconds> delayFor;
    std::map<QString, disk::HelperError> failFor;
    int installs = 0;
    bool installFails = false;
    int checks = 0;
    bool helperRunning = false;
    int grants = 0;
};

// What the guest answers for a healthy card: it mounts read-write and checks clean; "true" for
// every other method.
inline GuestReply healthyCard(const std::string& method) {
    if (method == "mount_partition")
        return GuestReply::result(R"({"name":"sdb2","read_only":false})");
    if (method == "check_filesystem")
        return GuestReply::result(R"({"started":true})");
    if (method == "check_status")
        return GuestReply::result(
            R"({"state":"finished","pass":5,"percent":100,"exit_code":0,"output":""})");
    return GuestReply::result("true");
}

class FakeVM : public app::VMControl {
public:
    bool isRunning() const override { return running; }
    QCoro::Task<void> bootVM(std::vector<guest::VMDisk> diskHandles) override {
        ++boots;
        bootDiskCounts.push_back(diskHandles.size());
        QStringList names;
        for (const auto& disk : diskHandles) {
            names << disk.name;
            noteAccess(disk);
        }
        bootDisks.push_back(names);
        co_await QCoro::sleepFor(bootDelay);
        if (bootFailure)
            throw *bootFailure;
        running = true;
        disks = names;
    }
    QCoro::Task<void> attachDisk(guest::VMDisk disk) override {
        attached << disk.name;
        noteAccess(disk);
        if (!running)
            throw guest::VMError(guest::VMError::Kind::vmNotRunning);
        co_await QCoro::sleepFor(attachDelay);
        if (attachFailure)
            throw *attachFailure;
        disks << disk.name;
    }
    QCoro::Task<void> detachDisk(QString name) override {
        detached << name;
        co_await QCoro::sleepFor(std::chrono::milliseconds(1));
        disks.removeAll(name);
    }
    QStringList diskNames() const override { return running ? disks : QStringList(); }
    // A disk in `removed` (whole-disk names) is gone from its reader.
    void checkDisks(const std::optional<QString>& device) const override {
        for (const QString& disk : removed)
            if (!device || device->startsWith(disk))
                throw guest::VMError(guest::VMError::Kind::diskRemoved, disk.toStdString());
    }
    QStringList removed;
    // Disks handed over with a read-only descriptor, by name.
    void noteAccess(const guest::VMDisk& disk) {
        if ((::fcntl(disk.fd.get(), F_GETFL) & O_ACCMODE) == O_RDONLY &&
            !readOnlyDisks.contains(disk.name))
            readOnlyDisks << disk.name;
    }
    QStringList readOnlyDisks;
    QCoro::Task<void> stopVM() override {
        ++stops;
        stopNow();
        co_return;
    }
    void abortVM() override {
        ++aborts;
        stopNow();
    }
    QCoro::Task<UniqueFd> connectVsock(std::uint32_t port) override {
        ports.push_back(port);
        if (!running)
            throw guest::VMError(guest::VMError::Kind::vmNotRunning);
        if (refuseConnections)
            throw guest::VMError(guest::VMError::Kind::vsockConnectionFailed, "refused");
        int pair[2];
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
        FakeGuest::Script script = defaultScript;
        if (!scripts.empty()) {
            script = scripts.front();
            scripts.pop_front();
        }
        guests.push_back(std::make_unique<FakeGuest>(UniqueFd(pair[1]), script));
        co_return UniqueFd(pair[0]);
    }
    // QEMU ends by itself.
    void crash(const QString& cause) {
        stopNow();
        if (onUnexpectedStop)
            onUnexpectedStop(cause);
    }

    bool running = false;
    bool refuseConnections = false;
    int boots = 0;
    int stops = 0;
    int aborts = 0;
    std::chrono::milliseconds bootDelay{1};
    std::chrono::milliseconds attachDelay{1};
    std::optional<guest::VMError> bootFailure;
    std::optional<guest::VMError> attachFailure;
    std::vector<size_t> bootDiskCounts;
    std::vector<QStringList> bootDisks;
    QStringList disks;  // held by the running VM
    QStringList attached, detached;
    std::vector<std::uint32_t> ports;
    std::deque<FakeGuest::Script> scripts;  // per connection, in order
    FakeGuest::Script defaultScript = [](const std::string& method) {
        return method == "ping" ? GuestReply::result("\"pong\"") : healthyCard(method);
    };
    std::vector<std::unique_ptr<FakeGuest>> guests;

private:
    void stopNow() {
        running = false;
        disks.clear();
        for (const auto& guest : guests)
            guest->hangUp();
    }
};

class FakeDisks : public app::DiskSource {
public:
    void setDelegate(disk::DiskDetectionDelegate* value) override { delegate = value; }
    void startMonitoring() override {
        if (monitorFailure)
            throw Error(*monitorFailure);
        monitoring = true;
    }
    QCoro::Task<void> ejectDisk(model::Device device) override {
        ejected << device.bsdName;
        if (ejectFails)
            throw disk::DiskError::ejectFailed(-1);
        co_return;
    }
    std::optional<UniqueFd> imageHandle(const QString& wholeDiskName) override {
        if (!images.contains(wholeDiskName))
            return std::nullopt;
        imageHandles << wholeDiskName;
        return openDevNull();
    }

    disk::DiskDetectionDelegate* delegate = nullptr;
    bool monitoring = false;
    std::optional<std::string> monitorFailure;
    QStringList ejected;
    bool ejectFails = false;
    QStringList images;
    QStringList imageHandles;
};

}  // namespace quorvale::testing
