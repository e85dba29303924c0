#include "fileops/tree_plan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>

#include "fileops/file_operation_error.h"
#include "rpc/unique_fd.h"
#include "rpc/utf8_text.h"

namespace quorvale::fileops {

namespace {

constexpr std::uint32_t keptBits = 01777;  // never set-user-ID or set-group-ID
constexpr int maxNameBytes = 255;

[[noreturn]] void fail(int error, const QString& path) {
    throw FileOperationError::operationFailed(std::string(std::strerror(error)) + ": " +
                                              path.toStdString());
}

void checkLimits(const TreePlan& plan, int parent, const QString& where) {
    if (plan.entries.size() >= TreePlan::maxEntries)
        throw FileOperationError::operationFailed("More than " +
                                                  std::to_string(TreePlan::maxEntries) +
                                                  " entries to copy under " + where.toStdString());
    if (parent >= 0 && plan.depth(parent) + 1 > TreePlan::maxDepth)
        throw FileOperationError::operationFailed("Folders nested more than " +
                                                  std::to_string(TreePlan::maxDepth) +
                                                  " deep under " + where.toStdString());
}

void add(TreePlan& plan, TreeEntry entry) {
    if (entry.kind == TreeEntry::Kind::file) {
        plan.totalBytes += entry.size;
        ++plan.fileCount;
    }
    plan.entries.push_back(std::move(entry));
}

}  // namespace

QString TreePlan::relativePath(int index) const {
    QStringList names;
    for (int at = index; at >= 0; at = entries[static_cast<std::size_t>(at)].parent)
        names.prepend(entries[static_cast<std::size_t>(at)].name);
    return names.join(QLatin1Char('/'));
}

int TreePlan::depth(int index) const {
    int levels = 0;
    for (int at = index; at >= 0; at = entries[static_cast<std::size_t>(at)].parent)
        ++levels;
    return levels;
}

std::optional<QString> localNameProblem(const QString& name) {
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("not a usable name");
    if (name.contains(QLatin1Char('/')) || name.contains(QChar(0)))
        return QStringLiteral("the name holds \"/\" or a NUL character");
    if (QFile::encodeName(name).size() > maxNameBytes)
        return QStringLiteral("the name is too long");
    return std::nullopt;
}

std::optional<QString> cardNameProblem(const QByteArray& name) {
    if (!rpc::isValidUtf8(std::string_view(name.constData(), static_cast<size_t>(name.size()))))
        return QStringLiteral("the name is not UTF-8");
    return std::nullopt;
}

std::vector<int> addCardEntries(TreePlan& plan, int parent, const QList<model::FileItem>& items) {
    const QString where = parent < 0 ? QStringLiteral("the selection") : plan.relativePath(parent);
    std::vector<int> folders;
    QSet<QString> seen;
    for (const model::FileItem& item : items) {
        checkLimits(plan, parent, where);
        const QString name = item.displayName();
        if (const auto problem = localNameProblem(name)) {
            plan.notes << QStringLiteral("Skipped \"%1\": %2").arg(name, *problem);
            continue;
        }
        // A guest may list a name twice, once as a link: only the first is taken.
        if (seen.contains(name)) {
            plan.notes << QStringLiteral("Skipped \"%1\": listed twice").arg(name);
            continue;
        }
        seen.insert(name);
        TreeEntry entry;
        entry.parent = parent;
        entry.name = name;
        entry.source = item.path;
        entry.mode = item.permissions & keptBits;
        entry.mtimeNs =
            item.modifiedDate.isValid()
                ? std::optional<std::int64_t>(item.modifiedDate.toMSecsSinceEpoch() * 1000000)
                : std::nullopt;
        const std::uint32_t type = item.permissions & S_IFMT;
        if (item.isSymlink) {
            const std::string target =
                rpc::unescapeName(item.symlinkTarget.value_or(QString()).toStdString());
            if (target.empty() || target.find('\0') != std::string::npos) {
                plan.notes << QStringLiteral("Skipped \"%1\": the link has no usable target")
                                  .arg(plan.relativePath(parent).isEmpty()
                                           ? name
                                           : plan.relativePath(parent) + '/' + name);
                continue;
            }
            entry.kind = TreeEntry::Kind::symlink;
            entry.linkTarget = QByteArray::fromStdString(target);
        } else if (item.isDirectory) {
            entry.kind = TreeEntry::Kind::folder;
        } else if (type == 0 || type == S_IFREG) {
            entry.kind = TreeEntry::Kind::file;
            entry.size = item.size;
        } else {
            plan.notes << QStringLiteral("Skipped \"%1\": a special file").arg(item.path);
            continue;
        }
        add(plan, std::move(entry));
        if (plan.entries.back().kind == TreeEntry::Kind::folder)
            folders.push_back(static_cast<int>(plan.entries.size() - 1));
    }
    return folders;
}

namespace {

// Adds the local entry `name` of the folder `dirFd` (AT_FDCWD: `path` itself). Returns the
// index of a folder added, else -1.
int addLocal(TreePlan& plan, int parent, int dirFd, const QByteArray& nameBytes,
             const QString& path) {
    struct stat st {};
    const QByteArray at = dirFd == AT_FDCWD ? QFile::encodeName(path) : nameBytes;
    if (::fstatat(dirFd, at.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        fail(errno, path);
    if (const auto problem = cardNameProblem(nameBytes)) {
        plan.notes << QStringLiteral("Skipped %1: %2").arg(path, *problem);
        return -1;
    }
    TreeEntry entry;
    entry.parent = parent;
    entry.name = QString::fromUtf8(nameBytes);
    entry.source = path;
    entry.mode = st.st_mode & keptBits;
    entry.mtimeNs = std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    if (S_ISDIR(st.st_mode)) {
        entry.kind = TreeEntry::Kind::folder;
    } else if (S_ISREG(st.st_mode)) {
        entry.kind = TreeEntry::Kind::file;
        entry.size = static_cast<std::uint64_t>(st.st_size);
    } else if (S_ISLNK(st.st_mode)) {
        QByteArray target(static_cast<qsizetype>(std::max<off_t>(st.st_size, 255)) + 1, '\0');
        const auto n =
            ::readlinkat(dirFd, at.constData(), target.data(), static_cast<size_t>(target.size()));
        if (n < 0)
            fail(errno, path);
        target.truncate(n);
        entry.kind = TreeEntry::Kind::symlink;
        entry.linkTarget = target;
    } else {
        plan.notes << QStringLiteral("Skipped %1: a special file").arg(path);
        return -1;
    }
    checkLimits(plan, parent, path);
    add(plan, std::move(entry));
    return plan.entries.back().kind == TreeEntry::Kind::folder
               ? static_cast<int>(plan.entries.size() - 1)
               : -1;
}

}  // namespace

TreePlan planLocalTree(const QStringList& paths) {
    TreePlan plan;
    std::deque<int> folders;
    for (const QString& path : paths) {
        const QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
        const int folder =
            addLocal(plan, -1, AT_FDCWD, QFile::encodeName(QFileInfo(clean).fileName()), clean);
        if (folder >= 0)
            folders.push_back(folder);
    }
    while (!folders.empty()) {
        const int parent = folders.front();
        folders.pop_front();
        const QString path = plan.entries[static_cast<std::size_t>(parent)].source;
        UniqueFd dir(::open(QFile::encodeName(path).constData(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir)
            fail(errno, path);
        const int listFd = ::dup(dir.get());
        std::unique_ptr<DIR, int (*)(DIR*)> listing(listFd >= 0 ? ::fdopendir(listFd) : nullptr,
                                                    ::closedir);
        if (!listing) {
            if (listFd >= 0)
                ::close(listFd);
            fail(errno, path);
        }
        QList<QByteArray> names;
        for (errno = 0; const dirent* entry = ::readdir(listing.get()); errno = 0) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != "..")
                names << name;
        }
        if (errno != 0)
            fail(errno, path);
        std::sort(names.begin(), names.end());
        for (const QByteArray& name : names) {
            const int folder = addLocal(plan, parent, dir.get(), name,
                                        path + QLatin1Char('/') + QFile::decodeName(name));
            if (folder >= 0)
                folders.push_back(folder);
        }
    }
    return plan;
}

}  // namespace quorvale::fileops
