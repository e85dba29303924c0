#include "mount/fuse_bridge.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QtCore/QMetaObject>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "mount/guest_filesystem.h"
#include "rpc/base64.h"

namespace quorvale::mount {

namespace {

GuestFilesystem& filesystemOf(fuse_req_t req) {
    return *static_cast<GuestFilesystem*>(fuse_req_userdata(req));
}

// Runs `work` on the filesystem's thread.
template <typename Work>
void post(fuse_req_t req, Work work) {
    GuestFilesystem* fs = &filesystemOf(req);
    QMetaObject::invokeMethod(
        fs, [fs, work = std::move(work)]() mutable { work(*fs); }, Qt::QueuedConnection);
}

std::optional<std::uint64_t> handleOf(const fuse_file_info* fi) {
    if (!fi)
        return std::nullopt;
    return fi->fh;
}

void init(void*, fuse_conn_info* conn) {
    // Large calls cost the channel least: take writes of up to 1 MiB.
    conn->max_write = 1 << 20;
    conn->max_readahead = 1 << 20;
    if (conn->capable & FUSE_CAP_ATOMIC_O_TRUNC)
        conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    if (conn->capable & FUSE_CAP_READDIRPLUS)
        conn->want |= FUSE_CAP_READDIRPLUS;
    conn->want &= ~static_cast<unsigned>(FUSE_CAP_WRITEBACK_CACHE | FUSE_CAP_SPLICE_READ);
}

fuse_lowlevel_ops operations() {
    fuse_lowlevel_ops ops{};
    ops.init = init;
    ops.lookup = [](fuse_req_t req, fuse_ino_t parent, const char* name) {
        post(req, [=, name = std::string(name)](auto& fs) { fs.lookup(req, parent, name); });
    };
    ops.forget = [](fuse_req_t req, fuse_ino_t ino, uint64_t count) {
        post(req, [=](auto& fs) { fs.forget(ino, count); });
        fuse_reply_none(req);
    };
    ops.forget_multi = [](fuse_req_t req, size_t count, fuse_forget_data* forgets) {
        std::vector<fuse_forget_data> copy(forgets, forgets + count);
        post(req, [copy = std::move(copy)](auto& fs) {
            for (const auto& f : copy)
                fs.forget(f.ino, f.nlookup);
        });
        fuse_reply_none(req);
    };
    ops.getattr = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        post(req, [=, fh = handleOf(fi)](auto& fs) { fs.getattr(req, ino, fh); });
    };
    ops.setattr = [](fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet,
                     fuse_file_info* fi) {
        post(req, [=, attr = *attr, fh = handleOf(fi)](auto& fs) {
            fs.setattr(req, ino, attr, toSet, fh);
        });
    };
    ops.readlink = [](fuse_req_t req, fuse_ino_t ino) {
        post(req, [=](auto& fs) { fs.readlink(req, ino); });
    };
    // Device nodes, FIFOs and sockets are never made on a card from here.
    ops.mknod = [](fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) {
        fuse_reply_err(req, EPERM);
    };
    ops.mkdir = [](fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
        post(req, [=, name = std::string(name)](auto& fs) { fs.mkdir(req, parent, name, mode); });
    };
    ops.unlink = [](fuse_req_t req, fuse_ino_t parent, const char* name) {
        post(req, [=, name = std::string(name)](auto& fs) { fs.unlink(req, parent, name, false); });
    };
    ops.rmdir = [](fuse_req_t req, fuse_ino_t parent, const char* name) {
        post(req, [=, name = std::string(name)](auto& fs) { fs.unlink(req, parent, name, true); });
    };
    ops.symlink = [](fuse_req_t req, const char* target, fuse_ino_t parent, const char* name) {
        post(req, [=, target = std::string(target), name = std::string(name)](auto& fs) {
            fs.symlink(req, target, parent, name);
        });
    };
    ops.rename = [](fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
                    const char* newName, unsigned flags) {
        post(req, [=, name = std::string(name), newName = std::string(newName)](auto& fs) {
            fs.rename(req, parent, name, newParent, newName, flags);
        });
    };
    ops.link = [](fuse_req_t req, fuse_ino_t ino, fuse_ino_t newParent, const char* newName) {
        post(req, [=, newName = std::string(newName)](auto& fs) {
            fs.link(req, ino, newParent, newName);
        });
    };
    ops.open = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        post(req, [=, fi = *fi](auto& fs) { fs.open(req, ino, fi); });
    };
    ops.create = [](fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
                    fuse_file_info* fi) {
        post(req, [=, name = std::string(name), fi = *fi](auto& fs) {
            fs.create(req, parent, name, mode, fi);
        });
    };
    ops.read = [](fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
        post(req, [=, fh = fi->fh](auto& fs) { fs.read(req, fh, size, offset); });
    };
    ops.write = [](fuse_req_t req, fuse_ino_t, const char* buf, size_t size, off_t offset,
                   fuse_file_info* fi) {
        post(req, [=, fh = fi->fh, data = rpc::base64Encode({buf, size})](auto& fs) mutable {
            fs.write(req, fh, std::move(data), size, offset);
        });
    };
    ops.flush = [](fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
        post(req, [=, fh = fi->fh](auto& fs) { fs.flush(req, fh); });
    };
    ops.release = [](fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
        post(req, [=, fh = fi->fh](auto& fs) { fs.release(req, fh); });
    };
    ops.fsync = [](fuse_req_t req, fuse_ino_t ino, int dataOnly, fuse_file_info* fi) {
        post(req, [=, fh = handleOf(fi)](auto& fs) { fs.fsync(req, fh, ino, dataOnly != 0); });
    };
    ops.opendir = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
        post(req, [=](auto& fs) { fs.opendir(req, ino); });
    };
    ops.readdir = [](fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                     fuse_file_info* fi) {
        post(req, [=, fh = fi->fh](auto& fs) { fs.readdir(req, ino, fh, size, offset, false); });
    };
    ops.readdirplus = [](fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                         fuse_file_info* fi) {
        post(req, [=, fh = fi->fh](auto& fs) { fs.readdir(req, ino, fh, size, offset, true); });
    };
    ops.releasedir = [](fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
        post(req, [=, fh = fi->fh](auto& fs) { fs.releasedir(req, fh); });
    };
    ops.fsyncdir = [](fuse_req_t req, fuse_ino_t ino, int dataOnly, fuse_file_info*) {
        post(req, [=](auto& fs) { fs.fsync(req, std::nullopt, ino, dataOnly != 0); });
    };
    ops.statfs = [](fuse_req_t req, fuse_ino_t) { post(req, [=](auto& fs) { fs.statfs(req); }); };
    return ops;
}

}  // namespace

FuseBridge::FuseBridge(GuestFilesystem& filesystem)
    : filesystem_(filesystem), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

FuseBridge::~FuseBridge() {
    stop();
    if (session_) {
        if (mounted_)
            fuse_session_unmount(session_);
        fuse_session_destroy(session_);
    }
}

void FuseBridge::mount(const MountSettings& settings) {
    // The user's own mount: nobody else may enter it, nothing on it is set-ID or a device, and
    // /proc/mounts names it "quorvale". The kernel checks permissions on the card's modes.
    std::string options =
        "fsname=quorvale,subtype=quorvale,nosuid,nodev,noatime,default_permissions";
    if (settings.readOnly)
        options += ",ro";
    const char* argv[] = {"quorvale", "-o", options.c_str()};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
    const auto ops = operations();
    session_ = fuse_session_new(&args, &ops, sizeof ops, &filesystem_);
    if (!session_)
        throw std::runtime_error("cannot start a FUSE session");
    if (fuse_session_mount(session_, settings.mountPoint.c_str()) != 0)
        throw std::runtime_error("cannot mount on " + settings.mountPoint +
                                 " (is /dev/fuse usable and fusermount3 installed?)");
    mounted_ = true;
    filesystem_.setSession(session_);
}

void FuseBridge::start(std::function<void()> ended) {
    ended_ = std::move(ended);
    reader_ = std::thread([this] { readLoop(); });
}

void FuseBridge::readLoop() {
    fuse_buf buffer{};
    pollfd fds[2] = {{fuse_session_fd(session_), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    while (!stopping_ && !fuse_session_exited(session_)) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (stopping_ || (fds[1].revents & POLLIN))
            break;
        if (!(fds[0].revents & (POLLIN | POLLERR | POLLHUP)))
            continue;
        const int received = fuse_session_receive_buf(session_, &buffer);
        if (received == -EINTR || received == -EAGAIN || received == 0) {
            if (fuse_session_exited(session_))
                break;  // ENODEV: the kernel ended the mount
            continue;
        }
        if (received < 0)
            break;
        fuse_session_process_buf(session_, &buffer);
    }
    std::free(buffer.mem);
    if (!stopping_ && ended_)
        ended_();
}

void FuseBridge::stop() {
    stopping_ = true;
    const std::uint64_t one = 1;
    if (wake_) [[maybe_unused]]
        const auto n = ::write(wake_.get(), &one, sizeof one);
    if (reader_.joinable())
        reader_.join();
}

void FuseBridge::detach() {
    if (session_ && mounted_) {
        fuse_session_unmount(session_);
        mounted_ = false;
    }
}

}  // namespace quorvale::mount
