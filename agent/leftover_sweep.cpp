#include "agent/leftover_sweep.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include "agent/agent_error.h"
#include "agent/log.h"
#include "agent/temporary_file.h"
#include "agent/tree_operations.h"
#include "agent/tree_walk.h"

namespace quorvale::agent {

namespace {

struct Stopped {};

class Sweeper : public TreeWalk::Visitor {
public:
    explicit Sweeper(std::stop_token stop) : stop_(std::move(stop)) {}
    bool visit(int dirFd, const char* name, const struct stat& st) override {
        if (stop_.stop_requested())
            throw Stopped{};
        if (!isLeftoverTemporary(dirFd, name))
            return S_ISDIR(st.st_mode);
        try {
            removeEntryAt(dirFd, name, name);
            ++removed;
        } catch (const AgentError& e) {
            logLine(std::string("cannot remove a leftover temporary: ") + e.what());
        }
        return false;
    }
    std::size_t removed = 0;

private:
    std::stop_token stop_;
};

}  // namespace

std::size_t removeLeftoverTemporaries(int rootFd, const std::string& display,
                                      std::stop_token stop) {
    Sweeper sweeper(std::move(stop));
    try {
        UniqueFd top(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
        if (!top)
            throw AgentError::system(errno, display);
        TreeWalk walk(std::move(top), display, Temporaries::include);
        walk.run(sweeper);
    } catch (const Stopped&) {
    } catch (const std::exception& e) {
        logLine(std::string("removing leftover temporary files: ") + e.what());
    }
    if (sweeper.removed > 0)
        logLine("removed " + std::to_string(sweeper.removed) + " leftover temporary files from " +
                display);
    return sweeper.removed;
}

LeftoverSweep::LeftoverSweep(int rootFd, std::string display) {
    UniqueFd root(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    if (!root)
        return;
    try {
        thread_ = std::jthread(
            [root = std::move(root), display = std::move(display)](std::stop_token stop) {
                // Housekeeping: the host's calls come first.
                ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
                removeLeftoverTemporaries(root.get(), display, std::move(stop));
            });
    } catch (const std::system_error& e) {
        logLine(std::string("no thread to remove leftover temporary files: ") + e.what());
    }
}

LeftoverSweep::~LeftoverSweep() = default;  // the jthread asks to stop, then joins

}  // namespace quorvale::agent
