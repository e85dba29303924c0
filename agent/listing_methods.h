#pragma once
// The methods that read directories: "list_dir" (whole or paged), "dir_usage" and "search".

#include <sys/types.h>

#include <memory>

namespace quorvale::agent {

class Dispatcher;
class Listings;
class PartitionProvider;
class Searches;

// Paged listings and searches hold directories open between calls: an unmount ends them first,
// or the card stays in use.
struct OpenCursors {
    std::shared_ptr<Listings> listings;
    std::shared_ptr<Searches> searches;
    void endOnDevice(dev_t device) const;
    void endAll() const;
};

OpenCursors addListingMethods(Dispatcher& dispatcher, PartitionProvider& partitions);

}  // namespace quorvale::agent
