#pragma once
// Where disk events come from: reports every disk present at start, then each change, as
// description dictionaries. All handlers run on the source's own thread, one at a time, in
// the order the events happened; none runs after the source is destroyed.

#include <functional>

#include "disk/disk_description.h"

namespace quorvale::disk {

class DiskEventSource {
public:
    struct Handlers {
        std::function<void(const DiskDescription&)> wholeDiskAppeared;
        std::function<void(const DiskDescription&)> partitionAppeared;
        std::function<void(const DiskDescription&)> diskDisappeared;
        // After the disks present at start have been reported.
        std::function<void()> enumerationCompleted;
    };

    virtual ~DiskEventSource() = default;
    // Starts delivery; called at most once.
    virtual void start(Handlers handlers) = 0;
};

}  // namespace quorvale::disk
