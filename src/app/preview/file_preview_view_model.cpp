#include "app/preview/file_preview_view_model.h"

#include "app/core/app_log.h"
#include "app/preview/preview_format.h"
#include "fileops/file_operation_service.h"

namespace quorvale::app {

using fileops::lcFileOps;
using model::FileItem;

FilePreviewViewModel::FilePreviewViewModel(QObject* parent) : QObject(parent) {}

bool FilePreviewViewModel::isImageExtension(const QString& extension) {
    static const QStringList extensions = {
        QStringLiteral("jpg"),  QStringLiteral("jpeg"), QStringLiteral("png"),
        QStringLiteral("gif"),  QStringLiteral("bmp"),  QStringLiteral("tiff"),
        QStringLiteral("webp"), QStringLiteral("heic"), QStringLiteral("svg")};
    return extensions.contains(extension.toLower());
}

QCoro::Task<void> FilePreviewViewModel::loadPreview(FileItem item) {
    ++generation;
    selectedItem_ = item;
    clearPreviews();
    if (item.isDirectory)
        co_return;
    const QString extension = item.fileExtension();
    const Kind kind =
        isImageExtension(extension) || item.isTextFile() ? Kind::imageOrText : Kind::hex;
    co_await readPreview(std::move(item), kind);
}

QCoro::Task<void> FilePreviewViewModel::readPreview(FileItem item, Kind kind) {
    if (!fileBrowserVM)
        co_return;
    const std::uint64_t ticket = generation;
    lastReadStarted = ticket;
    setIsLoadingPreview(true);
    QPointer<FilePreviewViewModel> self(this);
    const auto service = fileBrowserVM->fileOpService;
    const auto partition = fileBrowserVM->currentPartition;
    std::optional<QByteArray> bytes;
    QString failure;
    try {
        if (!service)
            throw fileops::FileOperationError::invalidData();
        QByteArray read = co_await service->readFile(item.path, previewBytes, partition);
        bytes = std::move(read);
    } catch (const std::exception& error) {
        failure = QString::fromUtf8(error.what());
    }
    if (!self)
        co_return;
    if (ticket != generation) {
        // Superseded: drop the result; stop the spinner only if no newer read runs.
        if (lastReadStarted == ticket)
            setIsLoadingPreview(false);
        co_return;
    }
    if (bytes && kind == Kind::imageOrText) {
        if (isImageExtension(item.fileExtension())) {
            QImage image = QImage::fromData(*bytes);
            if (!image.isNull())
                previewImage_ = std::move(image);
        } else {
            const bool wholeFile = item.size <= static_cast<std::uint64_t>(bytes->size());
            previewText_ = decodePreviewText(
                *bytes, wholeFile ? PreviewExtent::wholeFile : PreviewExtent::startOfFile);
        }
        Q_EMIT previewChanged();
    } else if (bytes) {
        rawData_ = bytes->left(hexBytes);
        hexDump_ = formatHexDump(*rawData_);
        Q_EMIT previewChanged();
    } else if (kind == Kind::imageOrText) {
        qCCritical(lcFileOps, "Preview failed for %s: %s", qUtf8Printable(item.name),
                   qUtf8Printable(failure));
    } else {
        qCCritical(lcFileOps, "Hex preview failed for %s: %s", qUtf8Printable(item.name),
                   qUtf8Printable(failure));
    }
    setIsLoadingPreview(false);
}

void FilePreviewViewModel::clear() {
    ++generation;
    selectedItem_.reset();
    clearPreviews();
    setIsLoadingPreview(false);
}

void FilePreviewViewModel::follow(const QList<FileItem>& listing, const QSet<QString>& selected) {
    if (!selectedItem_)
        return;
    if (!selected.contains(selectedItem_->id)) {
        clear();
        return;
    }
    for (const FileItem& item : listing) {
        if (item.id != selectedItem_->id)
            continue;
        if (item.size != selectedItem_->size || item.modifiedDate != selectedItem_->modifiedDate ||
            item.isDirectory != selectedItem_->isDirectory)
            loadPreview(item);
        return;
    }
    clear();
}

void FilePreviewViewModel::clearPreviews() {
    previewImage_.reset();
    previewText_.reset();
    hexDump_.reset();
    rawData_.reset();
    Q_EMIT previewChanged();
}

void FilePreviewViewModel::setIsLoadingPreview(bool value) {
    if (isLoadingPreview_ == value)
        return;
    isLoadingPreview_ = value;
    Q_EMIT isLoadingPreviewChanged();
}

}  // namespace quorvale::app
