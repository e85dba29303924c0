#pragma once
// GuestMount: one partition of the VM mounted on a folder of the host, served by this process
// over the session's transport (GuestFilesystem answering, FuseBridge reading /dev/fuse).
// Whichever way the mount ends (unmount(), `fusermount3 -u`, umount), `ended` is emitted and
// finish() then syncs the card before anything else is stopped.

#include <QtCore/QObject>
#include <QtCore/QString>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <qcoro/qcorotask.h>

namespace quorvale::guest {
class VsockTransport;
}

namespace quorvale::mount {

class GuestFilesystem;
class FuseBridge;

struct MountError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Why `path` cannot take a mount: it must be an empty folder of this user, not a link and not
// a mount point already. Nothing when it can.
std::optional<QString> mountPointProblem(const QString& path);

// Where the control socket of the mount on `mountPoint` lives (in the user's runtime folder).
QString controlSocketPath(const QString& mountPoint);

class GuestMount : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString mountPoint;
        QString partition;  // the host's name ("sdb2", "image0p1")
        bool readOnly = false;
    };

    GuestMount(guest::VsockTransport& transport, Options options);
    ~GuestMount() override;

    // Checks the mount point, reads the partition's root and mounts. Throws MountError.
    QCoro::Task<void> start();
    // Unmounts as `fusermount3 -u` does; a busy mount stays, and `why` says so (false).
    QCoro::Task<bool> unmount(QString* why = nullptr);
    // Takes the mount off the file tree now, even while files are open (they fail from then).
    void detach();
    // Once ended: waits for the answers still due, then syncs the partition's disk in the guest
    // (unless the channel is lost). Returns the failure of the sync, if any.
    QCoro::Task<std::optional<QString>> finish();
    // Every request fails with EIO from now on (the VM or the card is gone).
    void lose();
    bool isLost() const;
    bool hasEnded() const { return ended_; }
    const Options& options() const { return options_; }

signals:
    void ended();
    void lost();

private:
    guest::VsockTransport& transport_;
    const Options options_;
    std::unique_ptr<GuestFilesystem> filesystem_;
    std::unique_ptr<FuseBridge> bridge_;
    bool ended_ = false;
};

}  // namespace quorvale::mount
