#include "disk_test_support.h"

namespace quorvale::disk::test {

namespace {
QMutex logMutex;
QStringList logLines;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const char* level = type == QtDebugMsg      ? "debug"
                        : type == QtInfoMsg     ? "info"
                        : type == QtWarningMsg  ? "warning"
                        : type == QtCriticalMsg ? "error"
                                                : "fatal";
    QMutexLocker lock(&logMutex);
    logLines.append(QString::fromUtf8(context.category ? context.category : "") + '|' + level +
                    '|' + message);
}
}  // namespace

LogCapture::LogCapture() {
    QMutexLocker lock(&logMutex);
    logLines.clear();
    previous = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(previous);
}

QStringList LogCapture::lines() const {
    QMutexLocker lock(&logMutex);
    return logLines;
}

int LogCapture::count(const QString& category) const {
    int n = 0;
    for (const QString& line : lines())
        n += line.startsWith(category + '|') ? 1 : 0;
    return n;
}

}  // namespace quorvale::disk::test
