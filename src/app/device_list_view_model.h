#pragma once
// DeviceListViewModel: the sidebar's model and the owner of the mount and eject roads. Keeps the
// devices reported by its disk source (updated in place or appended), auto-selects the first
// ext4 partition of a device while nothing is selected, and mounts it: open the whole disk
// (helper, or the disk image's own descriptor), boot the VM or reuse a running one, and probe
// the guest with "ping" over fresh connections until it answers. Progress is published through
// AppState. At most one mount is current: starting another, cancelMount() or the active disk
// disappearing cancels it, and a cancelled mount writes nothing after its next suspension.
// Eject runs the road backwards, each step failing softly. Lives on the GUI thread; the
// services and the transport it is given must outlive it.

#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>
#include <stop_token>

#include "app/app_state.h"
#include "app/service_interfaces.h"
#include "disk/disk_detection_delegate.h"
#include "model/device.h"

namespace quorvale::guest {
class VsockTransport;
}
namespace quorvale::fileops {
class FileOperationService;
}

namespace quorvale::app {

class DeviceListViewModel : public QObject, public disk::DiskDetectionDelegate {
    Q_OBJECT
    Q_PROPERTY(QList<quorvale::model::Device> devices READ devices NOTIFY devicesChanged)
    Q_PROPERTY(std::optional<QString> selectedDeviceID READ selectedDeviceID WRITE
                   setSelectedDeviceID NOTIFY selectedDeviceIDChanged)
    Q_PROPERTY(bool isMonitoring READ isMonitoring WRITE setIsMonitoring NOTIFY isMonitoringChanged)

public:
    static constexpr std::uint32_t agentPort = 5000;
    static constexpr std::chrono::milliseconds probePause{250};

    DeviceListViewModel(HelperAccess& helperClient, VMControl& vmService,
                        guest::VsockTransport& transport, AppState* appState,
                        std::unique_ptr<DiskSource> diskService, QObject* parent = nullptr);
    ~DeviceListViewModel() override;

    // Refuses anything but ext4 with a banner; otherwise cancels the current mount and starts
    // a new one.
    void mount(const model::Partition& partition);
    // Sync, unmount, stop the VM, disconnect, eject; never throws.
    QCoro::Task<void> ejectDevice(model::Device device);
    void cancelMount();

    QCoro::Task<void> deviceUpdated(model::Device device) override;
    QCoro::Task<void> deviceRemoved(QString bsdName) override;

    QList<model::Device> devices() const { return devices_; }
    std::optional<QString> selectedDeviceID() const { return selectedDeviceID_; }
    void setSelectedDeviceID(const std::optional<QString>& value);
    bool isMonitoring() const { return isMonitoring_; }
    void setIsMonitoring(bool value);
    bool isAutoSelecting() const { return isAutoSelecting_; }
    DiskSource& diskService() { return *diskService_; }
    // The service that passed the last readiness probe (or the first one made).
    std::shared_ptr<fileops::FileOperationService> fileOpService() const { return fileOpService_; }

    // How long the readiness probe waits for the guest (10 s; shorter in tests).
    std::chrono::milliseconds readyTimeout = std::chrono::seconds(10);

Q_SIGNALS:
    void devicesChanged();
    void selectedDeviceIDChanged();
    void isMonitoringChanged();
    // A mount task reached its end (any outcome, cancelled included).
    void mountFinished();

private:
    // Marks the device with `deviceID` as being ejected, or no longer.
    void setEjecting(const QString& deviceID, bool ejecting);
    static QCoro::Task<void> runMount(QPointer<DeviceListViewModel> self,
                                      model::Partition partition, QPointer<AppState> appState,
                                      std::stop_token stop);
    static QCoro::Task<void> mountSequence(QPointer<DeviceListViewModel> self,
                                           model::Partition partition, QPointer<AppState> appState,
                                           std::stop_token stop);
    static QCoro::Task<void> waitForVMReady(QPointer<DeviceListViewModel> self,
                                            std::chrono::milliseconds timeout,
                                            std::stop_token stop);
    void autoSelectPartition(const model::Device& device);
    bool isActiveDisk(const QString& bsdName) const;

    HelperAccess& helperClient;
    VMControl& vmService;
    guest::VsockTransport& transport;
    QPointer<AppState> appState;
    std::unique_ptr<DiskSource> diskService_;
    std::shared_ptr<fileops::FileOperationService> fileOpService_;
    QList<model::Device> devices_;
    std::optional<QString> selectedDeviceID_;
    bool isMonitoring_ = false;
    bool isAutoSelecting_ = false;
    std::optional<std::stop_source> mountTask;
};

}  // namespace quorvale::app
