#pragma once
// FilePreviewViewModel: the preview of the item selected in the browser, from the first 65536
// bytes read through the browser model's service: an image for image extensions, text for text
// files (UTF-8, else ASCII, else "[Binary data]"; a character cut at the end of the read is
// left out), otherwise a hex dump of the first 4096 bytes.
// Directories are not previewed. A read that completes after a newer loadPreview() started is
// dropped, so a slow earlier read never replaces a later preview. Lives on the GUI thread.

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>

#include <qcoro/qcorotask.h>

#include <cstdint>
#include <optional>

#include "app/browser/file_browser_view_model.h"
#include "model/file_item.h"

namespace quorvale::app {

class FilePreviewViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::optional<quorvale::model::FileItem> selectedItem READ selectedItem NOTIFY
                   previewChanged)
    Q_PROPERTY(std::optional<QImage> previewImage READ previewImage NOTIFY previewChanged)
    Q_PROPERTY(std::optional<QString> previewText READ previewText NOTIFY previewChanged)
    Q_PROPERTY(std::optional<QString> hexDump READ hexDump NOTIFY previewChanged)
    Q_PROPERTY(std::optional<QByteArray> rawData READ rawData NOTIFY previewChanged)
    Q_PROPERTY(bool isLoadingPreview READ isLoadingPreview NOTIFY isLoadingPreviewChanged)

public:
    static constexpr qint64 previewBytes = 65536;
    static constexpr qsizetype hexBytes = 4096;

    explicit FilePreviewViewModel(QObject* parent = nullptr);

    // jpg, jpeg, png, gif, bmp, tiff, webp, heic, svg (compared lower-cased).
    static bool isImageExtension(const QString& extension);

    // Shows `item`; returns when its preview is produced, has failed or was superseded.
    QCoro::Task<void> loadPreview(model::FileItem item);
    // Shows nothing; a read in flight is dropped.
    void clear();
    // Keeps the preview true to the browser: cleared when its item left the selection or the
    // listing, read again when the listing shows the item changed (size or modification).
    void follow(const QList<model::FileItem>& listing, const QSet<QString>& selected);

    QPointer<FileBrowserViewModel> fileBrowserVM;

    std::optional<model::FileItem> selectedItem() const { return selectedItem_; }
    std::optional<QImage> previewImage() const { return previewImage_; }
    std::optional<QString> previewText() const { return previewText_; }
    std::optional<QString> hexDump() const { return hexDump_; }
    std::optional<QByteArray> rawData() const { return rawData_; }
    bool isLoadingPreview() const { return isLoadingPreview_; }

Q_SIGNALS:
    void previewChanged();
    void isLoadingPreviewChanged();

private:
    enum class Kind { imageOrText, hex };
    QCoro::Task<void> readPreview(model::FileItem item, Kind kind);
    void clearPreviews();
    void setIsLoadingPreview(bool value);

    std::optional<model::FileItem> selectedItem_;
    std::optional<QImage> previewImage_;
    std::optional<QString> previewText_;
    std::optional<QString> hexDump_;
    std::optional<QByteArray> rawData_;
    bool isLoadingPreview_ = false;
    std::uint64_t generation = 0;       // bumped by every loadPreview()
    std::uint64_t lastReadStarted = 0;  // generation of the newest read
};

}  // namespace quorvale::app
