#pragma once
// New file contents are written where nobody can reach them and published in one step. A
// temporary file is created unnamed (O_TMPFILE) in the destination's directory: nothing a card
// holds can be at its name, and a crash or a pulled card leaves nothing behind (the filesystem
// frees unnamed files at its next mount). Publishing links it under a fresh random hidden name
// and renames that over the destination. Filesystems without unnamed files get a random hidden
// name from the start, created exclusively and never through a link.
//
// Hidden names of files being published, and of copies being made, are registered while they
// exist, so that the sweep of leftovers (isLeftoverTemporary) never takes one that is in use.

#include <sys/stat.h>
#include <time.h>

#include <optional>
#include <string>
#include <string_view>

#include "agent/request_path.h"
#include "rpc/unique_fd.h"

namespace quorvale::agent {

// Prefix of the hidden names of temporary files.
inline constexpr std::string_view temporaryPrefix = ".quorvale-tmp-";
// Whether `name` has the exact shape of a temporary's name (this agent's or an earlier one's);
// a user's ".quorvale-tmp-notes" is an ordinary file, listed and never swept.
bool isTemporaryName(std::string_view name);

// A fresh temporary name: the prefix and 128 random bits.
std::string randomTemporaryName();

// A fresh temporary name registered as in use for as long as this lives: the sweep of leftovers
// never takes an entry of that name.
class ReservedTemporaryName {
public:
    ReservedTemporaryName();
    ~ReservedTemporaryName();
    ReservedTemporaryName(const ReservedTemporaryName&) = delete;
    ReservedTemporaryName& operator=(const ReservedTemporaryName&) = delete;
    const std::string& name() const { return name_; }

private:
    std::string name_;
};

// How a finished file takes its name.
struct PublishOptions {
    // An existing entry at the name is replaced (a regular file only); else it is refused with
    // EEXIST and stays as it is.
    bool replace = true;
    std::optional<mode_t> mode;     // permission bits (set-ID bits dropped)
    std::optional<timespec> mtime;  // modification time
    // Whether publish() waits until the file and its name are on the disk. Without, the name
    // still never reaches the disk before the whole contents do: a crash loses the file or
    // keeps it whole, and a later syncfs makes it durable.
    bool durable = true;
};

class TemporaryFile {
public:
    // Creates an empty regular file for `path` in its directory `dir` (which it keeps), writable,
    // mode 0644 less the umask. Throws AgentError naming `path`.
    TemporaryFile(UniqueFd dir, const RequestPath& path);
    // Removes the file unless it was published.
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int fd() const { return file_.get(); }
    int dirFd() const { return dir_.get(); }

    // Flushes the file and puts it in place of `path` in its directory. An existing regular
    // file there is replaced (unless options.replace is false) and lends its permission bits
    // when no mode is given (never set-user-ID or set-group-ID); a directory there is refused.
    // Once only.
    void publish(const RequestPath& path, const PublishOptions& options = {});

private:
    UniqueFd dir_;
    UniqueFd file_;
    std::string name_;  // empty while unnamed
    bool published_ = false;
};

// Whether `name` of `dirFd` is a temporary left behind: a temporary name not in use by this
// process, on a regular file (an upload) or a directory (a copy). Entries of other types at
// such names are the card's own.
bool isLeftoverTemporary(int dirFd, const char* name);

// The permission bits the agent gives an entry it creates from `mode`: all but set-user-ID and
// set-group-ID.
constexpr mode_t keptMode(mode_t mode) {
    return mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID);
}

}  // namespace quorvale::agent
