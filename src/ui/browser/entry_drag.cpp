#include "ui/browser/entry_drag.h"

namespace quorvale::ui {
namespace {

const QString uriList = QStringLiteral("text/uri-list");

}  // namespace

EntryDragData::EntryDragData(QString partition, QList<model::FileItem> items, Export exportUrls)
    : partition_(std::move(partition)),
      items_(std::move(items)),
      exportUrls(std::move(exportUrls)) {
    QStringList paths;
    for (const model::FileItem& item : items_)
        paths << item.path;
    setData(entriesFormat, paths.join(QLatin1Char('\n')).toUtf8());
}

bool EntryDragData::hasFormat(const QString& mimeType) const {
    return formats().contains(mimeType);
}

QStringList EntryDragData::formats() const {
    QStringList list = QMimeData::formats();
    if (!list.contains(uriList))
        list << uriList;
    return list;
}

QVariant EntryDragData::retrieveData(const QString& mimeType, QMetaType type) const {
    // Exported once, on the first request: a target may ask again for the same drop.
    if (mimeType == uriList && !exported) {
        exported = true;
        const QList<QUrl> urls = exportUrls ? exportUrls() : QList<QUrl>{};
        const_cast<EntryDragData*>(this)->setUrls(urls);
    }
    return QMimeData::retrieveData(mimeType, type);
}

}  // namespace quorvale::ui
