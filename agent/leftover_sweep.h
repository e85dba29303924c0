#pragma once
// Temporary files and copies that a crash, a pulled card or an earlier agent left under hidden
// temporary names are removed when a partition is mounted read-write: a walk of the whole tree
// that takes only regular files and directories with such names and none that an upload or a
// copy of this agent is using.

#include <stop_token>
#include <string>
#include <thread>

namespace quorvale::agent {

// Walks the tree under the directory `rootFd` until done or `stop` is requested; returns how
// many files it removed. Failures end the walk and are logged.
std::size_t removeLeftoverTemporaries(int rootFd, const std::string& display,
                                      std::stop_token stop = {});

// The same walk on a thread of its own, stopped and waited for by the destructor (before the
// partition is unmounted).
class LeftoverSweep {
public:
    LeftoverSweep(int rootFd, std::string display);
    ~LeftoverSweep();
    LeftoverSweep(const LeftoverSweep&) = delete;
    LeftoverSweep& operator=(const LeftoverSweep&) = delete;

private:
    std::jthread thread_;
};

}  // namespace quorvale::agent
