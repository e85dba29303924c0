#include "agent/posix_methods.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "agent/agent_error.h"
#include "agent/dispatcher.h"
#include "agent/file_io.h"
#include "agent/open_files.h"
#include "agent/partition.h"
#include "agent/posix_entries.h"
#include "rpc/base64.h"

namespace quorvale::agent {

namespace {

// Entries one "fs_readdir" call answers at most: bounded work, and a page of a few hundred KiB.
constexpr std::int64_t maxPageEntries = 2048;

std::shared_ptr<Partition> partitionFor(PartitionProvider& partitions, const ParamReader& params) {
    return partitions.select(params.optionalString("partition"));
}

RequestPath pathParam(const ParamReader& params, std::string_view member = "path") {
    return RequestPath::parse(params.string(member), member);
}

std::uint64_t handleParam(const ParamReader& params) {
    return static_cast<std::uint64_t>(params.integer("handle"));
}

int accessParam(const ParamReader& params) {
    const auto access = params.optionalString("access").value_or("read");
    if (access == "read")
        return O_RDONLY;
    if (access == "write")
        return O_WRONLY;
    if (access == "readwrite")
        return O_RDWR;
    throw AgentError::invalidParams("\"access\" is not read, write or readwrite");
}

mode_t modeParam(const ParamReader& params, mode_t fallback) {
    const auto mode = params.optionalInteger("mode");
    if (!mode)
        return fallback;
    if (*mode < 0 || *mode > 07777)
        throw AgentError::invalidParams("\"mode\" is not a permission mode");
    return static_cast<mode_t>(*mode);
}

// A time member: nanoseconds since the epoch; "<member>_now": true for the present.
std::optional<timespec> timeParam(const ParamReader& params, const std::string& member) {
    if (params.optionalBool(member + "_now").value_or(false))
        return timespec{0, UTIME_NOW};
    const auto ns = params.optionalInteger(member);
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

RenameMode renameModeParam(const ParamReader& params) {
    const auto mode = params.optionalString("mode").value_or("replace");
    if (mode == "replace")
        return RenameMode::replace;
    if (mode == "noreplace")
        return RenameMode::noReplace;
    if (mode == "exchange")
        return RenameMode::exchange;
    throw AgentError::invalidParams("\"mode\" is not replace, noreplace or exchange");
}

// {"handle": N, "attr": {...}}
std::string openedJSON(std::uint64_t handle, const struct stat& st) {
    return R"({"handle":)" + std::to_string(handle) + R"(,"attr":)" + attributesJSON(st) + "}";
}

std::string readAt(int fd, std::int64_t offset, std::int64_t size, const std::string& display) {
    std::string bytes(static_cast<std::size_t>(std::min(size, maxReadBytes)), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto n = ::pread(fd, bytes.data() + done, bytes.size() - done,
                               static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw AgentError::system(errno, display);
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return rpc::base64Encode(bytes);
}

std::size_t writeAt(int fd, std::int64_t offset, std::string_view text,
                    const std::string& display) {
    std::string bytes(text.size() / 4 * 3 + 3, '\0');
    const auto size = rpc::base64DecodeTo(text, bytes.data());
    if (!size)
        throw AgentError::invalidParams("\"data_b64\" is not valid base64");
    std::size_t done = 0;
    while (done < *size) {
        const auto n = ::pwrite(fd, bytes.data() + done, *size - done,
                                static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw AgentError::system(errno, display);
        done += static_cast<std::size_t>(n);
    }
    return done;
}

}  // namespace

void addPosixMethods(Dispatcher& dispatcher, PartitionProvider& partitions) {
    const auto files = std::make_shared<OpenFiles>();
    dispatcher.onSessionEnd([files](std::uint64_t session) { files->endSession(session); });
    dispatcher.onRelease([files](std::optional<dev_t> device) { files->endOnDevice(device); });

    dispatcher.add("fs_stat", [&](const ParamReader& params) {
        const auto path = pathParam(params);
        return HandlerResult::jsonText(
            attributesJSON(statPath(*partitionFor(partitions, params), path)));
    });

    dispatcher.add("fs_readdir", [&](const ParamReader& params) {
        const auto path = pathParam(params);
        const auto offset = params.optionalInteger("offset").value_or(0);
        const auto most = std::clamp<std::int64_t>(
            params.optionalCount("max_entries").value_or(maxPageEntries), 1, maxPageEntries);
        return HandlerResult::jsonText(readDirectoryPage(*partitionFor(partitions, params), path,
                                                         offset, static_cast<std::size_t>(most)));
    });

    dispatcher.add("fs_open", [&, files](const ParamReader& params, const CallContext& context) {
        const auto path = pathParam(params);
        OpenRequest request;
        request.access = accessParam(params);
        request.truncate = params.optionalBool("truncate").value_or(false);
        request.create = params.optionalBool("create").value_or(false);
        request.exclusive = params.optionalBool("exclusive").value_or(false);
        request.mode = modeParam(params, 0644);
        auto fd = openRegularFile(*partitionFor(partitions, params), path, request);
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0)
            throw AgentError::system(errno, path.display);
        return HandlerResult::jsonText(openedJSON(files->add(context.session, std::move(fd)), st));
    });

    dispatcher.add("fs_read", [files](const ParamReader& params, const CallContext& context) {
        const auto file = files->find(context.session, handleParam(params));
        const auto offset = params.optionalCount("offset").value_or(0);
        const auto size = params.optionalCount("size").value_or(maxReadBytes);
        return HandlerResult::plainString(readAt(file->fd.get(), offset, size, "open file"));
    });

    dispatcher.add("fs_write", [files](const ParamReader& params, const CallContext& context) {
        const auto file = files->find(context.session, handleParam(params));
        const auto offset = params.optionalCount("offset").value_or(0);
        return HandlerResult(static_cast<std::int64_t>(
            writeAt(file->fd.get(), offset, params.string("data_b64"), "open file")));
    });

    // Flushes an open file, or with "path" an entry (a folder's own changes).
    dispatcher.add("fs_fsync", [&, files](const ParamReader& params, const CallContext& context) {
        const bool dataOnly = params.optionalBool("data_only").value_or(false);
        std::shared_ptr<OpenFile> file;
        UniqueFd opened;
        int fd = -1;
        if (params.optionalInteger("handle")) {
            file = files->find(context.session, handleParam(params));
            fd = file->fd.get();
        } else {
            opened = openInPartition(*partitionFor(partitions, params), pathParam(params),
                                     O_RDONLY | O_DIRECTORY);
            fd = opened.get();
        }
        if ((dataOnly ? ::fdatasync(fd) : ::fsync(fd)) != 0)
            throw AgentError::systemDetail(errno, "flushing to the disk");
        return HandlerResult(true);
    });

    dispatcher.add("fs_release", [files](const ParamReader& params, const CallContext& context) {
        return HandlerResult(files->release(context.session, handleParam(params)));
    });

    // Changes any of "mode", "size", "atime", "mtime" of "path", or of the open file "handle".
    dispatcher.add("fs_setattr", [&, files](const ParamReader& params, const CallContext& context) {
        AttributeChange change;
        if (params.optionalInteger("mode"))
            change.mode = modeParam(params, 0);
        change.size = params.optionalCount("size");
        change.atime = timeParam(params, "atime");
        change.mtime = timeParam(params, "mtime");
        std::shared_ptr<OpenFile> file;
        if (params.optionalInteger("handle"))
            file = files->find(context.session, handleParam(params));
        const auto path =
            params.optionalString("path") ? pathParam(params) : RequestPath::parse("/");
        if (!file && !params.optionalString("path"))
            throw AgentError::invalidParams("\"path\" or \"handle\" is needed");
        return HandlerResult::jsonText(attributesJSON(changeAttributes(
            *partitionFor(partitions, params), path, file ? file->fd.get() : -1, change)));
    });

    dispatcher.add("fs_mkdir", [&](const ParamReader& params) {
        const auto path = pathParam(params);
        return HandlerResult::jsonText(attributesJSON(
            makeDirectory(*partitionFor(partitions, params), path, modeParam(params, 0755))));
    });

    dispatcher.add("fs_symlink", [&](const ParamReader& params) {
        const auto path = pathParam(params);
        return HandlerResult::jsonText(attributesJSON(
            makeSymlink(*partitionFor(partitions, params), path, params.string("target"))));
    });

    dispatcher.add("fs_link", [&](const ParamReader& params) {
        const auto existing = pathParam(params);
        const auto path = pathParam(params, "dest_path");
        return HandlerResult::jsonText(
            attributesJSON(makeHardLink(*partitionFor(partitions, params), existing, path)));
    });

    dispatcher.add("fs_readlink", [&](const ParamReader& params) {
        const auto path = pathParam(params);
        return HandlerResult(
            boost::json::value(readSymlink(*partitionFor(partitions, params), path)));
    });

    dispatcher.add("fs_unlink", [&](const ParamReader& params) {
        removeEntry(*partitionFor(partitions, params), pathParam(params), false);
        return HandlerResult(true);
    });

    dispatcher.add("fs_rmdir", [&](const ParamReader& params) {
        removeEntry(*partitionFor(partitions, params), pathParam(params), true);
        return HandlerResult(true);
    });

    dispatcher.add("fs_rename", [&](const ParamReader& params) {
        const auto from = pathParam(params);
        const auto to = pathParam(params, "dest_path");
        renamePath(*partitionFor(partitions, params), from, to, renameModeParam(params));
        return HandlerResult(true);
    });

    dispatcher.add("fs_statfs", [&](const ParamReader& params) {
        return HandlerResult::jsonText(filesystemStatistics(*partitionFor(partitions, params)));
    });
}

}  // namespace quorvale::agent
