#include "agent/listing_methods.h"

#include "agent/dispatcher.h"
#include "agent/listing.h"
#include "agent/name_search.h"
#include "agent/paged_listing.h"
#include "agent/partition.h"

namespace quorvale::agent {

namespace {

std::shared_ptr<Partition> partitionFor(PartitionProvider& partitions, const ParamReader& params) {
    return partitions.select(params.optionalString("partition"));
}

RequestPath pathParam(const ParamReader& params) {
    return RequestPath::parse(params.string("path"), "path");
}

std::uint64_t idParam(const ParamReader& params, std::string_view member) {
    return static_cast<std::uint64_t>(params.optionalCount(member).value_or(0));
}

}  // namespace

void OpenCursors::endOnDevice(dev_t device) const {
    listings->endOnDevice(device);
    searches->endOnDevice(device);
}

void OpenCursors::endAll() const {
    listings->endAll();
    searches->endAll();
}

OpenCursors addListingMethods(Dispatcher& dispatcher, PartitionProvider& partitions) {
    const OpenCursors cursors{std::make_shared<Listings>(), std::make_shared<Searches>()};
    dispatcher.onSessionEnd([cursors](std::uint64_t session) {
        cursors.listings->endSession(session);
        cursors.searches->endSession(session);
    });

    dispatcher.add("list_dir", [&](const ParamReader& params) {
        const auto path = pathParam(params);
        return HandlerResult::jsonText(listDirectory(*partitionFor(partitions, params), path));
    });

    // A folder in pages: the first one and the id that "list_dir_next" continues with.
    const auto listings = cursors.listings;
    dispatcher.add("list_dir_start", [&, listings](const ParamReader& params,
                                                   const CallContext& context) {
        const auto path = pathParam(params);
        const auto id = listings->start(context.session, partitionFor(partitions, params), path);
        return HandlerResult::jsonText(listings->next(context.session, id));
    });
    dispatcher.add("list_dir_next", [listings](const ParamReader& params,
                                               const CallContext& context) {
        return HandlerResult::jsonText(listings->next(context.session, idParam(params, "listing")));
    });
    dispatcher.add(
        "list_dir_end", [listings](const ParamReader& params, const CallContext& context) {
            return HandlerResult(listings->end(context.session, idParam(params, "listing")));
        });

    dispatcher.add("dir_usage", [&](const ParamReader& params) {
        const auto path = pathParam(params);
        return HandlerResult(directoryUsage(*partitionFor(partitions, params), path));
    });

    // Names containing "query" anywhere below "path": the first results and the id that
    // "search_next" continues with.
    const auto searches = cursors.searches;
    dispatcher.add("search", [&, searches](const ParamReader& params, const CallContext& context) {
        const auto path = pathParam(params);
        const auto limit = static_cast<std::size_t>(
            params.optionalCount("max_results").value_or(Searches::defaultResults));
        const auto id = searches->start(context.session, partitionFor(partitions, params), path,
                                        params.string("query"), limit);
        return HandlerResult::jsonText(searches->next(context.session, id));
    });
    dispatcher.add("search_next", [searches](const ParamReader& params,
                                             const CallContext& context) {
        return HandlerResult::jsonText(searches->next(context.session, idParam(params, "search")));
    });
    dispatcher.add("search_end", [searches](const ParamReader& params, const CallContext& context) {
        return HandlerResult(searches->end(context.session, idParam(params, "search")));
    });
    return cursors;
}

}  // namespace quorvale::agent
