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
QCoro::Task<std::optional<model::FileItem>> lookUp(Session& session, QString path) {
    const QString parent = parentPath(path);
    const auto items = co_await session.service().listDirectory(parent, session.partitionName());
    const QString name = path.section(QLatin1Char('/'), -1, -1, QString::SectionSkipEmpty);
    for (const model::FileItem& item : items) {
        if (item.name == name)
            co_return item;
    }
    co_return std::nullopt;
}

fileops::TransferOptions options(Session& session, ProgressBar& bar, const QString& name) {
    fileops::TransferOptions result;
    result.partition = session.partitionName();
    result.progress = [&bar, name](std::uint64_t done, std::uint64_t total) {
        bar.update(done, total, name);
    };
    return result;
}

}  // namespace

QCoro::Task<void> listCommand(Session& session, QString path) {
    FileBrowserViewModel& browser = session.browser();
    co_await browser.navigateTo(path);
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

QCoro::Task<void> getCommand(Session& session, QString remote, QString local) {
    const auto item = co_await lookUp(session, remote);
    if (!item)
        throw CliError("no such file: " + remote.toStdString());
    if (item->isDirectory)
        throw CliError(remote.toStdString() + " is a directory");
    FileBrowserViewModel& browser = session.browser();
    ProgressBar bar;
    if (QFileInfo(local).isDir()) {
        // Into a folder: the browser's export, which keeps to the folder.
        QObject::connect(&browser, &FileBrowserViewModel::transferChanged, &browser, [&] {
            bar.update(browser.transferBytesDone(), browser.transferBytesTotal(),
                       browser.transferCurrentFile());
        });
        QList<model::FileItem> items;
        items.append(*item);
        co_await browser.exportItems(items, local);
        QObject::disconnect(&browser, &FileBrowserViewModel::transferChanged, nullptr, nullptr);
        co_return;
    }
    fileops::TransferOptions transfer = options(session, bar, item->name);
    co_await session.service().exportFile(item->path, local, item->size, std::move(transfer));
}

QCoro::Task<void> putCommand(Session& session, QString local, QString remote) {
    const QFileInfo info(local);
    if (!info.isFile() || !info.isReadable())
        throw CliError("cannot read " + local.toStdString());
    FileBrowserViewModel& browser = session.browser();
    bool intoDirectory = remote == QLatin1String("/") || remote.endsWith(QLatin1Char('/'));
    if (!intoDirectory) {
        const auto existing = co_await lookUp(session, remote);
        intoDirectory = existing && existing->isDirectory;
    }
    ProgressBar bar;
    if (intoDirectory) {
        co_await browser.navigateTo(remote);
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
    fileops::TransferOptions transfer = options(session, bar, info.fileName());
    co_await session.service().uploadFile(local, remote, std::move(transfer));
}

QCoro::Task<void> removeCommand(Session& session, QStringList paths) {
    FileBrowserViewModel& browser = session.browser();
    browser.setSelectedFiles(QSet<QString>(paths.begin(), paths.end()));
    co_await browser.deleteSelected();
}

QCoro::Task<void> makeDirectoryCommand(Session& session, QString path) {
    FileBrowserViewModel& browser = session.browser();
    const QString name = path.section(QLatin1Char('/'), -1, -1, QString::SectionSkipEmpty);
    if (name.isEmpty())
        throw CliError("mkdir needs a directory name");
    const QString parent = parentPath(path);
    co_await browser.navigateTo(parent);
    co_await browser.createFolder(name);
}

QCoro::Task<void> renameCommand(Session& session, QString path, QString newName) {
    const QString renamed =
        co_await session.service().rename(path, newName, session.partitionName());
    print(renamed);
}

QCoro::Task<void> diskUsageCommand(Session& session) {
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
