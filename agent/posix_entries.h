#pragma once
// What a POSIX filesystem served on the host needs, entry by entry: attributes, directory
// pages, creating, renaming (replacing, never replacing, exchanging), linking and removing
// single entries, without the agent's whole-tree and flush-per-call behaviour. Every path is
// resolved inside the partition without following any symlink on the way (the host walks
// links itself) and without crossing into another filesystem; the last component is never
// followed either. Changes reach the disk at "fs_fsync" or a sync, as on any filesystem.
// New entries take the owner and group of their folder and never get set-ID bits.

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "agent/request_path.h"
#include "rpc/unique_fd.h"

namespace quorvale::agent {

struct Partition;

// Opens `path` of `partition` with `flags` (never following a symlink anywhere on the path).
UniqueFd openInPartition(const Partition& partition, const RequestPath& path, int flags,
                         mode_t mode = 0);
// Opens the folder that holds `path`, which must not be the root.
UniqueFd openParentInPartition(const Partition& partition, const RequestPath& path);

// {"ino","mode","nlink","size","blocks","atime","mtime","ctime"} (times in nanoseconds).
void appendAttributes(std::string& out, const struct stat& st);
std::string attributesJSON(const struct stat& st);
struct stat statPath(const Partition& partition, const RequestPath& path);

// {"entries": [{"name", "next", "attr"}...], "done"}: at most `maxEntries` entries of the
// folder from position `offset` (0: the start; else a "next" of an earlier page).
std::string readDirectoryPage(const Partition& partition, const RequestPath& path,
                              std::int64_t offset, std::size_t maxEntries);

// A regular file opened for the host: `access` is O_RDONLY, O_WRONLY or O_RDWR. With
// `create`, a new file of `mode` is made (`exclusive`: only when the name is free).
struct OpenRequest {
    int access = O_RDONLY;
    bool truncate = false;
    bool create = false;
    bool exclusive = false;
    mode_t mode = 0644;
};
UniqueFd openRegularFile(const Partition& partition, const RequestPath& path,
                         const OpenRequest& request);

struct stat makeDirectory(const Partition& partition, const RequestPath& path, mode_t mode);
struct stat makeSymlink(const Partition& partition, const RequestPath& path,
                        std::string_view target);
struct stat makeHardLink(const Partition& partition, const RequestPath& existing,
                         const RequestPath& path);
std::string readSymlink(const Partition& partition, const RequestPath& path);
// Removes a single entry: a folder only when it is empty.
void removeEntry(const Partition& partition, const RequestPath& path, bool directory);

enum class RenameMode { replace, noReplace, exchange };
void renamePath(const Partition& partition, const RequestPath& from, const RequestPath& to,
                RenameMode mode);

// What "fs_setattr" changes; a time of UTIME_NOW stands for the present.
struct AttributeChange {
    std::optional<mode_t> mode;
    std::optional<std::int64_t> size;
    std::optional<timespec> atime;
    std::optional<timespec> mtime;
};
// On the open file `fd`, or on `path` when `fd` is -1; returns the attributes after.
struct stat changeAttributes(const Partition& partition, const RequestPath& path, int fd,
                             const AttributeChange& change);

// statvfs of the partition as {"bsize","frsize","blocks","bfree","bavail","files","ffree",
// "namemax"}.
std::string filesystemStatistics(const Partition& partition);

}  // namespace quorvale::agent
