#pragma once
// Programs the agent starts and waits for (the filesystem check). As PID 1 the agent also
// reaps every orphan the kernel hands it; reapChildren() does that without losing the exit
// status of a child started here: whichever thread reaps it, waitChild() gets the status.

#include <sys/types.h>

#include <string>
#include <vector>

namespace quorvale::agent {

// Starts argv[0] (an absolute path) with stdin /dev/null, stdout and stderr on `outputFd`, and
// `extraFd` as descriptor 3 (-1: none). The environment is empty apart from PATH and LANG=C.
// Throws AgentError when it cannot start.
pid_t spawnChild(const std::vector<std::string>& argv, int outputFd, int extraFd = -1);
// Blocks until the child ends; its wait status.
int waitChild(pid_t pid);
// Reaps every child that has ended (PID 1's loop); keeps the status of children started here.
void reapChildren();

}  // namespace quorvale::agent
