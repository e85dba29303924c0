#pragma once
// What the daemon sees of a machine, built under a temporary directory: a sysfs tree with
// disks on the usb, mmc or a fixed bus, a /dev tree whose nodes are ext4 image files, and a
// mountinfo file. Plus the real daemon run as a child process over it, and a bare client.

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "rpc/unique_fd.h"

namespace quorvale::test {

enum class Bus { usb, mmc, fixed };

struct FakeDisk {
    FakeDisk(std::string name, std::string dev, Bus bus = Bus::usb, bool removable = false,
             bool readOnly = false,
             std::vector<std::pair<std::string, std::string>> partitions = {},
             std::string reader = {}, int lun = 0)
        : name(std::move(name)),
          dev(std::move(dev)),
          bus(bus),
          removable(removable),
          readOnly(readOnly),
          partitions(std::move(partitions)),
          reader(std::move(reader)),
          lun(lun) {}

    std::string name;
    std::string dev;  // "major:minor"
    Bus bus = Bus::usb;
    bool removable = false;
    bool readOnly = false;
    std::vector<std::pair<std::string, std::string>> partitions;  // name, "major:minor"
    // USB disks with the same reader hang from one USB device, as the slots of a card reader
    // (SCSI LUNs); empty: a USB device of its own.
    std::string reader;
    int lun = 0;
};

class FakeSystem {
public:
    explicit FakeSystem(const std::filesystem::path& root);

    // Adds the disk to sysfs and an ext4 image for it under dev/. Returns its sysfs directory.
    std::filesystem::path addDisk(const FakeDisk& disk);
    void mount(const std::string& dev);
    void unmount(const std::string& dev);
    // Lists /dev/<name> as an active swap partition; or any path, written as the kernel
    // writes it (a blank as \040).
    void swapOn(const std::string& name);
    void swapOnPath(const std::filesystem::path& path);
    // Makes `holder` (dm-0, md127) hold the disk or partition `name`.
    void hold(const std::string& name, const std::string& holder);
    // The USB device a disk hangs from (whose "remove" powers it off) and its SCSI device's
    // "delete" file.
    std::filesystem::path usbDevice(const std::string& name) const;
    std::filesystem::path scsiDelete(const std::string& name) const;
    // Daemon arguments that point it at this tree.
    std::vector<std::string> daemonArguments() const;

    std::filesystem::path root, sys, dev, mountInfo, swaps;
};

// Makes an ext4 image of `mebibytes` with mkfs.ext4.
void makeExt4Image(const std::filesystem::path& path, int mebibytes);

// The test build of quorvale-helper as a child process; stderr goes to a log file.
class DaemonProcess {
public:
    // Starts the daemon with `arguments` and waits until it answers on `socket`.
    DaemonProcess(const std::filesystem::path& socket, std::vector<std::string> arguments,
                  const std::filesystem::path& log);
    ~DaemonProcess();
    void stop();

    pid_t pid = -1;
};

// A bare client: one connected socket, lines out, lines (and descriptors) in. A read waits at
// most 20 s.
class RawClient {
public:
    explicit RawClient(const std::filesystem::path& socket);
    // Over a socket connected already (one end of a socket pair).
    explicit RawClient(UniqueFd connected);
    bool connected() const { return fd.valid(); }
    bool send(const std::string& bytes);
    // The bytes in one message, with the descriptors passed beside them.
    bool send(const std::string& bytes, const std::vector<int>& fds);
    // The next reply line (without newline), empty at end of stream; `received` gets any
    // descriptor that came with it.
    std::string readLine(UniqueFd* received = nullptr);

    UniqueFd fd;

private:
    std::string buffer;
};

// A forked child running `body` as another user (that uid and gid, no other groups). The body
// reports through `out`; it may wait on `release`, which ends when the parent calls letGo().
class AsUser {
public:
    using Body = std::function<void(int out, int release)>;
    AsUser(uid_t uid, gid_t gid, Body body);
    ~AsUser();

    // The next `count` bytes the child reports, or all up to its end with 0.
    std::string read(std::size_t count = 0);
    void letGo();
    // Waits for the child; true when the body returned normally.
    bool finished();

private:
    pid_t pid = -1;
    UniqueFd out, release;
};

// As user nobody (uid and gid 65534).
class AsNobody : public AsUser {
public:
    explicit AsNobody(Body body) : AsUser(65534, 65534, std::move(body)) {}
};

// A group of its own and `count` users whose primary group it is, made with groupadd and
// useradd under names unique to this process, and deleted again. Needs root; not `ready` where
// either tool fails.
class TemporaryUsers {
public:
    struct User {
        std::string name;
        uid_t uid = 0;
        gid_t gid = 0;
    };
    explicit TemporaryUsers(int count);
    ~TemporaryUsers();

    std::string group;
    std::vector<User> users;
    bool ready = false;
};

// A daemon's descriptor count once exactly `connections` connection threads remain (a thread
// closes its connection before it ends), waiting for that at most 10 s.
int settledDescriptorCount(pid_t daemon, int connections = 0);

// Writes all of `text` to a pipe.
void say(int out, const std::string& text);
// Blocks until the other end of the pipe says so (letGo) or is closed.
void waitForRelease(int release);

// Sends one request line on a new connection and returns the reply line.
std::string requestOnce(const std::filesystem::path& socket, const std::string& line,
                        UniqueFd* received = nullptr);

}  // namespace quorvale::test
