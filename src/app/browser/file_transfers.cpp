// Export to and upload from the local machine, in chunks, with progress and cancellation.

#include <fcntl.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

#include "app/browser/file_browser_view_model.h"
#include "app/browser/transfer_error.h"
#include "app/core/app_log.h"
#include "fileops/file_operation_service.h"
#include "fileops/tree_transfer.h"
#include "rpc/unique_fd.h"

namespace quorvale::app {

using fileops::lcFileOps;
using fileops::TransferOutcome;
using model::FileItem;

namespace {

fileops::TreeOptions treeOptions(QPointer<FileBrowserViewModel> self, std::stop_token stop,
                                 std::optional<QString> partition,
                                 const fileops::ConflictQuestion& question,
                                 std::function<void(const fileops::TreeProgress&)> report) {
    fileops::TreeOptions options;
    options.partition = std::move(partition);
    options.stop = std::move(stop);
    // Without anybody to ask, both are kept: nothing is ever replaced unasked.
    options.conflicts = question
                            ? fileops::ConflictPolicy::asking(question)
                            : fileops::ConflictPolicy::always(fileops::ConflictAction::keepBoth);
    options.progress = [self, report = std::move(report)](const fileops::TreeProgress& progress) {
        if (self)
            report(progress);
    };
    return options;
}

}  // namespace

QCoro::Task<TransferReport> FileBrowserViewModel::exportItems(QList<FileItem> items, QString folder,
                                                              QString name) {
    if (!fileOpService)
        throw fileops::FileOperationError::invalidData();
    // The guest names the entries; only plain names may become paths here. Bytes that were not
    // UTF-8 on the card arrive spelled out ("caf\xE9").
    for (const FileItem& item : items) {
        if (!isPlainFileName(item.displayName()))
            throw TransferError::unsafeName(item.displayName().toStdString());
    }
    TransferReport summary{TransferReport::Kind::exported, 0, 0, false, {}, folder};
    if (items.isEmpty())
        co_return summary;
    QPointer<FileBrowserViewModel> self(this);
    const auto service = fileOpService;
    const std::stop_token stop = beginTransfer(0);
    fileops::TreeOptions options =
        treeOptions(self, stop, currentPartition, conflictQuestion,
                    [this](const fileops::TreeProgress& progress) { setTreeProgress(progress); });
    options.fileDone = [](const QString& name, std::uint64_t, const QString& path) {
        qCInfo(lcFileOps, "Exported %s to %s", qUtf8Printable(name), qUtf8Printable(path));
    };
    if (items.size() == 1)
        options.topName = name;
    std::exception_ptr failure;
    try {
        const fileops::TreeReport report =
            co_await fileops::exportTree(*service, items, folder, std::move(options));
        summary.filesDone = report.filesDone;
        summary.filesTotal = report.filesTotal;
        summary.cancelled = report.outcome == TransferOutcome::cancelled;
        summary.written = report.written;
        summary.notes = report.notes;
        if (!report.written.isEmpty())
            summary.firstName = QFileInfo(report.written.first()).fileName();
    } catch (...) {
        failure = std::current_exception();
    }
    if (self)
        endTransfer(stop);
    if (failure)
        std::rethrow_exception(failure);
    co_return summary;
}

QCoro::Task<TransferReport> FileBrowserViewModel::uploadFiles(QStringList localPaths) {
    if (!fileOpService)
        throw fileops::FileOperationError::invalidData();
    QPointer<FileBrowserViewModel> self(this);
    const auto service = fileOpService;
    const QString directory = currentPath_;
    QStringList readable;
    for (const QString& path : localPaths) {
        const QFileInfo info(path);
        if ((!info.exists() && !info.isSymLink()) || (!info.isSymLink() && !info.isReadable())) {
            qCCritical(lcFileOps, "Cannot access: %s", qUtf8Printable(path));
            continue;
        }
        readable << path;
    }
    TransferReport summary{TransferReport::Kind::uploaded, 0, 0, false, {}, directory};
    const std::stop_token stop = beginTransfer(0);
    fileops::TreeOptions options =
        treeOptions(self, stop, currentPartition, conflictQuestion,
                    [this](const fileops::TreeProgress& progress) { setTreeProgress(progress); });
    options.fileDone = [](const QString& name, std::uint64_t bytes, const QString&) {
        qCInfo(lcFileOps, "Uploaded %s (%ld bytes)", qUtf8Printable(name),
               static_cast<long>(bytes));
    };
    std::exception_ptr failure;
    try {
        const fileops::TreeReport report =
            co_await fileops::uploadTree(*service, readable, directory, std::move(options));
        summary.filesDone = report.filesDone;
        summary.filesTotal = report.filesTotal;
        summary.cancelled = report.outcome == TransferOutcome::cancelled;
        summary.notes = report.notes;
        if (!report.written.isEmpty())
            summary.firstName = report.written.first().section(QLatin1Char('/'), -1);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return summary;
    endTransfer(stop);
    if (failure)
        std::rethrow_exception(failure);
    // After a cancel too: the files uploaded before it are there.
    co_await loadDirectory();
    co_return summary;
}

void FileBrowserViewModel::setTreeProgress(const fileops::TreeProgress& progress) {
    bytesTotal = progress.bytesTotal;
    setTransferProgress(progress.bytesDone, progress.currentFile);
}

void FileBrowserViewModel::cancelTransfer() {
    if (transferStop)
        transferStop->request_stop();
}

std::stop_token FileBrowserViewModel::beginTransfer(std::uint64_t total) {
    cancelTransfer();
    transferStop.emplace();
    bytesDone = 0;
    bytesTotal = total;
    currentFile.clear();
    Q_EMIT transferChanged();
    return transferStop->get_token();
}

void FileBrowserViewModel::setTransferProgress(std::uint64_t done, const QString& file) {
    bytesDone = done;
    currentFile = file;
    Q_EMIT transferChanged();
}

void FileBrowserViewModel::endTransfer(const std::stop_token& stop) {
    // A newer transfer has taken over the progress.
    if (!transferStop || transferStop->get_token() != stop)
        return;
    transferStop.reset();
    Q_EMIT transferChanged();
}

}  // namespace quorvale::app
