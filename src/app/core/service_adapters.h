#pragma once
// The application core's service interfaces over the real services.

#include <QObject>

#include <memory>

#include "app/core/service_interfaces.h"

namespace quorvale::disk {
class DiskDetectionService;
class DiskEjector;
class PrivilegedHelperClient;
}  // namespace quorvale::disk

namespace quorvale::guest {
class VMLifecycleService;
}

namespace quorvale::app {

class HelperClientAccess : public HelperAccess {
public:
    explicit HelperClientAccess(disk::PrivilegedHelperClient& client) : client(client) {}
    QCoro::Task<UniqueFd> openDisk(QString bsdName, bool readOnly) override;
    QCoro::Task<UniqueFd> openHeldDisk(QString bsdName, int heldFd) override;
    void releaseDisk(const QString& bsdName) override;
    QCoro::Task<void> installHelper() override;
    QCoro::Task<bool> checkHelper() override;
    QCoro::Task<void> grantAccess() override;

private:
    disk::PrivilegedHelperClient& client;
};

class VMServiceControl : public VMControl {
public:
    explicit VMServiceControl(guest::VMLifecycleService& service);
    ~VMServiceControl() override;
    bool isRunning() const override;
    QCoro::Task<void> bootVM(std::vector<guest::VMDisk> diskHandles) override;
    QCoro::Task<void> attachDisk(guest::VMDisk disk) override;
    QCoro::Task<void> detachDisk(QString name) override;
    QCoro::Task<void> commitOverlay(QString name, UniqueFd writable,
                                    std::function<void(quint64, quint64)> progress) override;
    QStringList diskNames() const override;
    void checkDisks(const std::optional<QString>& device) const override;
    QCoro::Task<void> stopVM() override;
    void abortVM() override;
    QCoro::Task<UniqueFd> connectVsock(std::uint32_t port) override;

private:
    guest::VMLifecycleService& service;
    QMetaObject::Connection stopConnection;
};

// Owns a DiskDetectionService; real disks are ejected through `ejector` (the helper client),
// disk images by detaching them.
class DetectionDiskSource : public DiskSource {
public:
    explicit DetectionDiskSource(disk::DiskEjector* ejector);
    ~DetectionDiskSource() override;

    void setDelegate(disk::DiskDetectionDelegate* delegate) override;
    void startMonitoring() override;
    QCoro::Task<void> ejectDisk(model::Device device) override;
    std::optional<UniqueFd> imageHandle(const QString& wholeDiskName) override;

    disk::DiskDetectionService& service() { return *detection; }

private:
    std::unique_ptr<disk::DiskDetectionService> detection;
};

}  // namespace quorvale::app
