#include "agent/child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>

#include "agent/agent_error.h"

namespace quorvale::agent {

namespace {

struct Registry {
    std::mutex mutex;
    std::condition_variable ended;
    std::map<pid_t, std::optional<int>> children;  // started here -> status once reaped
};

Registry& registry() {
    static Registry instance;
    return instance;
}

void record(pid_t pid, int status) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (const auto it = r.children.find(pid); it != r.children.end()) {
        it->second = status;
        r.ended.notify_all();
    }
}

}  // namespace

pid_t spawnChild(const std::vector<std::string>& argv, int outputFd, int extraFd) {
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    char path[] = "PATH=/sbin:/bin:/usr/sbin:/usr/bin";
    char lang[] = "LANG=C";
    char* env[] = {path, lang, nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 2);
    if (extraFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, extraFd, 3);
    pid_t pid = -1;
    int error = 0;
    {
        // Registered before the reaper can look at it: it takes the same lock.
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        error = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env);
        if (error == 0)
            r.children.emplace(pid, std::nullopt);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw AgentError::systemDetail(error, "cannot start " + argv[0]);
    return pid;
}

int waitChild(pid_t pid) {
    int status = 0;
    pid_t got;
    do {
        got = ::waitpid(pid, &status, 0);
    } while (got < 0 && errno == EINTR);
    Registry& r = registry();
    std::unique_lock lock(r.mutex);
    if (got == pid) {
        r.children.erase(pid);
        return status;
    }
    // The reaper took it first: its status is (or is about to be) recorded.
    r.ended.wait(lock, [&] {
        const auto it = r.children.find(pid);
        return it == r.children.end() || it->second.has_value();
    });
    const auto it = r.children.find(pid);
    if (it == r.children.end())
        return 0;
    status = *it->second;
    r.children.erase(it);
    return status;
}

void reapChildren() {
    int status = 0;
    pid_t pid;
    while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0)
        record(pid, status);
}

}  // namespace quorvale::agent
