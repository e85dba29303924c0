#include "support/log_capture.h"

#include <QLoggingCategory>
#include <QMutex>

namespace quorvale::testing {
namespace {

struct Entry {
    QString category;
    QtMsgType type;
    QString text;
};

QMutex mutex;
QList<Entry> entries;
QString prefix;

const char* levelName(QtMsgType type) {
    switch (type) {
        case QtDebugMsg:
            return "debug";
        case QtInfoMsg:
            return "info";
        case QtWarningMsg:
            return "warning";
        case QtCriticalMsg:
            return "error";
        case QtFatalMsg:
            return "fatal";
    }
    return "?";
}

void collect(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    const QString category = QString::fromUtf8(context.category ? context.category : "");
    QMutexLocker lock(&mutex);
    if (category.startsWith(prefix))
        entries.append({category, type, text});
}

}  // namespace

LogCapture::LogCapture(QString categoryPrefix) {
    if (!categoryPrefix.isEmpty())
        QLoggingCategory::setFilterRules(categoryPrefix + QStringLiteral("*.info=true"));
    QMutexLocker lock(&mutex);
    entries.clear();
    prefix = std::move(categoryPrefix);
    previous = qInstallMessageHandler(collect);
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(previous);
}

QStringList LogCapture::lines() const {
    QMutexLocker lock(&mutex);
    QStringList texts;
    for (const Entry& entry : entries)
        texts << entry.text;
    return texts;
}

QStringList LogCapture::tagged() const {
    QMutexLocker lock(&mutex);
    QStringList out;
    for (const Entry& entry : entries)
        out << entry.category + '|' + levelName(entry.type) + '|' + entry.text;
    return out;
}

int LogCapture::count(const QString& category) const {
    QMutexLocker lock(&mutex);
    return static_cast<int>(std::count_if(entries.begin(), entries.end(),
                                          [&](const Entry& e) { return e.category == category; }));
}

}  // namespace quorvale::testing
