#pragma once
// ThumbnailCache: small pictures of the image files a grid shows, made on demand. Asking for
// one that is not there yet never waits: it is queued and thumbnailReady() tells when it is.
// Bounded everywhere: only files of known image types up to kMaxSourceBytes are read whole; a
// larger JPEG gives the picture its camera embedded (read from its first kExifBytes), else
// none. At most kParallelReads reads run at once; the queue keeps the kMaxQueued most recent
// requests (what is on screen now), so scrolling past thousands of images asks for few.
// Decoding runs on a worker thread with a size limit, scaled to kThumbnailSize. Pictures are
// kept up to kMaxCacheBytes per mount (reset() starts over); files that gave none are not
// asked again. An entry is known by its path, size and modification time, so a changed file
// is read again. GUI thread only.

#include <QCache>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QString>

#include <qcoro/qcorotask.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

#include "model/file_item.h"

namespace quorvale::fileops {
class FileOperationService;
}

namespace quorvale::app {

class ThumbnailCache : public QObject {
    Q_OBJECT
public:
    static constexpr QSize kThumbnailSize{160, 144};
    static constexpr qint64 kMaxSourceBytes = 8 << 20;
    static constexpr qint64 kExifBytes = 256 << 10;
    static constexpr int kParallelReads = 2;
    static constexpr qsizetype kMaxQueued = 64;
    static constexpr qsizetype kMaxCacheBytes = 32 << 20;

    explicit ThumbnailCache(QObject* parent = nullptr);
    ~ThumbnailCache() override;

    // Forgets every picture and request; later ones are read through `service` (a new mount).
    void reset(std::shared_ptr<fileops::FileOperationService> service,
               std::optional<QString> partition);
    // The picture of `item` when there is one already; else queues it (if it can have one).
    std::optional<QImage> thumbnail(const model::FileItem& item);
    // Whether `item` is of a kind and size that can have a picture.
    static bool canHaveThumbnail(const model::FileItem& item);
    // The JPEG picture a camera embeds in the Exif data at the start of a JPEG file.
    static std::optional<QByteArray> embeddedJpeg(const QByteArray& start);
    // `bytes` decoded and scaled to fit kThumbnailSize; a null image when they do not decode.
    static QImage decode(const QByteArray& bytes);

    // Bytes read from the guest since the last reset (for checking the bounds).
    std::uint64_t bytesRead() const { return readTotal; }
    qsizetype queued() const { return static_cast<qsizetype>(queue.size()); }
    // Nothing queued or being read.
    bool idle() const { return queue.empty() && running == 0; }

Q_SIGNALS:
    void thumbnailReady(const QString& id);

private:
    struct Request {
        QString key;
        model::FileItem item;
    };
    static QString keyOf(const model::FileItem& item);
    void pump();
    QCoro::Task<void> make(Request request, std::uint64_t generation);

    std::shared_ptr<fileops::FileOperationService> service;
    std::optional<QString> partition;
    QCache<QString, QImage> pictures;
    QSet<QString> failed;
    QSet<QString> inFlight;
    std::deque<Request> queue;
    int running = 0;
    std::uint64_t generation = 0;
    std::uint64_t readTotal = 0;
};

}  // namespace quorvale::app
