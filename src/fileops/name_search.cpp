// FileOperationService::search: "search", then "search_next" until done.

#include <boost/json/value.hpp>

#include "fileops/file_operation_service.h"
#include "fileops/fileops_log.h"
#include "fileops/name_search.h"
#include "fileops/request_params.h"
#include "guest/vsock_transport.h"

namespace quorvale::fileops {

namespace {

QString stringOf(const boost::json::value& value) {
    const boost::json::string& text = value.get_string();
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

std::optional<SearchBatch> decodeSearchBatch(const boost::json::value* result,
                                             const QString& folder, const QString& query) {
    const boost::json::object* object = result ? result->if_object() : nullptr;
    if (object == nullptr)
        return std::nullopt;
    const boost::json::value* id = object->if_contains("search");
    const boost::json::value* entries = object->if_contains("entries");
    const boost::json::value* done = object->if_contains("done");
    if (id == nullptr || !id->is_int64() || entries == nullptr || !entries->is_array() ||
        done == nullptr || !done->is_bool())
        return std::nullopt;
    SearchBatch batch;
    batch.id = id->get_int64();
    batch.done = done->get_bool();
    const boost::json::value* truncated = object->if_contains("truncated");
    batch.truncated = truncated && truncated->is_bool() && truncated->get_bool();
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    for (const boost::json::value& entry : entries->get_array()) {
        const boost::json::object* fields = entry.if_object();
        const boost::json::value* path = fields ? fields->if_contains("path") : nullptr;
        if (path == nullptr || !path->is_string())
            continue;
        const QString fullPath = stringOf(*path);
        const qsizetype slash = fullPath.lastIndexOf(QLatin1Char('/'));
        if (!fullPath.startsWith(prefix) || slash < 0)
            continue;
        const QString parent = slash == 0 ? QStringLiteral("/") : fullPath.left(slash);
        std::optional<model::FileItem> item = model::FileItem::fromEntry(*fields, parent);
        // The path must be the entry's own, made of plain names, and the name must match.
        if (!item || item->path != fullPath || item->name.isEmpty() ||
            fullPath.split(QLatin1Char('/')).mid(1).contains(QStringLiteral("..")) ||
            fullPath.split(QLatin1Char('/')).mid(1).contains(QStringLiteral(".")) ||
            fullPath.contains(QStringLiteral("//")) ||
            !item->name.contains(query, Qt::CaseInsensitive))
            continue;
        batch.items.append(std::move(*item));
    }
    return batch;
}

QCoro::Task<SearchOutcome> FileOperationService::search(QString folder, QString query,
                                                        std::optional<QString> partition,
                                                        SearchResultsHandler found,
                                                        std::stop_token stop,
                                                        std::size_t maxResults) {
    guest::VsockTransport& t = transport;  // the service may be gone after a suspension
    rpc::Params params = pathParams(folder, partition);
    params.emplace("query", query.toStdString());
    params.emplace("max_results", static_cast<std::int64_t>(maxResults));
    qCInfo(lcFileOps, "Searching %s for %s", qUtf8Printable(folder), qUtf8Printable(query));
    std::optional<rpc::AnyCodable> reply =
        co_await t.send("search", std::move(params), callTimeout);
    for (;;) {
        std::optional<SearchBatch> batch =
            decodeSearchBatch(reply ? &reply->json() : nullptr, folder, query);
        if (!batch)
            throw FileOperationError::invalidData();
        if (!batch->items.isEmpty())
            found(std::move(batch->items));
        if (batch->done)
            co_return batch->truncated ? SearchOutcome::truncated : SearchOutcome::completed;
        rpc::Params next;
        next.emplace("search", batch->id);
        if (stop.stop_requested()) {
            co_await t.send("search_end", std::move(next), callTimeout);
            co_return SearchOutcome::cancelled;
        }
        reply = co_await t.send("search_next", std::move(next), callTimeout);
    }
}

}  // namespace quorvale::fileops
