#include "app/browser/desktop_applications.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMimeDatabase>
#include <QSet>
#include <QStandardPaths>
#include <QUrl>

#include <algorithm>

namespace quorvale::app {

namespace {

// The keys of the [Desktop Entry] group (unlocalised ones only).
QHash<QString, QString> desktopEntryKeys(const QString& text) {
    QHash<QString, QString> keys;
    bool inGroup = false;
    for (const QString& rawLine : text.split(QLatin1Char('\n'))) {
        const QString line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inGroup || equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        if (!keys.contains(key))
            keys.insert(key, line.mid(equals + 1).trimmed());
    }
    return keys;
}

// The general escapes of string values (\s \n \t \r \\).
QString unescapeValue(const QString& value) {
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != QLatin1Char('\\') || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const QChar next = value[++i];
        if (next == QLatin1Char('s'))
            out += QLatin1Char(' ');
        else if (next == QLatin1Char('n'))
            out += QLatin1Char('\n');
        else if (next == QLatin1Char('t'))
            out += QLatin1Char('\t');
        else if (next == QLatin1Char('r'))
            out += QLatin1Char('\r');
        else if (next == QLatin1Char('\\'))
            out += QLatin1Char('\\');
        else
            out += QLatin1Char('\\') + next;  // left for the Exec quoting rules
    }
    return out;
}

bool isTrue(const QString& value) {
    return value == QLatin1String("true");
}

bool opensFiles(const DesktopApplication& application) {
    for (const QString& argument : application.exec)
        for (const char* code : {"%f", "%F", "%u", "%U"})
            if (argument.contains(QLatin1String(code)))
                return true;
    return false;
}

// The user's defaults for `mimeType`, most important first, from the mimeapps.list files.
QStringList defaultsFor(const QString& mimeType) {
    QStringList files;
    for (const QString& dir : QStandardPaths::standardLocations(QStandardPaths::ConfigLocation))
        files << QDir(dir).filePath(QStringLiteral("mimeapps.list"));
    for (const QString& dir :
         QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation))
        files << QDir(dir).filePath(QStringLiteral("mimeapps.list"));
    QStringList ids;
    for (const QString& path : files) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        bool inGroup = false;
        for (const QString& rawLine : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
            const QString line = rawLine.trimmed();
            if (line.startsWith(QLatin1Char('['))) {
                inGroup = line == QLatin1String("[Default Applications]");
                continue;
            }
            if (inGroup && line.startsWith(mimeType + QLatin1Char('=')))
                ids << line.mid(mimeType.size() + 1).split(QLatin1Char(';'), Qt::SkipEmptyParts);
        }
    }
    return ids;
}

}  // namespace

std::optional<QStringList> splitExec(const QString& exec) {
    QStringList arguments;
    QString current;
    bool inArgument = false;
    bool quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (quoted) {
            if (c == QLatin1Char('"')) {
                quoted = false;
            } else if (c == QLatin1Char('\\') && i + 1 < exec.size() &&
                       QStringLiteral("\"`$\\").contains(exec[i + 1])) {
                current += exec[++i];
            } else {
                current += c;
            }
            continue;
        }
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            if (inArgument)
                arguments << current;
            current.clear();
            inArgument = false;
            continue;
        }
        inArgument = true;
        if (c == QLatin1Char('"'))
            quoted = true;
        else
            current += c;
    }
    if (quoted)
        return std::nullopt;
    if (inArgument)
        arguments << current;
    return arguments;
}

std::optional<DesktopApplication> parseDesktopEntry(const QString& id, const QString& text) {
    const QHash<QString, QString> keys = desktopEntryKeys(text);
    if (keys.value(QStringLiteral("Type")) != QLatin1String("Application") ||
        isTrue(keys.value(QStringLiteral("Hidden"))) ||
        isTrue(keys.value(QStringLiteral("NoDisplay"))))
        return std::nullopt;
    const std::optional<QStringList> exec =
        splitExec(unescapeValue(keys.value(QStringLiteral("Exec"))));
    if (!exec || exec->isEmpty())
        return std::nullopt;
    const QString tryExec = keys.value(QStringLiteral("TryExec"));
    if (!tryExec.isEmpty() && QStandardPaths::findExecutable(tryExec).isEmpty() &&
        !QFileInfo(tryExec).isExecutable())
        return std::nullopt;
    DesktopApplication application;
    application.id = id;
    application.name = unescapeValue(keys.value(QStringLiteral("Name"), id));
    application.icon = keys.value(QStringLiteral("Icon"));
    application.exec = *exec;
    application.mimeTypes =
        keys.value(QStringLiteral("MimeType")).split(QLatin1Char(';'), Qt::SkipEmptyParts);
    return application;
}

QStringList launchArguments(const DesktopApplication& application, const QString& file) {
    QStringList out;
    bool placed = false;
    for (const QString& argument : application.exec) {
        if (argument == QLatin1String("%f") || argument == QLatin1String("%F")) {
            out << file;
            placed = true;
            continue;
        }
        if (argument == QLatin1String("%u") || argument == QLatin1String("%U")) {
            out << QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded);
            placed = true;
            continue;
        }
        if (argument == QLatin1String("%i")) {
            if (!application.icon.isEmpty())
                out << QStringLiteral("--icon") << application.icon;
            continue;
        }
        // Codes inside a word: %c and %% are expanded, the others dropped.
        QString expanded;
        for (qsizetype i = 0; i < argument.size(); ++i) {
            if (argument[i] != QLatin1Char('%') || i + 1 == argument.size()) {
                expanded += argument[i];
                continue;
            }
            const QChar code = argument[++i];
            if (code == QLatin1Char('%'))
                expanded += QLatin1Char('%');
            else if (code == QLatin1Char('c'))
                expanded += application.name;
        }
        if (!expanded.isEmpty() || argument.isEmpty())
            out << expanded;
    }
    if (!placed)
        out << file;
    return out;
}

QString mimeTypeForName(const QString& fileName) {
    return QMimeDatabase().mimeTypeForFile(fileName, QMimeDatabase::MatchExtension).name();
}

QList<DesktopApplication> applicationsFor(const QString& mimeType, bool all) {
    const QMimeType type = QMimeDatabase().mimeTypeForName(mimeType);
    QSet<QString> accepted{mimeType};
    if (type.isValid()) {
        for (const QString& ancestor : type.allAncestors())
            accepted.insert(ancestor);
        for (const QString& alias : type.aliases())
            accepted.insert(alias);
    }
    // The first folder holding an id wins (the user's own entries come first).
    QSet<QString> seen;
    QList<DesktopApplication> found;
    for (const QString& dir :
         QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation)) {
        QDir folder(dir);
        for (const QString& name :
             folder.entryList({QStringLiteral("*.desktop")}, QDir::Files | QDir::Readable)) {
            if (seen.contains(name))
                continue;
            seen.insert(name);
            QFile file(folder.filePath(name));
            if (file.size() > 256 * 1024 || !file.open(QIODevice::ReadOnly))
                continue;
            std::optional<DesktopApplication> application =
                parseDesktopEntry(name, QString::fromUtf8(file.readAll()));
            if (!application || !opensFiles(*application))
                continue;
            const bool matches =
                std::any_of(application->mimeTypes.begin(), application->mimeTypes.end(),
                            [&](const QString& t) { return accepted.contains(t); });
            if (matches || all)
                found << *application;
        }
    }
    const QStringList defaults = defaultsFor(mimeType);
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(found.begin(), found.end(),
                     [&](const DesktopApplication& a, const DesktopApplication& b) {
                         const qsizetype ra = defaults.indexOf(a.id);
                         const qsizetype rb = defaults.indexOf(b.id);
                         if ((ra >= 0) != (rb >= 0))
                             return ra >= 0;
                         if (ra >= 0)
                             return ra < rb;
                         return collator.compare(a.name, b.name) < 0;
                     });
    return found;
}

}  // namespace quorvale::app
