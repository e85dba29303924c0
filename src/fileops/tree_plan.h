#pragma once
// The plan of copying a tree of entries: every folder, file and symbolic link below the chosen
// entries, each folder before what it holds, with the bytes to move. It is built level by level
// from listings, on the card (an export) or on this computer (an upload). Names must be usable
// on the other side and appear once per folder; special files (devices, pipes, sockets) and
// names that cannot be used are left out with a note. A card is untrusted: its listings are
// bounded in depth and in entries, and a folder is never entered through a link.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

#include "model/file_item.h"

namespace quorvale::fileops {

struct TreeEntry {
    enum class Kind { folder, file, symlink };

    Kind kind = Kind::file;
    int parent = -1;  // index of the folder holding it; -1 at the top
    QString name;     // its name on the target side
    QString source;   // where it is on the source side (a card path or a local path)
    std::uint64_t size = 0;
    std::uint32_t mode = 0;  // permission bits, set-ID bits dropped
    std::optional<std::int64_t> mtimeNs;
    QByteArray linkTarget;  // links: the target's bytes
};

struct TreePlan {
    static constexpr int maxDepth = 128;
    static constexpr std::size_t maxEntries = 1000000;

    std::vector<TreeEntry> entries;
    QStringList notes;  // what was left out, and why
    std::uint64_t totalBytes = 0;
    int fileCount = 0;

    // `name` of the entry at `index` below the top, "/"-separated ("photos/2020/a.jpg").
    QString relativePath(int index) const;
    int depth(int index) const;
};

// Why `name` cannot name an entry in a folder of this computer (empty, ".", "..", a "/" or NUL
// in it, longer than 255 bytes); nothing when it can.
std::optional<QString> localNameProblem(const QString& name);
// Why a local name cannot go to a card as it is: the bytes are not UTF-8.
std::optional<QString> cardNameProblem(const QByteArray& name);

// Adds the entries of a card listing of the folder at `parent` (-1: the chosen entries
// themselves). Returns the indexes of the folders added, to be listed next. Throws
// FileOperationError when the card goes past the limits.
std::vector<int> addCardEntries(TreePlan& plan, int parent, const QList<model::FileItem>& items);

// Plans the local entries `paths` (files, folders, links; links are never followed) and
// everything below them, to go to a card. Unreadable folders throw FileOperationError.
TreePlan planLocalTree(const QStringList& paths);

}  // namespace quorvale::fileops
