#pragma once
// The method catalogue: binds each remote method name to its operation, reading the
// parameters the host sends ("path", "partition", "max_bytes", ...).

namespace quorvale::agent {

class Dispatcher;
class PartitionProvider;

void addFileMethods(Dispatcher& dispatcher, PartitionProvider& partitions);

}  // namespace quorvale::agent
