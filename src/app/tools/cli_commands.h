#pragma once
// The commands of quorvale-cli, each run against a mounted Session. Failures throw.

#include <QStringList>

#include <qcoro/qcorotask.h>

#include "cli_session.h"

namespace quorvale::app::cli {

QCoro::Task<void> listCommand(Session& session, QString path);
QCoro::Task<void> getCommand(Session& session, QString remote, QString local);
QCoro::Task<void> putCommand(Session& session, QString local, QString remote);
QCoro::Task<void> removeCommand(Session& session, QStringList paths);
QCoro::Task<void> makeDirectoryCommand(Session& session, QString path);
QCoro::Task<void> renameCommand(Session& session, QString path, QString newName);
QCoro::Task<void> diskUsageCommand(Session& session);

}  // namespace quorvale::app::cli
