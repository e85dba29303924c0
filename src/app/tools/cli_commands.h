#pragma once
// The commands of quorvale-cli, each run against a Session with its sources mounted. Remote
// paths come with the partition they are on. Failures throw.

#include <QStringList>

#include <qcoro/qcorotask.h>

#include "cli_session.h"
#include "fileops/conflicts.h"

namespace quorvale::app::cli {

struct Remote {
    QString partition;
    QString path;
};

// Options that apply to every command of a run.
struct Options {
    bool recursive = false;    // get and put take folders
    bool longListing = false;  // ls -l
    bool json = false;         // ls, stat and df print JSON
    // What get and put do with a name that is taken: fail unless told otherwise.
    fileops::ConflictChoice onConflict;
};

// Names (folders end in "/"), with -l permissions, owner, group, size, time and link targets.
QCoro::Task<void> listCommand(Session& session, Remote path, Options options);
// The file's bytes on stdout, nothing of them when it cannot be read whole.
QCoro::Task<void> catCommand(Session& session, Remote remote);
QCoro::Task<void> statCommand(Session& session, Remote remote, Options options);
// The folder and everything under it; links are shown, never followed.
QCoro::Task<void> treeCommand(Session& session, Remote remote);
// Into an existing local folder the copy keeps its name; any other LOCAL names it.
QCoro::Task<void> getCommand(Session& session, Remote remote, QString local, Options options);
// Into an existing card folder (or a path ending in "/") the copy keeps its name.
QCoro::Task<void> putCommand(Session& session, QString local, Remote remote, Options options);
QCoro::Task<void> removeCommand(Session& session, QList<Remote> paths);
QCoro::Task<void> makeDirectoryCommand(Session& session, Remote path);
QCoro::Task<void> renameCommand(Session& session, Remote path, QString newName);
// Moves an entry: one rename inside its partition (into an existing folder it keeps its
// name), a copy and a delete between partitions. Never over an existing entry.
QCoro::Task<void> moveCommand(Session& session, Remote from, Remote to);
QCoro::Task<void> diskUsageCommand(Session& session, QString partition, Options options);
// Copies a file or folder inside the VM, within one partition or from one card to another.
// Into an existing directory (or a path ending in "/") the copy keeps its name; an existing
// destination is never replaced.
QCoro::Task<void> copyCommand(Session& session, Remote from, Remote to);
// Prints the partition's health card; needs no VM.
QCoro::Task<void> infoCommand(Session& session, SourceSpec source);
// Checks the partition read-only in the guest (unmounting its disk first), printing progress on
// stderr and e2fsck's findings and summary on stdout; sets the session's exit status as
// e2fsck's.
QCoro::Task<void> checkCommand(Session& session, QString partition);
// Syncs, unmounts and ejects the first source's disk; with `verify`, checks each mounted
// partition first (progress on stderr, Ctrl-C skips) and sets the exit status as the check's.
QCoro::Task<void> ejectCommand(Session& session, bool verify);

}  // namespace quorvale::app::cli
