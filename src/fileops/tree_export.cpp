// Tree export (tree_transfer.h). Lambdas and temporaries stay out of co_await
// expressions (see file_operation_service.cpp).

#include "fileops/tree_transfer.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <utility>

#include "fileops/file_operation_error.h"
#include "fileops/fileops_log.h"
#include "fileops/local_file.h"
#include "fileops/tree_plan.h"
#include "fileops/tree_steps.h"
#include "rpc/unique_fd.h"
#include "rpc/utf8_text.h"

namespace quorvale::fileops {

namespace {

using tree::fail;
using tree::fileOptions;
using tree::joined;
using tree::report;
using tree::State;

timespec toTimespec(std::int64_t ns) {
    std::int64_t seconds = ns / 1000000000;
    std::int64_t rest = ns % 1000000000;
    if (rest < 0) {
        rest += 1000000000;
        --seconds;
    }
    return {static_cast<time_t>(seconds), static_cast<long>(rest)};
}

// The folder `relative` below `root`, reached without passing a link or leaving `root`.
UniqueFd openBelow(int root, const QString& relative, const QString& shown) {
    if (relative.isEmpty()) {
        UniqueFd copy(::fcntl(root, F_DUPFD_CLOEXEC, 0));
        if (!copy)
            fail(errno, shown);
        return copy;
    }
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const QByteArray path = QFile::encodeName(relative);
    UniqueFd fd(static_cast<int>(::syscall(SYS_openat2, root, path.constData(), &how, sizeof how)));
    if (!fd)
        fail(errno, shown);
    return fd;
}

std::optional<struct stat> entryAt(int dir, const QString& name) {
    struct stat st {};
    if (::fstatat(dir, QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return st;
}

void setLocalTime(int dir, const QString& name, const std::optional<std::int64_t>& mtimeNs) {
    if (!mtimeNs)
        return;
    const timespec times[2] = {{0, UTIME_OMIT}, toTimespec(*mtimeNs)};
    ::utimensat(dir, QFile::encodeName(name).constData(), times, AT_SYMLINK_NOFOLLOW);
}

void finishLocalFile(int fd, const TreeEntry& entry) {
    ::fchmod(fd, entry.mode);
    if (entry.mtimeNs) {
        const timespec times[2] = {{0, UTIME_OMIT}, toTimespec(*entry.mtimeNs)};
        ::futimens(fd, times);
    }
}

// A link made under a hidden name and renamed into place: over what holds the name only
// with `replace`.
void makeLocalLink(int dir, const QString& name, const TreeEntry& entry, bool replace,
                   const QString& shown) {
    const QByteArray target = QFile::encodeName(name);
    if (!replace) {
        if (::symlinkat(entry.linkTarget.constData(), dir, target.constData()) != 0)
            fail(errno, shown);
        setLocalTime(dir, name, entry.mtimeNs);
        return;
    }
    const QString hidden = QStringLiteral(".") + name + QLatin1Char('.') +
                           QString::number(QRandomGenerator::global()->generate64(), 36) +
                           QStringLiteral(".part");
    if (::symlinkat(entry.linkTarget.constData(), dir, QFile::encodeName(hidden).constData()) != 0)
        fail(errno, shown);
    setLocalTime(dir, hidden, entry.mtimeNs);
    if (::renameat(dir, QFile::encodeName(hidden).constData(), dir, target.constData()) != 0) {
        const int error = errno;
        ::unlinkat(dir, QFile::encodeName(hidden).constData(), 0);
        fail(error, shown);
    }
}

// Gives the folders made their modes and times, deepest first (their own entries changed
// the times while they were filled).
void finishLocalFolders(int root, const TreePlan& plan, const std::vector<State>& state,
                        const std::vector<QString>& made, const QString& folder) {
    for (std::size_t i = plan.entries.size(); i-- > 0;) {
        const TreeEntry& entry = plan.entries[i];
        if (entry.kind != TreeEntry::Kind::folder || state[i] != State::made)
            continue;
        try {
            UniqueFd fd = openBelow(root, made[i], joined(folder, made[i]));
            finishLocalFile(fd.get(), entry);
        } catch (const FileOperationError&) {
        }
    }
}

// The first free "name N" in the local folder `dir`.
QString freeLocalName(int dir, const QString& name, bool isFolder) {
    for (int n = 2;; ++n) {
        const QString candidate = numberedName(name, n, isFolder);
        if (!entryAt(dir, candidate))
            return candidate;
    }
}

}  // namespace

QCoro::Task<TreeReport> exportTree(FileOperationService& service, QList<model::FileItem> items,
                                   QString folder, TreeOptions options) {
    TreePlan plan;
    std::vector<int> toList = addCardEntries(plan, -1, items);
    if (!options.topName.isEmpty() && plan.entries.size() == 1) {
        if (const auto problem = localNameProblem(options.topName))
            throw FileOperationError::operationFailed(
                QStringLiteral("\"%1\": %2").arg(options.topName, *problem).toStdString());
        plan.entries[0].name = options.topName;
    }
    TreeReport result;
    for (std::size_t next = 0; next < toList.size(); ++next) {
        if (options.stop.stop_requested()) {
            result.outcome = TransferOutcome::cancelled;
            co_return result;
        }
        const TreeEntry listed = plan.entries[static_cast<std::size_t>(toList[next])];
        const QList<model::FileItem> listing =
            co_await service.listDirectory(listed.source, options.partition);
        for (const int folder : addCardEntries(plan, toList[next], listing))
            toList.push_back(folder);
    }
    result.notes = plan.notes;
    result.filesTotal = plan.fileCount;

    UniqueFd root(
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root)
        fail(errno, folder);
    TreeProgress progress{0, plan.totalBytes, 0, plan.fileCount, {}};
    std::vector<State> state(plan.entries.size(), State::pending);
    std::vector<QString> made(plan.entries.size());  // paths as made, below `folder`
    std::exception_ptr failure;
    try {
        for (std::size_t i = 0; i < plan.entries.size(); ++i) {
            const TreeEntry& entry = plan.entries[i];
            const auto parent = static_cast<std::size_t>(entry.parent);
            const QString parentPath = entry.parent < 0 ? QString() : made[parent];
            if (entry.parent >= 0 && state[parent] == State::skipped) {
                state[i] = State::skipped;
                continue;
            }
            const QString shownFolder = joined(folder, parentPath);
            UniqueFd dir = openBelow(root.get(), parentPath, shownFolder);
            QString name = entry.name;
            bool replace = false;
            if (const auto existing = entryAt(dir.get(), name)) {
                const bool isFolder = entry.kind == TreeEntry::Kind::folder;
                if (isFolder && S_ISDIR(existing->st_mode)) {
                    state[i] = State::merged;
                    made[i] = joined(parentPath, name);
                    continue;
                }
                const Conflict conflict{name, shownFolder, S_ISDIR(existing->st_mode), isFolder};
                const ConflictAction action = co_await options.conflicts.decide(conflict);
                if (action == ConflictAction::skip ||
                    (action == ConflictAction::replace && S_ISDIR(existing->st_mode))) {
                    if (action == ConflictAction::replace)
                        result.notes << QStringLiteral("Not replaced: the folder %1")
                                            .arg(joined(shownFolder, name));
                    state[i] = State::skipped;
                    ++result.skipped;
                    continue;
                }
                if (action == ConflictAction::keepBoth)
                    name = freeLocalName(dir.get(), name, isFolder);
                replace = action == ConflictAction::replace;
            }
            const QString shown = joined(shownFolder, name);
            QString writtenAs = shown;
            made[i] = joined(parentPath, name);
            if (entry.kind == TreeEntry::Kind::folder) {
                if (replace && ::unlinkat(dir.get(), QFile::encodeName(name).constData(), 0) != 0)
                    fail(errno, shown);
                if (::mkdirat(dir.get(), QFile::encodeName(name).constData(), 0700) != 0)
                    fail(errno, shown);
                state[i] = State::made;
            } else if (entry.kind == TreeEntry::Kind::symlink) {
                makeLocalLink(dir.get(), name, entry, replace, shown);
                state[i] = State::made;
            } else {
                progress.currentFile = made[i];
                report(options, progress);
                ExportTarget target(std::move(dir), shownFolder, name);
                const std::uint64_t before = progress.bytesDone;
                TransferOptions transfer = fileOptions(options, before, &progress);
                const QString source = entry.source;
                const std::uint64_t size = entry.size;
                const TransferOutcome outcome =
                    co_await service.exportFile(source, target.fd(), size, std::move(transfer));
                if (outcome == TransferOutcome::cancelled) {
                    result.outcome = TransferOutcome::cancelled;
                    break;
                }
                finishLocalFile(target.fd(), entry);
                const QString publishedAs = target.publish(replace);
                writtenAs = publishedAs;
                if (options.fileDone)
                    options.fileDone(entry.name, size, publishedAs);
                state[i] = State::made;
                progress.bytesDone = before + size;
                ++progress.filesDone;
                ++result.filesDone;
                report(options, progress);
            }
            if (entry.parent < 0)
                result.written << writtenAs;
        }
    } catch (...) {
        failure = std::current_exception();
    }
    finishLocalFolders(root.get(), plan, state, made, folder);
    if (failure)
        std::rethrow_exception(failure);
    co_return result;
}

}  // namespace quorvale::fileops
