#pragma once
// Running coroutines in tests: the one QCoreApplication of a test program, an event loop that
// runs until a condition holds, a task run to its end with a time limit of its own, and the error
// a task is expected to end with.

#include <QEventLoop>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <typeinfo>

namespace quorvale::testing {

using namespace std::chrono_literals;

// Creates the application object once (a QApplication made before stays the one).
void ensureApplication();

// Runs the event loop until `done()` holds or `limit` passes; returns `done()`.
bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s);

namespace detail {

// Fails the test and ends the program: the task's frame may refer to its caller's.
[[noreturn]] void taskOutlivedItsLimit(std::chrono::milliseconds limit);

template <typename T>
using Stored = std::conditional_t<std::is_void_v<T>, bool, T>;

template <typename T>
QCoro::Task<void> settle(QCoro::Task<T> task, std::optional<Stored<T>>* value,
                         std::exception_ptr* error, bool* done, QEventLoop* loop) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            value->emplace(true);
        } else {
            value->emplace(co_await std::move(task));
        }
    } catch (...) {
        *error = std::current_exception();
    }
    *done = true;
    loop->quit();
}

}  // namespace detail

// Runs the task on this thread's event loop to its end and returns its value, or rethrows its
// error. A task still running after `limit` fails the test and ends the test program.
template <typename T>
T run(QCoro::Task<T> task, std::chrono::milliseconds limit = 60s) {
    ensureApplication();
    std::optional<detail::Stored<T>> value;
    std::exception_ptr error;
    bool done = false;
    QEventLoop loop;
    QCoro::Task<void> waiter = detail::settle(std::move(task), &value, &error, &done, &loop);
    if (!done) {
        QTimer::singleShot(limit, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (!done)
        detail::taskOutlivedItsLimit(limit);
    if (error)
        std::rethrow_exception(error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*value);
}

// The error of type `Error` the task ends with. A task that ends otherwise fails the test: one
// that succeeds throws std::logic_error here, another error goes on as it is.
template <typename Error, typename T>
Error failureOf(QCoro::Task<T> task, std::chrono::milliseconds limit = 60s) {
    try {
        run(std::move(task), limit);
    } catch (const Error& error) {
        return error;
    }
    throw std::logic_error(std::string("the task succeeded; expected ") + typeid(Error).name());
}

}  // namespace quorvale::testing
