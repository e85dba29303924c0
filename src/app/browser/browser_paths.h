#pragma once
// Path rules of the file browser, pure functions on guest paths ("/"-separated, absolute):
// breadcrumbs, parent, child, duplicate names, the audit line and the check that a
// name from the guest can name a file in a local folder.

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <optional>

namespace quorvale::app {

// One breadcrumb entry; a fresh id each time the breadcrumb is built.
struct PathComponent {
    QUuid id;
    QString name;
    QString path;

    bool operator==(const PathComponent&) const = default;
};

// The root ("/", "/"), then one crumb per non-empty piece: /a//b/ gives /, a (/a), b (/a/b).
QList<PathComponent> breadcrumb(const QString& currentPath);

// The parent with the last component removed (a trailing slash ignored); "/" for /a and "/".
QString parentPath(const QString& path);

// `name` inside `directory`: "/" + name at the root, else directory + "/" + name.
QString childPath(const QString& directory, const QString& name);

// `base` when no entry of `taken` has that name, else "base 2", "base 3", ... (the first free).
QString freeName(const QString& base, const QStringList& taken);

// notes.txt -> "notes copy.txt", README -> "README copy", archive.tar.gz -> "archive.tar copy.gz".
QString duplicateName(const QString& name);
// The destination of duplicating the entry at `path` named `name`: beside it.
QString duplicatePath(const QString& path, const QString& name);

// "[2026-01-31T09:05:00Z] DELETE /a on sdb1 (card.img)": the action, the path, " → " and the
// target for a rename or copy, the partition ("unknown" when there is none) and the card or
// image file it is on, when known. A name cannot forge or break lines: backslashes are doubled,
// control characters and bytes that were not UTF-8 on the card are written "\x0A", line
// separators "\u2028".
QString auditText(const QString& text);
QString auditLine(const QDateTime& when, const QString& action, const QString& path,
                  const QString& target, const std::optional<QString>& partition,
                  const QString& disk);

// True when `name` is a single path component that is safe to create in a local folder: not
// empty, not "." or "..", and without "/" or NUL.
bool isPlainFileName(const QString& name);

}  // namespace quorvale::app
