#pragma once
// Operations on directory entries. None of them ever replaces an existing entry: rename and
// create_directory refuse an existing target, copy refuses an existing destination. Delete
// and copy work recursively on directories; symlinks are copied and deleted as links, never
// followed.

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
void deleteEntry(Partition& partition, const RequestPath& path);

}  // namespace quorvale::agent
