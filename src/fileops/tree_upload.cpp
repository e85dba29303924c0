// Tree upload (tree_transfer.h). Lambdas and temporaries stay out of co_await
// expressions (see file_operation_service.cpp).

#include "fileops/tree_transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QHash>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
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

// Names in a card folder that existed before the upload, listed once.
class TakenNames {
public:
    QCoro::Task<QList<model::FileItem>*> of(FileOperationService& service, QString folder,
                                            std::optional<QString> partition) {
        auto found = folders.find(folder);
        if (found == folders.end()) {
            QList<model::FileItem> listing = co_await service.listDirectory(folder, partition);
            found = folders.insert(folder, std::move(listing));
        }
        co_return &found.value();
    }

private:
    QHash<QString, QList<model::FileItem>> folders;
};

const model::FileItem* findNamed(const QList<model::FileItem>& items, const QString& name) {
    for (const model::FileItem& item : items)
        if (item.name == name)
            return &item;
    return nullptr;
}

QStringList namesOf(const QList<model::FileItem>& items) {
    QStringList names;
    for (const model::FileItem& item : items)
        names << item.name;
    return names;
}

// Small files of an upload travel in batches, one call each: a file costs the guest a journal
// commit of its own, a batch one for all. A batch goes when it holds this many files or bytes;
// two are in flight at once, so that one is read and sent while the guest writes the other.
constexpr std::size_t filesPerBatch = 32;
constexpr std::uint64_t bytesPerBatch = std::uint64_t{1} << 20;
constexpr std::size_t batchesInFlight = 2;
// Files up to this size go in batches; larger ones alone, in chunks.
constexpr std::uint64_t smallFileBytes = std::uint64_t{256} << 10;
// Folder attributes set at once at the end.
constexpr std::size_t attributesInFlight = 8;

// The small files of an upload: those gathered for the next batch and the batches sent and not
// yet answered, oldest first.
class FileBatches {
public:
    struct File {
        UniqueFd fd;  // read until its batch is answered
        std::size_t entry;
        QString path;
        QString shown;        // below the target folder
        std::uint64_t bytes;  // as planned: what the progress counts
        std::uint64_t size;   // as opened: what is sent
        bool replace;
    };

    FileBatches(FileOperationService& service, const TreePlan& plan, TreeReport& result,
                TreeProgress& progress, std::vector<State>& state, const TreeOptions& options)
        : service(service),
          plan(plan),
          result(result),
          progress(progress),
          state(state),
          options(options) {}

    bool idle() const { return gathered.empty() && batches.empty(); }
    bool failed() const { return failure != nullptr; }
    std::exception_ptr takeFailure() { return std::exchange(failure, nullptr); }

    // Adds a file to the next batch, sending the batch once it is full.
    QCoro::Task<void> add(File file) {
        gatheredBytes += file.size;
        gathered.push_back(std::move(file));
        if (gathered.size() >= filesPerBatch || gatheredBytes >= bytesPerBatch)
            co_await send();
    }
    // Sends what is gathered, once fewer than batchesInFlight are out.
    QCoro::Task<void> send() {
        while (batches.size() >= batchesInFlight)
            co_await landOldest();
        if (gathered.empty() || failure)
            co_return;
        std::vector<WholeFile> whole;
        for (const File& file : gathered) {
            const TreeEntry& entry = plan.entries[file.entry];
            whole.push_back(
                {file.path, file.fd.get(), file.size, file.replace, entry.mode, entry.mtimeNs});
        }
        progress.currentFile = gathered.front().shown;
        report(options, progress);
        Batch batch{std::move(gathered), service.writeFiles(std::move(whole), options.partition)};
        gathered.clear();
        gatheredBytes = 0;
        batches.push_back(std::move(batch));
    }
    // Drops what is gathered and not sent (after a cancel or a failure).
    void dropGathered() {
        gathered.clear();
        gatheredBytes = 0;
    }
    // Waits for every batch sent.
    QCoro::Task<void> landAll() {
        while (!batches.empty())
            co_await landOldest();
    }

private:
    struct Batch {
        std::vector<File> files;
        QCoro::Task<std::vector<std::exception_ptr>> answers;
    };

    // Waits for the oldest batch and counts its files. A failure is kept (the first one)
    // rather than thrown, so that every batch sent is waited for.
    QCoro::Task<void> landOldest() {
        Batch batch = std::move(batches.front());
        batches.pop_front();
        std::vector<std::exception_ptr> answers;
        try {
            answers = co_await std::move(batch.answers);
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
            co_return;
        }
        for (std::size_t i = 0; i < batch.files.size() && i < answers.size(); ++i) {
            const File& file = batch.files[i];
            if (answers[i]) {
                if (!failure)
                    failure = answers[i];
                continue;
            }
            state[file.entry] = State::made;
            if (options.fileDone)
                options.fileDone(plan.entries[file.entry].name, file.bytes, file.path);
            progress.bytesDone += file.bytes;
            ++progress.filesDone;
            ++result.filesDone;
        }
        report(options, progress);
    }

    FileOperationService& service;
    const TreePlan& plan;
    TreeReport& result;
    TreeProgress& progress;
    std::vector<State>& state;
    const TreeOptions& options;
    std::vector<File> gathered;
    std::uint64_t gatheredBytes = 0;
    std::deque<Batch> batches;
    std::exception_ptr failure;
};

// Gives the folders made by an upload their modes and times, several calls at once. Each folder
// is finished after everything below it was written, so the order among them does not matter.
// The first failure goes to `failure` unless it holds one; later calls are still waited for.
QCoro::Task<void> finishCardFolders(FileOperationService& service, const TreePlan& plan,
                                    const std::vector<State>& state,
                                    const std::vector<QString>& made,
                                    std::optional<QString> partition, std::exception_ptr& failure) {
    std::exception_ptr own;  // the first call that failed: no more are sent
    std::deque<QCoro::Task<void>> calls;
    for (std::size_t i = plan.entries.size(); i-- > 0 && !own;) {
        const TreeEntry& entry = plan.entries[i];
        if (entry.kind != TreeEntry::Kind::folder || state[i] != State::made)
            continue;
        if (calls.size() >= attributesInFlight) {
            QCoro::Task<void> oldest = std::move(calls.front());
            calls.pop_front();
            try {
                co_await std::move(oldest);
            } catch (...) {
                own = std::current_exception();
                continue;
            }
        }
        calls.push_back(service.setAttributes(made[i], entry.mode, entry.mtimeNs, partition));
    }
    for (auto& call : calls) {
        try {
            co_await std::move(call);
        } catch (...) {
            if (!own)
                own = std::current_exception();
        }
    }
    if (!failure)
        failure = own;
}

}  // namespace

QCoro::Task<TreeReport> uploadTree(FileOperationService& service, QStringList paths, QString folder,
                                   TreeOptions options) {
    TreePlan plan = planLocalTree(paths);
    if (!options.topName.isEmpty() && plan.entries.size() >= 1 && paths.size() == 1)
        plan.entries[0].name = options.topName;
    TreeReport result;
    result.notes = plan.notes;
    result.filesTotal = plan.fileCount;
    TreeProgress progress{0, plan.totalBytes, 0, plan.fileCount, {}};
    std::vector<State> state(plan.entries.size(), State::pending);
    std::vector<QString> made(plan.entries.size());  // card paths as made
    TakenNames taken;
    FileBatches small(service, plan, result, progress, state, options);
    std::exception_ptr failure;
    try {
        for (std::size_t i = 0; i < plan.entries.size(); ++i) {
            if (options.stop.stop_requested()) {
                result.outcome = TransferOutcome::cancelled;
                break;
            }
            if (small.failed())
                break;
            const TreeEntry& entry = plan.entries[i];
            const auto parent = static_cast<std::size_t>(entry.parent);
            if (entry.parent >= 0 && state[parent] == State::skipped) {
                state[i] = State::skipped;
                continue;
            }
            const QString parentPath = entry.parent < 0 ? folder : made[parent];
            const bool isFolder = entry.kind == TreeEntry::Kind::folder;
            QString name = entry.name;
            bool replace = false;
            // A folder made by this upload holds nothing else.
            if (entry.parent < 0 || state[parent] != State::made) {
                QList<model::FileItem>* existing =
                    co_await taken.of(service, parentPath, options.partition);
                if (const model::FileItem* there = findNamed(*existing, name)) {
                    if (isFolder && there->isDirectory && !there->isSymlink) {
                        state[i] = State::merged;
                        made[i] = there->path;
                        continue;
                    }
                    const Conflict conflict{name, parentPath, there->isDirectory, isFolder};
                    const ConflictAction action = co_await options.conflicts.decide(conflict);
                    if (action == ConflictAction::skip ||
                        (action == ConflictAction::replace && there->isDirectory)) {
                        if (action == ConflictAction::replace)
                            result.notes
                                << QStringLiteral("Not replaced: the folder %1").arg(there->path);
                        state[i] = State::skipped;
                        ++result.skipped;
                        continue;
                    }
                    if (action == ConflictAction::keepBoth)
                        name = keepBothName(name, namesOf(*existing), isFolder);
                    replace = action == ConflictAction::replace;
                }
                model::FileItem added;
                added.name = name;
                existing->append(added);
            }
            const QString path = joined(parentPath, name);
            made[i] = path;
            if (isFolder) {
                if (replace) {
                    QStringList replaced{path};
                    co_await service.deletePaths(replaced, options.partition);
                }
                co_await service.createDirectory(path, options.partition);
                // Made at once: what goes into it is sent after this.
                state[i] = State::made;
            } else if (entry.kind == TreeEntry::Kind::symlink) {
                const QString target = QString::fromStdString(rpc::escapeName(
                    std::string_view(entry.linkTarget.constData(),
                                     static_cast<std::size_t>(entry.linkTarget.size()))));
                co_await service.createSymlink(path, target, entry.mtimeNs, replace,
                                               options.partition);
                state[i] = State::made;
            } else {
                // Never through a link that took the file's place since it was planned.
                UniqueFd file(::open(QFile::encodeName(entry.source).constData(),
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
                if (!file)
                    fail(errno, entry.source);
                struct stat st {};
                if (::fstat(file.get(), &st) != 0)
                    fail(errno, entry.source);
                const auto size = static_cast<std::uint64_t>(std::max<off_t>(st.st_size, 0));
                QString shown = path.mid(folder.size());
                if (shown.startsWith(QLatin1Char('/')))
                    shown.remove(0, 1);
                if (size <= smallFileBytes) {
                    FileBatches::File one{std::move(file), i,    path,   shown,
                                          entry.size,      size, replace};
                    co_await small.add(std::move(one));
                } else {
                    // A large file goes alone, after the small ones before it have landed.
                    co_await small.send();
                    co_await small.landAll();
                    if (small.failed())
                        break;
                    progress.currentFile = shown;
                    report(options, progress);
                    const std::uint64_t before = progress.bytesDone;
                    TransferOptions transfer = fileOptions(options, before, &progress);
                    transfer.replace = replace;
                    transfer.mode = entry.mode;
                    transfer.mtimeNs = entry.mtimeNs;
                    const TransferOutcome outcome =
                        co_await service.uploadFile(file.get(), path, std::move(transfer));
                    if (outcome == TransferOutcome::cancelled) {
                        result.outcome = TransferOutcome::cancelled;
                        break;
                    }
                    state[i] = State::made;
                    if (options.fileDone)
                        options.fileDone(entry.name, entry.size, path);
                    progress.bytesDone = before + entry.size;
                    ++progress.filesDone;
                    ++result.filesDone;
                    report(options, progress);
                }
            }
            if (entry.parent < 0)
                result.written << path;
        }
    } catch (...) {
        failure = std::current_exception();
    }
    // What is gathered goes unless the job ends early; what was sent is waited for.
    if (failure || result.outcome == TransferOutcome::cancelled || small.failed())
        small.dropGathered();
    else
        co_await small.send();
    co_await small.landAll();
    if (!failure)
        failure = small.takeFailure();
    // Folders made get their modes and times last; after a failure too, as far as the guest
    // still answers.
    co_await finishCardFolders(service, plan, state, made, options.partition, failure);
    if (failure)
        std::rethrow_exception(failure);
    co_return result;
}

}  // namespace quorvale::fileops
