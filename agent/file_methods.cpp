#include "agent/file_methods.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "agent/agent_error.h"
#include "agent/dispatcher.h"
#include "agent/file_io.h"
#include "agent/listing_methods.h"
#include "agent/partition.h"
#include "agent/tree_operations.h"
#include "agent/uploads.h"
#include "rpc/base64.h"
#include "rpc/device_name.h"

namespace quorvale::agent {

namespace {

namespace json = boost::json;

std::shared_ptr<Partition> partitionFor(PartitionProvider& partitions, const ParamReader& params) {
    return partitions.select(params.optionalString("partition"));
}

// The optional "disk" of "sync" and "unmount": a whole-disk name.
std::optional<std::string_view> diskParam(const ParamReader& params) {
    const auto disk = params.optionalString("disk");
    if (disk && !rpc::isWholeDiskName(*disk))
        throw AgentError::invalidParams("\"disk\" is not a whole-disk name: \"" +
                                        std::string(*disk) + "\"");
    return disk;
}

RequestPath pathParam(const ParamReader& params, std::string_view member = "path") {
    return RequestPath::parse(params.string(member), member);
}

// "mtime_ns": nanoseconds since the epoch.
std::optional<timespec> timeParam(const ParamReader& params) {
    const auto ns = params.optionalInteger("mtime_ns");
    if (!ns)
        return std::nullopt;
    constexpr std::int64_t perSecond = 1000000000;
    std::int64_t seconds = *ns / perSecond;
    std::int64_t rest = *ns % perSecond;
    if (rest < 0) {
        rest += perSecond;
        --seconds;
    }
    return timespec{static_cast<time_t>(seconds), static_cast<long>(rest)};
}

std::optional<mode_t> modeParam(const ParamReader& params) {
    const auto mode = params.optionalInteger("mode");
    if (!mode)
        return std::nullopt;
    if (*mode < 0 || *mode > 07777)
        throw AgentError::invalidParams("\"mode\" is not a permission mode");
    return static_cast<mode_t>(*mode);
}

// Most files one "write_files" call takes.
constexpr std::size_t maxFilesPerCall = 256;

// "data_b64" decoded into block-aligned memory that is not cleared first: every byte kept is
// written.
class DecodedData {
public:
    explicit DecodedData(const ParamReader& params) {
        const std::string_view text = params.string("data_b64");
        const std::size_t capacity = text.size() / 4 * 3 + directAlignment;
        memory_.reset(static_cast<char*>(
            std::aligned_alloc(directAlignment, capacity - capacity % directAlignment)));
        if (!memory_)
            throw std::bad_alloc();
        const auto size = rpc::base64DecodeTo(text, memory_.get());
        if (!size)
            throw AgentError::invalidParams("\"data_b64\" is not valid base64");
        size_ = *size;
    }
    std::string_view bytes() const { return {memory_.get(), size_}; }

private:
    struct Free {
        void operator()(char* p) const { std::free(p); }
    };
    std::unique_ptr<char[], Free> memory_;
    std::size_t size_ = 0;
};

// {"code", "message"} for the exception being handled, as an error reply carries them.
json::object errorObject(std::exception_ptr error) {
    const rpc::JSONRPCError e = Dispatcher::errorFor(std::move(error));
    json::object object;
    object["code"] = e.code;
    object["message"] = e.message;
    return object;
}

WriteChunk writeChunk(const ParamReader& params, std::string_view data) {
    WriteChunk chunk{data, params.optionalCount("offset"), true, {}};
    chunk.publish.replace = params.optionalBool("replace").value_or(true);
    chunk.publish.mode = modeParam(params);
    chunk.publish.mtime = timeParam(params);
    const auto final = params.optionalBool("final");
    if (chunk.offset)
        chunk.final = final.value_or(false);
    else if (final && !*final)
        chunk.offset = 0;  // the first chunk of an upload that says so
    return chunk;
}

}  // namespace

void addFileMethods(Dispatcher& dispatcher, PartitionProvider& partitions) {
    // Chunked uploads in progress; those of a session end with it.
    const auto uploads = std::make_shared<Uploads>();
    dispatcher.onSessionEnd([uploads](std::uint64_t session) { uploads->endSession(session); });
    const OpenCursors cursors = addListingMethods(dispatcher, partitions);

    dispatcher.add("ping", [](const ParamReader&) { return HandlerResult("pong"); });

    dispatcher.add("get_partitions",
                   [&](const ParamReader&) { return HandlerResult(partitions.describe()); });

    dispatcher.add("read_file", [&](const ParamReader& params) {
        const auto path = pathParam(params);
        const auto maxBytes = params.optionalCount("max_bytes").value_or(maxReadBytes);
        const auto offset = params.optionalCount("offset").value_or(0);
        // Base64 text needs no JSON escaping.
        return HandlerResult::plainString(
            readFile(*partitionFor(partitions, params), path, maxBytes, offset));
    });

    dispatcher.add("write_file",
                   [&, uploads](const ParamReader& params, const CallContext& context) {
                       const auto path = pathParam(params);
                       const DecodedData data(params);
                       writeFile(*partitionFor(partitions, params), *uploads, context.session, path,
                                 writeChunk(params, data.bytes()));
                       return HandlerResult(true);
                   });

    // Several whole files in one call, each published as it is written and all made durable
    // by one syncfs at the end: a journal commit for the lot instead of one or two each.
    dispatcher.add("write_files", [&, uploads](const ParamReader& params,
                                               const CallContext& context) {
        const auto partition = partitionFor(partitions, params);
        const std::vector<rpc::Params> files = params.objects("files");
        if (files.size() > maxFilesPerCall)
            throw AgentError::invalidParams("\"files\" holds more than " +
                                            std::to_string(maxFilesPerCall) + " files");
        json::array results;
        std::vector<std::optional<RequestPath>> published(files.size());
        for (std::size_t i = 0; i < files.size(); ++i) {
            try {
                const ParamReader file(files[i]);
                const auto path = pathParam(file);
                if (file.optionalCount("offset") || file.optionalBool("final"))
                    throw AgentError::invalidParams("a file of \"files\" is written whole");
                const DecodedData data(file);
                WriteChunk chunk = writeChunk(file, data.bytes());
                chunk.publish.durable = false;
                writeFile(*partition, *uploads, context.session, path, chunk);
                published[i] = path;
                results.emplace_back(true);
            } catch (...) {
                results.emplace_back(errorObject(std::current_exception()));
            }
        }
        if (std::any_of(published.begin(), published.end(), [](const auto& p) { return !!p; }) &&
            ::syncfs(partition->root.fd()) != 0) {
            const int error = errno;
            for (std::size_t i = 0; i < files.size(); ++i) {
                if (published[i]) {
                    results[i] = errorObject(
                        std::make_exception_ptr(AgentError::system(error, published[i]->display)));
                }
            }
        }
        return HandlerResult(std::move(results));
    });

    // Ends an upload without publishing it; the result tells whether one was in progress.
    dispatcher.add(
        "abort_upload", [&, uploads](const ParamReader& params, const CallContext& context) {
            const auto path = pathParam(params);
            return HandlerResult(
                abortUpload(*partitionFor(partitions, params), *uploads, context.session, path));
        });

    dispatcher.add("rename", [&](const ParamReader& params) {
        const auto path = pathParam(params);
        const auto newName = params.string("new_name");
        json::object result;
        result["new_path"] = renameEntry(*partitionFor(partitions, params), path, newName);
        return HandlerResult(std::move(result));
    });

    // "dest_partition" copies to another partition, of this disk or another one, inside the VM.
    dispatcher.add("copy_file", [&](const ParamReader& params) {
        const auto source = pathParam(params);
        const auto destination = pathParam(params, "dest_path");
        const auto from = partitionFor(partitions, params);
        const auto destPartition = params.optionalString("dest_partition");
        const auto to = destPartition ? partitions.select(destPartition) : from;
        copyEntry(*from, source, *to, destination);
        return HandlerResult(true);
    });

    // Moves an entry to another place of its partition in one rename; never replaces.
    dispatcher.add("move", [&](const ParamReader& params) {
        const auto source = pathParam(params);
        const auto destination = pathParam(params, "dest_path");
        json::object result;
        result["new_path"] = moveEntry(*partitionFor(partitions, params), source, destination);
        return HandlerResult(std::move(result));
    });

    dispatcher.add("create_symlink", [&](const ParamReader& params) {
        const auto path = pathParam(params);
        createSymlink(*partitionFor(partitions, params), path, params.string("target"),
                      timeParam(params), params.optionalBool("replace").value_or(false));
        return HandlerResult(true);
    });

    dispatcher.add("set_attributes", [&](const ParamReader& params) {
        const auto path = pathParam(params);
        setAttributes(*partitionFor(partitions, params), path, modeParam(params),
                      timeParam(params));
        return HandlerResult(true);
    });

    dispatcher.add("create_directory", [&](const ParamReader& params) {
        const auto path = pathParam(params);
        createDirectory(*partitionFor(partitions, params), path);
        return HandlerResult(true);
    });

    dispatcher.add("delete", [&](const ParamReader& params) {
        const auto path = pathParam(params);
        deleteEntry(*partitionFor(partitions, params), path);
        return HandlerResult(true);
    });

    // With "disk" (a whole-disk name), only that disk's partitions: one card is ejected while
    // the others stay mounted.
    dispatcher.add("sync", [&](const ParamReader& params) {
        if (const auto disk = diskParam(params))
            partitions.syncDisk(*disk);
        else
            partitions.sync();
        return HandlerResult(true);
    });

    dispatcher.add("unmount", [&, uploads, cursors](const ParamReader& params) {
        // Uploads, listings and searches hold directories open: they end first, or the card
        // stays in use.
        if (const auto disk = diskParam(params)) {
            for (const dev_t device : partitions.devicesOn(*disk)) {
                uploads->endOnDevice(device);
                cursors.endOnDevice(device);
                dispatcher.release(device);
            }
            partitions.unmountDisk(*disk);
        } else {
            uploads->endAll();
            cursors.endAll();
            dispatcher.release(std::nullopt);
            partitions.unmountAll();
        }
        return HandlerResult(true);
    });
}

}  // namespace quorvale::agent
