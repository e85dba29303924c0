#pragma once
// What the daemon sees of a machine, built under a temporary directory: a sysfs tree with
// disks on the usb, mmc or a fixed bus, a /dev tree whose nodes are ext4 image files, and a
// mountinfo file. Plus the real daemon run as a child process over it, and a bare client.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "rpc/unique_fd.h"

namespace quorvale::test {

enum class Bus { usb, mmc, fixed };

struct FakeDisk {
    FakeDisk(std::string name, std::string dev, Bus bus = Bus::usb, bool removable = false,
             bool readOnly = false,
             std::vector<std::pair<std::string, std::string>> partitions = {})
        : name(std::move(name)),
          dev(std::move(dev)),
          bus(bus),
          removable(removable),
          readOnly(readOnly),
          partitions(std::move(partitions)) {}

    std::string name;
    std::string dev;  // "major:minor"
    Bus bus = Bus::usb;
    bool removable = false;
    bool readOnly = false;
    std::vector<std::pair<std::string, std::string>> partitions;  // name, "major:minor"
};

class FakeSystem {
public:
    explicit FakeSystem(const std::filesystem::path& root);

    // Adds the disk to sysfs and an ext4 image for it under dev/. Returns its sysfs directory.
    std::filesystem::path addDisk(const FakeDisk& disk);
    void mount(const std::string& dev);
    // Daemon arguments that point it at this tree.
    std::vector<std::string> daemonArguments() const;

    std::filesystem::path root, sys, dev, mountInfo;
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

// A bare client: one connected socket, lines out, lines (and descriptors) in.
class RawClient {
public:
    explicit RawClient(const std::filesystem::path& socket);
    bool connected() const { return fd.valid(); }
    bool send(const std::string& bytes);
    // The next reply line (without newline), empty at end of stream; `received` gets any
    // descriptor that came with it.
    std::string readLine(UniqueFd* received = nullptr);

    UniqueFd fd;

private:
    std::string buffer;
};

// Sends one request line on a new connection and returns the reply line.
std::string requestOnce(const std::filesystem::path& socket, const std::string& line,
                        UniqueFd* received = nullptr);

}  // namespace quorvale::test
