#include "app/service_adapters.h"

#include "disk/disk_detection_service.h"
#include "disk/privileged_helper_client.h"
#include "guest/vm_lifecycle_service.h"

namespace quorvale::app {

QCoro::Task<UniqueFd> HelperClientAccess::openDisk(QString bsdName, bool readOnly) {
    co_return co_await client.openDisk(std::move(bsdName), readOnly);
}

QCoro::Task<void> HelperClientAccess::installHelper() {
    co_await client.installHelper();
}

bool VMServiceControl::isRunning() const {
    return service.virtualMachine() != nullptr &&
           service.status().state == guest::VMStatus::State::running;
}

QCoro::Task<void> VMServiceControl::bootVM(std::vector<UniqueFd> diskHandles) {
    co_await service.bootVM(std::move(diskHandles));
}

QCoro::Task<void> VMServiceControl::stopVM() {
    co_await service.stopVM();
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
