#pragma once
// The desktop's applications for "Open With…": the desktop entries (.desktop files) of the
// XDG application folders that say they open a type of file, the user's default for that type
// first (mimeapps.list), and the command line that opens one file with one of them. Entries
// that are hidden, not applications, or whose program is missing are left out. Nothing runs
// through a shell: the file is one argument of its own whatever its name.

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace quorvale::app {

struct DesktopApplication {
    QString id;    // "org.gnome.TextEditor.desktop"
    QString name;  // "Text Editor"
    QString icon;
    QStringList exec;  // the Exec line split into arguments, field codes kept
    QStringList mimeTypes;

    bool operator==(const DesktopApplication&) const = default;
};

// One desktop entry's text; nothing when it is not a usable application.
std::optional<DesktopApplication> parseDesktopEntry(const QString& id, const QString& text);
// The Exec value split into arguments as desktop entries quote them; nothing when the quoting
// is broken.
std::optional<QStringList> splitExec(const QString& exec);
// The program and its arguments that open `file` with `application`: %f and %F become the
// file, %u and %U its file: URL, %c the application's name, %i its icon; other field codes go.
// Without a file field code the file comes last.
QStringList launchArguments(const DesktopApplication& application, const QString& file);

// The applications that open files of `mimeType` (or of a type it is a kind of), the default
// first, then by name; every application that opens files at all when `all`.
QList<DesktopApplication> applicationsFor(const QString& mimeType, bool all = false);
// The type of a file of that name, judged by its name ("application/octet-stream" when
// unknown).
QString mimeTypeForName(const QString& fileName);

}  // namespace quorvale::app
