#pragma once
// quorvale-cli mount and unmount. `mount SOURCE[:PARTITION] MOUNTPOINT` (or several
// `SOURCE[:PARTITION]=MOUNTPOINT` pairs, all in one VM) serves the partitions as FUSE mounts
// until each is unmounted (`quorvale-cli unmount`, `fusermount3 -u`) or the run is interrupted;
// then it syncs the cards and stops the VM. Each mount listens on a control socket in the
// user's runtime folder, through which `unmount` asks it to end and waits for the sync.

#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>
#include <vector>

#include "cli_arguments.h"
#include "cli_session.h"

namespace quorvale::app::cli {

struct MountPair {
    SourceSpec source;
    QString mountPoint;
};

// The pairs of `mount`'s arguments; nothing when they are not pairs.
std::optional<std::vector<MountPair>> parseMountPairs(const QStringList& args);

// Whether `argv` asks for `mount --background`: the run then detaches once every mount is
// ready (see detachWhenReady).
bool wantsBackground(int argc, char** argv);
// Forks before anything else runs: the parent waits until the child says it is ready (exit 0)
// or fails (its status); the child returns and goes on. Call before any thread exists.
void detachWhenReady();
// In the child: the mounts are ready; the parent may exit, and this process lets go of the
// terminal.
void signalReady();

// Runs the mounts; the session is configured by the caller (read-only, staged). Returns the
// exit status.
QCoro::Task<int> mountCommand(Session& session, std::vector<MountPair> pairs,
                              std::chrono::milliseconds readyTimeout);
// Asks the process serving the mount on `mountPoint` to end it, and waits for the card's
// sync. Returns the exit status.
QCoro::Task<int> unmountCommand(QString mountPoint);

}  // namespace quorvale::app::cli
