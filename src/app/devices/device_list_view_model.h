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
// and its handle closed). Each ext partition's health card is read from its superblock on the
// host as soon as its device is reported, and again before mounting: a card the guest kernel
// cannot open is refused, a write-protected or read-only-only card opens read-only with a
// banner, and a journal that needs recovery is never replayed without a choice (the
// journalRecovery alert asks; mount() with the choice continues). Eject takes one card out of
// the VM and off the host, each step failing softly; after unmounting it verifies each partition
// it had mounted: the guest checks it read-only (progress in ejectCheck, skipEjectCheck() skips)
// and the banner says whether the card is safe to remove. The VM stops with its last disk. A VM
// that ends by itself reaches AppState as an error with a banner. Lives on the GUI thread; the
// services and the transport it is given must outlive it.

#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>

#include "app/core/app_state.h"
#include "app/core/service_interfaces.h"
#include "app/devices/held_disk.h"
#include "app/devices/mount_choice.h"
#include "app/health/check_report.h"
#include "app/health/eject_verification.h"
#include "app/health/health_card.h"
#include "app/staging/staged_changes.h"
#include "disk/disk_detection_delegate.h"
#include "disk/partition_health.h"
#include "fileops/file_operation_service.h"
#include "model/device.h"

namespace quorvale::guest {
class VsockTransport;
}
namespace quorvale::fileops {
class FileOperationService;
struct Change;
}  // namespace quorvale::fileops

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
    // a new one. `choice` answers the question about a journal that needs recovery.
    void mount(const model::Partition& partition, JournalChoice choice = JournalChoice::undecided);
    // Sync and unmount the card in the guest, check what it had mounted (when verifyOnEject),
    // take it out of the VM (stopping the VM with its last disk), close its handle and eject
    // it; never throws. A boot holding the card ends and its mount starts again without it.
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
    // Fails an export or listing of a card that is no longer in its reader (see
    // VMControl::checkDisks); every file service on the VM's transport uses it (the app
    // state's checkDisks is this).
    fileops::DiskCheck diskCheck() const;

    // Every disk is handed to the VM read-only (a read-only session): nothing can be written
    // to it whatever the guest does.
    bool attachReadOnly = false;
    // How long the readiness probe waits for the guest (10 s; shorter in tests).
    std::chrono::milliseconds readyTimeout = std::chrono::seconds(10);

    // The last health card read for a partition (by id), if any.
    std::optional<HealthCard> healthCard(const QString& partitionID) const;
    // Whether the guest mounted the partition (by name) for us.
    bool isMounted(const QString& partition) const {
        return mountedPartitions_.contains(partition);
    }
    // Reads a partition's health; `imageFd` is the disk image's descriptor, or -1 for a device.
    // Runs off the GUI thread. Replaceable in tests.
    std::function<disk::PartitionHealth(const model::Partition&, int imageFd)> readHealth;

    // Staged changes (staged_changes.h). From its next mount, `disk` (a whole-disk name) goes
    // to the VM read-only below an overlay that takes every write. `recordPath` names the
    // record to continue or create (empty: a new one in StagedStore::defaultDirectory());
    // `source` names the card for people. A record that belongs to another card, or to a card
    // changed since, refuses the mount.
    void stageChanges(const QString& disk, QString recordPath = {}, QString source = {});
    // Whether `disk` is (to be) mounted staged.
    bool isStaging(const QString& disk) const { return staging_.contains(disk); }
    // The record of a disk mounted staged, and where it is kept.
    std::optional<StagedRecord> stagedRecord(const QString& disk) const;
    QString stagedRecordPath(const QString& disk) const;
    // Adds an operation to the disk's record and saves it; nothing for a disk not staged.
    void recordStagedOperation(const QString& disk, StagedOperation operation);
    // A change about to be sent to `partition`: on a staged disk, a write or copy the
    // overlay has no room for is refused (throws StagedError) before anything is sent.
    void checkStagedChange(const fileops::Change& change, const QString& partition,
                           std::uint64_t entryBytes = 0) const;
    // A change the guest has done on `partition`: on a staged disk it is recorded (an entry's
    // size, when known, is `entryBytes`).
    void stagedChange(const fileops::Change& change, const QString& partition,
                      std::uint64_t entryBytes = 0);
    // Stages the partition's card, or stops staging it, now: a card in the VM leaves it (synced
    // and unmounted) and is mounted again, below a new overlay or directly. Stopping is refused
    // while changes are pending (apply or discard them). Never throws; failures reach the banner.
    QCoro::Task<void> setStaged(model::Partition partition, bool staged);
    // Throws StagedError when `disk` is staged and its overlay's file system has not room for
    // `bytes` more.
    void checkStagingRoom(const QString& disk, std::uint64_t bytes) const;
    // Writes the staged changes into the card: the guest syncs and unmounts the disk, the card
    // is checked to be the one staged and unchanged, a writable handle is opened for this step
    // only, the VM commits the overlay (progress in bytes), the guest checks the filesystem,
    // and the overlay and record go. The disk stays in the VM, written directly. Throws; the
    // overlay and record stay after any failure.
    QCoro::Task<CheckReport> applyStagedChanges(QString disk,
                                                std::function<void(quint64, quint64)> progress);
    // Drops the staged changes: the guest unmounts the disk, it leaves the VM (which stops
    // with its last disk), its handle is closed and the overlay and record are deleted. The
    // card is untouched. Never throws.
    QCoro::Task<void> discardStagedChanges(QString disk);
    // At a mount, a record of staged changes in the default directory for the same card is
    // taken up again (the mount is staged) when this is on.
    bool recoverStagedChanges = true;

    // Whether eject checks each partition it had mounted (on by default).
    bool verifyOnEject = true;
    // The check of the eject under way, if any.
    std::optional<EjectCheck> ejectCheck() const { return ejectVerification_.current(); }
    // Skips the eject's check; the eject goes on.
    void skipEjectCheck() { ejectVerification_.skip(); }
    // What the last verifying eject found, one report per partition checked.
    QList<CheckReport> lastEjectReports() const { return ejectVerification_.reports(); }

Q_SIGNALS:
    void devicesChanged();
    void selectedDeviceIDChanged();
    void isMonitoringChanged();
    // A mount task reached its end (any outcome, cancelled included).
    void mountFinished();
    void healthCardsChanged();
    void ejectCheckChanged();
    // A disk began or stopped being staged, or its record changed.
    void stagingChanged(const QString& disk);
    // A mount took up staged changes left by an earlier run (the record's path).
    void stagedChangesRecovered(const QString& disk, const QString& recordPath);

private:
    // The whole disk a partition (or disk) name belongs to.
    static QString wholeDiskOf(const QString& bsdName);
    // readHealth's default: the superblock read on the host, from the device or the image.
    static disk::PartitionHealth readHostHealth(const model::Partition& partition, int imageFd);

    // One mount task: what cancelMount() must end depends on how far it got.
    struct MountRun {
        enum class Phase { opening, booting, attaching, done };
        std::stop_source stop;
        QString disk;  // whole disk being mounted
        Phase phase = Phase::opening;
        bool abandoned = false;  // cancelled by cancelMount(): undo what it started
        model::Partition partition;
        JournalChoice choice = JournalChoice::undecided;
    };

    // Marks the device with `deviceID` as being ejected, or no longer.
    void setEjecting(const QString& deviceID, bool ejecting);
    static QCoro::Task<void> runMount(QPointer<DeviceListViewModel> self,
                                      QPointer<AppState> appState, std::shared_ptr<MountRun> run);
    static QCoro::Task<void> mountSequence(QPointer<DeviceListViewModel> self,
                                           QPointer<AppState> appState,
                                           std::shared_ptr<MountRun> run);
    // The held handle of `disk`, opened first (read-only when asked; a disk image read-only
    // only when `staged` or in a read-only session) when there is none. Throws.
    static QCoro::Task<void> holdDisk(QPointer<DeviceListViewModel> self, QString disk,
                                      bool readOnly, std::stop_token stop, bool staged = false);
    // Reads each ext partition's health card of a reported device, in the background.
    void readHealthCards(const model::Device& device);
    static QCoro::Task<void> readReportedCard(QPointer<DeviceListViewModel> self,
                                              model::Partition partition);
    bool hasPartition(const QString& partitionID) const;
    // These take their arguments by reference and are awaited at once.
    static QCoro::Task<HealthCard> readCard(QPointer<DeviceListViewModel> self,
                                            const model::Partition& partition, int imageFd);
    // Mounts the partition in the guest as decided; false when the guest asked for a choice.
    static QCoro::Task<bool> mountInGuest(QPointer<DeviceListViewModel> self,
                                          const model::Partition& partition,
                                          const MountDecision& decision,
                                          QPointer<AppState> appState);
    // Forgets the guest mounts of `disk` (all when empty).
    void forgetMounts(const QString& disk);
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
    // Staging of a disk: what was asked, and once mounted its record and overlay.
    struct Staging {
        QString recordPath;
        QString source;
        bool recovered = false;  // found in the default directory at the mount
        bool requested = false;  // staging was asked for before the mount
        std::optional<StagedRecord> record;
        UniqueFd overlay;
    };
    // Whether the mount of `run` is staged: asked for, or a pending record for its card.
    bool decideStaging(const MountRun& run, const HealthCard& card);
    // After the card is held: its identity checked against the record (or a new overlay and
    // record made) and the overlay opened. Throws StagedError. False when a recovered record
    // turned out not to fit: the mount goes on unstaged.
    bool prepareStaging(const MountRun& run);

    // The eject road, step by step. flushInGuest tells whether the guest synced and unmounted
    // the disk; a failed sync is kept to tell the user, since changes may not be on the card.
    struct Flush {
        bool unmounted = false;
        QString syncFailure;  // empty when the sync succeeded
    };
    QCoro::Task<Flush> flushInGuest(QString disk);
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
    std::map<QString, HeldDisk> diskHandles;  // by whole-disk name
    std::map<QString, HealthCard> healthCards_;
    QStringList mountedPartitions_;       // partitions the guest mounted for us, by name
    std::map<QString, Staging> staging_;  // by whole-disk name
    EjectVerification ejectVerification_{transport};
};

}  // namespace quorvale::app
