#include "app/browser/entry_placement.h"

#include "model/display_format.h"

namespace quorvale::app {

namespace {

QString quoted(const QString& name) {
    return QStringLiteral("“%1”").arg(model::readableName(name));
}

QString folderName(const QString& folder) {
    return folder == QLatin1String("/") ? QStringLiteral("/")
                                        : model::readableName(folder.section(QLatin1Char('/'), -1));
}

}  // namespace

bool isSameOrBelow(const QString& path, const QString& ancestor) {
    if (ancestor == QLatin1String("/"))
        return path.startsWith(QLatin1Char('/'));
    return path == ancestor || path.startsWith(ancestor + QLatin1Char('/'));
}

std::optional<QString> placementRefusal(const QList<model::FileItem>& items, const QString& folder,
                                        Placement kind) {
    const QString verb = kind == Placement::move ? QStringLiteral("move") : QStringLiteral("copy");
    for (const model::FileItem& item : items) {
        if (!item.isDirectory || item.isSymlink || !isSameOrBelow(folder, item.path))
            continue;
        if (folder == item.path)
            return QStringLiteral("Cannot %1 the folder %2 into itself.")
                .arg(verb, quoted(item.name));
        return QStringLiteral("Cannot %1 the folder %2 into its own subfolder %3.")
            .arg(verb, quoted(item.name), quoted(folderName(folder)));
    }
    return std::nullopt;
}

QString PlacementReport::text() const {
    const QString verb =
        kind == Placement::move ? QStringLiteral("Moved") : QStringLiteral("Copied");
    const QString where = folderName(folder);
    QString text;
    if (placed == 0) {
        text = kind == Placement::move ? QStringLiteral("Nothing was moved")
                                       : QStringLiteral("Nothing was copied");
    } else if (placed == 1) {
        text = QStringLiteral("%1 %2 to %3")
                   .arg(verb, quoted(paths.value(0).section(QLatin1Char('/'), -1)), where);
    } else {
        text = QStringLiteral("%1 %2 items to %3").arg(verb).arg(placed).arg(where);
    }
    if (skipped > 0)
        text += skipped == 1 ? QStringLiteral("; 1 item was left as it was")
                             : QStringLiteral("; %1 items were left as they were").arg(skipped);
    text += QLatin1Char('.');
    if (originalsKept)
        text += QStringLiteral(" Entries move only within one partition: the originals stay.");
    for (const QString& note : notes)
        text += QLatin1Char(' ') + note + QLatin1Char('.');
    return text;
}

}  // namespace quorvale::app
