#pragma once
// FileItem: one entry of a directory on the guest filesystem. A plain value, equality-comparable
// and hashable over every field; `id` always equals `path`. fromEntry() builds one from an entry
// of the guest's listing reply, applying the documented defaults; an entry without a string
// "name" yields nothing. The guest is untrusted: out-of-range numbers never overflow.

#include <QColor>
#include <QDateTime>
#include <QHashFunctions>
#include <QString>

#include <boost/json/object.hpp>

#include <cstdint>
#include <optional>

namespace quorvale::model {

struct FileItem {
    QString id;
    QString name;
    QString path;
    std::uint64_t size = 0;
    bool isDirectory = false;
    std::uint16_t permissions = 0;
    QString owner;
    QString group;
    QDateTime modifiedDate;
    bool isSymlink = false;
    std::optional<QString> symlinkTarget;

    static std::optional<FileItem> fromEntry(const boost::json::object& entry,
                                             const QString& parentPath);

    // Lower-cased text after the last "." of `name`; empty when there is none.
    QString fileExtension() const;
    // Icon symbol: "folder.fill" for a directory, else symbolName(forExtension:).
    QString iconName() const;
    static QString symbolName(const QString& forExtension);
    // Icon tint: accent for a directory, a named colour for some extensions, else textSecondary.
    QColor iconColor() const;
    // Whether the preview may show the file as text.
    bool isTextFile() const;

    // Display helpers for this item.
    QString displayName() const;  // `name` for people (see readableName)
    QString sizeText() const;
    QString dateText() const;
    QString permissionText() const;

    bool operator==(const FileItem&) const = default;
};

size_t qHash(const FileItem& item, size_t seed = 0) noexcept;

}  // namespace quorvale::model
