#pragma once
// Reading directories: "list_dir" entries with every member the host shows, and "dir_usage"
// where a directory's size is the total of everything under it. Neither follows a symlink
// below the listed directory, and the agent's own temporary upload files never show.

#include <sys/stat.h>

#include <boost/json/array.hpp>

#include <functional>
#include <string_view>

#include "agent/account_names.h"
#include "agent/directory_reader.h"
#include "agent/request_path.h"

namespace quorvale::agent {

struct Partition;

// The entries as JSON array text, written directly: listings can be very large.
std::string listDirectory(Partition& partition, const RequestPath& path);
boost::json::array directoryUsage(Partition& partition, const RequestPath& path);

// Appends one "list_dir" entry object built from lstat data (symlinkTarget only for symlinks).
void appendEntryJSON(std::string& out, std::string_view name, const struct stat& st,
                     const AccountNames::Tables& names, const std::string* symlinkTarget);
// Appends the "list_dir" entry of `name` in `dirFd`; one that cannot be read is listed by its
// name with "unreadable", the reason. False (nothing appended) for a name gone meanwhile.
bool appendListedEntry(std::string& out, int dirFd, const char* name,
                       const AccountNames::Tables& names);

// The target of the symlink `name` in `dirFd` (bytes), empty when it cannot be read.
std::string readLinkAt(int dirFd, const char* name, std::size_t sizeHint);

// Calls `visit` with each entry name of the open directory `dirFd` except "." and ".." (and
// temporary files unless included). `dirFd` stays open. Throws on read errors.
void forEachEntry(int dirFd, const std::string& display,
                  const std::function<void(const char* name)>& visit,
                  Temporaries temporaries = Temporaries::skip);

}  // namespace quorvale::agent
