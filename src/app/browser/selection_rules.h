#pragma once
// How a click or a cursor move changes the browser's selection, as pure functions over the
// entries shown (in their order). `only` makes the entry the one selected, `toggle` adds or
// removes it (Ctrl-click, the tile's checkbox), `extend` selects the run of entries from the
// anchor to it (Shift-click, Shift+arrow). The anchor is the entry of the last `only` or
// `toggle`; `extend` keeps it.

#include <QList>
#include <QSet>
#include <QString>

#include <optional>

#include "model/file_item.h"

namespace quorvale::app {

enum class SelectionGesture { only, toggle, extend };

struct SelectionChange {
    QSet<QString> selected;
    std::optional<QString> anchor;
};

// An `extend` without an anchor among `files` acts as `only`.
SelectionChange applySelectionGesture(const QList<model::FileItem>& files,
                                      const QSet<QString>& selected,
                                      const std::optional<QString>& anchor, const QString& id,
                                      SelectionGesture gesture);

// The selected ids that name an entry of `files`.
QSet<QString> visibleSelection(const QList<model::FileItem>& files, const QSet<QString>& selected);

}  // namespace quorvale::app
