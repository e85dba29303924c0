#include "helper/fake_system.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace quorvale::test {

namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text << "\n";
}

UniqueFd connectTo(const fs::path& socket) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return {};
    return fd;
}

}  // namespace

void makeExt4Image(const fs::path& path, int mebibytes) {
    const std::string command =
        "mkfs.ext4 -q -F " + path.string() + " " + std::to_string(mebibytes) + "M >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("mkfs.ext4 failed for " + path.string());
}

FakeSystem::FakeSystem(const fs::path& r)
    : root(r), sys(r / "sys"), dev(r / "dev"), mountInfo(r / "mountinfo"), swaps(r / "swaps") {
    fs::create_directories(sys / "class" / "block");
    fs::create_directories(sys / "bus" / "usb");
    fs::create_directories(sys / "bus" / "mmc");
    fs::create_directories(sys / "bus" / "scsi");
    fs::create_directories(dev);
    writeFile(mountInfo, "22 1 0:21 / / rw,relatime shared:1 - overlay overlay rw");
    writeFile(swaps, "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority");
}

fs::path FakeSystem::addDisk(const FakeDisk& disk) {
    // devices/<bus path>/block/<name>, with "subsystem" links where the kernel has them.
    fs::path device;
    switch (disk.bus) {
        case Bus::usb: {
            const fs::path usb = sys / "devices" /
                                 ("usb-" + (disk.reader.empty() ? disk.name : disk.reader)) / "1-1";
            if (!fs::exists(usb / "subsystem")) {
                fs::create_directories(usb);
                fs::create_symlink("../../../bus/usb", usb / "subsystem");
                writeFile(usb / "remove", "");
            }
            device = usb / "1-1:1.0" / "host0" / ("0:0:0:" + std::to_string(disk.lun));
            fs::create_directories(device);
            fs::create_symlink("../../../../../../bus/scsi", device / "subsystem");
            writeFile(device / "delete", "");
            break;
        }
        case Bus::mmc:
            device = sys / "devices" / ("mmc-" + disk.name) / "mmc0" / "mmc0:0001";
            fs::create_directories(device);
            fs::create_symlink("../../../../bus/mmc", device / "subsystem");
            break;
        case Bus::fixed:
            device = sys / "devices" / ("ata-" + disk.name) / "host1" / "1:0:0:0";
            fs::create_directories(device);
            fs::create_symlink("../../../../bus/scsi", device / "subsystem");
            writeFile(device / "delete", "");
            break;
    }
    const fs::path dir = device / "block" / disk.name;
    writeFile(dir / "dev", disk.dev);
    writeFile(dir / "removable", disk.removable ? "1" : "0");
    writeFile(dir / "ro", disk.readOnly ? "1" : "0");
    fs::create_directories(dir / "holders");
    fs::create_symlink("../..", dir / "device");
    for (const auto& [name, number] : disk.partitions) {
        writeFile(dir / name / "dev", number);
        writeFile(dir / name / "partition", "1");
        fs::create_directories(dir / name / "holders");
        fs::create_symlink(fs::relative(dir / name, sys / "class" / "block"),
                           sys / "class" / "block" / name);
    }
    fs::create_symlink(fs::relative(dir, sys / "class" / "block"),
                       sys / "class" / "block" / disk.name);
    makeExt4Image(dev / disk.name, 4);
    return dir;
}

void FakeSystem::unmount(const std::string& number) {
    std::ifstream in(mountInfo);
    std::string kept;
    for (std::string line; std::getline(in, line);) {
        if (line.find(" " + number + " ") == std::string::npos)
            kept += line + "\n";
    }
    in.close();
    std::ofstream(mountInfo, std::ios::trunc) << kept;
}

void FakeSystem::swapOn(const std::string& name) {
    swapOnPath(dev / name);
}

void FakeSystem::swapOnPath(const fs::path& path) {
    std::string escaped;
    for (const char c : path.string())
        escaped += c == ' ' ? std::string("\\040") : std::string(1, c);
    std::ofstream(swaps, std::ios::app)
        << escaped << "                               partition\t1048572\t\t0\t\t-2\n";
}

void FakeSystem::hold(const std::string& name, const std::string& holder) {
    const fs::path holders = fs::canonical(sys / "class" / "block" / name) / "holders";
    fs::create_symlink("../../" + holder, holders / holder);
}

fs::path FakeSystem::usbDevice(const std::string& name) const {
    // devices/usb-X/1-1/1-1:1.0/host0/0:0:0:L/block/NAME
    fs::path dir = fs::canonical(sys / "class" / "block" / name);
    for (int up = 0; up < 5; ++up)
        dir = dir.parent_path();
    return dir;
}

fs::path FakeSystem::scsiDelete(const std::string& name) const {
    return fs::canonical(sys / "class" / "block" / name / "device") / "delete";
}

void FakeSystem::mount(const std::string& number) {
    std::ofstream(mountInfo, std::ios::app)
        << "40 22 " << number << " / /media/card rw,relatime shared:9 - ext4 /dev/x rw\n";
}

std::vector<std::string> FakeSystem::daemonArguments() const {
    return {"--sysfs-root",     sys.string(), "--dev-root",   dev.string(),           "--mountinfo",
            mountInfo.string(), "--swaps",    swaps.string(), "--allow-regular-files"};
}

DaemonProcess::DaemonProcess(const fs::path& socket, std::vector<std::string> arguments,
                             const fs::path& log) {
    arguments.insert(arguments.begin(), {QUORVALE_HELPER_TEST_BINARY, "--socket", socket.string()});
    pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives a crashed test
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(out, STDERR_FILENO);
        std::vector<char*> argv;
        for (auto& a : arguments)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    // Ready once a request is answered: a mere connect could still sit in the backlog.
    for (int i = 0; i < 500; ++i) {
        if (!requestOnce(socket, R"({"jsonrpc":"2.0","id":0,"method":"ping"})").empty())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    throw std::runtime_error("quorvale-helper did not start");
}

DaemonProcess::~DaemonProcess() {
    stop();
}

void DaemonProcess::stop() {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}

RawClient::RawClient(const fs::path& socket) : fd(connectTo(socket)) {
    // A test waiting for a reply that never comes fails instead of hanging.
    timeval limit{20, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

RawClient::RawClient(UniqueFd connected) : fd(std::move(connected)) {}

bool RawClient::send(const std::string& bytes) {
    return ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

bool RawClient::send(const std::string& bytes, const std::vector<int>& fds) {
    iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
    if (!fds.empty()) {
        msg.msg_control = control.data();
        msg.msg_controllen = control.size();
        cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_RIGHTS;
        cmsg->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(cmsg), fds.data(), sizeof(int) * fds.size());
    }
    return ::sendmsg(fd.get(), &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::string RawClient::readLine(UniqueFd* received) {
    for (;;) {
        if (const auto end = buffer.find('\n'); end != std::string::npos) {
            std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            return line;
        }
        char data[4096];
        iovec iov{data, sizeof data};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd.get(), &msg, MSG_CMSG_CLOEXEC);
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); n > 0 && c; c = CMSG_NXTHDR(&msg, c)) {
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int passed = -1;
                std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
                UniqueFd owned(passed);
                if (received && !received->valid())
                    *received = std::move(owned);
            }
        }
        if (n <= 0)
            return {};
        buffer.append(data, static_cast<std::size_t>(n));
    }
}

AsUser::AsUser(uid_t uid, gid_t gid, Body body) {
    // The release end is a socket: letGo() then never raises SIGPIPE once the child is gone.
    int report[2], hold[2];
    if (::pipe2(report, O_CLOEXEC) != 0 ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, hold) != 0)
        throw std::runtime_error("pipe");
    pid = ::fork();
    if (pid == 0) {
        ::close(report[0]);
        ::close(hold[1]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(3);
        body(report[1], hold[0]);
        ::_exit(0);
    }
    ::close(report[1]);
    ::close(hold[0]);
    out = UniqueFd(report[0]);
    release = UniqueFd(hold[1]);
}

AsUser::~AsUser() {
    letGo();
    finished();
}

std::string AsUser::read(std::size_t count) {
    std::string text;
    char buffer[512];
    while (count == 0 || text.size() < count) {
        const std::size_t want =
            count == 0 ? sizeof buffer : std::min(sizeof buffer, count - text.size());
        const ssize_t n = ::read(out.get(), buffer, want);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

void AsUser::letGo() {
    // A byte, not only the end: a child forked since holds the pipe open too.
    if (release) {
        [[maybe_unused]] const auto n = ::send(release.get(), "x", 1, MSG_NOSIGNAL);
        release.reset();
    }
}

bool AsUser::finished() {
    if (pid <= 0)
        return false;
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TemporaryUsers::TemporaryUsers(int count) : group("qvh" + std::to_string(::getpid())) {
    const auto quiet = [](const std::string& command) {
        return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
    };
    if (!quiet("groupadd " + group))
        return;
    for (int i = 0; i < count; ++i) {
        const std::string name = group + "u" + std::to_string(i);
        if (!quiet("useradd -M -N -s /usr/sbin/nologin -g " + group + " " + name))
            break;
        const passwd* entry = ::getpwnam(name.c_str());
        users.push_back({name, entry ? entry->pw_uid : 0, entry ? entry->pw_gid : 0});
    }
    ready = static_cast<int>(users.size()) == count;
}

TemporaryUsers::~TemporaryUsers() {
    for (const User& user : users)
        std::system(("userdel " + user.name + " >/dev/null 2>&1").c_str());
    std::system(("groupdel " + group + " >/dev/null 2>&1").c_str());
}

int settledDescriptorCount(pid_t daemon, int connections) {
    const auto tasks = "/proc/" + std::to_string(daemon) + "/task";
    for (int i = 0; i < 1000; ++i) {
        const auto threads = std::distance(fs::directory_iterator(tasks), {});
        if (threads == 1 + connections)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(daemon) + "/fd")) {
        ++count;
    }
    return count;
}

void say(int out, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(out, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

void waitForRelease(int release) {
    char c;
    [[maybe_unused]] const auto n = ::read(release, &c, 1);
}

std::string requestOnce(const fs::path& socket, const std::string& line, UniqueFd* received) {
    RawClient client(socket);
    if (!client.connected())
        return {};
    // A peer turned away may be answered before its request is even sent: read regardless.
    client.send(line + "\n");
    return client.readLine(received);
}

}  // namespace quorvale::test
