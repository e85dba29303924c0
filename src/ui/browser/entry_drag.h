#pragma once
// EntryDragData: what a drag out of the browser carries. Inside the browser it names the
// entries and their partition (a drop onto a folder moves or copies them there). Other
// applications see file URLs, made only when a drop target asks for them: the entries are
// exported then, with the browser's progress, not while the button is held.

#include <QList>
#include <QMimeData>
#include <QUrl>

#include <functional>
#include <optional>

#include "model/file_item.h"

namespace quorvale::ui {

class EntryDragData : public QMimeData {
    Q_OBJECT
public:
    // The format that names the entries (their paths, one a line).
    static inline const QString entriesFormat = QStringLiteral("application/x-quorvale-entries");
    using Export = std::function<QList<QUrl>()>;

    EntryDragData(QString partition, QList<model::FileItem> items, Export exportUrls);

    const QString& partition() const { return partition_; }
    const QList<model::FileItem>& items() const { return items_; }

    bool hasFormat(const QString& mimeType) const override;
    QStringList formats() const override;

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override;

private:
    QString partition_;
    QList<model::FileItem> items_;
    Export exportUrls;
    mutable bool exported = false;
};

}  // namespace quorvale::ui
