// Chunked export and upload of FileOperationService. Every chunk is one ordinary call with the
// usual timeout. Exports keep a few reads in flight and write each answer at its offset;
// uploads send chunks in order, a few at a time, while the next chunk is read and encoded on a
// worker ("offset" 0 starts a new file on the guest, which keeps later chunks in order, and
// "final" publishes it).
// Lambdas stay out of the coroutine bodies (see file_operation_service.cpp).

#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <deque>
#include <exception>
#include <iterator>
#include <memory>
#include <utility>

#include "fileops/file_operation_service.h"
#include "fileops/fileops_log.h"
#include "fileops/local_file.h"
#include "fileops/request_params.h"
#include "guest/vsock_transport.h"
#include "model/display_format.h"
#include "rpc/json_rpc.h"

namespace quorvale::fileops {

namespace {

using Reply = std::optional<rpc::AnyCodable>;

// Reads in flight at once during an export.
constexpr std::size_t exportDepth = 3;
// Writes in flight at once during an upload: the next chunk travels and is decoded while one
// is written. A chunk waits in the agent for the one before it, and its 10-second call counts
// that wait: two keeps a slow card (4 MiB in 4 s) within the limit; three gained little.
constexpr std::size_t uploadDepth = 2;

struct SentChunk {
    std::size_t bytes;
    QCoro::Task<Reply> reply;
};

// Tells the guest to drop the temporary file of an upload that will not be finished. Its
// answer does not matter: the guest also drops it when the connection ends.
QCoro::Task<void> abortUpload(guest::VsockTransport& transport, const QString& remotePath,
                              const std::optional<QString>& partition) {
    try {
        co_await transport.send("abort_upload", pathParams(remotePath, partition),
                                FileOperationService::callTimeout);
    } catch (...) {
    }
}

// Waits for the oldest write in flight; its bytes count as landed.
QCoro::Task<void> landOldest(std::deque<SentChunk>& sending, std::uint64_t& landed) {
    SentChunk oldest = std::move(sending.front());
    sending.pop_front();
    co_await std::move(oldest.reply);
    landed += oldest.bytes;
}

void report(const ProgressHandler& progress, std::uint64_t done, std::uint64_t total) {
    if (progress)
        progress(done, total);
}

// The "read_file" calls of one export, in file order. Chunks up to the expected size go out
// several at a time; the last of them asks for one byte more, so that a short answer there
// proves the end of the file, and nothing is ever asked beyond that byte: a full answer there
// means the file grew, which ends the export. A short answer before the expected end (the
// guest may cap a read, or the file shrank) makes the calls after it useless: reading restarts
// where the answer ended, and only an empty answer ends the file there.
class ChunkReader {
public:
    struct Pending {
        std::uint64_t requested;
        QCoro::Task<Reply> reply;
    };

    ChunkReader(guest::VsockTransport& transport, QString path, std::optional<QString> partition,
                std::uint64_t chunk, std::uint64_t expectedSize)
        : transport(transport),
          path(std::move(path)),
          partition(std::move(partition)),
          chunk(chunk),
          expectedSize(expectedSize) {}

    void plan() {
        while (inFlight.size() < exportDepth && planned <= expectedSize) {
            const std::uint64_t rest = expectedSize - planned;
            request(rest <= chunk ? rest + 1 : chunk);
        }
    }
    bool waiting() const { return !inFlight.empty(); }
    Pending next() {
        Pending pending = std::move(inFlight.front());
        inFlight.pop_front();
        return pending;
    }
    // Drops the calls out and asks again from `offset`.
    void restartAt(std::uint64_t offset) {
        std::move(inFlight.begin(), inFlight.end(), std::back_inserter(stale));
        inFlight.clear();
        planned = offset;
    }
    // Calls still out after the end, a cancel, a failure or a restart; their answers are of no
    // use but must be awaited.
    std::deque<Pending> takeRemaining() {
        std::move(inFlight.begin(), inFlight.end(), std::back_inserter(stale));
        inFlight.clear();
        return std::exchange(stale, {});
    }

private:
    void request(std::uint64_t length) {
        rpc::Params params = pathParams(path, partition);
        params.emplace("offset", static_cast<std::int64_t>(planned));
        params.emplace("max_bytes", static_cast<std::int64_t>(length));
        inFlight.push_back({length, transport.send("read_file", std::move(params),
                                                   FileOperationService::callTimeout)});
        planned += length;
    }

    guest::VsockTransport& transport;
    QString path;
    std::optional<QString> partition;
    std::uint64_t chunk;
    std::uint64_t expectedSize;
    std::uint64_t planned = 0;  // bytes asked for so far
    std::deque<Pending> inFlight;
    std::deque<Pending> stale;
};

// Waits for calls still out whose answers no longer matter (after the end, a cancel or a
// failure): they must finish before what they refer to goes away.
template <typename Calls>
QCoro::Task<void> awaitIgnoringOutcome(Calls& calls) {
    for (auto& call : calls) {
        try {
            co_await std::move(call.reply);
        } catch (...) {
        }
    }
}

// Decodes one "read_file" answer and writes it at `offset` of the local file, unless it holds
// more than the `requested` bytes.
QFuture<WrittenChunk> writeChunkOnWorker(Reply reply, int fd, std::uint64_t offset,
                                         std::uint64_t requested) {
    auto holder = std::make_shared<Reply>(std::move(reply));
    return QtConcurrent::run([holder = std::move(holder), fd, offset, requested]() mutable {
        std::shared_ptr<Reply> local = std::move(holder);
        const boost::json::value* json = *local ? &(*local)->json() : nullptr;
        if (json == nullptr || !json->is_string()) {
            WrittenChunk invalid;
            invalid.invalid = true;
            return invalid;
        }
        const boost::json::string& text = json->get_string();
        return writeDecodedChunk(fd, offset, std::string_view(text.data(), text.size()),
                                 static_cast<std::size_t>(requested));
    });
}

// Reads and encodes the chunk at `offset`: at most `chunk` bytes, never past `total`.
QFuture<EncodedChunk> readChunkOnWorker(int fd, std::uint64_t offset, std::size_t chunk,
                                        std::uint64_t total) {
    const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, total - offset));
    return QtConcurrent::run([fd, offset, length] { return readEncodedChunk(fd, offset, length); });
}

// The "files" of a "write_files" call, read and encoded; files that could not be read are left
// out with their reason.
struct EncodedFiles {
    std::shared_ptr<boost::json::value> files;  // an array
    std::vector<std::size_t> sent;              // the index of each item in the caller's list
    std::vector<std::optional<std::string>> readErrors;
};

QFuture<EncodedFiles> encodeFilesOnWorker(std::vector<WholeFile> files,
                                          std::optional<QString> partition) {
    return QtConcurrent::run([files = std::move(files), partition = std::move(partition)] {
        EncodedFiles encoded;
        encoded.files = std::make_shared<boost::json::value>(boost::json::array());
        encoded.readErrors.resize(files.size());
        boost::json::array& items = encoded.files->get_array();
        for (std::size_t i = 0; i < files.size(); ++i) {
            const WholeFile& file = files[i];
            EncodedChunk chunk = readEncodedChunk(file.fd, 0, static_cast<std::size_t>(file.size));
            if (chunk.error) {
                encoded.readErrors[i] = *chunk.error;
                continue;
            }
            boost::json::object item;
            item["path"] = file.path.toStdString();
            item["data_b64"] = std::move(*chunk.base64);
            item["replace"] = file.replace;
            if (file.mode)
                item["mode"] = static_cast<std::int64_t>(*file.mode & 01777);
            if (file.mtimeNs)
                item["mtime_ns"] = *file.mtimeNs;
            items.emplace_back(std::move(item));
            encoded.sent.push_back(i);
        }
        return encoded;
    });
}

// Per item of a "write_files" answer: nothing for written, else the guest's error.
std::optional<std::vector<std::exception_ptr>> decodeFileResults(const Reply& reply,
                                                                 std::size_t expected) {
    const boost::json::value* json = reply ? &reply->json() : nullptr;
    if (json == nullptr || !json->is_array() || json->get_array().size() != expected)
        return std::nullopt;
    std::vector<std::exception_ptr> results;
    for (const boost::json::value& item : json->get_array()) {
        if (item.is_bool() && item.get_bool()) {
            results.push_back(nullptr);
            continue;
        }
        const boost::json::object* error = item.if_object();
        const boost::json::value* code = error ? error->if_contains("code") : nullptr;
        const boost::json::value* message = error ? error->if_contains("message") : nullptr;
        if (code == nullptr || !code->is_int64() || message == nullptr || !message->is_string())
            return std::nullopt;
        results.push_back(std::make_exception_ptr(
            rpc::JSONRPCError(code->get_int64(), std::string(message->get_string()))));
    }
    return results;
}

}  // namespace

QCoro::Task<std::vector<std::exception_ptr>> FileOperationService::writeFiles(
    std::vector<WholeFile> files, std::optional<QString> partition) {
    checkChangesAllowed();
    std::vector<Change> changes;
    for (const WholeFile& file : files) {
        changes.push_back(
            {Change::Kind::written, file.path, {}, partition, file.replace, file.size});
        beginChange(changes.back());
    }
    const ChangeRecorder done = doneRecorder;
    guest::VsockTransport& t = transport;  // the service may be gone after a suspension
    const auto refused = refusal;
    qCInfo(lcFileOps, "Writing %zu files, first %s", files.size(),
           files.empty() ? "-" : qUtf8Printable(files.front().path));
    const std::size_t count = files.size();
    EncodedFiles encoded = co_await encodeFilesOnWorker(std::move(files), partition);
    std::vector<std::exception_ptr> results(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (encoded.readErrors[i]) {
            results[i] = std::make_exception_ptr(
                FileOperationError::operationFailed(*encoded.readErrors[i] + ": local file"));
        }
    }
    if (encoded.sent.empty())
        co_return results;
    // Changes refused meanwhile: the card was damaged; nothing goes.
    if (*refused)
        throw FileOperationError::operationFailed((*refused)->toStdString());
    rpc::Params params;
    params.emplace("files", rpc::AnyCodable::fromJSON(std::move(*encoded.files)));
    encoded.files.reset();
    if (partition && !partition->isEmpty())
        params.emplace("partition", partition->toStdString());
    Reply reply = co_await t.send("write_files", std::move(params), callTimeout);
    std::optional<std::vector<std::exception_ptr>> answers =
        decodeFileResults(reply, encoded.sent.size());
    if (!answers)
        throw FileOperationError::invalidData();
    for (std::size_t k = 0; k < encoded.sent.size(); ++k) {
        results[encoded.sent[k]] = (*answers)[k];
        if (!(*answers)[k])
            tell(done, changes[encoded.sent[k]]);
    }
    co_return results;
}

QCoro::Task<TransferOutcome> FileOperationService::exportFile(QString remotePath, QString localPath,
                                                              std::uint64_t expectedSize,
                                                              TransferOptions options) {
    ExportTarget target(localPath);
    FileOperationService service(transport);
    service.refusal = refusal;
    service.diskCheck = diskCheck;
    auto published = std::move(options.published);
    TransferOutcome outcome =
        co_await service.exportFile(remotePath, target.fd(), expectedSize, std::move(options));
    if (outcome == TransferOutcome::completed) {
        const QString path = target.publish();
        if (published)
            published(path);
    }
    co_return outcome;
}

QCoro::Task<TransferOutcome> FileOperationService::exportFile(QString remotePath, int localFd,
                                                              std::uint64_t expectedSize,
                                                              TransferOptions options) {
    if (options.stop.stop_requested())
        co_return TransferOutcome::cancelled;
    ChunkReader reader(transport, remotePath, options.partition,
                       std::max<std::size_t>(options.chunkBytes, 1), expectedSize);
    // The card damaged during the export: what was read from it may be wrong.
    const auto damage = [refused = refusal, before = refusal->has_value()] {
        if (!before && *refused)
            throw FileOperationError::operationFailed((*refused)->toStdString());
    };
    const DiskCheck check = diskCheck;

    TransferOutcome outcome = TransferOutcome::completed;
    std::uint64_t done = 0;
    std::exception_ptr failure;
    try {
        for (reader.plan();; reader.plan()) {
            if (!reader.waiting())
                throw FileOperationError::invalidData();
            ChunkReader::Pending next = reader.next();
            Reply reply = co_await std::move(next.reply);
            WrittenChunk written =
                co_await writeChunkOnWorker(std::move(reply), localFd, done, next.requested);
            damage();
            if (written.invalid)
                throw FileOperationError::invalidData();
            if (written.error)
                throw FileOperationError::operationFailed(*written.error + ": local file");
            done += written.bytes;
            if (done > expectedSize) {
                throw FileOperationError::operationFailed(
                    "File changed during export: " + model::readableName(remotePath).toStdString() +
                    " is larger than the " + std::to_string(expectedSize) + " bytes listed");
            }
            const bool shortAnswer = written.bytes < next.requested;
            if (written.bytes == 0 || (shortAnswer && done >= expectedSize)) {
                report(options.progress, done, done);
                break;
            }
            if (shortAnswer)
                reader.restartAt(done);
            report(options.progress, done, std::max(expectedSize, done + 1));
            if (options.stop.stop_requested()) {
                outcome = TransferOutcome::cancelled;
                break;
            }
        }
        if (outcome == TransferOutcome::completed) {
            // Every answer is in: were they read from the card, or from a reader left empty?
            if (check)
                check(options.partition);
            truncateRegularFile(localFd, done);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    std::deque<ChunkReader::Pending> remaining = reader.takeRemaining();
    co_await awaitIgnoringOutcome(remaining);
    if (failure)
        std::rethrow_exception(failure);
    co_return outcome;
}

QCoro::Task<TransferOutcome> FileOperationService::uploadFile(QString localPath, QString remotePath,
                                                              TransferOptions options) {
    checkChangesAllowed();
    UniqueFd fd = openForReading(localPath);
    regularFileSize(fd.get(), localPath);  // a clear error naming the path for a directory
    FileOperationService service(transport);
    service.refusal = refusal;
    service.changeRecorder = changeRecorder;
    service.doneRecorder = doneRecorder;
    co_return co_await service.uploadFile(fd.get(), remotePath, std::move(options));
}

QCoro::Task<TransferOutcome> FileOperationService::uploadFile(int localFd, QString remotePath,
                                                              TransferOptions options) {
    checkChangesAllowed();
    guest::VsockTransport& t = transport;  // the service may be gone after a suspension
    const auto refused = refusal;
    const std::size_t chunk = std::max<std::size_t>(options.chunkBytes, 1);
    const std::uint64_t total = regularFileSize(localFd, QStringLiteral("local file"));
    if (options.stop.stop_requested())
        co_return TransferOutcome::cancelled;
    Change change{Change::Kind::written, remotePath, {}, options.partition, options.replace, total};
    beginChange(change);
    const ChangeRecorder done = doneRecorder;
    qCInfo(lcFileOps, "Writing file: %s (%ld bytes)", qUtf8Printable(remotePath),
           static_cast<long>(total));

    TransferOutcome outcome = TransferOutcome::completed;
    std::exception_ptr failure;
    std::uint64_t offset = 0;  // bytes sent
    std::uint64_t landed = 0;  // bytes acknowledged
    std::deque<SentChunk> sending;
    bool startedRemotely = false;  // the guest holds a temporary file for this upload
    QFuture<EncodedChunk> preparing = readChunkOnWorker(localFd, 0, chunk, total);
    bool isPreparing = true;
    try {
        for (;;) {
            EncodedChunk next = co_await preparing;
            isPreparing = false;
            if (next.error)
                throw FileOperationError::operationFailed(*next.error + ": local file");
            if (options.stop.stop_requested()) {
                outcome = TransferOutcome::cancelled;
                break;
            }
            // A file that shrank while being read ends at its shorter size.
            const bool final = offset + next.bytes >= total || next.bytes < next.requested;
            if (!final) {
                preparing = readChunkOnWorker(localFd, offset + next.bytes, chunk, total);
                isPreparing = true;
            }
            rpc::Params params = pathParams(remotePath, options.partition);
            params.emplace("data_b64", rpc::AnyCodable::fromJSON(std::move(*next.base64)));
            next.base64.reset();
            params.emplace("offset", static_cast<std::int64_t>(offset));
            params.emplace("final", final);
            if (final) {
                params.emplace("replace", options.replace);
                if (options.mode)
                    params.emplace("mode", static_cast<std::int64_t>(*options.mode & 01777));
                if (options.mtimeNs)
                    params.emplace("mtime_ns", *options.mtimeNs);
            }
            // The first chunk creates the file on the guest and the final one publishes it:
            // the first lands before any other goes, the final goes after all others landed.
            const bool first = offset == 0;
            while (!sending.empty() && (final || sending.size() >= uploadDepth)) {
                co_await landOldest(sending, landed);
                report(options.progress, landed, total);
            }
            // Changes refused since the upload began: the card was damaged; nothing more goes.
            if (*refused)
                throw FileOperationError::operationFailed((*refused)->toStdString());
            sending.push_back({next.bytes, t.send("write_file", std::move(params), callTimeout)});
            startedRemotely = true;
            offset += next.bytes;
            if (first || final) {
                co_await landOldest(sending, landed);
                report(options.progress, landed, final ? landed : total);
            }
            if (final)
                break;
        }
    } catch (...) {
        failure = std::current_exception();
    }
    co_await awaitIgnoringOutcome(sending);
    // The worker reads from localFd: let it finish before the caller may close it.
    if (isPreparing)
        co_await preparing;
    if (startedRemotely && (failure || outcome == TransferOutcome::cancelled))
        co_await abortUpload(t, remotePath, options.partition);
    if (failure)
        std::rethrow_exception(failure);
    if (outcome == TransferOutcome::completed) {
        change.bytes = landed;  // a file that shrank while read holds fewer
        tell(done, change);
    }
    co_return outcome;
}

}  // namespace quorvale::fileops
