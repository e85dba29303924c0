#pragma once
// The mounted partitions of one quorvale-cli run: the same services and models as the
// application (helper client, disk detection, VM, transport, DeviceListViewModel,
// FileBrowserViewModel), brought up for one or more SOURCEs (cli_arguments.h). Each source is
// mounted through the application's own road: the first boots the VM, every further one is
// plugged into it.

#include <QHash>
#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>
#include <stdexcept>

#include "app/browser/file_browser_view_model.h"
#include "app/core/app_state.h"
#include "app/core/service_adapters.h"
#include "app/devices/device_list_view_model.h"
#include "cli_arguments.h"
#include "disk/partition_health.h"
#include "disk/privileged_helper_client.h"
#include "guest/vm_lifecycle_service.h"
#include "guest/vsock_transport.h"

namespace quorvale::app::cli {

// A failure to report on one line.
struct CliError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Session {
public:
    Session();
    ~Session();

    // Finds the device and picks the partition without starting anything; throws CliError.
    QCoro::Task<model::Partition> locate(SourceSpec wanted);
    // The partition's health read on the host from its superblock and sysfs.
    disk::PartitionHealth health(const model::Partition& partition);
    // Finds the device, picks the partition and mounts it (once per source); returns the
    // partition's name. Throws CliError.
    QCoro::Task<QString> open(SourceSpec wanted, std::chrono::milliseconds readyTimeout);
    // Syncs and unmounts in the guest, then stops the VM. Never throws.
    QCoro::Task<void> close();
    // The command ended the session itself (an eject): close() has nothing left to unmount.
    void markClosed() { mountedSources.clear(); }

    // The browser model, on `partition`.
    FileBrowserViewModel& browser(const QString& partition);
    fileops::FileOperationService& service() { return *deviceList->fileOpService(); }
    guest::VsockTransport& link() { return transport; }
    DeviceListViewModel& devices() { return *deviceList; }
    // The device of the first source opened.
    const model::Device& device() const { return firstDevice; }

    // The process's exit status when the command ends without an error (a check sets it).
    int exitStatus = 0;
    // How a partition whose journal needs recovery opens (--read-only, --repair).
    JournalChoice choice = JournalChoice::undecided;
    // --read-only: every disk goes to the VM read-only and every change is refused.
    bool readOnly = false;
    // `eject --verify`: check the card before it is ejected.
    bool verifyEject = false;
    // --staged: every source is mounted below an overlay; --session FILE names the record of
    // the staged changes to continue (empty: a new one in the cache directory).
    bool staged = false;
    QString sessionFile;
    // Tell on stderr when a mount took up staged changes left pending.
    bool noteRecovered = true;
    // Whole disks mounted staged, by partition name.
    QString stagedDisk(const QString& partition) const;

private:
    QCoro::Task<model::Device> findDevice(const QString& source);

    AppState state;
    disk::PrivilegedHelperClient helperClient;
    HelperClientAccess helper{helperClient};
    guest::VMLifecycleService vmService;
    VMServiceControl vm{vmService};
    guest::VsockTransport transport;
    DetectionDiskSource* disks = nullptr;
    std::unique_ptr<DeviceListViewModel> deviceList;
    std::unique_ptr<FileBrowserViewModel> browserModel;
    std::vector<std::pair<SourceSpec, QString>> mountedSources;  // source, partition
    QHash<QString, QString> diskOfPartition;                     // for the audit lines
    model::Device firstDevice;
    bool monitoring = false;
};

}  // namespace quorvale::app::cli
