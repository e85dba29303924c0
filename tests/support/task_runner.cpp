#include "support/task_runner.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace quorvale::testing {

void ensureApplication() {
    static int argc = 1;
    static char name[] = "quorvale-test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
}

bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    ensureApplication();
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limit.count())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

namespace detail {

void taskOutlivedItsLimit(std::chrono::milliseconds limit) {
    ADD_FAILURE() << "a task was still running after " << limit.count() << " ms";
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(1);
}

}  // namespace detail

}  // namespace quorvale::testing
