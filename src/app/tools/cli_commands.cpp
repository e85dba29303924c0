#include "cli_commands.h"

#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocale>

#include <cstdio>

#include "app/browser_paths.h"
#include "fileops/file_operation_service.h"

namespace quorvale::app::cli {
namespace {

void print(const QString& line) {
    std::fprintf(stdout, "%s\n", qUtf8Printable(line));
}

QString bytesText(std::uint64_t bytes) {
    return QLocale::c().formattedDataSize(static_cast<qint64>(bytes), 1, QLocale::DataSizeSIFormat);
}

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

// The entry at `path`, found in its parent's listing.
QCoro::Task<std::optional<model::FileItem>> lookUp(Session& session, Remote remote) {
    const QString parent = parentPath(remote.path);
    const auto items = co_await session.service().listDirectory(parent, remote.partition);
    const QString name = remote.path.section(QLatin1Char('/'), -1, -1, QString::SectionSkipEmpty);
    for (const model::FileItem& item : items) {
        if (item.name == name)
            co_return item;
    }
    co_return std::nullopt;
}

fileops::TransferOptions options(const QString& partition, ProgressBar& bar, const QString& name) {
    fileops::TransferOptions result;
    result.partition = partition;
    result.progress = [&bar, name](std::uint64_t done, std::uint64_t total) {
        bar.update(done, total, name);
    };
    return result;
}

QString joined(const QString& directory, const QString& name) {
    return directory.endsWith(QLatin1Char('/')) ? directory + name
                                                : directory + QLatin1Char('/') + name;
}

// Bytes under `item` (itself for a file).
QCoro::Task<std::uint64_t> treeBytes(Session& session, QString partition, model::FileItem item) {
    if (!item.isDirectory)
        co_return item.size;
    std::uint64_t total = 0;
    for (const auto& entry : co_await session.service().dirUsage(item.path, partition)) {
        const auto size = entry.find("size");
        const auto value = size == entry.end() ? std::nullopt : size->second.intValue();
        total += value && *value > 0 ? static_cast<std::uint64_t>(*value) : 0;
    }
    co_return total;
}

}  // namespace

QCoro::Task<void> listCommand(Session& session, Remote path) {
    FileBrowserViewModel& browser = session.browser(path.partition);
    co_await browser.navigateTo(path.path);
    if (browser.error())
        throw CliError(browser.error()->toStdString());
    for (const model::FileItem& item : browser.files()) {
        print(QStringLiteral("%1 %2 %3 %4 %5 %6")
                  .arg(item.permissionText(), item.owner.leftJustified(8),
                       item.group.leftJustified(8), QString::number(item.size).rightJustified(12),
                       item.modifiedDate.toUTC().toString(Qt::ISODate),
                       item.name + (item.isDirectory ? QStringLiteral("/") : QString())));
    }
}

QCoro::Task<void> getCommand(Session& session, Remote remote, QString local) {
    const auto item = co_await lookUp(session, remote);
    if (!item)
        throw CliError("no such file: " + remote.path.toStdString());
    if (item->isDirectory)
        throw CliError(remote.path.toStdString() + " is a directory");
    FileBrowserViewModel& browser = session.browser(remote.partition);
    ProgressBar bar;
    if (QFileInfo(local).isDir()) {
        // Into a folder: the browser's export, which keeps to the folder.
        QObject::connect(&browser, &FileBrowserViewModel::transferChanged, &browser, [&] {
            bar.update(browser.transferBytesDone(), browser.transferBytesTotal(),
                       browser.transferCurrentFile());
        });
        QList<model::FileItem> items;
        items.append(*item);
        const QStringList written = (co_await browser.exportItems(items, local)).written;
        QObject::disconnect(&browser, &FileBrowserViewModel::transferChanged, nullptr, nullptr);
        for (const QString& path : written)
            print(QStringLiteral("saved as ") + path);
        co_return;
    }
    fileops::TransferOptions transfer = options(remote.partition, bar, item->name);
    // An existing local file is kept: the copy then gets the next free "name 2.ext".
    QString publishedAs;
    transfer.published = [&publishedAs](const QString& path) { publishedAs = path; };
    co_await session.service().exportFile(item->path, local, item->size, std::move(transfer));
    if (!publishedAs.isEmpty() && publishedAs != local)
        print(QStringLiteral("saved as ") + publishedAs);
}

QCoro::Task<void> putCommand(Session& session, QString local, Remote remote) {
    const QFileInfo info(local);
    if (!info.isFile() || !info.isReadable())
        throw CliError("cannot read " + local.toStdString());
    FileBrowserViewModel& browser = session.browser(remote.partition);
    bool intoDirectory =
        remote.path == QLatin1String("/") || remote.path.endsWith(QLatin1Char('/'));
    if (!intoDirectory) {
        const auto existing = co_await lookUp(session, remote);
        intoDirectory = existing && existing->isDirectory;
    }
    ProgressBar bar;
    if (intoDirectory) {
        co_await browser.navigateTo(remote.path);
        if (browser.error())
            throw CliError(browser.error()->toStdString());
        QObject::connect(&browser, &FileBrowserViewModel::transferChanged, &browser, [&] {
            bar.update(browser.transferBytesDone(), browser.transferBytesTotal(),
                       browser.transferCurrentFile());
        });
        QStringList locals;
        locals.append(local);
        co_await browser.uploadFiles(locals);
        QObject::disconnect(&browser, &FileBrowserViewModel::transferChanged, nullptr, nullptr);
        co_return;
    }
    fileops::TransferOptions transfer = options(remote.partition, bar, info.fileName());
    co_await session.service().uploadFile(local, remote.path, std::move(transfer));
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

QCoro::Task<void> copyCommand(Session& session, Remote from, Remote to) {
    const auto source = co_await lookUp(session, from);
    if (!source)
        throw CliError("no such file or directory: " + from.path.toStdString());
    bool intoDirectory = to.path == QLatin1String("/") || to.path.endsWith(QLatin1Char('/'));
    if (!intoDirectory) {
        const auto existing = co_await lookUp(session, to);
        intoDirectory = existing && existing->isDirectory;
    }
    if (intoDirectory)
        to.path = joined(to.path, source->name);
    // One call copies the whole tree inside the guest: it may take as long as the slowest card
    // needs for the bytes (1 MB/s), on top of the usual wait.
    const std::uint64_t bytes = co_await treeBytes(session, from.partition, *source);
    const auto wait =
        fileops::FileOperationService::callTimeout + std::chrono::milliseconds(bytes / 1000);
    co_await session.service().copyBetween(
        source->path, from.partition, to.path, to.partition,
        std::chrono::duration_cast<std::chrono::milliseconds>(wait));
    print(
        QStringLiteral("%1:%2 -> %3:%4").arg(from.partition, source->path, to.partition, to.path));
}

QCoro::Task<void> diskUsageCommand(Session& session, QString partition) {
    // The guest mounts a partition on its first use: list its root first.
    FileBrowserViewModel& browser = session.browser(partition);
    co_await browser.navigateTo(QStringLiteral("/"));
    if (browser.error())
        throw CliError(browser.error()->toStdString());
    const auto partitions = co_await session.service().getPartitions();
    print(QStringLiteral("%1 %2 %3 %4 %5 %6")
              .arg(QStringLiteral("Partition").leftJustified(12),
                   QStringLiteral("Size").rightJustified(10),
                   QStringLiteral("Used").rightJustified(10),
                   QStringLiteral("Avail").rightJustified(10),
                   QStringLiteral("Type").leftJustified(6), QStringLiteral("Label")));
    for (const auto& entry : partitions) {
        const auto text = [&](const char* key) {
            const auto it = entry.find(key);
            const auto value = it == entry.end() ? std::nullopt : it->second.stringValue();
            return value ? QString::fromUtf8(value->data(), qsizetype(value->size())) : QString();
        };
        const auto number = [&](const char* key) -> std::uint64_t {
            const auto it = entry.find(key);
            const auto value = it == entry.end() ? std::nullopt : it->second.intValue();
            return value && *value > 0 ? static_cast<std::uint64_t>(*value) : 0;
        };
        const std::uint64_t total = number("total_bytes");
        const std::uint64_t free = std::min(number("free_bytes"), total);
        print(QStringLiteral("%1 %2 %3 %4 %5 %6")
                  .arg(text("name").leftJustified(12), bytesText(total).rightJustified(10),
                       bytesText(total - free).rightJustified(10),
                       bytesText(free).rightJustified(10), text("filesystem").leftJustified(6),
                       text("label")));
    }
}

}  // namespace quorvale::app::cli
