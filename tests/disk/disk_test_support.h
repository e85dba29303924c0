#pragma once
// Shared pieces of the disk tests: a Qt application for queued deliveries, a delegate that
// records what it is told, a log capture, and shell helpers for making images.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMutex>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <cstdlib>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <qcoro/qcorotask.h>

#include "disk/disk_detection_delegate.h"

namespace quorvale::disk::test {

inline QCoreApplication& app() {
    static int argc = 1;
    static char name[] = "test_disk";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* instance =
        QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)instance;
    return *QCoreApplication::instance();
}

// Processes events until done() or a generous bound; a bound, not a timing check.
inline bool waitUntil(const std::function<bool()>& done, int milliseconds = 10000) {
    app();
    QDeadlineTimer deadline(milliseconds);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

struct Event {
    enum class Kind { updated, removed } kind;
    model::Device device;  // updated
    QString bsdName;       // removed
    bool onAppThread = false;
};

class RecordingDelegate : public DiskDetectionDelegate {
public:
    QCoro::Task<void> deviceUpdated(model::Device device) override {
        events.push_back({Event::Kind::updated, device, device.bsdName,
                          QThread::currentThread() == app().thread()});
        co_return;
    }
    QCoro::Task<void> deviceRemoved(QString bsdName) override {
        events.push_back(
            {Event::Kind::removed, {}, bsdName, QThread::currentThread() == app().thread()});
        co_return;
    }
    std::vector<Event> events;
};

// Captures log lines "<category>|<level>|<text>" while alive.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;
    bool contains(const QString& line) const { return lines().contains(line); }
    int count(const QString& category) const;

private:
    QtMessageHandler previous;
};

// Runs a task to its end on this thread's event loop (QCoro::waitFor of this QCoro version
// never returns for a task that finished without suspending). Rethrows its exception.
template <typename T>
T finish(QCoro::Task<T> task) {
    bool done = false;
    std::exception_ptr error;
    std::optional<T> result;
    auto runner = [&]() -> QCoro::Task<void> {
        try {
            result.emplace(co_await std::move(task));
        } catch (...) {
            error = std::current_exception();
        }
        done = true;
    };
    auto running = runner();
    waitUntil([&] { return done; }, 60000);
    if (error)
        std::rethrow_exception(error);
    return std::move(*result);
}

inline void finish(QCoro::Task<void> task) {
    bool done = false;
    std::exception_ptr error;
    auto runner = [&]() -> QCoro::Task<void> {
        try {
            co_await std::move(task);
        } catch (...) {
            error = std::current_exception();
        }
        done = true;
    };
    auto running = runner();
    waitUntil([&] { return done; }, 60000);
    if (error)
        std::rethrow_exception(error);
}

// Runs a shell command; true when it exits 0.
inline bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace quorvale::disk::test
