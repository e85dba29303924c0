#include "fileops/file_operation_service.h"

#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include <memory>
#include <string_view>

#include "fileops/directory_listing.h"
#include "fileops/fileops_log.h"
#include "fileops/request_params.h"
#include "guest/vsock_transport.h"
#include "rpc/base64.h"

namespace quorvale::fileops {

Q_LOGGING_CATEGORY(lcFileOps, "com.quorvale.app.FileOps")

namespace {

using Reply = std::optional<rpc::AnyCodable>;

// Lambdas stay out of the coroutines below: g++ 12 mishandles init-captures of coroutine
// parameters in lambdas created inside a coroutine body (the frame's copy is not the one moved).

// Moves the reply into a worker so that it is examined, and its tree freed, off the caller's
// thread. `work` takes the reply's JSON value, or null when there was none.
template <typename Work>
auto onWorker(Reply reply, Work work) {
    auto holder = std::make_shared<Reply>(std::move(reply));
    return QtConcurrent::run([holder = std::move(holder), work = std::move(work)]() mutable {
        std::shared_ptr<Reply> local = std::move(holder);
        return work(*local ? &(*local)->json() : nullptr);
    });
}

}  // namespace

std::vector<Dictionary> decodeDictionaries(const boost::json::value* result) {
    if (result == nullptr || !result->is_array())
        return {};
    std::vector<Dictionary> list;
    list.reserve(result->get_array().size());
    for (const boost::json::value& element : result->get_array()) {
        if (!element.is_object())
            return {};
        Dictionary dictionary;
        for (const auto& [key, value] : element.get_object())
            dictionary.emplace(std::string(key), rpc::AnyCodable::fromJSON(value));
        list.push_back(std::move(dictionary));
    }
    return list;
}

namespace {

QFuture<std::optional<QList<model::FileItem>>> decodeListingOnWorker(Reply reply,
                                                                     QString parentPath) {
    return onWorker(std::move(reply),
                    [parentPath = std::move(parentPath)](const boost::json::value* json) {
                        return decodeListing(json, parentPath);
                    });
}

// The decoded bytes of a string result; nothing for any other result or text that is not
// strict base64.
QFuture<std::optional<QByteArray>> decodeBase64OnWorker(Reply reply) {
    return onWorker(std::move(reply),
                    [](const boost::json::value* json) -> std::optional<QByteArray> {
                        if (json == nullptr || !json->is_string())
                            return std::nullopt;
                        const boost::json::string& text = json->get_string();
                        std::optional<std::string> decoded =
                            rpc::base64Decode(std::string_view(text.data(), text.size()));
                        if (!decoded)
                            return std::nullopt;
                        return QByteArray(decoded->data(), static_cast<qsizetype>(decoded->size()));
                    });
}

QFuture<std::shared_ptr<std::string>> encodeBase64OnWorker(QByteArray data) {
    return QtConcurrent::run([data = std::move(data)]() mutable {
        QByteArray local = std::move(data);
        return std::make_shared<std::string>(rpc::base64Encode(
            std::string_view(local.constData(), static_cast<size_t>(local.size()))));
    });
}

// The "new_path" of a rename or move answer.
QString newPathOf(const Reply& result) {
    const boost::json::object* object = result ? result->objectValue() : nullptr;
    const boost::json::value* newPath = object ? object->if_contains("new_path") : nullptr;
    if (newPath == nullptr || !newPath->is_string())
        throw FileOperationError::invalidData();
    const boost::json::string& text = newPath->get_string();
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

rpc::Params pathParams(const QString& path, const std::optional<QString>& partition) {
    rpc::Params params;
    params.emplace("path", path.toStdString());
    if (partition && !partition->isEmpty())
        params.emplace("partition", partition->toStdString());
    return params;
}

QCoro::Task<bool> FileOperationService::ping() {
    Reply result = co_await transport.send("ping", {}, callTimeout);
    co_return result && result->stringValue() == std::string_view("pong");
}

QCoro::Task<std::vector<Dictionary>> FileOperationService::getPartitions() {
    Reply result = co_await transport.send("get_partitions", {}, callTimeout);
    co_return co_await onWorker(std::move(result), decodeDictionaries);
}

QCoro::Task<QList<model::FileItem>> FileOperationService::listDirectory(
    QString path, std::optional<QString> partition) {
    const DiskCheck check = diskCheck;  // the service may be gone after a suspension
    Reply result = co_await transport.send("list_dir", pathParams(path, partition), callTimeout);
    if (check)
        check(partition);
    std::optional<QList<model::FileItem>> items =
        co_await decodeListingOnWorker(std::move(result), path);
    if (!items) {
        qCCritical(lcFileOps, "Invalid list_dir response");
        co_return {};
    }
    co_return std::move(*items);
}

QCoro::Task<void> FileOperationService::deletePaths(QStringList paths,
                                                    std::optional<QString> partition) {
    checkChangesAllowed();
    for (const QString& path : std::as_const(paths))
        beginChange({Change::Kind::deleted, path, {}, partition});
    guest::VsockTransport& t = transport;  // the service may be gone after a suspension
    const ChangeRecorder done = doneRecorder;
    for (const QString& path : std::as_const(paths)) {
        rpc::Params params = pathParams(path, partition);
        qCInfo(lcFileOps, "Deleting: %s", qUtf8Printable(path));
        co_await t.send("delete", std::move(params), callTimeout);
        tell(done, {Change::Kind::deleted, path, {}, partition});
    }
}

QCoro::Task<QByteArray> FileOperationService::readFile(QString path, qint64 maxBytes,
                                                       std::optional<QString> partition) {
    rpc::Params params = pathParams(path, partition);
    params.emplace("max_bytes", static_cast<std::int64_t>(maxBytes));
    Reply result = co_await transport.send("read_file", std::move(params), callTimeout);
    std::optional<QByteArray> bytes = co_await decodeBase64OnWorker(std::move(result));
    if (!bytes)
        throw FileOperationError::invalidData();
    co_return std::move(*bytes);
}

QCoro::Task<QString> FileOperationService::rename(QString path, QString newName,
                                                  std::optional<QString> partition) {
    const Change change{Change::Kind::renamed, path, newName, partition};
    beginChange(change);
    const ChangeRecorder done = doneRecorder;
    rpc::Params params = pathParams(path, partition);
    params.emplace("new_name", newName.toStdString());
    qCInfo(lcFileOps, "Renaming: %s → %s", qUtf8Printable(path), qUtf8Printable(newName));
    Reply result = co_await transport.send("rename", std::move(params), callTimeout);
    tell(done, change);
    co_return newPathOf(result);
}

QCoro::Task<void> FileOperationService::copy(QString from, QString to,
                                             std::optional<QString> partition) {
    const Change change{Change::Kind::copied, from, to, partition};
    beginChange(change);
    const ChangeRecorder done = doneRecorder;
    rpc::Params params = pathParams(from, partition);
    params.emplace("dest_path", to.toStdString());
    qCInfo(lcFileOps, "Copying: %s → %s", qUtf8Printable(from), qUtf8Printable(to));
    co_await transport.send("copy_file", std::move(params), callTimeout);
    tell(done, change);
}

QCoro::Task<void> FileOperationService::copyBetween(QString from, QString sourcePartition,
                                                    QString to, QString destPartition,
                                                    std::chrono::milliseconds timeout) {
    const Change change{Change::Kind::copied, sourcePartition + QLatin1Char(':') + from,
                        destPartition + QLatin1Char(':') + to, destPartition};
    beginChange(change);
    const ChangeRecorder done = doneRecorder;
    rpc::Params params = pathParams(from, sourcePartition);
    params.emplace("dest_path", to.toStdString());
    params.emplace("dest_partition", destPartition.toStdString());
    qCInfo(lcFileOps, "Copying: %s:%s → %s:%s", qUtf8Printable(sourcePartition),
           qUtf8Printable(from), qUtf8Printable(destPartition), qUtf8Printable(to));
    co_await transport.send("copy_file", std::move(params), timeout);
    tell(done, change);
}

QCoro::Task<void> FileOperationService::createDirectory(QString path,
                                                        std::optional<QString> partition) {
    const Change change{Change::Kind::folderCreated, path, {}, partition};
    beginChange(change);
    const ChangeRecorder done = doneRecorder;
    rpc::Params params = pathParams(path, partition);
    qCInfo(lcFileOps, "Creating directory: %s", qUtf8Printable(path));
    co_await transport.send("create_directory", std::move(params), callTimeout);
    tell(done, change);
}

QCoro::Task<QString> FileOperationService::move(QString from, QString to,
                                                std::optional<QString> partition) {
    const Change change{Change::Kind::moved, from, to, partition};
    beginChange(change);
    const ChangeRecorder done = doneRecorder;
    rpc::Params params = pathParams(from, partition);
    params.emplace("dest_path", to.toStdString());
    qCInfo(lcFileOps, "Moving: %s → %s", qUtf8Printable(from), qUtf8Printable(to));
    Reply result = co_await transport.send("move", std::move(params), callTimeout);
    tell(done, change);
    co_return newPathOf(result);
}

QCoro::Task<void> FileOperationService::createSymlink(QString path, QString target,
                                                      std::optional<std::int64_t> mtimeNs,
                                                      bool replace,
                                                      std::optional<QString> partition) {
    const Change change{Change::Kind::linked, path, target, partition, replace};
    beginChange(change);
    const ChangeRecorder done = doneRecorder;
    rpc::Params params = pathParams(path, partition);
    params.emplace("target", target.toStdString());
    if (mtimeNs)
        params.emplace("mtime_ns", *mtimeNs);
    params.emplace("replace", replace);
    qCInfo(lcFileOps, "Creating link: %s → %s", qUtf8Printable(path), qUtf8Printable(target));
    co_await transport.send("create_symlink", std::move(params), callTimeout);
    tell(done, change);
}

QCoro::Task<void> FileOperationService::setAttributes(QString path,
                                                      std::optional<std::uint32_t> mode,
                                                      std::optional<std::int64_t> mtimeNs,
                                                      std::optional<QString> partition) {
    checkChangesAllowed();
    rpc::Params params = pathParams(path, partition);
    if (mode)
        params.emplace("mode", static_cast<std::int64_t>(*mode & 01777));
    if (mtimeNs)
        params.emplace("mtime_ns", *mtimeNs);
    co_await transport.send("set_attributes", std::move(params), callTimeout);
}

QCoro::Task<std::vector<Dictionary>> FileOperationService::dirUsage(
    QString path, std::optional<QString> partition) {
    Reply result = co_await transport.send("dir_usage", pathParams(path, partition), callTimeout);
    co_return co_await onWorker(std::move(result), decodeDictionaries);
}

QCoro::Task<void> FileOperationService::writeFile(QString path, QByteArray data,
                                                  std::optional<QString> partition) {
    Change change{Change::Kind::written, path, {}, partition};
    change.bytes = static_cast<std::uint64_t>(data.size());
    beginChange(change);
    const ChangeRecorder done = doneRecorder;
    guest::VsockTransport& t = transport;
    const qsizetype byteCount = data.size();
    std::shared_ptr<std::string> encoded = co_await encodeBase64OnWorker(std::move(data));
    rpc::Params params = pathParams(path, partition);
    params.emplace("data_b64", rpc::AnyCodable(*encoded));
    encoded.reset();
    qCInfo(lcFileOps, "Writing file: %s (%ld bytes)", qUtf8Printable(path),
           static_cast<long>(byteCount));
    co_await t.send("write_file", std::move(params), callTimeout);
    tell(done, change);
}

void FileOperationService::checkChangesAllowed() const {
    if (*refusal)
        throw FileOperationError::operationFailed((*refusal)->toStdString());
}

void FileOperationService::tell(const ChangeRecorder& recorder, const Change& change) {
    if (recorder)
        recorder(change);
}

void FileOperationService::beginChange(Change change) const {
    checkChangesAllowed();
    if (changeRecorder)
        changeRecorder(change);
}

namespace {

rpc::Params diskParams(const std::optional<QString>& disk) {
    rpc::Params params;
    if (disk && !disk->isEmpty())
        params.emplace("disk", disk->toStdString());
    return params;
}

}  // namespace

QCoro::Task<void> FileOperationService::sync(std::optional<QString> disk) {
    co_await transport.send("sync", diskParams(disk), callTimeout);
}

QCoro::Task<void> FileOperationService::unmount(std::optional<QString> disk) {
    co_await transport.send("unmount", diskParams(disk), callTimeout);
}

}  // namespace quorvale::fileops
