#pragma once
// A partition mounted for a test on a fresh empty folder: through the real VM by
// `quorvale-cli mount --background`, or from the real agent on the host by quorvale-mount-host
// (the same filesystem code, without the VM, for quick runs). Workloads are shell scripts run
// with $M (the mount) and $W (a scratch folder on the host) set.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace quorvale::testing {

class MountedCard {
public:
    // The host agent serving `tree`.
    static std::unique_ptr<MountedCard> fromHost(const QString& tree);
    // `image` through the VM; `options` go before "mount" (--read-only, --staged, ...).
    static std::unique_ptr<MountedCard> fromVM(const QString& image, QStringList options = {});
    ~MountedCard();

    bool ready() const { return ready_; }
    const QString& failure() const { return failure_; }
    QString mountPoint() const { return mountDir_.path(); }
    QString scratch() const { return scratchDir_.path(); }

    // Runs `script` with bash (set -euo pipefail); its exit status, output in `output`.
    int shell(const QString& script, QString* output = nullptr,
              int timeoutMs = 30 * 60 * 1000) const;
    // Ends the mount as a user would (`quorvale-cli unmount`, or fusermount3 -u for the host
    // one) and waits until its process is gone; the exit status of the unmount.
    int unmount();

private:
    MountedCard() = default;

    QTemporaryDir mountDir_;
    QTemporaryDir scratchDir_;
    std::unique_ptr<QProcess> server_;  // the host one
    bool viaVM_ = false;
    bool ready_ = false;
    bool mounted_ = false;
    QString failure_;
};

// The shell functions the workloads share: `describe DIR` prints every entry with its type,
// mode, link count, link target and modification time (seconds), sorted; `same A B` fails
// unless two trees hold the same bytes, modes, times and links.
extern const char* const treeFunctions;

}  // namespace quorvale::testing
