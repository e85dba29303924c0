#pragma once
// A temporary directory served by the real agent, a transport connected to it and a service.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>
#include <string>

#include "fileops/file_operation_service.h"
#include "fileops/scripted_peer.h"
#include "guest/vsock_transport.h"
#include "support/agent_process.h"

namespace quorvale::testing {

class AgentFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApplication();
        ASSERT_TRUE(scratch.isValid());
        ASSERT_TRUE(QDir(scratch.path()).mkdir(QStringLiteral("root")));
        root = scratch.filePath(QStringLiteral("root"));
        agent = std::make_unique<AgentProcess>(root);
        transport.connect(agent->connect());
    }
    void TearDown() override {
        transport.disconnect();
        agent.reset();
    }

    // Host-side view of the served directory.
    QString hostPath(const QString& path) const { return root + path; }
    void put(const QString& path, const QByteArray& bytes) const {
        QFile file(hostPath(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
        file.write(bytes);
    }
    QByteArray get(const QString& path) const {
        QFile file(hostPath(path));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    bool exists(const QString& path) const { return QFileInfo::exists(hostPath(path)); }

    QTemporaryDir scratch;  // holds root/ and room for files outside it
    QString root;
    std::unique_ptr<AgentProcess> agent;
    guest::VsockTransport transport;
    fileops::FileOperationService service{transport};
};

}  // namespace quorvale::testing
