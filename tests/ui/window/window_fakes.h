#pragma once
// Test doubles for the main-window tests: a helper and a VM whose outcomes the test sets, a
// guest on the far end of a socketpair answering JSON-RPC lines from a table of results, and a
// harness building the real window (real AppState, settings in a temporary file, the real disk
// source with disk images, a real transport) over them.

#include <QHash>
#include <QSocketNotifier>
#include <QTemporaryDir>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "app/core/app_settings.h"
#include "app/core/app_state.h"
#include "app/core/service_interfaces.h"
#include "disk/helper_error.h"
#include "guest/vm_error.h"
#include "guest/vsock_transport.h"
#include "ui/window/main_window.h"

namespace quorvale::test {

// Answers each request line with the error message stored for its method, else the JSON
// text stored for it ("true" when none; "pong" for ping; a read-write mount and a clean check
// for the card's mount and check methods).
class ScriptedGuest {
public:
    explicit ScriptedGuest(UniqueFd fd);
    QHash<QString, QByteArray> results;
    QHash<QString, QString> errors;
    QStringList methods;
    QList<QByteArray> requests;  // the request lines as received

private:
    void readable();
    UniqueFd fd;
    std::unique_ptr<QSocketNotifier> notifier;
    QByteArray buffer;
};

// A connected pair: the transport's end and the guest serving the other.
std::unique_ptr<ScriptedGuest> connectScriptedGuest(guest::VsockTransport& transport);

class FakeHelper : public app::HelperAccess {
public:
    QCoro::Task<UniqueFd> openDisk(QString bsdName, bool readOnly) override;
    QCoro::Task<UniqueFd> openHeldDisk(QString bsdName, int heldFd) override;
    QCoro::Task<void> installHelper() override;
    QCoro::Task<bool> checkHelper() override;
    QCoro::Task<void> grantAccess() override;

    QStringList opened;
    std::optional<disk::HelperError> failure;
    std::chrono::milliseconds delay{0};
    bool installFails = false;
    int installs = 0;
    int checks = 0;
    int grants = 0;
    std::optional<std::string> grantFailure;
};

class FakeVM : public app::VMControl {
public:
    bool isRunning() const override { return running; }
    QCoro::Task<void> bootVM(std::vector<guest::VMDisk> diskHandles) override;
    QCoro::Task<void> attachDisk(guest::VMDisk disk) override;
    QCoro::Task<void> detachDisk(QString name) override;
    QStringList diskNames() const override { return running ? disks : QStringList(); }
    // A disk in `removed` (whole-disk names) is gone from its reader.
    void checkDisks(const std::optional<QString>& device) const override {
        for (const QString& disk : removed)
            if (!device || device->startsWith(disk))
                throw guest::VMError(guest::VMError::Kind::diskRemoved, disk.toStdString());
    }
    QStringList removed;
    QCoro::Task<void> stopVM() override;
    void abortVM() override;
    QCoro::Task<UniqueFd> connectVsock(std::uint32_t port) override;
    // Reports half and then all of 4 MiB, and notes the descriptor's access mode.
    QCoro::Task<void> commitOverlay(QString name, UniqueFd writable,
                                    std::function<void(quint64, quint64)> progress) override;
    // QEMU ends by itself.
    void crash(const QString& cause);

    bool running = false;
    int boots = 0;
    int stops = 0;
    QStringList disks;
    // Disks handed over with an overlay (and the card read-only), as last given.
    QStringList stagedDisks;
    QStringList commits;
    std::vector<int> commitAccess;  // O_ACCMODE of each commit's descriptor
    std::chrono::milliseconds bootDelay{1};
    std::vector<std::unique_ptr<ScriptedGuest>> guests;
    // Results every new guest starts with.
    QHash<QString, QByteArray> guestResults;
};

struct WindowHarness {
    enum class Onboarding { done, pending };
    explicit WindowHarness(Onboarding onboarding = Onboarding::done);
    ~WindowHarness();

    // Shows the window and waits until it is exposed and active.
    void show();
    // Runs the event loop until `done` holds (at most `limit`).
    static bool waitFor(const std::function<bool()>& done,
                        std::chrono::milliseconds limit = std::chrono::seconds(10));

    QTemporaryDir dir;
    app::AppState appState;
    std::unique_ptr<app::AppSettings> settings;
    FakeHelper helper;
    FakeVM vm;
    guest::VsockTransport transport;
    std::unique_ptr<ui::MainWindow> window;
};

// A device as disk detection reports it: `sdb` with the given partitions (sdb1, sdb2, ...).
model::Device makeDevice(const QList<model::FilesystemType>& filesystems);

// An ext4 image of 32 MiB labelled "SAMPLE" holding a few files, made with mkfs.ext4 -d.
QString makeExt4Image(const QString& directory);

}  // namespace quorvale::test
