#pragma once
// What the agent's "fs_*" answers mean to the kernel: attributes as a struct stat (owned by the
// mounting user, the card's modes kept), and any failure as an errno. The guest is untrusted:
// an answer of the wrong shape is EIO, never a crash or a bogus type.

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdint>
#include <exception>
#include <optional>

#include <boost/json/value.hpp>

namespace quorvale::mount {

// Block size told to programs: they size their buffers by it, and large calls cost the channel
// least.
inline constexpr blksize_t preferredBlockSize = 1 << 20;

// A failure of one call, as the errno the kernel gets.
struct FilesystemError {
    int error;
};

// The attributes of an "attr" object; throws FilesystemError{EIO} for any other shape.
struct stat attributesFrom(const boost::json::value& attr, uid_t owner, gid_t group);
struct statvfs statisticsFrom(const boost::json::value& result);

// The errno for the exception being handled: a guest error's own (a negative errno code), EIO
// for a lost channel or anything else. `channelLost` is set when the channel itself failed.
int errnoFor(std::exception_ptr error, bool* channelLost = nullptr);

}  // namespace quorvale::mount
