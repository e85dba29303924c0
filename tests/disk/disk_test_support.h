#pragma once
// Shared pieces of the disk tests: a delegate that records what it is told, over the shared
// coroutine runner and log capture.

#include <QCoreApplication>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <qcoro/qcorotask.h>

#include "disk/disk_detection_delegate.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "support/task_runner.h"

namespace quorvale::disk::test {

using testing::ensureApplication;
using testing::LogCapture;
using testing::run;
using testing::shellSucceeds;
using testing::spinUntil;

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
                          QThread::currentThread() == QCoreApplication::instance()->thread()});
        co_return;
    }
    QCoro::Task<void> deviceRemoved(QString bsdName) override {
        events.push_back({Event::Kind::removed,
                          {},
                          bsdName,
                          QThread::currentThread() == QCoreApplication::instance()->thread()});
        co_return;
    }
    std::vector<Event> events;
};

}  // namespace quorvale::disk::test
