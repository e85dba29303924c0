#pragma once
// Test harness for the transport: the far end of a real socketpair driven by the test (blocking
// calls with hard limits), a Qt event loop that runs until a condition holds or a hard limit
// passes, the outcome of a started coroutine, and a capture of the Vsock log lines.

#include <QtCore/QtGlobal>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <qcoro/qcorotask.h>

#include "rpc/unique_fd.h"

namespace quorvale::testing {

using namespace std::chrono_literals;

// Creates the QCoreApplication once for the whole test program.
void ensureApplication();

class StreamPeer {
public:
    // A connected pair: the first end for the transport, the peer on the second.
    static std::pair<UniqueFd, StreamPeer> create();
    explicit StreamPeer(UniqueFd fd) : fd(std::move(fd)) {}

    // The next line without its newline; nothing at end of stream or after `limit`.
    std::optional<std::string> readLine(std::chrono::milliseconds limit = 5s);
    // The same as a slow reader: at most `chunkBytes` per read, with `pause` before each.
    std::optional<std::string> readLineSlowly(std::size_t chunkBytes,
                                              std::chrono::microseconds pause,
                                              std::chrono::milliseconds limit = 5s);
    // Reads up to `maxBytes` into the line buffer (readLine returns them); the count read,
    // 0 at end of stream or after `limit`.
    std::size_t readSome(std::size_t maxBytes, std::chrono::milliseconds limit = 5s);
    void write(std::string_view bytes);
    // True once the other end is closed (bytes still unread are skipped).
    bool waitForEndOfStream(std::chrono::milliseconds limit = 5s);
    void shutdownReading();
    void close() { fd.reset(); }

private:
    UniqueFd fd;
    std::string received;
};

// Runs the event loop until `done()` holds or `limit` passes; returns `done()`.
bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s);

template <typename T>
struct Outcome {
    bool finished = false;
    std::optional<T> value;
    std::exception_ptr error;

    // what() of the error, or "" when the task returned a value or is still running.
    std::string errorText() const {
        if (!error)
            return {};
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            return e.what();
        } catch (...) {
            return "unknown exception";
        }
    }
};

namespace detail {
template <typename T>
QCoro::Task<> capture(QCoro::Task<T> task, std::shared_ptr<Outcome<T>> outcome) {
    try {
        outcome->value.emplace(co_await task);
    } catch (...) {
        outcome->error = std::current_exception();
    }
    outcome->finished = true;
}
}  // namespace detail

// Starts awaiting `task` on the event loop; the outcome fills in when it finishes.
template <typename T>
std::shared_ptr<Outcome<T>> start(QCoro::Task<T> task) {
    auto outcome = std::make_shared<Outcome<T>>();
    detail::capture(std::move(task), outcome);
    return outcome;
}

// Runs the event loop until the task finishes (hard limit `limit`).
template <typename T>
Outcome<T> await(QCoro::Task<T> task, std::chrono::milliseconds limit = 5s) {
    auto outcome = start(std::move(task));
    spinUntil([&] { return outcome->finished; }, limit);
    return *outcome;
}

// Collects the messages of the "com.quorvale.app.Vsock" category while alive, debug included.
class VsockLog {
public:
    VsockLog();
    ~VsockLog();
    std::vector<std::string> lines() const;
    bool contains(std::string_view line) const;
    std::size_t count(std::string_view prefix) const;

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& text);
    static std::mutex mutex;
    static std::vector<std::string> collected;
    QtMessageHandler previous;
};

}  // namespace quorvale::testing
