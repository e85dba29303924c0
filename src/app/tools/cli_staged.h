#pragma once
// quorvale-cli with staged changes (--staged, --session FILE): the operations each command
// stages, recorded as the guest does them, and the apply and discard commands.

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <cstdint>
#include <vector>

#include "app/staging/staged_changes.h"
#include "cli_commands.h"
#include "cli_session.h"

namespace quorvale::app::cli {

// Sizes of the entries a command deletes or copies on staged disks, by path.
using StagedSizes = QHash<QString, std::uint64_t>;

// Refuses an upload or copy to a staged disk for which the overlay's file system has no room
// (throws StagedError) before anything is sent; returns the sizes the record names.
QCoro::Task<StagedSizes> checkStagedRoom(Session& session, QString command,
                                         std::vector<Remote> remotes, QStringList values);
// From now on each change the guest has done on a staged disk is added to its record, one
// per file uploaded; a change refused or never done is not.
void recordStagedChanges(Session& session, StagedSizes sizes);
// One line on stderr: how many changes are pending where, and how to apply them.
void reportStaged(Session& session, const QString& disk, const QString& source);

// Applies the partition's staged changes (progress on stderr, the check's findings on stdout)
// and sets the exit status as the check's.
QCoro::Task<void> applyCommand(Session& session, QString partition);
// Drops the staged changes of --session FILE, or those kept for the card in the cache
// directory; the card is not touched.
QCoro::Task<void> discardCommand(Session& session, SourceSpec source);

}  // namespace quorvale::app::cli
