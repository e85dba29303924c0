// Open files of GuestFilesystem: opening and creating, reads served from read-ahead windows,
// writes sent behind the caller, flush, fsync and release.

#include <algorithm>
#include <cerrno>

#include "mount/guest_attributes.h"
#include "mount/guest_filesystem.h"
#include "mount/open_state.h"
#include "rpc/base64.h"

namespace quorvale::mount {

namespace {

// Bytes one read-ahead call fetches, and writes a file may have in flight: a few large calls
// keep the channel busy without holding much memory.
constexpr off_t windowBytes = off_t{4} << 20;
constexpr int maxWritesAhead = 4;

std::string decoded(const rpc::AnyCodable& result) {
    const auto text = result.stringValue();
    if (!text)
        throw FilesystemError{EIO};
    auto bytes = rpc::base64Decode(*text);
    if (!bytes)
        throw FilesystemError{EIO};
    return std::move(*bytes);
}

// Parameters built outside co_await expressions: GCC 12 cannot keep a braced list's array alive
// across a suspension.
rpc::Params handleParams(std::int64_t handle) {
    return {{"handle", handle}};
}

rpc::Params readParams(std::int64_t handle, off_t offset, std::int64_t size) {
    return {{"handle", handle}, {"offset", offset}, {"size", size}};
}

const char* accessOf(int flags) {
    switch (flags & O_ACCMODE) {
        case O_WRONLY:
            return "write";
        case O_RDWR:
            return "readwrite";
        default:
            return "read";
    }
}

}  // namespace

void GuestFilesystem::open(fuse_req_t req, fuse_ino_t ino, fuse_file_info fi) {
    start([=, this] { return openTask(req, ino, std::nullopt, 0, fi.flags); });
}

void GuestFilesystem::create(fuse_req_t req, fuse_ino_t parent, std::string name, mode_t mode,
                             fuse_file_info fi) {
    start([=, this] { return openTask(req, parent, name, mode, fi.flags); });
}

QCoro::Task<void> GuestFilesystem::openTask(fuse_req_t req, fuse_ino_t ino,
                                            std::optional<std::string> name, mode_t mode,
                                            int flags) {
    try {
        co_await writesDone(nullptr);
        rpc::Params params{{"access", accessOf(flags)}, {"truncate", (flags & O_TRUNC) != 0}};
        if (name) {
            params["path"] = childPathOf(ino, *name);
            params["create"] = true;
            params["exclusive"] = (flags & O_EXCL) != 0;
            params["mode"] = static_cast<std::int64_t>(mode & 07777);
        } else {
            params["path"] = pathOf(ino);
        }
        if (flags & O_TRUNC)
            ++writeGeneration_;
        const auto result = co_await call("fs_open", std::move(params));
        const auto* object = result.objectValue();
        const auto* handle = object ? object->if_contains("handle") : nullptr;
        if (!handle || !handle->is_int64())
            throw FilesystemError{EIO};
        const auto st = attributesFrom(object->at("attr"), owner_, group_);
        auto file = std::make_shared<OpenFile>();
        file->handle = handle->get_int64();
        const auto fh = ++lastHandle_;
        files_.emplace(fh, file);
        fuse_file_info fi{};
        fi.fh = fh;
        int sent = 0;
        if (name) {
            const auto e = entryFor(ino, *name, st);
            sent = fuse_reply_create(req, &e, &fi);
        } else {
            sent = fuse_reply_open(req, &fi);
        }
        if (sent != 0) {  // the caller is gone: nobody will release it
            files_.erase(fh);
            co_await call("fs_release", handleParams(file->handle));
        }
    } catch (...) {
        replyError(req, errorOf(std::current_exception()));
    }
}

void GuestFilesystem::read(fuse_req_t req, std::uint64_t fh, std::size_t size, off_t offset) {
    start([=, this] { return readTask(req, fh, size, offset); });
}

QCoro::Task<void> GuestFilesystem::fetchWindow(std::shared_ptr<OpenFile> file, off_t offset) {
    auto window = std::make_shared<ReadWindow>();
    window->start = offset;
    window->generation = writeGeneration_;
    file->windows.push_back(window);
    try {
        window->bytes =
            decoded(co_await call("fs_read", readParams(file->handle, offset, windowBytes)));
        window->end = static_cast<off_t>(window->bytes.size()) < windowBytes;
        window->ready = true;
    } catch (...) {
        window->failed = true;
    }
    wake();
}

QCoro::Task<void> GuestFilesystem::readTask(fuse_req_t req, std::uint64_t fh, std::size_t size,
                                            off_t offset) {
    try {
        co_await writesDone(nullptr);
        const auto it = files_.find(fh);
        if (it == files_.end())
            throw FilesystemError{EBADF};
        const auto file = it->second;
        // Windows a write made stale, or left behind the reader, go.
        std::erase_if(file->windows, [&](const auto& w) {
            return w->generation != writeGeneration_ || w->failed ||
                   (w->ready && w->stop() < offset && w->start + windowBytes <= offset);
        });
        const auto covering = [&]() -> std::shared_ptr<ReadWindow> {
            for (const auto& w : file->windows)
                if (w->start <= offset && offset < w->start + windowBytes)
                    return w;
            return nullptr;
        };
        auto window = covering();
        if (!window && offset == file->nextRead) {
            start([=, this] { return fetchWindow(file, offset); });
            window = covering();
        }
        while (window && !window->ready && !window->failed && !lost_)
            co_await Wakeup{waiters_};
        std::string bytes;
        if (window && window->ready && offset < window->stop()) {
            const auto from = static_cast<std::size_t>(offset - window->start);
            bytes = window->bytes.substr(from, std::min(size, window->bytes.size() - from));
            const off_t next = window->stop();
            const bool ahead = std::any_of(file->windows.begin(), file->windows.end(),
                                           [&](const auto& w) { return w->start == next; });
            if (!window->end && !ahead &&
                offset + static_cast<off_t>(size) > window->start + windowBytes / 2)
                start([=, this] { return fetchWindow(file, next); });
        } else if (!(window && window->ready && window->end)) {
            bytes = decoded(co_await call("fs_read", readParams(file->handle, offset, size)));
        }
        // The rest of a read that runs past its window.
        if (bytes.size() < size && window && window->ready && !window->end &&
            offset + static_cast<off_t>(bytes.size()) == window->stop()) {
            bytes += decoded(co_await call(
                "fs_read", readParams(file->handle, window->stop(), size - bytes.size())));
        }
        file->nextRead = offset + static_cast<off_t>(bytes.size());
        fuse_reply_buf(req, bytes.data(), bytes.size());
    } catch (...) {
        replyError(req, errorOf(std::current_exception()));
    }
}

void GuestFilesystem::write(fuse_req_t req, std::uint64_t fh, std::string data, std::size_t size,
                            off_t offset) {
    start([=, this] { return writeTask(req, fh, data, size, offset); });
}

QCoro::Task<void> GuestFilesystem::writeTask(fuse_req_t req, std::uint64_t fh, std::string data,
                                             std::size_t size, off_t offset) {
    try {
        const auto it = files_.find(fh);
        if (it == files_.end())
            throw FilesystemError{EBADF};
        const auto file = it->second;
        // Writes in flight run side by side in the guest: one that overlaps them waits.
        const off_t stop = offset + static_cast<off_t>(size);
        const auto overlaps = [&] {
            return std::any_of(file->ranges.begin(), file->ranges.end(),
                               [&](const auto& r) { return r.first < stop && offset < r.second; });
        };
        while ((file->writing >= maxWritesAhead || overlaps()) && !lost_ && !file->error)
            co_await Wakeup{waiters_};
        if (const int error = std::exchange(file->error, 0))
            throw FilesystemError{error};
        if (lost_)
            throw FilesystemError{EIO};
        ++writeGeneration_;
        ++file->writing;
        ++writesInFlight_;
        file->ranges.emplace_back(offset, stop);
        start([=, this] { return writeBehind(file, data, offset); });
        fuse_reply_write(req, size);
    } catch (...) {
        replyError(req, errorOf(std::current_exception()));
    }
}

QCoro::Task<void> GuestFilesystem::writeBehind(std::shared_ptr<OpenFile> file, std::string data,
                                               off_t offset) {
    const auto size = static_cast<std::int64_t>(data.size() / 4 * 3 - (data.ends_with("==")  ? 2
                                                                       : data.ends_with("=") ? 1
                                                                                             : 0));
    try {
        rpc::Params params = handleParams(file->handle);
        params["offset"] = offset;
        params["data_b64"] = std::move(data);
        const auto written = co_await call("fs_write", std::move(params));
        if (written.intValue() != size && !file->error)
            file->error = EIO;
    } catch (...) {
        if (!file->error)
            file->error = errorOf(std::current_exception());
    }
    std::erase_if(file->ranges, [&](const auto& r) { return r.first == offset; });
    --file->writing;
    --writesInFlight_;
    ++writeGeneration_;
    wake();
}

void GuestFilesystem::flush(fuse_req_t req, std::uint64_t fh) {
    start([=, this] { return flushTask(req, fh, false); });
}

void GuestFilesystem::release(fuse_req_t req, std::uint64_t fh) {
    start([=, this] { return flushTask(req, fh, true); });
}

QCoro::Task<void> GuestFilesystem::flushTask(fuse_req_t req, std::uint64_t fh, bool release) {
    const auto it = files_.find(fh);
    if (it == files_.end()) {
        replyError(req, release ? 0 : EBADF);
        co_return;
    }
    const auto file = it->second;
    co_await writesDone(file);
    const int error = std::exchange(file->error, 0);
    if (release) {
        files_.erase(fh);
        try {
            co_await call("fs_release", handleParams(file->handle));
        } catch (const FilesystemError&) {
            // Nothing is lost: the guest closes it with the connection at the latest.
        }
    }
    replyError(req, release ? 0 : error);
}

void GuestFilesystem::fsync(fuse_req_t req, std::optional<std::uint64_t> fh, fuse_ino_t ino,
                            bool dataOnly) {
    start([=, this] { return fsyncTask(req, fh, ino, dataOnly); });
}

QCoro::Task<void> GuestFilesystem::fsyncTask(fuse_req_t req, std::optional<std::uint64_t> fh,
                                             fuse_ino_t ino, bool dataOnly) {
    try {
        rpc::Params params{{"data_only", dataOnly}};
        const auto it = fh ? files_.find(*fh) : files_.end();
        if (it != files_.end()) {
            co_await writesDone(it->second);
            if (const int error = std::exchange(it->second->error, 0))
                throw FilesystemError{error};
            params["handle"] = it->second->handle;
        } else {
            params["path"] = pathOf(ino);
        }
        co_await call("fs_fsync", std::move(params), std::chrono::seconds(120));
        replyError(req, 0);
    } catch (...) {
        replyError(req, errorOf(std::current_exception()));
    }
}

}  // namespace quorvale::mount
