#include "app/browser/transfer_report.h"

#include "app/browser/browser_paths.h"

namespace quorvale::app {

namespace {

// The last component of a folder ("Downloads"); "Root" for the root of a card.
QString folderName(const QString& folder) {
    const QList<PathComponent> crumbs = breadcrumb(folder);
    return crumbs.size() <= 1 ? QStringLiteral("Root") : crumbs.last().name;
}

}  // namespace

QString TransferReport::text() const {
    if (notes.isEmpty())
        return summaryText();
    const QString left = notes.size() == 1
                             ? notes.first() + QLatin1Char('.')
                             : QStringLiteral("%1 entries were left out.").arg(notes.size());
    return summaryText() + (summaryText().endsWith(QLatin1Char('.')) ? " " : ". ") + left;
}

QString TransferReport::summaryText() const {
    const bool exporting = kind == Kind::exported;
    const QString where = folderName(folder);
    if (!cancelled) {
        const QString what = filesDone == 1 ? QStringLiteral("“%1”").arg(firstName)
                                            : QStringLiteral("%1 files").arg(filesDone);
        return QStringLiteral("%1 %2 to %3")
            .arg(exporting ? QStringLiteral("Exported") : QStringLiteral("Uploaded"), what, where);
    }
    const QString title =
        exporting ? QStringLiteral("Export cancelled") : QStringLiteral("Upload cancelled");
    const QString verb = exporting ? QStringLiteral("exported") : QStringLiteral("uploaded");
    if (filesDone == 0)
        return QStringLiteral("%1: nothing was %2.").arg(title, verb);
    return QStringLiteral("%1: %2 of %3 files %4 %5 to %6. The file in progress was not kept.")
        .arg(title)
        .arg(filesDone)
        .arg(filesTotal)
        .arg(filesDone == 1 ? QStringLiteral("was") : QStringLiteral("were"), verb, where);
}

}  // namespace quorvale::app
