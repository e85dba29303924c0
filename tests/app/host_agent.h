#pragma once
// The real guest agent run on the host over a temporary directory, with a transport connected
// to it over its Unix socket. The agent binary comes from the build tree.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

#include "guest/vsock_transport.h"

namespace quorvale::testing {

class HostAgent {
public:
    HostAgent();
    ~HostAgent();

    // The directory the agent serves as its partition.
    QString root() const { return rootDir.path(); }
    QString rootPath(const QString& relative) const { return rootDir.filePath(relative); }
    // Writes a file under root (parents made).
    void writeFile(const QString& relative, const QByteArray& bytes) const;
    void makeDirectory(const QString& relative) const;
    // Connects `transport` to the running agent.
    void connect(guest::VsockTransport& transport) const;
    void kill();
    bool started() const { return running; }

private:
    QTemporaryDir rootDir;
    QTemporaryDir socketDir;
    QProcess process;
    bool running = false;
};

}  // namespace quorvale::testing
