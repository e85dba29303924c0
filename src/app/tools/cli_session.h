#pragma once
// One mounted partition for quorvale-cli: the same services and models as the application
// (helper client, disk detection, VM, transport, DeviceListViewModel, FileBrowserViewModel),
// brought up for a SOURCE: a disk-image file or a device name, optionally followed by
// ":PARTITION" (a partition name or number; default: the first ext4 partition).

#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>
#include <stdexcept>

#include "app/app_state.h"
#include "app/device_list_view_model.h"
#include "app/file_browser_view_model.h"
#include "app/service_adapters.h"
#include "disk/privileged_helper_client.h"
#include "guest/vm_lifecycle_service.h"
#include "guest/vsock_transport.h"

namespace quorvale::app::cli {

// A failure to report on one line.
struct CliError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct SourceSpec {
    QString source;     // image path or device name
    QString partition;  // empty: the first ext4 partition
};

// Splits "SOURCE[:PARTITION]"; an existing file path is taken whole.
SourceSpec parseSource(const QString& text);

class Session {
public:
    Session();
    ~Session();

    // Finds the device, picks the partition and mounts it; throws CliError.
    QCoro::Task<void> open(SourceSpec wanted, std::chrono::milliseconds readyTimeout);
    // Syncs and unmounts in the guest, then stops the VM. Never throws.
    QCoro::Task<void> close();

    FileBrowserViewModel& browser() { return *browserModel; }
    fileops::FileOperationService& service() { return *deviceList->fileOpService(); }
    const QString& partitionName() const { return partition; }

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
    QString partition;
    bool mounted = false;
};

}  // namespace quorvale::app::cli
