#pragma once
// The real guest agent run on the host over a temporary directory, serving it as partition
// "sdb2" labelled "CARD", with helpers to fill the directory and connect transports.

#include <QString>
#include <QTemporaryDir>

#include <memory>

#include "guest/vsock_transport.h"
#include "support/agent_process.h"

namespace quorvale::testing {

class HostAgent {
public:
    HostAgent();

    // The directory the agent serves as its partition.
    QString root() const { return rootDir.path(); }
    QString rootPath(const QString& relative) const { return rootDir.filePath(relative); }
    // Writes a file under root (parents made).
    void writeFile(const QString& relative, const QByteArray& bytes) const;
    void makeDirectory(const QString& relative) const;
    // Connects `transport` to the running agent.
    void connect(guest::VsockTransport& transport) const;
    void kill();
    bool started() const { return agent != nullptr; }

private:
    QTemporaryDir rootDir;
    std::unique_ptr<AgentProcess> agent;
};

}  // namespace quorvale::testing
