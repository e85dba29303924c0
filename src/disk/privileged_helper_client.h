#pragma once
// Obtains open descriptors on whole disks from the privileged helper daemon (quorvale-helper,
// socket-activated by systemd) and registers that daemon. Used on the GUI thread; nothing here
// blocks it. One connection is made on first use, kept, and made again after it breaks. The
// daemon ties each disk opened to the connection it was opened on: openHeldDisk() works only on
// that connection, so a connection that broke meanwhile leaves the disk to be opened again. Each
// call has its own reply timeout and completes exactly once: with the reply, or with the
// timeout's error, whichever comes first; a late reply is dropped with its descriptor. Names
// are checked before anything is sent. Also ejects disks through the daemon ("eject_disk").

#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>

#include <qcoro/qcorotask.h>

#include "disk/disk_ejector.h"
#include "disk/helper_connection.h"
#include "disk/helper_error.h"
#include "rpc/any_codable.h"
#include "rpc/unique_fd.h"

namespace quorvale::disk {

class PrivilegedHelperClient : public QObject, public DiskEjector {
    Q_OBJECT
    Q_PROPERTY(bool isHelperInstalled READ isHelperInstalled NOTIFY isHelperInstalledChanged)
public:
    struct Options {
        // Default: $QUORVALE_HELPER_SOCKET, else /run/quorvale-helper.sock.
        QString socketPath;
        std::chrono::milliseconds replyTimeout = std::chrono::seconds(30);
        QString systemctl = QStringLiteral("systemctl");
        QString pkexec = QStringLiteral("pkexec");
        // Default: the installed helper path.
        QString helperPath;
    };

    static constexpr const char* socketUnit = "quorvale-helper.socket";
    static constexpr const char* accessDeniedPrefix = "ACCESS_DENIED:";
    static constexpr const char* timeoutMessage =
        "Helper not responding (timed out). Is the helper daemon running?";

    explicit PrivilegedHelperClient(QObject* parent = nullptr);
    explicit PrivilegedHelperClient(Options options, QObject* parent = nullptr);
    ~PrivilegedHelperClient() override;

    // Makes sure quorvale-helper.socket is installed and enabled (through pkexec when it is
    // not installed). Throws HelperError (requiresApproval, unknownStatus) or, when the
    // installation fails, the installer's own error.
    QCoro::Task<void> installHelper();
    // Whether quorvale-helper.socket is installed, enabled and listening; asks systemctl only,
    // never pkexec, and never throws. Sets isHelperInstalled when it is.
    QCoro::Task<bool> checkHelper();
    // Adds the current user to the helper's allowed group ("quorvale-helper grant USER"
    // through pkexec). Throws the grant's own error when it fails or is refused.
    QCoro::Task<void> grantAccess();
    // An open descriptor on the named whole disk. Throws HelperError.
    QCoro::Task<UniqueFd> openDisk(QString bsdName, bool readOnly);
    // A writable descriptor on the named whole disk, which this process holds exclusively as
    // `heldFd`, the descriptor openDisk() gave on the current connection (a VM given it
    // read-only): the helper opens it beside that claim. Throws HelperError.
    QCoro::Task<UniqueFd> openHeldDisk(QString bsdName, int heldFd);
    // Tells the daemon that this process has let go of the disk: it stops holding it for us.
    // Nothing is awaited; without a connection there is nothing to let go of.
    void releaseDisk(const QString& bsdName);
    // Flushes and ejects the whole disk. Throws HelperError.
    QCoro::Task<void> ejectDisk(QString bsdName) override;

    bool isHelperInstalled() const { return helperInstalled; }
    const Options& options() const { return config; }

Q_SIGNALS:
    void isHelperInstalledChanged();

private:
    struct PendingCall;
    struct Outcome {
        rpc::JSONRPCResponse response;
        UniqueFd fd;
        std::exception_ptr error;
    };
    class CallAwaiter;

    // Sends the request (with `passed` beside it when valid) and waits for its outcome.
    QCoro::Task<Outcome> call(std::string method, rpc::Params params, UniqueFd passed = {});
    // The descriptor an open request was answered with. Throws HelperError.
    static UniqueFd openedDescriptor(Outcome outcome);
    HelperConnection& proxy();
    void complete(std::int64_t id, Outcome outcome);
    void connectionInvalidated();
    void connectionRefused(const rpc::JSONRPCError& error);
    void failPending();
    void setHelperInstalled();

    Options config;
    std::unique_ptr<HelperConnection> connection;
    std::map<std::int64_t, std::shared_ptr<PendingCall>> pending;
    std::int64_t nextId = 1;
    bool helperInstalled = false;
};

}  // namespace quorvale::disk
