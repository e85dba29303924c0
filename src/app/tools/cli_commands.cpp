#include "cli_commands.h"
#include "cli_support.h"

#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocale>

#include <csignal>
#include <cstdio>

#include "app/browser/browser_paths.h"
#include "app/health/check_report.h"
#include "app/health/health_card.h"
#include "fileops/file_operation_service.h"
#include "fileops/guest_copy.h"
#include "fileops/partition_control.h"
#include "fileops/tree_transfer.h"
#include "rpc/device_name.h"

namespace quorvale::app::cli {
namespace {

// A one-line progress bar on stderr, redrawn at most ten times a second and once at the end.
class ProgressBar {
public:
    void update(std::uint64_t done, std::uint64_t total, const QString& name) {
        if (shown && clock.elapsed() < 100 && done < total)
            return;
        clock.start();
        shown = true;
        const int width = 30;
        const double fraction = total == 0 ? 1.0 : std::min(1.0, double(done) / double(total));
        const int filled = int(fraction * width);
        std::fprintf(stderr, "\r[%s%s] %3d%% %s / %s %s\x1b[K", QByteArray(filled, '#').constData(),
                     QByteArray(width - filled, ' ').constData(), int(fraction * 100),
                     qUtf8Printable(bytesText(done)), qUtf8Printable(bytesText(total)),
                     qUtf8Printable(name));
    }
    ~ProgressBar() {
        if (shown)
            std::fputc('\n', stderr);
    }

private:
    QElapsedTimer clock;
    bool shown = false;
};

}  // namespace

namespace {

// Asks on the terminal; end of input fails the command.
QCoro::Task<fileops::ConflictAnswer> askOnTerminal(fileops::Conflict conflict) {
    for (;;) {
        std::fprintf(stderr,
                     "\n%s already exists in %s. [r]eplace, [k]eep both, [s]kip "
                     "(capital: for all that follow)? ",
                     qUtf8Printable(conflict.name), qUtf8Printable(conflict.folder));
        std::fflush(stderr);
        char line[64] = {};
        if (std::fgets(line, sizeof line, stdin) == nullptr)
            throw CliError("File exists: " + conflict.name.toStdString() + " (no answer)");
        const char c = line[0];
        const bool all = c >= 'A' && c <= 'Z';
        switch (c | 0x20) {
            case 'r':
                co_return fileops::ConflictAnswer{fileops::ConflictAction::replace, all};
            case 'k':
                co_return fileops::ConflictAnswer{fileops::ConflictAction::keepBoth, all};
            case 's':
                co_return fileops::ConflictAnswer{fileops::ConflictAction::skip, all};
            default:
                break;
        }
    }
}

fileops::TreeOptions treeOptions(const QString& partition, const Options& options,
                                 ProgressBar& bar) {
    fileops::TreeOptions result;
    result.partition = partition;
    if (options.onConflict.ask)
        result.conflicts = fileops::ConflictPolicy::asking(askOnTerminal);
    else if (options.onConflict.action)
        result.conflicts = fileops::ConflictPolicy::always(*options.onConflict.action);
    result.progress = [&bar](const fileops::TreeProgress& progress) {
        bar.update(progress.bytesDone, progress.bytesTotal, progress.currentFile);
    };
    return result;
}

void printNotes(const fileops::TreeReport& report) {
    for (const QString& note : report.notes)
        std::fprintf(stderr, "note: %s\n", qUtf8Printable(note));
    if (report.skipped > 0)
        std::fprintf(stderr, "note: %d existing entr%s left as %s\n", report.skipped,
                     report.skipped == 1 ? "y" : "ies",
                     report.skipped == 1 ? "it was" : "they were");
}

}  // namespace

QCoro::Task<void> getCommand(Session& session, Remote remote, QString local, Options options) {
    const auto item = co_await lookUp(session, remote);
    if (!item)
        throw CliError("no such file: " + remote.path.toStdString());
    if (item->isDirectory && !options.recursive)
        throw CliError(remote.path.toStdString() + " is a directory (get -r copies folders)");
    ProgressBar bar;
    fileops::TreeOptions tree = treeOptions(remote.partition, options, bar);
    QString folder = local;
    if (!QFileInfo(local).isDir()) {
        folder = QFileInfo(local).absolutePath();
        tree.topName = QFileInfo(local).fileName();
    }
    const QString expected =
        QDir(folder).filePath(tree.topName.isEmpty() ? item->displayName() : tree.topName);
    QList<model::FileItem> items{*item};
    const fileops::TreeReport report =
        co_await fileops::exportTree(session.service(), items, folder, std::move(tree));
    printNotes(report);
    for (const QString& path : report.written) {
        if (QDir::cleanPath(path) != QDir::cleanPath(expected))
            print(QStringLiteral("saved as ") + path);
    }
}

QCoro::Task<void> putCommand(Session& session, QString local, Remote remote, Options options) {
    const QFileInfo info(local);
    if (!info.exists() && !info.isSymLink())
        throw CliError("cannot read " + local.toStdString());
    if (info.isDir() && !info.isSymLink() && !options.recursive)
        throw CliError(local.toStdString() + " is a directory (put -r copies folders)");
    bool intoDirectory =
        remote.path == QLatin1String("/") || remote.path.endsWith(QLatin1Char('/'));
    if (!intoDirectory) {
        const auto existing = co_await lookUp(session, remote);
        intoDirectory = existing && existing->isDirectory;
    }
    ProgressBar bar;
    fileops::TreeOptions tree = treeOptions(remote.partition, options, bar);
    QString folder = remote.path;
    if (!intoDirectory) {
        folder = parentPath(remote.path);
        tree.topName = remote.path.section(QLatin1Char('/'), -1, -1, QString::SectionSkipEmpty);
    }
    QStringList paths{local};
    const fileops::TreeReport report =
        co_await fileops::uploadTree(session.service(), paths, folder, std::move(tree));
    printNotes(report);
}

QCoro::Task<void> removeCommand(Session& session, QList<Remote> paths) {
    for (const Remote& remote : paths) {
        FileBrowserViewModel& browser = session.browser(remote.partition);
        browser.setSelectedFiles(QSet<QString>{remote.path});
        co_await browser.deleteSelected();
    }
}

QCoro::Task<void> makeDirectoryCommand(Session& session, Remote path) {
    FileBrowserViewModel& browser = session.browser(path.partition);
    const QString name = path.path.section(QLatin1Char('/'), -1, -1, QString::SectionSkipEmpty);
    if (name.isEmpty())
        throw CliError("mkdir needs a directory name");
    const QString parent = parentPath(path.path);
    co_await browser.navigateTo(parent);
    co_await browser.createFolder(name);
}

QCoro::Task<void> renameCommand(Session& session, Remote path, QString newName) {
    const QString renamed = co_await session.service().rename(path.path, newName, path.partition);
    print(renamed);
}

namespace {

// The entry at `from` and where it goes: into an existing folder (or a path ending in "/") it
// keeps its name. A link to a folder is a name like any other for a move.
struct Placing {
    model::FileItem source;
    Remote to;
};

QCoro::Task<Placing> resolvePlacing(Session& session, Remote from, Remote to, bool throughLinks) {
    const auto source = co_await lookUp(session, from);
    if (!source)
        throw CliError("no such file or directory: " + from.path.toStdString());
    bool intoDirectory = to.path == QLatin1String("/") || to.path.endsWith(QLatin1Char('/'));
    if (!intoDirectory) {
        const auto existing = co_await lookUp(session, to);
        intoDirectory = existing && existing->isDirectory && (throughLinks || !existing->isSymlink);
    }
    if (intoDirectory)
        to.path = joined(to.path, source->name);
    co_return Placing{*source, to};
}

}  // namespace

QCoro::Task<void> moveCommand(Session& session, Remote from, Remote to) {
    const Placing placing = co_await resolvePlacing(session, from, to, false);
    const model::FileItem& source = placing.source;
    to = placing.to;
    if (from.partition == to.partition) {
        const QString moved = co_await session.service().move(source.path, to.path, from.partition);
        print(QStringLiteral("%1 -> %2").arg(source.path, moved));
        co_return;
    }
    // Another card: the copy is whole on the disk before the original goes.
    co_await fileops::copyInGuest(session.service(), source, from.partition, to.path, to.partition);
    QStringList removed{source.path};
    co_await session.service().deletePaths(removed, from.partition);
    print(QStringLiteral("%1:%2 -> %3:%4").arg(from.partition, source.path, to.partition, to.path));
}

QCoro::Task<void> copyCommand(Session& session, Remote from, Remote to) {
    const Placing placing = co_await resolvePlacing(session, from, to, true);
    co_await fileops::copyInGuest(session.service(), placing.source, from.partition,
                                  placing.to.path, placing.to.partition);
    print(QStringLiteral("%1:%2 -> %3:%4")
              .arg(from.partition, placing.source.path, placing.to.partition, placing.to.path));
}

QCoro::Task<void> infoCommand(Session& session, SourceSpec source) {
    const model::Partition partition = co_await session.locate(std::move(source));
    const HealthCard card = makeHealthCard(session.health(partition));
    std::fputs(qUtf8Printable(QStringLiteral("Partition: ") + partition.bsdName +
                              QLatin1Char('\n') + card.text()),
               stdout);
}

namespace {

volatile std::sig_atomic_t interrupted = 0;

void onInterrupt(int) {
    interrupted = 1;
}

}  // namespace

QCoro::Task<void> checkCommand(Session& session, QString partition) {
    // The check needs the partition unmounted: its whole disk leaves every mount.
    const auto whole = rpc::wholeDiskName(partition.toStdString());
    // Named: g++ 12 destroys a by-value argument made inside a co_await expression twice.
    const std::optional<QString> disk = whole ? QString::fromStdString(*whole) : partition;
    auto unmounting = session.service().unmount(disk);
    co_await std::move(unmounting);
    fileops::PartitionControl control(session.link());
    std::stop_source skip;
    interrupted = 0;
    const auto previous = std::signal(SIGINT, onInterrupt);
    const bool tty = ::isatty(STDERR_FILENO) == 1;
    int shown = -1;
    const std::function<void(const fileops::CheckStatus&)> progress =
        [&](const fileops::CheckStatus& status) {
            if (interrupted && !skip.stop_requested()) {
                skip.request_stop();
                std::fputs(tty ? "\rSkipping the check...\n" : "Skipping the check...\n", stderr);
            }
            if (status.percent == shown || status.state != fileops::CheckStatus::State::running)
                return;
            shown = status.percent;
            std::fprintf(
                stderr,
                tty ? "\rChecking: %3d%% (pass %d of 5)" : "Checking: %d%% (pass %d of 5)\n",
                status.percent, status.pass);
            std::fflush(stderr);
        };
    fileops::CheckStatus status;
    try {
        auto checking = control.runCheck(partition, progress, skip.get_token());
        status = co_await std::move(checking);
    } catch (...) {
        std::signal(SIGINT, previous);
        throw;
    }
    std::signal(SIGINT, previous);
    if (tty && shown >= 0)
        std::fputs("\n", stderr);
    const CheckReport report = makeCheckReport(status);
    for (const QString& finding : report.findings)
        print(finding);
    if (!report.summary.isEmpty())
        print(report.summary);
    print(report.message);
    session.exitStatus = report.exitStatus();
}

QCoro::Task<void> ejectCommand(Session& session, bool verify) {
    DeviceListViewModel& devices = session.devices();
    devices.verifyOnEject = verify;
    interrupted = 0;
    const auto previous = std::signal(SIGINT, verify ? onInterrupt : SIG_DFL);
    int shown = -1;
    const auto connection =
        QObject::connect(&devices, &DeviceListViewModel::ejectCheckChanged, &devices, [&] {
            const auto check = devices.ejectCheck();
            if (!check)
                return;
            if (interrupted && !check->skipping) {
                std::fputs("Skipping the check...\n", stderr);
                devices.skipEjectCheck();
            }
            if (check->percent != shown) {
                shown = check->percent;
                std::fprintf(stderr, "Checking %s: %d%% (pass %d of 5)\n",
                             qUtf8Printable(check->partition), check->percent, check->pass);
            }
        });
    auto ejecting = devices.ejectDevice(session.device());
    co_await std::move(ejecting);
    QObject::disconnect(connection);
    std::signal(SIGINT, previous);
    for (const CheckReport& report : devices.lastEjectReports()) {
        for (const QString& finding : report.findings)
            print(finding);
        if (!report.summary.isEmpty())
            print(report.summary);
        print(report.message);
        session.exitStatus = std::max(session.exitStatus, report.exitStatus());
    }
    if (verify && devices.lastEjectReports().isEmpty())
        throw CliError("the card was ejected but could not be checked");
    session.markClosed();
}

}  // namespace quorvale::app::cli
