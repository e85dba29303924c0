#pragma once
// The real guest agent run on the host: `quorvale-agent --root DIR --listen unix:PATH` from the
// build tree, serving DIR, stopped (SIGTERM, then SIGKILL) when the object goes.

#include <QString>

#include <sys/types.h>

#include "rpc/unique_fd.h"

namespace quorvale::testing {

class AgentProcess {
public:
    // Starts the agent and waits until its socket accepts connections; throws on failure.
    explicit AgentProcess(const QString& root);
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // A new connection to the agent.
    UniqueFd connect() const;
    static QString agentPath();

private:
    QString socketPath;
    pid_t pid = -1;
};

}  // namespace quorvale::testing
