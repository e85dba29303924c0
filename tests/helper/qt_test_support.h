#pragma once
// Runs QCoro tasks to completion in tests: one QCoreApplication per test process, and a
// nested event loop per task.

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <type_traits>

#include <qcoro/qcorotask.h>

namespace quorvale::test {

inline void ensureApplication() {
    static int argc = 1;
    static char name[] = "quorvale-test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
}

namespace detail {

template <typename T>
struct Settled {
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
    std::exception_ptr error;
    bool done = false;
};

template <typename T>
QCoro::Task<void> settle(QCoro::Task<T> task, Settled<T>* out, QEventLoop* loop) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            out->value = true;
        } else {
            out->value.emplace(co_await std::move(task));
        }
    } catch (...) {
        out->error = std::current_exception();
    }
    out->done = true;
    loop->quit();
}

}  // namespace detail

// Runs the task to completion in a nested event loop (with a hard limit of 60 s) and returns
// its value or rethrows its error. Unlike QCoro::waitFor, a task that completed before its
// first suspension does not leave the loop waiting.
template <typename T>
T run(QCoro::Task<T>&& task) {
    ensureApplication();
    QEventLoop loop;
    detail::Settled<T> settled;
    auto waiter = detail::settle<T>(std::move(task), &settled, &loop);
    if (!settled.done) {
        QTimer::singleShot(std::chrono::seconds(60), &loop,
                           [] { qFatal("a task did not complete within 60 s"); });
        loop.exec();
    }
    if (settled.error)
        std::rethrow_exception(settled.error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*settled.value);
}

// A fresh directory under /tmp, removed when the owner goes (short: socket paths are limited).
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/qvh-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::filesystem::path path;
};

}  // namespace quorvale::test
