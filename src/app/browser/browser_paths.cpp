#include "app/browser/browser_paths.h"

#include "model/display_format.h"

namespace quorvale::app {

QList<PathComponent> breadcrumb(const QString& currentPath) {
    const QString root = QStringLiteral("/");
    QList<PathComponent> components{{QUuid::createUuid(), root, root}};
    if (currentPath == root)
        return components;
    QString accumulated;
    for (const QString& piece : currentPath.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        accumulated += QLatin1Char('/') + piece;
        components.append({QUuid::createUuid(), piece, accumulated});
    }
    return components;
}

QString parentPath(const QString& path) {
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);
    const qsizetype slash = trimmed.lastIndexOf(QLatin1Char('/'));
    if (slash <= 0)
        return QStringLiteral("/");
    QString parent = trimmed.left(slash);
    while (parent.size() > 1 && parent.endsWith(QLatin1Char('/')))
        parent.chop(1);
    return parent.isEmpty() ? QStringLiteral("/") : parent;
}

QString childPath(const QString& directory, const QString& name) {
    if (directory == QLatin1String("/"))
        return QLatin1Char('/') + name;
    return directory + QLatin1Char('/') + name;
}

QString freeName(const QString& base, const QStringList& taken) {
    QString name = base;
    for (int number = 2; taken.contains(name); ++number)
        name = QStringLiteral("%1 %2").arg(base).arg(number);
    return name;
}

QString duplicateName(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    // A leading dot starts a hidden name, not an extension (".profile").
    if (dot <= 0 || dot == name.size() - 1)
        return name + QStringLiteral(" copy");
    return name.left(dot) + QStringLiteral(" copy.") + name.mid(dot + 1);
}

QString duplicatePath(const QString& path, const QString& name) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QString parent = slash <= 0 ? QString() : path.left(slash);
    return parent + QLatin1Char('/') + duplicateName(name);
}

QString auditText(const QString& text) {
    QString doubled = text;
    doubled.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    QString out = model::readableName(doubled);
    // Separators that some viewers break lines at.
    out.replace(QChar(0x2028), QStringLiteral("\\u2028"));
    out.replace(QChar(0x2029), QStringLiteral("\\u2029"));
    return out;
}

QString auditLine(const QDateTime& when, const QString& action, const QString& path,
                  const QString& target, const std::optional<QString>& partition,
                  const QString& disk) {
    const QString timestamp = when.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss'Z'"));
    QString line = QStringLiteral("[%1] %2 %3").arg(timestamp, action, auditText(path));
    if (!target.isEmpty())
        line += QStringLiteral(" → ") + auditText(target);
    line += QStringLiteral(" on ") + auditText(partition.value_or(QStringLiteral("unknown")));
    if (!disk.isEmpty())
        line += QStringLiteral(" (") + auditText(disk) + QLatin1Char(')');
    return line;
}

bool isPlainFileName(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QChar(u'\0'));
}

}  // namespace quorvale::app
