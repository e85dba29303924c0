#pragma once
// Shared pieces of the VM tests: a Qt event loop for coroutines, captured log lines, disk images
// made with mkfs.ext4 -d, and the readiness probe (new connection per attempt until "pong").

#include <qcoro/qcorotask.h>
#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <type_traits>

#include "guest/vm_lifecycle_service.h"
#include "qstring_printer.h"
#include "rpc/unique_fd.h"

namespace quorvale::guest::testing {

// Creates the application object once; coroutines run in its event loop.
void ensureApplication();

// Runs `task` to completion in a nested event loop; rethrows what it threw.
template <typename T>
T run(QCoro::Task<T>&& task) {
    ensureApplication();
    std::exception_ptr failure;
    auto guarded = [](QCoro::Task<T> inner,
                      std::exception_ptr& failure) -> QCoro::Task<std::optional<T>> {
        try {
            co_return co_await std::move(inner);
        } catch (...) {
            failure = std::current_exception();
        }
        co_return std::nullopt;
    };
    auto result = QCoro::waitFor(guarded(std::move(task), failure));
    if (failure)
        std::rethrow_exception(failure);
    return std::move(*result);
}

inline void run(QCoro::Task<void>&& task) {
    ensureApplication();
    std::exception_ptr failure;
    auto guarded = [](QCoro::Task<void> inner, std::exception_ptr& failure) -> QCoro::Task<void> {
        try {
            co_await std::move(inner);
        } catch (...) {
            failure = std::current_exception();
        }
    };
    QCoro::waitFor(guarded(std::move(task), failure));
    if (failure)
        std::rethrow_exception(failure);
}

// Lines logged under "com.quorvale.app.VM" while an instance exists.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;
    bool contains(const QString& line) const { return lines().contains(line); }
};

// Runs a shell command line; fails the test (via the return value) when it exits non-zero.
int shell(const std::string& command);
std::string shellOutput(const std::string& command);

// The build tree's resources (<build>/share/quorvale).
QString buildResources();

// A whole-disk ext4 image of `sizeMiB` holding the tree under `sourceDir`.
void makeExt4Image(const std::string& image, const std::string& sourceDir, int sizeMiB = 32);
// An MBR image: p1 FAT32 (40 MiB), p2 ext4 (`extMiB`) holding `sourceDir`. Returns p2's offset.
long long makePartitionedImage(const std::string& image, const std::string& sourceDir,
                               int extMiB = 24);

// Sends "ping" on `fd` and waits up to `timeout` for a line containing "pong".
bool ping(int fd, std::chrono::milliseconds timeout);
// The readiness probe: connectVsock(5000) + ping until "pong", 250 ms pauses. The deadline is
// generous: other builds share this machine and slow the emulated boot.
// Returns the answering stream, or an invalid fd when the deadline passed.
UniqueFd waitForAgent(VMLifecycleService& service,
                      std::chrono::seconds deadline = std::chrono::seconds(60));

}  // namespace quorvale::guest::testing
