#include "agent/init_system.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "agent/agent_error.h"
#include "agent/channel_secret.h"
#include "agent/check_methods.h"
#include "agent/child_process.h"
#include "agent/dispatcher.h"
#include "agent/file_methods.h"
#include "agent/posix_methods.h"
#include "agent/filesystem_check.h"
#include "agent/guest_devices.h"
#include "agent/guest_partitions.h"
#include "agent/log.h"
#include "agent/module_loader.h"
#include "agent/power_button.h"
#include "agent/server.h"
#include "agent/virtio_ports.h"

namespace quorvale::agent {

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t agentPort = 5000;
constexpr const char* moduleList = "/etc/quorvale/modules";

void mountEarly(const char* source, const char* target, const char* type, unsigned long flags) {
    ::mkdir(target, 0755);
    if (::mount(source, target, type, flags, nullptr) != 0 && errno != EBUSY)
        logLine(std::string("mount ") + target + ": " + errnoText(errno));
}

// The kernel starts init without stdio when the image has no /dev/console: give it
// /dev/null first so that no descriptor opened later lands on 0, 1 or 2.
void attachNull() {
    int fd = -1;
    while ((fd = ::open("/dev/null", O_RDWR)) >= 0 && fd <= STDERR_FILENO) {
    }
    if (fd > STDERR_FILENO)
        ::close(fd);
}

// Log lines go to the VM console (hvc0, which the host keeps in its console log). It exists
// once virtio_console is loaded and bound.
void attachConsole() {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    for (;;) {
        for (const char* path : {"/dev/hvc0", "/dev/console"}) {
            const int fd = ::open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
            if (fd < 0)
                continue;
            ::dup2(fd, STDOUT_FILENO);
            ::dup2(fd, STDERR_FILENO);
            ::close(fd);
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(10ms);
    }
}

// Under the default heuristic, allocations succeed beyond what the guest holds and the OOM
// killer then finds only PID 1, which panics the guest. Strict accounting makes them fail
// instead, and a failed allocation fails only its call.
void limitMemoryCommitments() {
    for (const auto& [file, value] : {std::pair{"/proc/sys/vm/overcommit_ratio", "75"},
                                      {"/proc/sys/vm/overcommit_memory", "2"}}) {
        const int fd = ::open(file, O_WRONLY | O_CLOEXEC);
        if (fd < 0 || ::write(fd, value, std::strlen(value)) < 0)
            logLine(std::string("cannot set ") + file + ": " + errnoText(errno));
        if (fd >= 0)
            ::close(fd);
    }
}

void raiseFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The secret the host put in fw_cfg; the driver shows it once qemu_fw_cfg is loaded.
ChannelSecret loadChannelSecret() {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    for (;;) {
        if (auto secret = ChannelSecret::fromFile(channelSecretFwCfg))
            return *secret;
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(10ms);
    }
    logLine("no channel secret from the host: every connection will be refused");
    return ChannelSecret::unknowable();
}

void serveVsock(const Dispatcher& dispatcher, const ChannelSecret& secret) {
    // The vsock transport binds once its device is probed; give it a few seconds.
    for (int attempt = 0; attempt < 50; ++attempt) {
        try {
            auto listener = listenVsock(agentPort);
            logLine("listening on vsock port " + std::to_string(agentPort));
            serveListener(std::move(listener), dispatcher, &secret);
        } catch (const AgentError& e) {
            if (attempt == 0)
                logLine(std::string("vsock: ") + e.what());
        }
        std::this_thread::sleep_for(200ms);
    }
    logLine("no vsock listener");
}

void serveVirtioPort(const Dispatcher& dispatcher, const ChannelSecret& secret) {
    bool announced = false;
    serveCharDevice(
        [&]() -> UniqueFd {
            const auto device = findVirtioPort("/sys/class/virtio-ports", agentPortName);
            if (!device)
                return UniqueFd();
            UniqueFd fd(::open(device->c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
            if (fd && !announced) {
                logLine("serving on " + *device);
                announced = true;
            }
            return fd;
        },
        dispatcher, &secret);
}

[[noreturn]] void powerOff(PartitionProvider& partitions) {
    logLine("power button: syncing, unmounting and powering off");
    try {
        partitions.sync();
        partitions.unmountAll();
    } catch (const std::exception& e) {
        logLine(std::string("shutdown: ") + e.what());
    }
    ::sync();
    ::reboot(RB_POWER_OFF);
    for (;;)
        ::pause();
}

// Runs `body` on a detached thread that logs instead of dying on an exception.
template <typename F>
void startThread(const char* what, F body) {
    std::thread([what, body = std::move(body)]() mutable {
        try {
            body();
        } catch (const std::exception& e) {
            logLine(std::string(what) + " stopped: " + e.what());
        }
    }).detach();
}

void onChild(int) {}

}  // namespace

void runInit() {
    mountEarly("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC);
    mountEarly("sysfs", "/sys", "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC);
    mountEarly("devtmpfs", "/dev", "devtmpfs", MS_NOSUID);
    attachNull();
    logWithUptime();
    raiseFileLimit();
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction child {};
    child.sa_handler = onChild;
    ::sigaction(SIGCHLD, &child, nullptr);
    const auto modules = loadModules(moduleList);
    attachConsole();
    limitMemoryCommitments();
    for (const auto& failure : modules.failures)
        logLine(failure);
    logLine("loaded " + std::to_string(modules.loaded) + " modules");

    // Lives for as long as PID 1 runs.
    static GuestPartitions partitions;
    static Dispatcher dispatcher;
    addFileMethods(dispatcher, partitions);
    addPosixMethods(dispatcher, partitions);
    addCheckMethods(dispatcher, partitions, findE2fsck());

    static const ChannelSecret secret = loadChannelSecret();
    startThread("vsock", [] { serveVsock(dispatcher, secret); });
    startThread("virtio-serial", [] { serveVirtioPort(dispatcher, secret); });
    startThread("power button", [] { watchPowerButton([] { powerOff(partitions); }); });
    // Off the path to the first answer.
    logLine(describeGuestDevices());

    // PID 1 adopts orphans; reap them so none stays a zombie (and keep the status of the
    // checks it started for their waiters).
    for (;;) {
        reapChildren();
        ::pause();
    }
}

}  // namespace quorvale::agent
