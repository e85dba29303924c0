#pragma once
// quorvale-cli with staged changes (--staged, --session FILE): the operations each command
// stages, recorded once it succeeded, and the apply and discard commands.

#include <QList>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <vector>

#include "app/staged_changes.h"
#include "cli_commands.h"
#include "cli_session.h"

namespace quorvale::app::cli {

struct StagedStep {
    QString disk;  // the staged whole disk it lands on
    StagedOperation operation;
};

// What `command` is about to stage on staged disks, with sizes; refuses an upload or copy for
// which the overlay's file system has no room (throws StagedError). Nothing for other disks.
QCoro::Task<QList<StagedStep>> stagedSteps(Session& session, QString command,
                                           std::vector<Remote> remotes, QStringList values);
// Adds the steps to their disks' records.
void recordStagedSteps(Session& session, const QList<StagedStep>& steps);
// One line on stderr: how many changes are pending where, and how to apply them.
void reportStaged(Session& session, const QString& disk, const QString& source);

// Applies the partition's staged changes (progress on stderr, the check's findings on stdout)
// and sets the exit status as the check's.
QCoro::Task<void> applyCommand(Session& session, QString partition);
// Drops the staged changes of --session FILE, or those kept for the card in the cache
// directory; the card is not touched.
QCoro::Task<void> discardCommand(Session& session, SourceSpec source);

}  // namespace quorvale::app::cli
