#include "disk/udev_disk_source.h"

#include <libudev.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "rpc/device_name.h"
#include "rpc/error.h"

namespace quorvale::disk {

namespace {

UniqueFd openKernelUeventSocket() {
    UniqueFd fd(
        ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT));
    if (!fd)
        return fd;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;  // the kernel's multicast group
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return UniqueFd();
    const int size = 1 << 20;  // bursts (a hub of card readers) must not overflow
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return fd;
}

DiskDescription goneDescription(const QString& name, bool whole) {
    DiskDescription d;
    d.insert(kDADiskDescriptionMediaBSDNameKey, name);
    d.insert(kDADiskDescriptionMediaWholeKey, whole);
    return d;
}

QString parentOf(const QString& name) {
    const auto whole = rpc::wholeDiskName(name.toStdString());
    return whole ? QString::fromStdString(*whole) : name;
}

// Whether the daemon's record of the disk (or of a partition's disk) was made for an earlier
// medium. The kernel numbers each medium a disk gets (DISKSEQ, read live from sysfs), and the
// daemon links /dev/disk/by-diskseq/<number> for the medium it last probed; events it never
// saw (it was down while a loop device was detached and its name taken by another card) leave
// the old card's label and file system in its record. Without such a link nothing can be told.
bool recordOfAnEarlierMedium(udev_device* device) {
    if (const char* type = udev_device_get_devtype(device);
        type && std::strcmp(type, "partition") == 0)
        device = udev_device_get_parent_with_subsystem_devtype(device, "block", "disk");
    if (!device)
        return false;
    const char* sequence = udev_device_get_property_value(device, "DISKSEQ");
    if (!sequence)
        return false;
    constexpr std::string_view link = "/dev/disk/by-diskseq/";
    for (udev_list_entry* e = udev_device_get_devlinks_list_entry(device); e;
         e = udev_list_entry_get_next(e)) {
        const std::string_view path = udev_list_entry_get_name(e);
        if (path.substr(0, link.size()) == link)
            return path.substr(link.size()) != sequence;
    }
    return false;
}

}  // namespace

bool UdevDiskSource::udevDaemonRunning() {
    return QFileInfo::exists(QStringLiteral("/run/udev/control"));
}

UdevDiskSource::UdevDiskSource(DiskPaths paths, UniqueFd kernelEvents)
    : paths(paths), reader(paths), kernelSocket(std::move(kernelEvents)) {
    if (!kernelSocket && udevDaemonRunning()) {
        udevContext = udev_new();
        if (udevContext)
            monitor = udev_monitor_new_from_netlink(udevContext, "udev");
        if (monitor) {
            udev_monitor_filter_add_match_subsystem_devtype(monitor, "block", nullptr);
            // A burst (a hub of card readers, a rescan) must not overflow the socket.
            udev_monitor_set_receive_buffer_size(monitor, 8 << 20);
            if (udev_monitor_enable_receiving(monitor) < 0) {
                udev_monitor_unref(monitor);
                monitor = nullptr;
            }
        }
    }
    // With the daemon, the kernel's own events are the fallback for those it never passes on
    // (it was restarting, or is gone).
    if (!kernelSocket)
        kernelSocket = openKernelUeventSocket();
    if (!kernelSocket && !monitor) {
        throw Error(std::string("Failed to create the device event monitor: ") +
                    std::strerror(errno));
    }
    stopEvent.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stopEvent)
        throw Error(std::string("Failed to create the device event monitor: ") +
                    std::strerror(errno));
}

UdevDiskSource::~UdevDiskSource() {
    if (thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(stopEvent.get(), &one, sizeof one);
        thread.join();
    }
    if (monitor)
        udev_monitor_unref(monitor);
    if (udevContext)
        udev_unref(udevContext);
}

void UdevDiskSource::start(Handlers handlers) {
    if (thread.joinable())
        return;
    thread = std::thread([this, handlers = std::move(handlers)] { run(handlers); });
}

void UdevDiskSource::run(Handlers handlers) {
    enumerate(handlers);
    if (handlers.enumerationCompleted)
        handlers.enumerationCompleted();
    const int udevFd = monitor ? udev_monitor_get_fd(monitor) : -1;
    for (;;) {
        // poll() skips negative descriptors: without the daemon only the kernel socket counts.
        pollfd fds[3] = {{stopEvent.get(), POLLIN, 0},
                         {kernelSocket ? kernelSocket.get() : -1, POLLIN, 0},
                         {udevFd, POLLIN, 0}};
        int timeout = -1;
        if (!pendingKernel.empty()) {
            const auto due = std::min_element(pendingKernel.begin(), pendingKernel.end(),
                                              [](const auto& a, const auto& b) {
                                                  return a.second.due < b.second.due;
                                              })
                                 ->second.due;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                due - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::clamp<long long>(left.count() + 1, 0, 60000));
        }
        if (::poll(fds, 3, timeout) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
            return;
        if ((fds[1].revents | fds[2].revents) & POLLNVAL)
            return;
        // Drain everything readable before waiting again. Through the daemon, a kernel event
        // waits for the daemon's copy (richer: it has probed the device) and is used itself
        // only when that copy does not come.
        bool received = false;
        while (monitor) {
            auto message = receiveUdev();
            if (!message)
                break;
            received = true;
            // The daemon handles one device's events in order: this copy supersedes the
            // device's earlier kernel events too.
            const auto seqnum = message->properties.value(QStringLiteral("SEQNUM")).toULongLong();
            for (auto it = pendingKernel.begin(); it != pendingKernel.end();) {
                const bool superseded =
                    it->first == seqnum ||
                    (it->first < seqnum && it->second.message.devpath == message->devpath);
                it = superseded ? pendingKernel.erase(it) : std::next(it);
            }
            handleMessage(*message, handlers);
        }
        while (auto message = receiveKernel()) {
            received = true;
            if (!monitor) {
                handleMessage(*message, handlers);
                continue;
            }
            const auto seqnum = message->properties.value(QStringLiteral("SEQNUM")).toULongLong();
            pendingKernel[seqnum] = {*message, std::chrono::steady_clock::now() + daemonGrace};
        }
        const auto now = std::chrono::steady_clock::now();
        for (auto it = pendingKernel.begin(); it != pendingKernel.end();) {
            if (it->second.due > now) {
                ++it;
                continue;
            }
            const UeventMessage message = it->second.message;
            it = pendingKernel.erase(it);
            // A late removal of a device that is back by now is stale.
            if (message.action == QLatin1String("remove") && reader.describe(message.sysname()))
                continue;
            handleMessage(message, handlers);
        }
        if (lostEvents) {
            lostEvents = false;
            resynchronise(handlers);
        } else if (!received && !monitor && (fds[1].revents & POLLHUP)) {
            return;  // the sending end is gone (a socket pair in tests)
        }
    }
}

void UdevDiskSource::resynchronise(const Handlers& handlers) {
    // Report what appeared meanwhile, then what is gone.
    enumerate(handlers);
    const QSet<QString> present = presentDisks;
    for (const QString& name : present) {
        if (reader.describe(name))
            continue;
        UeventMessage removed;
        removed.action = QStringLiteral("remove");
        removed.properties = {{QStringLiteral("SUBSYSTEM"), QStringLiteral("block")},
                              {QStringLiteral("DEVNAME"), name},
                              {QStringLiteral("DEVTYPE"), QStringLiteral("disk")}};
        handleMessage(removed, handlers);
    }
}

std::optional<UeventMessage> UdevDiskSource::receiveUdev() {
    {
        for (;;) {
            errno = 0;
            udev_device* device = udev_monitor_receive_device(monitor);
            if (!device) {
                if (errno == ENOBUFS)  // the daemon's events overflowed: rescan afterwards
                    lostEvents = true;
                return std::nullopt;
            }
            UeventMessage message;
            if (const char* action = udev_device_get_action(device))
                message.action = QString::fromUtf8(action);
            if (const char* devpath = udev_device_get_devpath(device))
                message.devpath = QString::fromUtf8(devpath);
            for (udev_list_entry* e = udev_device_get_properties_list_entry(device); e;
                 e = udev_list_entry_get_next(e)) {
                message.properties.insert(QString::fromUtf8(udev_list_entry_get_name(e)),
                                          QString::fromUtf8(udev_list_entry_get_value(e)));
            }
            udev_device_unref(device);
            return message;
        }
    }
}

std::optional<UeventMessage> UdevDiskSource::receiveKernel() {
    if (!kernelSocket)
        return std::nullopt;
    std::vector<char> buffer(16384);
    for (;;) {
        sockaddr_nl sender{};
        iovec iov{buffer.data(), buffer.size()};
        msghdr header{};
        header.msg_name = &sender;
        header.msg_namelen = sizeof sender;
        header.msg_iov = &iov;
        header.msg_iovlen = 1;
        const ssize_t count = ::recvmsg(kernelSocket.get(), &header, MSG_DONTWAIT);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            if (errno == ENOBUFS) {  // the kernel dropped events: rescan afterwards
                lostEvents = true;
                continue;
            }
            return std::nullopt;  // EAGAIN: drained
        }
        if (count == 0)
            return std::nullopt;
        // Only the kernel (port 0) speaks on the uevent group; others are ignored.
        if (header.msg_namelen >= sizeof(sa_family_t) && sender.nl_family == AF_NETLINK &&
            sender.nl_pid != 0) {
            continue;
        }
        if (header.msg_flags & MSG_TRUNC)
            continue;
        if (auto message = UeventMessage::parse(buffer.data(), static_cast<std::size_t>(count)))
            return message;
    }
}

QMap<QString, QString> UdevDiskSource::udevProperties(const QString& name) const {
    QMap<QString, QString> properties;
    if (!udevContext)
        return properties;
    udev_device* device =
        udev_device_new_from_subsystem_sysname(udevContext, "block", name.toUtf8().constData());
    if (!device)
        return properties;
    // A stale record: the reader probes the medium itself rather than show another card's name.
    if (recordOfAnEarlierMedium(device)) {
        udev_device_unref(device);
        return properties;
    }
    for (udev_list_entry* e = udev_device_get_properties_list_entry(device); e;
         e = udev_list_entry_get_next(e)) {
        properties.insert(QString::fromUtf8(udev_list_entry_get_name(e)),
                          QString::fromUtf8(udev_list_entry_get_value(e)));
    }
    udev_device_unref(device);
    return properties;
}

void UdevDiskSource::enumerate(const Handlers& handlers) {
    for (const QString& name : reader.blockDevices()) {
        UeventMessage message;
        message.action = QStringLiteral("add");
        message.properties = udevProperties(name);
        message.properties.insert(QStringLiteral("SUBSYSTEM"), QStringLiteral("block"));
        message.properties.insert(QStringLiteral("DEVNAME"), name);
        if (!message.properties.contains(QStringLiteral("DEVTYPE"))) {
            const bool partition =
                QFileInfo::exists(paths.sysfsRoot + QStringLiteral("/class/block/") + name +
                                  QStringLiteral("/partition"));
            message.properties.insert(QStringLiteral("DEVTYPE"), partition
                                                                     ? QStringLiteral("partition")
                                                                     : QStringLiteral("disk"));
        }
        handleMessage(message, handlers);
    }
}

void UdevDiskSource::handleMessage(const UeventMessage& message, const Handlers& handlers) {
    if (message.subsystem() != QLatin1String("block"))
        return;
    const QString name = message.sysname();
    const bool whole = message.isWholeDisk();
    if (message.action == QLatin1String("remove")) {
        if (whole) {
            for (auto it = reportedPartitions.begin(); it != reportedPartitions.end();) {
                if (parentOf(*it) != name) {
                    ++it;
                    continue;
                }
                reported.remove(*it);
                it = reportedPartitions.erase(it);
            }
            reported.remove(name);
            if (presentDisks.remove(name) && handlers.diskDisappeared)
                handlers.diskDisappeared(goneDescription(name, true));
        } else {
            reported.remove(name);
            if (reportedPartitions.remove(name) && handlers.diskDisappeared)
                handlers.diskDisappeared(goneDescription(name, false));
        }
        return;
    }
    if (message.action != QLatin1String("add") && message.action != QLatin1String("change"))
        return;
    const auto description = reader.describe(name, message.properties);
    if (!description)
        return;  // the device went away before it could be read
    // What the sidebar shows of a device: a change of any of it is reported again.
    QStringList shown;
    for (const QString& key : {kDADiskDescriptionMediaSizeKey, kDADiskDescriptionMediaNameKey,
                               kDADiskDescriptionVolumeNameKey, kDADiskDescriptionVolumeTypeKey,
                               kDADiskDescriptionMediaContentKey})
        shown << description->map().value(key).toString();
    const bool changed = reported.value(name) != shown;
    if (!whole && reportedPartitions.contains(name) && !changed)
        return;
    if (whole) {
        if (description->number(kDADiskDescriptionMediaSizeKey).value_or(0) == 0) {
            // No medium (an empty card reader) or a detached loop device.
            reported.remove(name);
            if (presentDisks.remove(name) && handlers.diskDisappeared)
                handlers.diskDisappeared(goneDescription(name, true));
            return;
        }
        if (presentDisks.contains(name) && !changed)
            return;
        const bool again = presentDisks.contains(name);
        presentDisks.insert(name);
        reported.insert(name, shown);
        if (handlers.wholeDiskAppeared)
            handlers.wholeDiskAppeared(*description);
        // A disk reported again starts with no partitions: its partitions follow it again.
        if (again && handlers.partitionAppeared) {
            for (const QString& partition : reportedPartitions) {
                if (parentOf(partition) != name)
                    continue;
                if (const auto current = reader.describe(partition, udevProperties(partition)))
                    handlers.partitionAppeared(*current);
            }
        }
    } else {
        reportedPartitions.insert(name);
        reported.insert(name, shown);
        if (handlers.partitionAppeared)
            handlers.partitionAppeared(*description);
    }
}

}  // namespace quorvale::disk
