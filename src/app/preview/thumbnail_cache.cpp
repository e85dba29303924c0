#include "app/preview/thumbnail_cache.h"

#include <QBuffer>
#include <QImageReader>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include "app/preview/file_preview_view_model.h"
#include "fileops/file_operation_service.h"

namespace quorvale::app {

namespace {

bool isJpeg(const model::FileItem& item) {
    const QString extension = item.fileExtension();
    return extension == QLatin1String("jpg") || extension == QLatin1String("jpeg");
}

}  // namespace

ThumbnailCache::ThumbnailCache(QObject* parent) : QObject(parent) {
    pictures.setMaxCost(kMaxCacheBytes);
}

ThumbnailCache::~ThumbnailCache() = default;

void ThumbnailCache::reset(std::shared_ptr<fileops::FileOperationService> newService,
                           std::optional<QString> newPartition) {
    ++generation;  // reads still on their way are dropped
    service = std::move(newService);
    partition = std::move(newPartition);
    pictures.clear();
    failed.clear();
    inFlight.clear();
    queue.clear();
    running = 0;
    readTotal = 0;
}

QString ThumbnailCache::keyOf(const model::FileItem& item) {
    return item.path + QLatin1Char('\n') + QString::number(item.size) + QLatin1Char('\n') +
           QString::number(item.modifiedDate.toMSecsSinceEpoch());
}

bool ThumbnailCache::canHaveThumbnail(const model::FileItem& item) {
    if (item.isDirectory || item.isSymlink || item.size == 0)
        return false;
    const QString extension = item.fileExtension();
    // Vector pictures are left out: drawing them runs whatever they describe.
    if (extension == QLatin1String("svg") || !FilePreviewViewModel::isImageExtension(extension))
        return false;
    return item.size <= static_cast<std::uint64_t>(kMaxSourceBytes) || isJpeg(item);
}

std::optional<QImage> ThumbnailCache::thumbnail(const model::FileItem& item) {
    if (!canHaveThumbnail(item))
        return std::nullopt;
    const QString key = keyOf(item);
    if (const QImage* picture = pictures.object(key))
        return *picture;
    if (failed.contains(key) || inFlight.contains(key) || !service)
        return std::nullopt;
    // The newest request first: it is what is on screen now.
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (it->key == key) {
            queue.erase(it);
            break;
        }
    }
    queue.push_front({key, item});
    if (static_cast<qsizetype>(queue.size()) > kMaxQueued)
        queue.pop_back();
    pump();
    return std::nullopt;
}

void ThumbnailCache::pump() {
    while (running < kParallelReads && !queue.empty()) {
        Request next = std::move(queue.front());
        queue.pop_front();
        inFlight.insert(next.key);
        ++running;
        make(std::move(next), generation);
    }
}

QCoro::Task<void> ThumbnailCache::make(Request request, std::uint64_t startedIn) {
    QPointer<ThumbnailCache> self(this);
    const auto reader = service;
    const bool whole = request.item.size <= static_cast<std::uint64_t>(kMaxSourceBytes);
    const qint64 wanted = whole ? static_cast<qint64>(request.item.size) : kExifBytes;
    QImage picture;
    try {
        QByteArray bytes = co_await reader->readFile(request.item.path, wanted, partition);
        if (self && self->generation == startedIn)
            readTotal += static_cast<std::uint64_t>(bytes.size());
        if (!whole) {
            std::optional<QByteArray> embedded = embeddedJpeg(bytes);
            bytes = embedded.value_or(QByteArray());
        }
        if (!bytes.isEmpty())
            picture = co_await QtConcurrent::run(&ThumbnailCache::decode, std::move(bytes));
    } catch (const std::exception&) {
        // No picture: the entry keeps its symbol.
    }
    if (!self || self->generation != startedIn)
        co_return;
    inFlight.remove(request.key);
    --running;
    if (picture.isNull()) {
        failed.insert(request.key);
    } else {
        const auto cost = static_cast<qsizetype>(picture.sizeInBytes());
        pictures.insert(request.key, new QImage(std::move(picture)), cost);
        Q_EMIT thumbnailReady(request.item.id);
    }
    pump();
}

std::optional<QByteArray> ThumbnailCache::embeddedJpeg(const QByteArray& start) {
    const auto byte = [&](qsizetype i) { return static_cast<unsigned char>(start[i]); };
    if (start.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8)
        return std::nullopt;
    qsizetype at = 2;
    // The segments before the picture data; the Exif one is among the first.
    while (at + 4 <= start.size() && byte(at) == 0xFF) {
        const int marker = byte(at + 1);
        if (marker == 0xDA || marker == 0xD9)
            break;
        const qsizetype length = (qsizetype(byte(at + 2)) << 8) | byte(at + 3);
        if (length < 2)
            break;
        const qsizetype payload = at + 4;
        const qsizetype end = std::min(at + 2 + length, start.size());
        if (marker == 0xE1 && start.mid(payload, 6) == QByteArray("Exif\0\0", 6)) {
            const QByteArray exif = start.mid(payload, end - payload);
            const qsizetype begin = exif.indexOf(QByteArray("\xFF\xD8\xFF", 3));
            const qsizetype finish = exif.lastIndexOf(QByteArray("\xFF\xD9", 2));
            if (begin >= 0 && finish > begin)
                return exif.mid(begin, finish + 2 - begin);
            return std::nullopt;
        }
        at += 2 + length;
    }
    return std::nullopt;
}

QImage ThumbnailCache::decode(const QByteArray& bytes) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAllocationLimit(64);  // megabytes: a small file may claim a huge picture
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() &&
        (size.width() > kThumbnailSize.width() || size.height() > kThumbnailSize.height()))
        reader.setScaledSize(size.scaled(kThumbnailSize, Qt::KeepAspectRatio));
    QImage image = reader.read();
    if (image.isNull())
        return {};
    if (image.width() > kThumbnailSize.width() || image.height() > kThumbnailSize.height())
        image = image.scaled(kThumbnailSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

}  // namespace quorvale::app
