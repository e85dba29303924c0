// Export to and upload from the local machine, in chunks, with progress and cancellation.

#include <fcntl.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

#include "app/app_log.h"
#include "app/file_browser_view_model.h"
#include "app/transfer_error.h"
#include "fileops/file_operation_service.h"
#include "rpc/unique_fd.h"

namespace quorvale::app {

using fileops::lcFileOps;
using fileops::TransferOptions;
using fileops::TransferOutcome;
using model::FileItem;

namespace {

// Reports the bytes of all files so far (those before this one plus this one's) while the
// model still exists.
TransferOptions transferOptions(QPointer<FileBrowserViewModel> self, std::stop_token stop,
                                std::optional<QString> partition, std::uint64_t doneBefore,
                                std::function<void(std::uint64_t)> report) {
    TransferOptions options;
    options.partition = std::move(partition);
    options.stop = std::move(stop);
    options.progress = [self, doneBefore, report = std::move(report)](std::uint64_t done,
                                                                      std::uint64_t) {
        if (self)
            report(doneBefore + done);
    };
    return options;
}

}  // namespace

QCoro::Task<TransferReport> FileBrowserViewModel::exportItems(QList<FileItem> items,
                                                              QString folder) {
    if (!fileOpService)
        throw fileops::FileOperationError::invalidData();
    QList<FileItem> regularFiles;
    std::uint64_t total = 0;
    for (const FileItem& item : items) {
        if (item.isDirectory)
            continue;
        regularFiles.append(item);
        total += item.size;
    }
    TransferReport summary{TransferReport::Kind::exported,
                           0,
                           static_cast<int>(regularFiles.size()),
                           false,
                           {},
                           folder};
    if (regularFiles.isEmpty())
        co_return summary;
    QPointer<FileBrowserViewModel> self(this);
    const auto service = fileOpService;
    const auto partition = currentPartition;
    const std::stop_token stop = beginTransfer(total);
    std::uint64_t done = 0;
    std::exception_ptr failure;
    try {
        for (const FileItem& item : regularFiles) {
            // The guest names the file; only a plain name may become a path here. Bytes that
            // were not UTF-8 on the card arrive spelled out ("caf\xE9").
            const QString localName = item.displayName();
            if (!isPlainFileName(localName))
                throw TransferError::unsafeName(localName.toStdString());
            const QString destination = QDir(folder).filePath(localName);
            setTransferProgress(done, localName);
            // Named, not temporaries: GCC 12 may destroy temporaries of a co_await twice.
            const auto report = [this, name = localName](std::uint64_t bytes) {
                setTransferProgress(bytes, name);
            };
            TransferOptions options = transferOptions(self, stop, partition, done, report);
            QString publishedAs;
            options.published = [&publishedAs](const QString& path) { publishedAs = path; };
            const TransferOutcome outcome =
                co_await service->exportFile(item.path, destination, item.size, std::move(options));
            if (!self || outcome == TransferOutcome::cancelled) {
                summary.cancelled = true;
                break;
            }
            if (summary.filesDone++ == 0)
                summary.firstName = QFileInfo(publishedAs).fileName();
            done += item.size;
            setTransferProgress(done, localName);
            summary.written.append(publishedAs);
            qCInfo(lcFileOps, "Exported %s to %s", qUtf8Printable(localName),
                   qUtf8Printable(publishedAs));
        }
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
    const auto partition = currentPartition;
    const QString directory = currentPath_;
    std::uint64_t total = 0;
    for (const QString& path : localPaths)
        total += static_cast<std::uint64_t>(std::max<qint64>(QFileInfo(path).size(), 0));
    const std::stop_token stop = beginTransfer(total);
    TransferReport summary{TransferReport::Kind::uploaded,
                           0,
                           static_cast<int>(localPaths.size()),
                           false,
                           {},
                           directory};
    std::uint64_t done = 0;
    std::exception_ptr failure;
    try {
        for (const QString& localPath : localPaths) {
            const QString name = QFileInfo(localPath).fileName();
            const QString destination = childPath(directory, name);
            UniqueFd file(::open(QFile::encodeName(localPath).constData(), O_RDONLY | O_CLOEXEC));
            if (!file) {
                qCCritical(lcFileOps, "Cannot access: %s", qUtf8Printable(localPath));
                continue;
            }
            struct stat info {};
            const std::uint64_t size =
                ::fstat(file.get(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
            setTransferProgress(done, name);
            const auto report = [this, name](std::uint64_t bytes) {
                setTransferProgress(bytes, name);
            };
            TransferOptions options = transferOptions(self, stop, partition, done, report);
            const TransferOutcome outcome =
                co_await service->uploadFile(file.get(), destination, std::move(options));
            if (!self)
                co_return summary;
            if (outcome == TransferOutcome::cancelled) {
                summary.cancelled = true;
                break;
            }
            if (summary.filesDone++ == 0)
                summary.firstName = name;
            done += size;
            setTransferProgress(done, name);
            qCInfo(lcFileOps, "Uploaded %s (%ld bytes)", qUtf8Printable(name),
                   static_cast<long>(size));
        }
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
