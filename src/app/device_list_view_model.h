#pragma once
// DeviceListViewModel: the sidebar's model and the owner of the mount and eject roads. Keeps the
// devices reported by its disk source (updated in place or appended), auto-selects the first
// ext4 partition of a device while nothing is selected, and mounts it. One VM holds every
// mounted disk, and the app keeps one open handle per whole disk: a mount opens the whole disk
// once (helper, or the disk image's own descriptor) and reuses that handle for every partition
// of it; it boots the VM with every held disk, or plugs the disk into the running VM, and probes
// the guest with "ping" over fresh connections until it answers. Progress is published through
// AppState. At most one mount is current: starting another cancels the previous one, and a
// cancelled mount writes nothing after its next suspension. cancelMount() also ends what the
// mount started: a boot (the VM is ended, the handles closed) or a plug-in (the disk is unplugged
// and its handle closed). Eject takes one card out of the VM and off the host, each step failing
// softly; the VM stops with its last disk. A VM that ends by itself reaches AppState as an error
// with a banner. Lives on the GUI thread; the services and the transport it is given must
// outlive it.

#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <map>
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
    // Sync and unmount the card in the guest, take it out of the VM (stopping the VM with its
    // last disk), close its handle and eject it; never throws. A boot holding the card ends and
    // its mount starts again without it.
    QCoro::Task<void> ejectDevice(model::Device device);
    void cancelMount();
    // Starts the disk service's monitoring and sets isMonitoring. A monitor that cannot start
    // is reported (log and banner) and leaves isMonitoring false; disk images still open.
    void startMonitoring();
    // Whole disks the app holds an open handle on.
    QStringList heldDisks() const;

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
    // One mount task: what cancelMount() must end depends on how far it got.
    struct MountRun {
        enum class Phase { opening, booting, attaching, done };
        std::stop_source stop;
        QString disk;  // whole disk being mounted
        Phase phase = Phase::opening;
        bool abandoned = false;  // cancelled by cancelMount(): undo what it started
    };

    // Marks the device with `deviceID` as being ejected, or no longer.
    void setEjecting(const QString& deviceID, bool ejecting);
    static QCoro::Task<void> runMount(QPointer<DeviceListViewModel> self,
                                      QPointer<AppState> appState, std::shared_ptr<MountRun> run);
    static QCoro::Task<void> mountSequence(QPointer<DeviceListViewModel> self,
                                           QPointer<AppState> appState,
                                           std::shared_ptr<MountRun> run);
    // The held handle of `disk`, opened first when there is none. Throws.
    static QCoro::Task<void> holdDisk(QPointer<DeviceListViewModel> self, QString disk,
                                      std::stop_token stop);
    static QCoro::Task<void> bootWithHeldDisks(QPointer<DeviceListViewModel> self,
                                               std::shared_ptr<MountRun> run);
    static QCoro::Task<void> attachHeldDisk(QPointer<DeviceListViewModel> self,
                                            std::shared_ptr<MountRun> run);
    void reportMountFailure(const std::exception& error, const QString& disk, bool attaching);
    // Copies of the held handle(s) for the VM.
    std::optional<guest::VMDisk> vmDisk(const QString& disk) const;
    // A plug-in ended by cancelMount(): the disk leaves the VM again and its handle is closed.
    static QCoro::Task<void> undoAttach(QPointer<DeviceListViewModel> self, QString disk);
    void vmStoppedUnexpectedly(const QString& cause);

    // The eject road, step by step.
    QCoro::Task<void> flushInGuest(QString disk);
    QCoro::Task<void> releaseFromVM(QString disk);
    QCoro::Task<bool> ejectFromHost(model::Device device);
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
    std::shared_ptr<MountRun> mountTask;
    std::map<QString, UniqueFd> diskHandles;  // by whole-disk name
};

}  // namespace quorvale::app
