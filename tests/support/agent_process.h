#pragma once
// The real guest agent run on the host: `quorvale-agent --root DIR --listen unix:PATH` from the
// build tree, serving DIR, stopped (SIGTERM, then SIGKILL) when the object goes.

#include <QString>
#include <QStringList>

#include <sys/types.h>

#include "rpc/unique_fd.h"

namespace quorvale::testing {

class AgentProcess {
public:
    // Starts the agent and waits until its socket accepts connections; throws on failure.
    // `extraArguments` follow the root and the socket (e.g. "--name", "sdb2").
    explicit AgentProcess(const QString& root, const QStringList& extraArguments = {});
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // A new connection to the agent.
    UniqueFd connect() const;
    // Stops the agent now (SIGTERM, then SIGKILL); connections to it end.
    void stop();
    static QString agentPath();

private:
    QString socketPath;
    pid_t pid = -1;
};

}  // namespace quorvale::testing
