#pragma once
// The commands of quorvale-cli, each run against a Session with its sources mounted. Remote
// paths come with the partition they are on. Failures throw.

#include <QStringList>

#include <qcoro/qcorotask.h>

#include "cli_session.h"

namespace quorvale::app::cli {

struct Remote {
    QString partition;
    QString path;
};

QCoro::Task<void> listCommand(Session& session, Remote path);
QCoro::Task<void> getCommand(Session& session, Remote remote, QString local);
QCoro::Task<void> putCommand(Session& session, QString local, Remote remote);
QCoro::Task<void> removeCommand(Session& session, QList<Remote> paths);
QCoro::Task<void> makeDirectoryCommand(Session& session, Remote path);
QCoro::Task<void> renameCommand(Session& session, Remote path, QString newName);
QCoro::Task<void> diskUsageCommand(Session& session, QString partition);
// Copies a file or folder inside the VM, within one partition or from one card to another.
// Into an existing directory (or a path ending in "/") the copy keeps its name; an existing
// destination is never replaced.
QCoro::Task<void> copyCommand(Session& session, Remote from, Remote to);

}  // namespace quorvale::app::cli
