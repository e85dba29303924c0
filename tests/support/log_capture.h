#pragma once
// Captures the messages logged while an instance lives, from every thread: all categories, or
// only those whose name starts with a prefix. Info messages of the captured categories are
// turned on for its life.

#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace quorvale::testing {

class LogCapture {
public:
    explicit LogCapture(QString categoryPrefix = {});
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The texts, in order.
    QStringList lines() const;
    bool contains(const QString& text) const { return lines().contains(text); }
    // "<category>|<level>|<text>", the level one of debug, info, warning, error, fatal.
    QStringList tagged() const;
    // How many messages came under `category`.
    int count(const QString& category) const;

private:
    QtMessageHandler previous = nullptr;
};

}  // namespace quorvale::testing
