#pragma once
// Test helpers for the file operation service: a scripted guest agent on the far end of a real
// socketpair (its own thread answers each request line through a script), a running
// QCoreApplication, and a way to run one coroutine to completion under a hard time limit.

#include <QEventLoop>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <boost/json/object.hpp>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "rpc/unique_fd.h"

namespace quorvale::testing {

void ensureApplication();

class ScriptedPeer {
public:
    // Given the parsed request, returns the text of the reply's "result" or "error" member
    // (see result() and error()), or nothing to leave the call unanswered.
    using Script = std::function<std::optional<std::string>(const boost::json::object& request)>;

    // Returns the peer and the host's end of the stream.
    explicit ScriptedPeer(Script script);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    UniqueFd takeHostEnd() { return std::move(hostEnd); }
    // Every request line received so far, in order, without newlines.
    std::vector<std::string> lines() const;
    std::vector<std::string> methods() const;

    static std::optional<std::string> result(const std::string& json) {
        return "\"result\":" + json;
    }
    static std::optional<std::string> error(int code, const std::string& message);

private:
    void serve();

    Script script;
    UniqueFd hostEnd;
    UniqueFd peerEnd;
    mutable std::mutex mutex;
    std::vector<std::string> received;
    std::thread thread;
};

// Collects the messages of one logging category while alive.
class LogCapture {
public:
    explicit LogCapture(const char* category);
    ~LogCapture();
    QStringList messages() const;
};

template <typename T>
QCoro::Task<void> storeResult(QCoro::Task<T> task, std::optional<T>* value,
                              std::exception_ptr* error, bool* done, QEventLoop* loop) {
    try {
        value->emplace(co_await std::move(task));
    } catch (...) {
        *error = std::current_exception();
    }
    *done = true;
    loop->quit();
}

inline QCoro::Task<void> storeResult(QCoro::Task<void> task, std::optional<bool>* value,
                                     std::exception_ptr* error, bool* done, QEventLoop* loop) {
    try {
        co_await std::move(task);
        value->emplace(true);
    } catch (...) {
        *error = std::current_exception();
    }
    *done = true;
    loop->quit();
}

// Runs the task's event loop until it finishes; rethrows what it threw. A task still running
// after `limit` ends the test program (its frame refers to this stack frame).
template <typename T>
auto run(QCoro::Task<T> task, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    ensureApplication();
    using Value = std::conditional_t<std::is_void_v<T>, bool, T>;
    std::optional<Value> value;
    std::exception_ptr error;
    bool done = false;
    QEventLoop loop;
    QCoro::Task<void> waiter = storeResult(std::move(task), &value, &error, &done, &loop);
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    if (!done)
        loop.exec();
    if (!done) {
        std::fprintf(stderr, "coroutine still running after the time limit\n");
        std::_Exit(1);
    }
    if (error)
        std::rethrow_exception(error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*value);
}

}  // namespace quorvale::testing
