#pragma once
// The methods that mount with the host's choices and check unmounted partitions:
//   "mount_partition" {"partition", "read_only"?, "replay_journal"?} -> the partition described
//   "check_filesystem" {"partition"} -> {"started": true}: starts `e2fsck -fn` (one at a time per
//       partition; a running one is left running)
//   "check_status" {"partition"} -> the check's state, progress, exit code and output
//   "check_cancel" {"partition"} -> true: stops a running check

#include <string>

namespace quorvale::agent {

class Dispatcher;
class PartitionProvider;

// `e2fsck` is the program to run (empty: checks fail with a clear message).
void addCheckMethods(Dispatcher& dispatcher, PartitionProvider& partitions, std::string e2fsck);

}  // namespace quorvale::agent
