#include "agent/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>

#include "agent/agent_error.h"
#include "agent/chunk_order.h"
#include "agent/listing.h"
#include "agent/partition.h"
#include "agent/temporary_file.h"
#include "agent/uploads.h"
#include "rpc/base64.h"

namespace quorvale::agent {

namespace {

// Direct writes need block-aligned memory, offsets and sizes; small ones are not worth it.
constexpr std::size_t directMinimumBytes = std::size_t{64} << 10;

void writeAllAt(int fd, std::string_view data, std::int64_t offset, const std::string& display) {
    while (!data.empty()) {
        const auto n = ::pwrite(fd, data.data(), data.size(), offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw AgentError::system(errno, display);
        }
        data.remove_prefix(static_cast<std::size_t>(n));
        offset += n;
    }
}

// Writes a chunk of an upload. Whole aligned blocks go to the disk directly, past the page
// cache: the guest copies nothing (under emulation its copies are the slowest part of an
// upload), dirty pages do not pile up for the final fsync, and a chunk acknowledged is on the
// disk. Filesystems without direct I/O, and odd sizes, take the ordinary path.
//
// O_DIRECT is a flag of the open file description, which every chunk of an upload shares: the
// upload's lock keeps another chunk from writing (or taking its flags) while a chunk has it
// set, or an unaligned chunk would fail with EINVAL. Other uploads have files of their own.
void writeChunkAt(Upload& upload, std::string_view data, std::int64_t offset,
                  const std::string& display) {
    const std::lock_guard lock(upload.writeMutex);
    const int fd = upload.file.fd();
    const auto address = reinterpret_cast<std::uintptr_t>(data.data());
    const bool aligned = offset % directAlignment == 0 && data.size() % directAlignment == 0 &&
                         address % directAlignment == 0 && data.size() >= directMinimumBytes;
    const int flags = ::fcntl(fd, F_GETFL);
    if (!aligned || flags < 0 || ::fcntl(fd, F_SETFL, flags | O_DIRECT) != 0)
        return writeAllAt(fd, data, offset, display);
    const auto n = ::pwrite(fd, data.data(), data.size(), offset);
    ::fcntl(fd, F_SETFL, flags);
    if (n >= 0) {
        data.remove_prefix(static_cast<std::size_t>(n));
        offset += n;
    } else if (errno != EINVAL && errno != EINTR) {
        throw AgentError::system(errno, display);
    }
    writeAllAt(fd, data, offset, display);
}

}  // namespace

std::string readFile(Partition& partition, const RequestPath& path, std::int64_t maxBytes,
                     std::int64_t offset) {
    // Non-blocking so that a FIFO cannot stall the call; it is refused below anyway.
    const auto fd = partition.root.open(path, O_RDONLY | O_NONBLOCK);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throw AgentError::system(errno, path.display);
    if (S_ISDIR(st.st_mode))
        throw AgentError::system(EISDIR, path.display);
    if (!S_ISREG(st.st_mode))
        throw AgentError::systemDetail(EINVAL, "not a regular file: " + path.display);
    if (offset > st.st_size) {
        throw AgentError::systemDetail(EINVAL, "offset " + std::to_string(offset) +
                                                   " is past the end of " + path.display + " (" +
                                                   std::to_string(st.st_size) + " bytes)");
    }
    const auto wanted =
        static_cast<std::size_t>(std::min({maxBytes, maxReadBytes, st.st_size - offset}));
    // Not cleared first: only the bytes read are used.
    const auto data = std::make_unique_for_overwrite<char[]>(wanted);
    std::size_t done = 0;
    while (done < wanted) {
        const auto n = ::pread(fd.get(), data.get() + done, wanted - done,
                               offset + static_cast<std::int64_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw AgentError::system(errno, path.display);
        if (n == 0)
            break;  // the file shrank meanwhile
        done += static_cast<std::size_t>(n);
    }
    return rpc::base64Encode(std::string_view(data.get(), done));
}

void writeFile(Partition& partition, Uploads& uploads, std::uint64_t session,
               const RequestPath& path, const WriteChunk& chunk) {
    refuseRoot(path);
    auto dir = partition.root.openParent(path);
    if (!chunk.offset) {
        TemporaryFile file(std::move(dir), path);
        writeAllAt(file.fd(), chunk.data, 0, path.display);
        file.publish(path, chunk.publish);
        return;
    }

    const std::int64_t offset = *chunk.offset;
    std::shared_ptr<Upload> upload;
    if (offset == 0) {
        // Offset 0 starts the upload afresh, ending an earlier one to the same destination.
        upload = uploads.start(session, std::move(dir), path);
    } else {
        upload = uploads.find(Uploads::keyFor(session, dir.get(), path));
        if (!upload) {
            throw AgentError::systemDetail(EINVAL, "no upload in progress for " + path.display +
                                                       " (first chunk needs offset 0)");
        }
    }
    const int fd = upload->file.fd();
    if (const auto size = awaitUploadSize(fd, offset, path.display); offset != size) {
        throw AgentError::systemDetail(EINVAL, "chunk offset " + std::to_string(offset) +
                                                   " does not follow the " + std::to_string(size) +
                                                   " bytes uploaded to " + path.display);
    }
    {
        const ChunkWrite underWay(fd);
        writeChunkAt(*upload, chunk.data, offset, path.display);
    }
    if (!chunk.final)
        return;
    {
        std::lock_guard lock(upload->publishMutex);
        upload->file.publish(path, chunk.publish);
    }
    uploads.end(Uploads::keyFor(session, upload->file.dirFd(), path), upload.get());
}

bool abortUpload(Partition& partition, Uploads& uploads, std::uint64_t session,
                 const RequestPath& path) {
    refuseRoot(path);
    const auto dir = partition.root.openParent(path);
    return uploads.end(Uploads::keyFor(session, dir.get(), path));
}

}  // namespace quorvale::agent
