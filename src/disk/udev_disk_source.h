#pragma once
// The disk event source on Linux. At start it reports every block device present (from
// sysfs), then each kernel or udev event for the block subsystem, as description
// dictionaries built by SysfsBlockReader. Events come from the udev daemon through libudev
// when one runs (/run/udev/control), else straight from the kernel's uevent netlink socket.
// Everything runs on the source's own thread; destruction stops and joins it.
//
// A whole disk is reported once it has media (size > 0) and reported gone when it loses them
// or is removed. A device already reported is reported again when what the sidebar shows of it
// changes (size, names, filesystem type, partition type); repeated events report nothing new.
//
// Through the daemon, the kernel's own events are read as well: each is used only when the
// daemon has not passed it on within daemonGrace, so that nothing is lost while the daemon
// restarts or after it died.

#include <QSet>
#include <QString>

#include <chrono>
#include <map>
#include <thread>

#include "disk/disk_event_source.h"
#include "disk/disk_paths.h"
#include "disk/sysfs_block_reader.h"
#include "disk/uevent_message.h"
#include "rpc/unique_fd.h"

struct udev;
struct udev_monitor;

namespace quorvale::disk {

class UdevDiskSource : public DiskEventSource {
public:
    // Opens the event socket now, so that nothing is missed between enumeration and
    // monitoring. With `kernelEvents` (a datagram socket carrying kernel-format uevents, for
    // tests), that socket is used instead. Throws quorvale::Error when no socket can be made.
    explicit UdevDiskSource(DiskPaths paths = {}, UniqueFd kernelEvents = {});
    ~UdevDiskSource() override;

    void start(Handlers handlers) override;

    // The steps of the thread, callable directly (tests).
    void enumerate(const Handlers& handlers);
    void handleMessage(const UeventMessage& message, const Handlers& handlers);
    // After lost events: reports what appeared meanwhile, then what is gone.
    void resynchronise(const Handlers& handlers);

    static bool udevDaemonRunning();

    // How long a kernel event waits for the daemon's copy.
    static constexpr std::chrono::milliseconds daemonGrace{3000};

private:
    void run(Handlers handlers);
    std::optional<UeventMessage> receiveUdev();
    std::optional<UeventMessage> receiveKernel();
    QMap<QString, QString> udevProperties(const QString& name) const;

    DiskPaths paths;
    SysfsBlockReader reader;
    UniqueFd kernelSocket;
    udev* udevContext = nullptr;
    udev_monitor* monitor = nullptr;
    UniqueFd stopEvent;
    std::thread thread;
    QSet<QString> presentDisks;
    QSet<QString> reportedPartitions;
    QMap<QString, QStringList> reported;  // what was reported of each device
    struct Pending {
        UeventMessage message;
        std::chrono::steady_clock::time_point due;
    };
    std::map<qulonglong, Pending> pendingKernel;  // by sequence number
    bool lostEvents = false;
};

}  // namespace quorvale::disk
