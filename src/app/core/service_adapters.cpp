#include "app/core/service_adapters.h"

#include "disk/disk_detection_service.h"
#include "disk/privileged_helper_client.h"
#include "guest/vm_lifecycle_service.h"

namespace quorvale::app {

QCoro::Task<void> VMControl::commitOverlay(QString name, UniqueFd,
                                           std::function<void(quint64, quint64)>) {
    throw guest::VMError(guest::VMError::Kind::diskAttachmentFailed,
                         name.toStdString() + " has no overlay to commit");
    co_return;
}

QCoro::Task<UniqueFd> HelperClientAccess::openDisk(QString bsdName, bool readOnly) {
    co_return co_await client.openDisk(std::move(bsdName), readOnly);
}

QCoro::Task<UniqueFd> HelperClientAccess::openHeldDisk(QString bsdName, int heldFd) {
    co_return co_await client.openHeldDisk(std::move(bsdName), heldFd);
}

void HelperClientAccess::releaseDisk(const QString& bsdName) {
    client.releaseDisk(bsdName);
}

QCoro::Task<void> HelperClientAccess::installHelper() {
    co_await client.installHelper();
}

QCoro::Task<bool> HelperClientAccess::checkHelper() {
    co_return co_await client.checkHelper();
}

QCoro::Task<void> HelperClientAccess::grantAccess() {
    co_await client.grantAccess();
}

VMServiceControl::VMServiceControl(guest::VMLifecycleService& service) : service(service) {
    stopConnection = QObject::connect(&service, &guest::VMLifecycleService::stoppedUnexpectedly,
                                      &service, [this](const QString& cause) {
                                          if (onUnexpectedStop)
                                              onUnexpectedStop(cause);
                                      });
}

VMServiceControl::~VMServiceControl() {
    QObject::disconnect(stopConnection);
}

bool VMServiceControl::isRunning() const {
    return service.virtualMachine() != nullptr &&
           service.status().state == guest::VMStatus::State::running;
}

QCoro::Task<void> VMServiceControl::bootVM(std::vector<guest::VMDisk> diskHandles) {
    co_await service.bootVM(std::move(diskHandles));
}

QCoro::Task<void> VMServiceControl::attachDisk(guest::VMDisk disk) {
    co_await service.attachDisk(std::move(disk));
}

QCoro::Task<void> VMServiceControl::detachDisk(QString name) {
    co_await service.detachDisk(std::move(name));
}

QCoro::Task<void> VMServiceControl::commitOverlay(QString name, UniqueFd writable,
                                                  std::function<void(quint64, quint64)> progress) {
    co_await service.commitOverlay(std::move(name), std::move(writable), std::move(progress));
}

QStringList VMServiceControl::diskNames() const {
    return service.diskNames();
}

void VMServiceControl::checkDisks(const std::optional<QString>& device) const {
    service.checkDisks(device);
}

QCoro::Task<void> VMServiceControl::stopVM() {
    co_await service.stopVM();
}

void VMServiceControl::abortVM() {
    service.abortVM();
}

QCoro::Task<UniqueFd> VMServiceControl::connectVsock(std::uint32_t port) {
    co_return co_await service.connectVsock(port);
}

DetectionDiskSource::DetectionDiskSource(disk::DiskEjector* ejector)
    : detection(std::make_unique<disk::DiskDetectionService>()) {
    detection->setEjector(ejector);
}

DetectionDiskSource::~DetectionDiskSource() = default;

void DetectionDiskSource::setDelegate(disk::DiskDetectionDelegate* delegate) {
    detection->setDelegate(delegate);
}

void DetectionDiskSource::startMonitoring() {
    detection->startMonitoring();
}

QCoro::Task<void> DetectionDiskSource::ejectDisk(model::Device device) {
    co_await detection->ejectDisk(std::move(device));
}

std::optional<UniqueFd> DetectionDiskSource::imageHandle(const QString& wholeDiskName) {
    if (!detection->images().contains(wholeDiskName))
        return std::nullopt;
    return detection->images().duplicateFd(wholeDiskName);
}

}  // namespace quorvale::app
