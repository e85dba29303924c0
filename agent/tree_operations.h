#pragma once
// Operations on directory entries. None of them ever replaces an existing entry: rename and
// create_directory refuse an existing target, copy refuses an existing destination. Delete
// and copy work recursively on directories; symlinks are copied and deleted as links, never
// followed. Each change is on the disk before the call returns: a VM killed or a card pulled
// right after an acknowledgement loses nothing. A copy is made under a hidden temporary name and
// gets its name only when whole.

#include <sys/stat.h>
#include <time.h>

#include <optional>
#include <string>
#include <string_view>

#include "agent/request_path.h"

namespace quorvale::agent {

struct Partition;

// Gives `path` the name `newName` in the same directory; returns the new path.
std::string renameEntry(Partition& partition, const RequestPath& path, std::string_view newName);
// Copies `source` of `from` to `destination` of `to` (the same partition or another one).
void copyEntry(Partition& from, const RequestPath& source, Partition& to,
               const RequestPath& destination);
void createDirectory(Partition& partition, const RequestPath& path);
// Moves `source` to `destination` in the same partition with one rename; returns the new path.
// A directory cannot go into itself or below itself.
std::string moveEntry(Partition& partition, const RequestPath& source,
                      const RequestPath& destination);
// A symbolic link at `path` holding `target` (escaped text, as names travel). An existing entry
// is refused unless `replace`, which puts the link over a file or link (never a directory).
void createSymlink(Partition& partition, const RequestPath& path, std::string_view target,
                   std::optional<timespec> mtime, bool replace);
// Sets the permission bits (set-ID bits dropped; not on links) and the modification time of
// the entry itself, never of what a link points to.
void setAttributes(Partition& partition, const RequestPath& path, std::optional<mode_t> mode,
                   std::optional<timespec> mtime);
void deleteEntry(Partition& partition, const RequestPath& path);

// Removes the entry `name` of `dirFd`, a directory with everything below it; `display` names it
// in errors. Not flushed.
void removeEntryAt(int dirFd, const char* name, const std::string& display);

}  // namespace quorvale::agent
