#include "host_agent.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <exception>

#include "app_test_support.h"

namespace quorvale::testing {

HostAgent::HostAgent() {
    ensureApplication();
    try {
        agent = std::make_unique<AgentProcess>(rootDir.path(),
                                               QStringList{"--name", "sdb2", "--label", "CARD"});
    } catch (const std::exception& error) {
        ADD_FAILURE() << "agent did not start: " << error.what();
    }
}

void HostAgent::kill() {
    agent.reset();
}

void HostAgent::writeFile(const QString& relative, const QByteArray& bytes) const {
    QDir().mkpath(QFileInfo(rootPath(relative)).absolutePath());
    QFile file(rootPath(relative));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

void HostAgent::makeDirectory(const QString& relative) const {
    ASSERT_TRUE(QDir().mkpath(rootPath(relative)));
}

void HostAgent::connect(guest::VsockTransport& transport) const {
    ASSERT_TRUE(agent);
    transport.connect(agent->connect());
}

}  // namespace quorvale::testing
