#pragma once
// Moving and copying entries within the card (cut, copy and paste; drags onto a folder): the
// clipboard of the browser, the rules that refuse a placement before anything is sent, and
// how a placement ended.

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>

#include "model/file_item.h"

namespace quorvale::app {

// Entries cut or copied in one partition, waiting for a paste.
struct EntryClipboard {
    bool cut = false;
    QString partition;
    QList<model::FileItem> items;
};

// A placement refused before anything was sent; what() is the message for people.
struct PlacementRefused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class Placement { move, copy };

struct PlacementReport {
    Placement kind = Placement::move;
    int placed = 0;
    int skipped = 0;             // left as they were after a conflict, or already in the folder
    QStringList paths;           // where the entries placed are now
    QString folder;              // the folder they went into
    bool originalsKept = false;  // a cut pasted into another partition was copied
    QStringList notes;           // what was left out, and why

    // "Moved “a.txt” to docs.", "Copied 3 items to /; 1 item was left as it was.", then the
    // notes.
    QString text() const;
};

// True when `path` is `ancestor` or lies below it.
bool isSameOrBelow(const QString& path, const QString& ancestor);

// Why `items` cannot go into `folder` (of their own partition), or nothing: a folder never goes
// into itself or below itself.
std::optional<QString> placementRefusal(const QList<model::FileItem>& items, const QString& folder,
                                        Placement kind);

}  // namespace quorvale::app
