#include "app/browser/selection_rules.h"

#include <algorithm>

namespace quorvale::app {

namespace {

qsizetype indexOf(const QList<model::FileItem>& files, const QString& id) {
    const auto it = std::find_if(files.begin(), files.end(),
                                 [&](const model::FileItem& item) { return item.id == id; });
    return it == files.end() ? -1 : it - files.begin();
}

}  // namespace

SelectionChange applySelectionGesture(const QList<model::FileItem>& files,
                                      const QSet<QString>& selected,
                                      const std::optional<QString>& anchor, const QString& id,
                                      SelectionGesture gesture) {
    switch (gesture) {
        case SelectionGesture::toggle: {
            QSet<QString> result = selected;
            if (!result.remove(id))
                result.insert(id);
            return {result, id};
        }
        case SelectionGesture::extend: {
            const qsizetype from = anchor ? indexOf(files, *anchor) : -1;
            const qsizetype to = indexOf(files, id);
            if (from < 0 || to < 0)
                break;
            QSet<QString> result;
            for (qsizetype i = std::min(from, to); i <= std::max(from, to); ++i)
                result.insert(files[i].id);
            return {result, anchor};
        }
        case SelectionGesture::only:
            break;
    }
    return {{id}, id};
}

QSet<QString> visibleSelection(const QList<model::FileItem>& files, const QSet<QString>& selected) {
    if (selected.isEmpty())
        return {};
    QSet<QString> result;
    for (const model::FileItem& item : files)
        if (selected.contains(item.id))
            result.insert(item.id);
    return result;
}

}  // namespace quorvale::app
