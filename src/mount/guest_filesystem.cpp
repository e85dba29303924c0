#include "mount/guest_filesystem.h"

#include <unistd.h>

#include <cerrno>
#include <coroutine>

#include "guest/vsock_transport.h"
#include "mount/guest_attributes.h"
#include "mount/open_state.h"
#include "rpc/utf8_text.h"

namespace quorvale::mount {

GuestFilesystem::GuestFilesystem(guest::VsockTransport& transport, FilesystemOptions options)
    : transport_(transport), options_(std::move(options)), owner_(::getuid()), group_(::getgid()) {}

GuestFilesystem::~GuestFilesystem() = default;

QCoro::Task<void> GuestFilesystem::prepare() {
    rpc::Params params{{"path", "/"}};
    const auto root = co_await call("fs_stat", std::move(params));
    nodes_ = NodeTable(static_cast<std::uint64_t>(attributes(root).st_ino));
}

void GuestFilesystem::lose() {
    if (lost_)
        return;
    lost_ = true;
    wake();
    emit channelLost();
}

void GuestFilesystem::wake() {
    auto waiting = std::exchange(waiters_, {});
    for (auto& resume : waiting)
        resume();
}

QCoro::Task<void> GuestFilesystem::settle() {
    co_await writesDone(nullptr);
}

QCoro::Task<void> GuestFilesystem::writesDone(std::shared_ptr<OpenFile> file) {
    while (file ? file->writing > 0 : writesInFlight_ > 0)
        co_await Wakeup{waiters_};
}

QCoro::Task<rpc::AnyCodable> GuestFilesystem::call(std::string method, rpc::Params params,
                                                   std::chrono::milliseconds timeout) {
    if (lost_)
        throw FilesystemError{EIO};
    params["partition"] = options_.partition;
    // The call runs on its own; this request stops waiting for it the moment the channel is
    // given up, whether or not the guest ever answers.
    auto outcome = std::make_shared<CallOutcome>();
    [](guest::VsockTransport& transport, std::string method, rpc::Params params,
       std::chrono::milliseconds timeout, std::shared_ptr<CallOutcome> outcome,
       QPointer<GuestFilesystem> self) -> QCoro::Task<void> {
        try {
            auto result = co_await transport.send(std::move(method), std::move(params), timeout);
            outcome->result = result ? std::move(*result) : rpc::AnyCodable();
        } catch (...) {
            outcome->error = std::current_exception();
        }
        outcome->done = true;
        if (self)
            self->wake();
    }(transport_, std::move(method), std::move(params), timeout, outcome, QPointer(this));
    while (!outcome->done && !lost_)
        co_await Wakeup{waiters_};
    if (!outcome->done)
        throw FilesystemError{EIO};
    if (outcome->error) {
        bool channelLost = false;
        const int error = errnoFor(outcome->error, &channelLost);
        if (channelLost)
            lose();
        throw FilesystemError{error};
    }
    co_return std::move(outcome->result);
}

std::string GuestFilesystem::pathOf(fuse_ino_t ino) const {
    auto path = nodes_.path(ino);
    if (!path)
        throw FilesystemError{ESTALE};
    return *path;
}

std::string GuestFilesystem::childPathOf(fuse_ino_t parent, const std::string& name) const {
    auto path = nodes_.childPath(parent, name);
    if (!path)
        throw FilesystemError{ESTALE};
    return *path;
}

struct stat GuestFilesystem::attributes(const rpc::AnyCodable& attr) const {
    return attributesFrom(attr.json(), owner_, group_);
}

fuse_entry_param GuestFilesystem::entryFor(fuse_ino_t parent, const std::string& name,
                                           const struct stat& st) {
    fuse_entry_param e{};
    e.ino = nodes_.idOf(st.st_ino);
    e.attr = st;
    e.attr_timeout = options_.cacheSeconds;
    e.entry_timeout = options_.cacheSeconds;
    nodes_.remember(parent, name, e.ino);
    return e;
}

void GuestFilesystem::replyError(fuse_req_t req, int error) {
    fuse_reply_err(req, error);
}

int GuestFilesystem::errorOf(std::exception_ptr error) {
    return errnoFor(std::move(error));
}

void GuestFilesystem::lookup(fuse_req_t req, fuse_ino_t parent, std::string name) {
    start([=, this] { return lookupTask(req, parent, name); });
}

QCoro::Task<void> GuestFilesystem::lookupTask(fuse_req_t req, fuse_ino_t parent, std::string name) {
    int error = 0;
    try {
        co_await writesDone(nullptr);
        rpc::Params params{{"path", childPathOf(parent, name)}};
        const auto attr = co_await call("fs_stat", std::move(params));
        const auto e = entryFor(parent, name, attributes(attr));
        fuse_reply_entry(req, &e);
        co_return;
    } catch (...) {
        error = errorOf(std::current_exception());
    }
    if (error == ENOENT) {
        // Remembered as absent for as long as names are.
        fuse_entry_param none{};
        none.entry_timeout = options_.cacheSeconds;
        fuse_reply_entry(req, &none);
        co_return;
    }
    replyError(req, error);
}

void GuestFilesystem::forget(fuse_ino_t ino, std::uint64_t count) {
    nodes_.forget(ino, count);
}

void GuestFilesystem::getattr(fuse_req_t req, fuse_ino_t ino, std::optional<std::uint64_t> fh) {
    start([=, this] { return getattrTask(req, ino, fh); });
}

QCoro::Task<void> GuestFilesystem::getattrTask(fuse_req_t req, fuse_ino_t ino,
                                               std::optional<std::uint64_t> fh) {
    try {
        co_await writesDone(nullptr);
        rpc::AnyCodable attr;
        // An open file is asked through its handle: it may have no name any more.
        const auto file = fh ? files_.find(*fh) : files_.end();
        rpc::Params params;
        if (file != files_.end())
            params["handle"] = file->second->handle;
        else
            params["path"] = pathOf(ino);
        attr = co_await call(file != files_.end() ? "fs_setattr" : "fs_stat", std::move(params));
        auto st = attributes(attr);
        fuse_reply_attr(req, &st, options_.cacheSeconds);
    } catch (...) {
        replyError(req, errorOf(std::current_exception()));
    }
}

void GuestFilesystem::setattr(fuse_req_t req, fuse_ino_t ino, struct stat attr, int toSet,
                              std::optional<std::uint64_t> fh) {
    start([=, this] { return setattrTask(req, ino, attr, toSet, fh); });
}

QCoro::Task<void> GuestFilesystem::setattrTask(fuse_req_t req, fuse_ino_t ino, struct stat attr,
                                               int toSet, std::optional<std::uint64_t> fh) {
    const auto nanoseconds = [](const timespec& t) {
        return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
    };
    try {
        // Owners stay as they are on the card: only a change to what is shown already passes.
        if (((toSet & FUSE_SET_ATTR_UID) && attr.st_uid != owner_) ||
            ((toSet & FUSE_SET_ATTR_GID) && attr.st_gid != group_))
            throw FilesystemError{EPERM};
        co_await writesDone(nullptr);
        rpc::Params params;
        const auto file = fh ? files_.find(*fh) : files_.end();
        if (file != files_.end())
            params["handle"] = file->second->handle;
        else
            params["path"] = pathOf(ino);
        if (toSet & FUSE_SET_ATTR_MODE)
            params["mode"] = static_cast<std::int64_t>(attr.st_mode & 07777);
        if (toSet & FUSE_SET_ATTR_SIZE) {
            params["size"] = static_cast<std::int64_t>(attr.st_size);
            ++writeGeneration_;
        }
        if (toSet & FUSE_SET_ATTR_ATIME_NOW)
            params["atime_now"] = true;
        else if (toSet & FUSE_SET_ATTR_ATIME)
            params["atime"] = nanoseconds(attr.st_atim);
        if (toSet & FUSE_SET_ATTR_MTIME_NOW)
            params["mtime_now"] = true;
        else if (toSet & FUSE_SET_ATTR_MTIME)
            params["mtime"] = nanoseconds(attr.st_mtim);
        // Nothing to change (an owner set to what it shows): the attributes as they are.
        const char* method =
            params.size() == 1 && params.contains("path") ? "fs_stat" : "fs_setattr";
        const auto result = co_await call(method, std::move(params));
        auto st = attributes(result);
        fuse_reply_attr(req, &st, options_.cacheSeconds);
    } catch (...) {
        replyError(req, errorOf(std::current_exception()));
    }
}

void GuestFilesystem::readlink(fuse_req_t req, fuse_ino_t ino) {
    start([=, this] { return readlinkTask(req, ino); });
}

QCoro::Task<void> GuestFilesystem::readlinkTask(fuse_req_t req, fuse_ino_t ino) {
    try {
        rpc::Params params{{"path", pathOf(ino)}};
        const auto target = co_await call("fs_readlink", std::move(params));
        const auto text = target.stringValue();
        if (!text)
            throw FilesystemError{EIO};
        const std::string bytes = rpc::unescapeName(*text);
        if (bytes.empty() || bytes.find('\0') != std::string::npos)
            throw FilesystemError{EIO};
        fuse_reply_readlink(req, bytes.c_str());
    } catch (...) {
        replyError(req, errorOf(std::current_exception()));
    }
}

void GuestFilesystem::mkdir(fuse_req_t req, fuse_ino_t parent, std::string name, mode_t mode) {
    start([=, this] {
        return createEntryTask(req, parent, name, "fs_mkdir",
                               {{"mode", static_cast<std::int64_t>(mode & 07777)}});
    });
}

void GuestFilesystem::symlink(fuse_req_t req, std::string target, fuse_ino_t parent,
                              std::string name) {
    start([=, this] {
        return createEntryTask(req, parent, name, "fs_symlink",
                               {{"target", rpc::escapeName(target)}});
    });
}

QCoro::Task<void> GuestFilesystem::createEntryTask(fuse_req_t req, fuse_ino_t parent,
                                                   std::string name, std::string method,
                                                   rpc::Params params) {
    try {
        co_await writesDone(nullptr);
        params["path"] = childPathOf(parent, name);
        const auto attr = co_await call(std::move(method), std::move(params));
        const auto e = entryFor(parent, name, attributes(attr));
        fuse_reply_entry(req, &e);
    } catch (...) {
        replyError(req, errorOf(std::current_exception()));
    }
}

void GuestFilesystem::unlink(fuse_req_t req, fuse_ino_t parent, std::string name, bool directory) {
    start([=, this] { return unlinkTask(req, parent, name, directory); });
}

QCoro::Task<void> GuestFilesystem::unlinkTask(fuse_req_t req, fuse_ino_t parent, std::string name,
                                              bool directory) {
    try {
        co_await writesDone(nullptr);
        rpc::Params params{{"path", childPathOf(parent, name)}};
        co_await call(directory ? "fs_rmdir" : "fs_unlink", std::move(params));
        nodes_.dropName(parent, name);
        replyError(req, 0);
    } catch (...) {
        replyError(req, errorOf(std::current_exception()));
    }
}

void GuestFilesystem::rename(fuse_req_t req, fuse_ino_t parent, std::string name,
                             fuse_ino_t newParent, std::string newName, unsigned flags) {
    start([=, this] { return renameTask(req, parent, name, newParent, newName, flags); });
}

QCoro::Task<void> GuestFilesystem::renameTask(fuse_req_t req, fuse_ino_t parent, std::string name,
                                              fuse_ino_t newParent, std::string newName,
                                              unsigned flags) {
    try {
        if (flags & ~static_cast<unsigned>(RENAME_NOREPLACE | RENAME_EXCHANGE))
            throw FilesystemError{EINVAL};
        co_await writesDone(nullptr);
        const char* mode = (flags & RENAME_EXCHANGE)    ? "exchange"
                           : (flags & RENAME_NOREPLACE) ? "noreplace"
                                                        : "replace";
        rpc::Params params{{"path", childPathOf(parent, name)},
                           {"dest_path", childPathOf(newParent, newName)},
                           {"mode", mode}};
        co_await call("fs_rename", std::move(params));
        if (flags & RENAME_EXCHANGE)
            nodes_.exchange(parent, name, newParent, newName);
        else
            nodes_.rename(parent, name, newParent, newName);
        replyError(req, 0);
    } catch (...) {
        replyError(req, errorOf(std::current_exception()));
    }
}

void GuestFilesystem::link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t newParent,
                           std::string newName) {
    start([=, this] { return linkTask(req, ino, newParent, newName); });
}

QCoro::Task<void> GuestFilesystem::linkTask(fuse_req_t req, fuse_ino_t ino, fuse_ino_t newParent,
                                            std::string newName) {
    try {
        co_await writesDone(nullptr);
        rpc::Params params{{"path", pathOf(ino)}, {"dest_path", childPathOf(newParent, newName)}};
        const auto attr = co_await call("fs_link", std::move(params));
        const auto e = entryFor(newParent, newName, attributes(attr));
        fuse_reply_entry(req, &e);
    } catch (...) {
        replyError(req, errorOf(std::current_exception()));
    }
}

void GuestFilesystem::statfs(fuse_req_t req) {
    start([=, this] { return statfsTask(req); });
}

QCoro::Task<void> GuestFilesystem::statfsTask(fuse_req_t req) {
    try {
        const auto result = co_await call("fs_statfs", rpc::Params());
        const auto s = statisticsFrom(result.json());
        fuse_reply_statfs(req, &s);
    } catch (...) {
        replyError(req, errorOf(std::current_exception()));
    }
}

}  // namespace quorvale::mount
