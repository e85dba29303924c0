#pragma once
// Support for the application core's tests: one QCoreApplication, an event loop that runs
// until a condition holds (with a hard limit), running a coroutine to its end, a fake guest on
// the far end of a socketpair answering JSON-RPC lines from a script, and a capture of log
// lines.

#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "rpc/unique_fd.h"

class QSocketNotifier;

namespace quorvale::testing {

using namespace std::chrono_literals;

void ensureApplication();

// Runs the event loop until `done()` holds or `limit` passes; returns `done()`.
bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s);

// Runs the task on the event loop to its end; rethrows its error. Fails the test on the limit.
void run(QCoro::Task<void> task, std::chrono::milliseconds limit = 30s);

namespace detail {
template <typename T>
QCoro::Task<void> storeResult(QCoro::Task<T> task, std::shared_ptr<std::optional<T>> out) {
    *out = co_await std::move(task);
}
}  // namespace detail

// The same for a task with a result, which it returns (a default value on the limit).
template <typename T>
T run(QCoro::Task<T> task, std::chrono::milliseconds limit = 30s) {
    auto result = std::make_shared<std::optional<T>>();
    run(detail::storeResult(std::move(task), result), limit);
    return result->value_or(T{});
}

// What the guest does with one request: reply with a JSON result text, reply with an error,
// say nothing, or hang up.
struct GuestReply {
    enum class Kind { result, error, silent, hangUp };
    Kind kind = Kind::result;
    std::string json = "true";           // result: JSON text of "result"; error: the message
    std::chrono::milliseconds delay{0};  // result and error: sent this much later
    std::int64_t code = -2;              // error: its code

    static GuestReply result(std::string json) { return {Kind::result, std::move(json)}; }
    static GuestReply error(std::string message) { return {Kind::error, std::move(message)}; }
    static GuestReply error(std::int64_t code, std::string message) {
        GuestReply reply{Kind::error, std::move(message)};
        reply.code = code;
        return reply;
    }
    static GuestReply silent() { return {Kind::silent, {}}; }
    static GuestReply hangUp() { return {Kind::hangUp, {}}; }
    GuestReply after(std::chrono::milliseconds later) const {
        GuestReply reply = *this;
        reply.delay = later;
        return reply;
    }
};

// The far end of one stream, served on the GUI thread.
class FakeGuest {
public:
    using Script = std::function<GuestReply(const std::string& method)>;

    FakeGuest(UniqueFd fd, Script script);
    ~FakeGuest();

    QStringList methods;   // every method received, in order
    QStringList requests;  // the same with their parameters: "sync {\"disk\":\"sdb\"}"
    bool isOpen() const { return fd.valid(); }
    // Closes the stream, as a guest that went away.
    void hangUp();

private:
    void readable();
    void send(const std::string& line);

    UniqueFd fd;
    Script script;
    std::unique_ptr<QSocketNotifier> notifier;
    std::string buffer;
};

// Collects the messages logged while it lives (all categories, all levels).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    bool contains(const QString& message) const;
    QStringList lines() const;
};

}  // namespace quorvale::testing
