#pragma once
// FileOperationService: every operation on the guest filesystem as JSON-RPC calls over the shared
// VsockTransport, each with the 10-second call timeout. It holds nothing but the transport, so
// instances are cheap and several may share one transport; calls may overlap. Errors of the
// transport (VsockError) and of the guest (JSONRPCError) propagate unchanged; results of the
// wrong shape raise FileOperationError::invalidData or fall back as documented per method.
// Decoding and sorting of large results, base64 and local file I/O run on worker threads; the
// coroutines themselves resume on the caller's (GUI) thread. A coroutine never touches the
// service after its first suspension, so the service may be dropped while calls are pending.
//
// exportFile() and uploadFile() move files of any size in chunks, each chunk a normal call, with
// progress and cancellation. An upload replaces the destination only when its last chunk lands.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "fileops/file_operation_error.h"
#include "model/file_item.h"
#include "rpc/any_codable.h"

namespace quorvale::guest {
class VsockTransport;
}

namespace quorvale::fileops {

// One object of an array result, as received.
using Dictionary = std::map<std::string, rpc::AnyCodable>;

// An array result of objects ("get_partitions", "dir_usage") handed on as received; empty for
// no result or any other shape.
std::vector<Dictionary> decodeDictionaries(const boost::json::value* result);

// Called on the caller's thread after every chunk; bytesTotal is the best size known so far.
using ProgressHandler = std::function<void(std::uint64_t bytesDone, std::uint64_t bytesTotal)>;

enum class TransferOutcome { completed, cancelled };

// A change about to be sent to the guest, as an audit records it.
struct Change {
    enum class Kind { deleted, renamed, copied, moved, folderCreated, linked, written };
    Kind kind = Kind::deleted;
    QString path;
    // The new name (renamed), the destination (copied, moved) or the link's target (linked);
    // empty otherwise.
    QString target;
    std::optional<QString> partition;
    bool replaces = false;    // a write or link allowed to take the place of an existing entry
    std::uint64_t bytes = 0;  // a write: the file's size
};
using ChangeRecorder = std::function<void(const Change&)>;

struct TransferOptions {
    std::optional<QString> partition;
    ProgressHandler progress;
    std::stop_token stop;
    // Bytes per call. Measured through the VM under emulation, where every call costs a guest
    // thread and a JSON parse: 4 MiB moves files about half as fast again as 256 KiB, and about
    // as fast on the host. Keep it a multiple of 4 KiB: whole blocks are written past the
    // guest's page cache.
    std::size_t chunkBytes = std::size_t{4} << 20;
    // Uploads: whether the file may take the place of an existing one (never a folder); else
    // an existing entry makes the upload fail ("File exists") and stays as it was. The mode
    // (set-ID bits dropped) and modification time the file gets when given.
    bool replace = false;
    std::optional<std::uint32_t> mode;
    std::optional<std::int64_t> mtimeNs;
    // An export to a path reports here where the file went: `localPath`, or the first free
    // "name 2.ext" beside it when a file of that name exists (nothing is ever replaced).
    std::function<void(const QString& localPath)> published;
};

// A local file that writeFiles() sends whole.
struct WholeFile {
    QString path;  // on the card
    int fd = -1;   // open for reading; its first `size` bytes are sent
    std::uint64_t size = 0;
    bool replace = false;  // as TransferOptions
    std::optional<std::uint32_t> mode;
    std::optional<std::int64_t> mtimeNs;
};

// Throws when what the guest reads of `partition`'s card (none: of every card) can no longer be
// trusted: the card was pulled from its reader, and the guest reads zeros, not errors.
using DiskCheck = std::function<void(const std::optional<QString>& partition)>;

// How a search below a folder ended.
enum class SearchOutcome { completed, truncated, cancelled };

// Called on the caller's thread with each batch of results a search finds.
using SearchResultsHandler = std::function<void(QList<model::FileItem> found)>;

class FileOperationService {
public:
    static constexpr std::chrono::milliseconds callTimeout = std::chrono::seconds(10);

    explicit FileOperationService(guest::VsockTransport& transport) : transport(transport) {}

    // From now on every change (delete, rename, copy, new folder, write, upload) fails with
    // FileOperationError::operationFailed(reason) before anything is sent; nullopt allows them
    // again. Reads and exports go on. A refusal means the card was damaged under the app: an
    // upload under way stops before its next chunk, and an export that was under way when it
    // came fails instead of publishing bytes read from the damaged card. Copies of the service
    // made for a transfer share the refusal.
    void refuseChanges(std::optional<QString> reason) { *refusal = std::move(reason); }
    std::optional<QString> changesRefused() const { return *refusal; }
    // Tells `recorder` of every change just before it is sent; a refused change is not one. A
    // deletion of several paths tells of them all before the first is sent. The recorder may
    // refuse the change by throwing: nothing is sent then.
    void recordChanges(ChangeRecorder recorder) { changeRecorder = std::move(recorder); }
    // Tells `recorder` of every change the guest has done, as soon as it answered so: a change
    // it refused, or one that failed or was cancelled on the way, is never told. A deletion of
    // several paths tells each path once it is gone; writeFiles() tells each file written, an
    // upload its file once published (with the bytes it holds).
    void recordDone(ChangeRecorder recorder) { doneRecorder = std::move(recorder); }
    // Asks `check` before an export reports its file complete and before a listing is returned:
    // once per file or listing, not per chunk. Its error fails the call.
    void checkDisksWith(DiskCheck check) { diskCheck = std::move(check); }

    // True exactly when the guest answers the string "pong".
    QCoro::Task<bool> ping();
    // The guest's partitions; empty for a missing result or one of another shape.
    QCoro::Task<std::vector<Dictionary>> getPartitions();
    // The entries of `path`, directories first, then by name. An invalid result is logged and
    // gives an empty list.
    QCoro::Task<QList<model::FileItem>> listDirectory(QString path,
                                                      std::optional<QString> partition = {});
    // Deletes each path in order, one call at a time; the first failure ends the operation.
    QCoro::Task<void> deletePaths(QStringList paths, std::optional<QString> partition = {});
    // At most maxBytes bytes of the file, sent by the guest in strict base64.
    QCoro::Task<QByteArray> readFile(QString path, qint64 maxBytes,
                                     std::optional<QString> partition = {});
    // Gives the entry a new name in its directory; returns the new path.
    QCoro::Task<QString> rename(QString path, QString newName,
                                std::optional<QString> partition = {});
    QCoro::Task<void> copy(QString from, QString to, std::optional<QString> partition = {});
    // Copies a file or folder from one partition to another (of any disk the VM holds) inside
    // the guest: the bytes never leave the VM. A large tree takes longer than one normal call,
    // so the caller sets the wait.
    QCoro::Task<void> copyBetween(QString from, QString sourcePartition, QString to,
                                  QString destPartition,
                                  std::chrono::milliseconds timeout = callTimeout);
    QCoro::Task<void> createDirectory(QString path, std::optional<QString> partition = {});
    // Moves the entry to `to` (a full path) in the same partition with one guest-side rename;
    // an existing entry at `to` is never replaced, and a folder cannot go into itself.
    // Returns the new path.
    QCoro::Task<QString> move(QString from, QString to, std::optional<QString> partition = {});
    // A symbolic link holding `target` (name text as listings carry it). An existing entry is
    // refused unless `replace` (never a folder).
    QCoro::Task<void> createSymlink(QString path, QString target,
                                    std::optional<std::int64_t> mtimeNs, bool replace,
                                    std::optional<QString> partition = {});
    // Permission bits (set-ID bits dropped; links keep theirs) and modification time of the
    // entry itself.
    QCoro::Task<void> setAttributes(QString path, std::optional<std::uint32_t> mode,
                                    std::optional<std::int64_t> mtimeNs,
                                    std::optional<QString> partition = {});
    // Per entry of `path`: "name", "size" and "is_directory"; empty for another shape.
    QCoro::Task<std::vector<Dictionary>> dirUsage(QString path,
                                                  std::optional<QString> partition = {});
    // Entries anywhere below `folder` whose names contain `query` (case-insensitive), streamed
    // to `found` batch by batch as the guest walks. At most `maxResults` (the guest caps it at
    // 10,000); `truncated` when there were more. A stop request ends the guest's search at the
    // next batch. Entries that are not below `folder` or do not match are dropped.
    QCoro::Task<SearchOutcome> search(QString folder, QString query,
                                      std::optional<QString> partition, SearchResultsHandler found,
                                      std::stop_token stop, std::size_t maxResults = 1000);
    // Creates or replaces the file with `data`, in one call.
    QCoro::Task<void> writeFile(QString path, QByteArray data,
                                std::optional<QString> partition = {});
    // Flushes (unmounts) the partitions of every disk, or of the whole disk `disk` only.
    QCoro::Task<void> sync(std::optional<QString> disk = {});
    QCoro::Task<void> unmount(std::optional<QString> disk = {});

    // Copies the guest file to the local file `localPath`, written beside it and named once
    // complete (a cancelled or failed export leaves no file); an existing file is never replaced
    // (see TransferOptions::published). `expectedSize` is the listed size: a file that has grown
    // past it fails the export ("changed during export") instead of being followed, so a guest
    // can never send more than it announced.
    QCoro::Task<TransferOutcome> exportFile(QString remotePath, QString localPath,
                                            std::uint64_t expectedSize, TransferOptions options);
    // The same into an open descriptor, written from offset 0 and truncated to the size read.
    QCoro::Task<TransferOutcome> exportFile(QString remotePath, int localFd,
                                            std::uint64_t expectedSize, TransferOptions options);
    // Copies the local file to `remotePath`. The guest publishes the file atomically with the
    // last chunk; until then (and after a cancel or failure) the old file stays as it was. An
    // existing file is replaced only with TransferOptions::replace.
    QCoro::Task<TransferOutcome> uploadFile(QString localPath, QString remotePath,
                                            TransferOptions options);
    QCoro::Task<TransferOutcome> uploadFile(int localFd, QString remotePath,
                                            TransferOptions options);

    // Copies several small files in one call. Each is published as uploadFile() publishes, and
    // all are on the card's disk when the call returns. The result holds, per file, nothing
    // when it was written or else its failure (a local read or the guest's refusal); a failure
    // of the call itself is thrown.
    QCoro::Task<std::vector<std::exception_ptr>> writeFiles(std::vector<WholeFile> files,
                                                            std::optional<QString> partition = {});

private:
    void checkChangesAllowed() const;
    // Refuses the change or records it.
    void beginChange(Change change) const;
    // Tells a recorder (copied before a suspension) of a change the guest has done.
    static void tell(const ChangeRecorder& recorder, const Change& change);

    guest::VsockTransport& transport;
    std::shared_ptr<std::optional<QString>> refusal = std::make_shared<std::optional<QString>>();
    ChangeRecorder changeRecorder;
    ChangeRecorder doneRecorder;
    DiskCheck diskCheck;
};

}  // namespace quorvale::fileops
