#pragma once
// Test harness: the real quorvale-agent serving a fresh temporary directory on a Unix socket,
// and a client that writes raw request lines and reads reply lines.

#include <boost/json/value.hpp>

#include <sys/types.h>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rpc/unique_fd.h"

namespace quorvale::agent::test {

class AgentClient {
public:
    explicit AgentClient(const std::string& socketPath);

    void sendRaw(std::string_view bytes);
    // Sends what the peer takes before it closes; false when it did not take everything.
    bool trySend(std::string_view bytes);
    void sendLine(std::string_view line) { sendRaw(std::string(line) + "\n"); }
    // Next reply line; fails the test (and returns nothing) after `timeout`.
    std::optional<std::string> readLine(std::chrono::seconds timeout = std::chrono::seconds(20));
    // Next reply, parsed.
    boost::json::value readReply();

    // Sends {"jsonrpc":"2.0","id":N,"method":..,"params":..} and returns the reply with that
    // id (replies of other ids read meanwhile are dropped).
    boost::json::value call(std::string_view method, boost::json::object params = {});
    // The "result" of a successful call; fails the test on an error reply.
    boost::json::value result(std::string_view method, boost::json::object params = {});
    // The "error" object of a failed call; fails the test on a result.
    boost::json::object error(std::string_view method, boost::json::object params = {});

    std::int64_t nextId() { return ++lastId_; }
    // Ends the connection.
    void close() { fd_.reset(); }
    // Reads (and drops) what arrives until the agent ends the connection: true when it did
    // within `limit`.
    bool waitForEnd(std::chrono::seconds limit);

private:
    UniqueFd fd_;
    std::string buffer_;
    std::int64_t lastId_ = 0;
};

struct AgentOptions {
    // Fills the served directory before the agent starts.
    std::function<void(const std::string& root)> prepare;
    std::string base = "/tmp";           // where the served directory and the socket are made
    std::size_t addressSpace = 0;        // RLIMIT_AS of the agent in bytes; 0 leaves it alone
    std::vector<std::string> arguments;  // after --root, --listen, --name and --label
    std::string secret;                  // when set, written to a file given with --secret-file
};

class AgentProcess {
public:
    explicit AgentProcess(AgentOptions options = {});
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    const std::string& root() const { return root_; }        // the served directory
    const std::string& workDir() const { return workDir_; }  // its parent (outside the root)
    const std::string& socketPath() const { return socket_; }
    AgentClient connect() const { return AgentClient(socket_); }
    // A connection nobody reads from or writes to; invalid when it could not be made.
    UniqueFd connectRaw() const;
    bool running() const;
    pid_t pid() const { return pid_; }

private:
    std::string workDir_, root_, socket_;
    pid_t pid_ = -1;
};

// The agent program under test.
std::string agentBinary();
// Raises this process's open-file limit as far as allowed; true when `wanted` fit.
bool allowOpenFiles(std::size_t wanted);

// Small file helpers on host paths.
void writeText(const std::string& path, std::string_view text);
std::string readText(const std::string& path);
bool exists(const std::string& path);
std::string base64(std::string_view bytes);
std::string unbase64(const boost::json::value& text);

}  // namespace quorvale::agent::test
