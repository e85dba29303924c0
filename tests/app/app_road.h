#pragma once
// The application's own road in VM tests: the device list over the real VM service and vsock
// transport, mounts counted as they end, and listings read through a browser model. Disks come
// from disk images opened through detection, or from a source and helper the test gives.

#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>

#include "app/core/app_state.h"
#include "app/core/service_adapters.h"
#include "app/devices/device_list_view_model.h"
#include "disk/privileged_helper_client.h"
#include "guest/vm_lifecycle_service.h"
#include "guest/vsock_transport.h"
#include "model/device.h"

namespace quorvale::app {

struct AppRoad {
    // Disk images opened through detection, the helper reached at its usual socket.
    AppRoad();
    // No device list until useDisks() makes one.
    struct Deferred {};
    explicit AppRoad(Deferred);
    ~AppRoad();  // stops the VM
    AppRoad(const AppRoad&) = delete;
    AppRoad& operator=(const AppRoad&) = delete;

    // A new device list over disks reported by `source`, the helper reached through
    // `helperClient` (both outliving the road).
    void useDisks(std::unique_ptr<DiskSource> source, disk::PrivilegedHelperClient& helperClient);
    // Opens a disk image; the list reads it and mounts its first ext partition.
    std::optional<model::Device> open(const QString& image);
    // Waits for the `count`th mount to end and no boot to be under way.
    bool waitForMounts(int count, std::chrono::milliseconds limit = std::chrono::seconds(240));
    // Selects and mounts the partition as the sidebar does; waits for that mount to end.
    bool select(const model::Partition& partition);
    // Whether the VM runs; otherwise a failure message says why.
    ::testing::AssertionResult running() const;
    // The sorted names in `path` of the partition, listed through a browser model.
    QStringList list(const QString& partition, const QString& path = QStringLiteral("/"));
    QString selectedPartition() const;

    // The application object exists before any service is made.
    struct Application {
        Application();
    } application;
    AppState state;
    std::unique_ptr<disk::PrivilegedHelperClient> ownHelperClient;
    std::unique_ptr<HelperClientAccess> helper;
    guest::VMLifecycleService vmService;
    VMServiceControl vm{vmService};
    guest::VsockTransport transport;
    DetectionDiskSource* disks = nullptr;  // set when images are opened through detection
    std::unique_ptr<DeviceListViewModel> devices;
    int mountsFinished = 0;
};

}  // namespace quorvale::app
