#include "mount/guest_attributes.h"

#include <cerrno>
#include <limits>

#include "guest/vsock_error.h"
#include "rpc/json_rpc.h"

namespace quorvale::mount {

namespace {

std::int64_t member(const boost::json::object& o, const char* name, std::int64_t lowest = 0) {
    const auto* v = o.if_contains(name);
    if (!v || !v->is_int64() || v->get_int64() < lowest)
        throw FilesystemError{EIO};
    return v->get_int64();
}

timespec timeOf(std::int64_t ns) {
    constexpr std::int64_t perSecond = 1000000000;
    std::int64_t seconds = ns / perSecond;
    std::int64_t rest = ns % perSecond;
    if (rest < 0) {
        rest += perSecond;
        --seconds;
    }
    return {static_cast<time_t>(seconds), static_cast<long>(rest)};
}

bool knownType(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
        case S_IFDIR:
        case S_IFLNK:
        case S_IFIFO:
        case S_IFSOCK:
        case S_IFCHR:
        case S_IFBLK:
            return true;
        default:
            return false;
    }
}

}  // namespace

struct stat attributesFrom(const boost::json::value& attr, uid_t owner, gid_t group) {
    if (!attr.is_object())
        throw FilesystemError{EIO};
    const auto& o = attr.get_object();
    struct stat st {};
    st.st_ino = static_cast<ino_t>(member(o, "ino", 1));
    const auto mode = member(o, "mode");
    if (mode > std::numeric_limits<mode_t>::max() || !knownType(static_cast<mode_t>(mode)))
        throw FilesystemError{EIO};
    st.st_mode = static_cast<mode_t>(mode);
    st.st_nlink = static_cast<nlink_t>(member(o, "nlink"));
    st.st_size = static_cast<off_t>(member(o, "size"));
    st.st_blocks = static_cast<blkcnt_t>(member(o, "blocks"));
    st.st_atim = timeOf(member(o, "atime", std::numeric_limits<std::int64_t>::min()));
    st.st_mtim = timeOf(member(o, "mtime", std::numeric_limits<std::int64_t>::min()));
    st.st_ctim = timeOf(member(o, "ctime", std::numeric_limits<std::int64_t>::min()));
    st.st_uid = owner;
    st.st_gid = group;
    st.st_blksize = preferredBlockSize;
    return st;
}

struct statvfs statisticsFrom(const boost::json::value& result) {
    if (!result.is_object())
        throw FilesystemError{EIO};
    const auto& o = result.get_object();
    struct statvfs s {};
    s.f_bsize = static_cast<unsigned long>(member(o, "bsize", 1));
    s.f_frsize = static_cast<unsigned long>(member(o, "frsize", 1));
    s.f_blocks = static_cast<fsblkcnt_t>(member(o, "blocks"));
    s.f_bfree = static_cast<fsblkcnt_t>(member(o, "bfree"));
    s.f_bavail = static_cast<fsblkcnt_t>(member(o, "bavail"));
    s.f_files = static_cast<fsfilcnt_t>(member(o, "files"));
    s.f_ffree = static_cast<fsfilcnt_t>(member(o, "ffree"));
    s.f_favail = s.f_ffree;
    s.f_namemax = static_cast<unsigned long>(member(o, "namemax"));
    return s;
}

int errnoFor(std::exception_ptr error, bool* channelLost) {
    try {
        std::rethrow_exception(error);
    } catch (const FilesystemError& e) {
        return e.error;
    } catch (const rpc::JSONRPCError& e) {
        if (e.code < 0 && e.code > -4096)
            return static_cast<int>(-e.code);
        return e.code == rpc::JSONRPCError::invalidParams ? EINVAL : EIO;
    } catch (const guest::VsockError& e) {
        if (channelLost && (e.kind == guest::VsockError::Kind::disconnected ||
                            e.kind == guest::VsockError::Kind::notConnected))
            *channelLost = true;
        return EIO;
    } catch (...) {
        return EIO;
    }
}

}  // namespace quorvale::mount
