#pragma once
// The "fs_*" methods: the POSIX calls a filesystem mounted on the host makes, one entry or one
// open file at a time (see posix_entries.h and open_files.h, and PROTOCOL.md).

namespace quorvale::agent {

class Dispatcher;
class PartitionProvider;

void addPosixMethods(Dispatcher& dispatcher, PartitionProvider& partitions);

}  // namespace quorvale::agent
