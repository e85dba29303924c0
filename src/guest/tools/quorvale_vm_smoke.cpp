// quorvale-vm-smoke IMAGE: boots the VM on IMAGE, waits for the agent's "pong", lists "/" of the
// first ext4 partition, stops the VM and prints how long each phase took. Any failure prints
// one line naming the step and exits with status 1.

#include <fcntl.h>

#include <qcoro/qcorotask.h>
#include <qcoro/qcorotimer.h>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "guest/vm_lifecycle_service.h"
#include "guest/vsock_transport.h"

namespace {

using namespace quorvale;
using namespace quorvale::guest;
using Clock = std::chrono::steady_clock;

struct StepFailed {
    StepFailed(std::string step, std::string reason)
        : step(std::move(step)), reason(std::move(reason)) {}
    std::string step;
    std::string reason;
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The app's readiness probe: a new connection per attempt, "ping" until "pong", 250 ms pauses
// after failures, 10 s deadline.
QCoro::Task<void> waitForAgent(VMLifecycleService& service, VsockTransport& transport) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::string lastError = "no answer";
    while (Clock::now() < deadline) {
        try {
            transport.connect(co_await service.connectVsock(service.vsockPort));
            const auto reply = co_await transport.send("ping", {}, std::chrono::seconds(2));
            if (reply && reply->stringValue() == "pong")
                co_return;
            lastError = "unexpected reply to ping";
        } catch (const std::exception& error) {
            lastError = error.what();
        }
        co_await QCoro::sleepFor(std::chrono::milliseconds(250));
    }
    throw StepFailed{"agent", "no pong within 10 s (" + lastError + ")"};
}

UniqueFd openImage(const char* path) {
    // Writable like the app's disks; a file we may only read is attached read-only.
    UniqueFd fd(::open(path, O_RDWR | O_CLOEXEC));
    if (!fd && (errno == EACCES || errno == EROFS || errno == EPERM))
        fd = UniqueFd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        throw StepFailed{"open", std::string(path) + ": " + std::strerror(errno)};
    return fd;
}

rpc::Params rootPath() {
    return {{"path", rpc::AnyCodable("/")}};
}

QCoro::Task<int> smoke(const char* image) {
    VMLifecycleService service;
    VsockTransport transport;
    const auto start = Clock::now();
    try {
        std::vector<VMDisk> disks;
        disks.push_back({QStringLiteral("image0"), openImage(image)});

        auto phase = Clock::now();
        try {
            co_await service.bootVM(std::move(disks));
        } catch (const std::exception& error) {
            throw StepFailed{"boot", error.what()};
        }
        const double boot = secondsSince(phase);

        phase = Clock::now();
        co_await waitForAgent(service, transport);
        const double ready = secondsSince(phase);

        phase = Clock::now();
        std::optional<rpc::AnyCodable> listing;
        try {
            listing = co_await transport.send("list_dir", rootPath());
        } catch (const std::exception& error) {
            throw StepFailed{"list", error.what()};
        }
        const double list = secondsSince(phase);
        const auto* entries = listing ? listing->arrayValue() : nullptr;
        if (!entries)
            throw StepFailed{"list", "the reply is not a list of entries"};
        for (const auto& entry : *entries) {
            const auto* object = entry.if_object();
            const auto* name = object ? object->if_contains("name") : nullptr;
            if (name && name->is_string())
                std::printf("%s\n", name->as_string().c_str());
        }

        phase = Clock::now();
        transport.disconnect();
        co_await service.stopVM();
        const double stop = secondsSince(phase);
        std::printf("boot %.3f s, agent ready %.3f s, list %.3f s, stop %.3f s, total %.3f s\n",
                    boot, ready, list, stop, secondsSince(start));
        co_return 0;
    } catch (const StepFailed& failure) {
        std::fprintf(stderr, "quorvale-vm-smoke: %s failed: %s\n", failure.step.c_str(),
                     failure.reason.c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quorvale-vm-smoke: %s\n", error.what());
    }
    transport.disconnect();
    co_await service.stopVM();
    co_return 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: quorvale-vm-smoke IMAGE\n");
        return 2;
    }
    // Only failures on stderr; the phases are printed at the end.
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvale.app.*.info=false"));
    return QCoro::waitFor(smoke(argv[1]));
}
