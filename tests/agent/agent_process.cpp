#include "agent_process.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "rpc/base64.h"

namespace quorvale::agent::test {

namespace json = boost::json;

std::string agentBinary() {
    if (const char* build = std::getenv("QUORVALE_BUILD_DIR"))
        return std::string(build) + "/agent/quorvale-agent";
    return QUORVALE_AGENT_BINARY;
}

bool allowOpenFiles(std::size_t wanted) {
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    return files.rlim_cur >= wanted;
}

namespace {

UniqueFd connectUnix(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return UniqueFd();
    return fd;
}

}  // namespace

AgentClient::AgentClient(const std::string& socketPath) : fd_(connectUnix(socketPath)) {
    EXPECT_TRUE(fd_.valid()) << "cannot connect to " << socketPath;
}

void AgentClient::sendRaw(std::string_view bytes) {
    while (!bytes.empty()) {
        const auto n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        ASSERT_GT(n, 0) << "send failed: " << std::strerror(errno);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

bool AgentClient::trySend(std::string_view bytes) {
    while (!bytes.empty()) {
        const auto n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<std::string> AgentClient::readLine(std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t scanned = 0;
    for (;;) {
        if (const auto newline = buffer_.find('\n', scanned); newline != std::string::npos) {
            std::string line = buffer_.substr(0, newline);
            buffer_.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd_.get(), POLLIN, 0};
        if (!fd_ || left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            ADD_FAILURE() << "no reply line (a hung agent)";
            return std::nullopt;
        }
        scanned = buffer_.size();
        char chunk[65536];
        const auto n = ::read(fd_.get(), chunk, sizeof chunk);
        if (n <= 0) {
            ADD_FAILURE() << "connection closed by the agent";
            return std::nullopt;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

bool AgentClient::waitForEnd(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    buffer_.clear();
    while (fd_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd_.get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char chunk[4096];
        const auto n = ::read(fd_.get(), chunk, sizeof chunk);
        if (n <= 0)
            return true;
    }
    return true;
}

json::value AgentClient::readReply() {
    const auto line = readLine();
    if (!line)
        return nullptr;
    boost::system::error_code ec;
    auto value = json::parse(*line, ec);
    EXPECT_FALSE(ec) << "reply is not JSON: " << line->substr(0, 200);
    return value;
}

json::value AgentClient::call(std::string_view method, json::object params) {
    const auto id = nextId();
    json::object request{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}};
    sendLine(json::serialize(request));
    for (int i = 0; i < 1000; ++i) {
        auto reply = readReply();
        if (!reply.is_object())
            return nullptr;
        const auto* replyId = reply.as_object().if_contains("id");
        if (replyId && replyId->is_int64() && replyId->as_int64() == id)
            return reply;
    }
    ADD_FAILURE() << "no reply with id " << id;
    return nullptr;
}

json::value AgentClient::result(std::string_view method, json::object params) {
    auto reply = call(method, std::move(params));
    const auto* result = reply.is_object() ? reply.as_object().if_contains("result") : nullptr;
    if (!result) {
        ADD_FAILURE() << method << " failed: " << json::serialize(reply);
        return nullptr;
    }
    return *result;
}

json::object AgentClient::error(std::string_view method, json::object params) {
    auto reply = call(method, std::move(params));
    const auto* error = reply.is_object() ? reply.as_object().if_contains("error") : nullptr;
    if (!error || !error->is_object()) {
        ADD_FAILURE() << method << " did not fail: " << json::serialize(reply);
        return {};
    }
    return error->as_object();
}

AgentProcess::AgentProcess(AgentOptions options) {
    std::string pattern = options.base + "/quorvale-agent-test-XXXXXX";
    workDir_ = ::mkdtemp(pattern.data());
    root_ = workDir_ + "/root";
    socket_ = workDir_ + "/agent.sock";
    std::filesystem::create_directory(root_);
    if (options.prepare)
        options.prepare(root_);
    if (!options.secret.empty()) {
        const auto path = workDir_ + "/secret";
        std::ofstream(path) << options.secret << "\n";
        ::chmod(path.c_str(), 0600);
        options.arguments.insert(options.arguments.begin(), {"--secret-file", path});
    }
    const auto binary = agentBinary();
    std::vector<std::string> arguments = {binary,     "--root",          root_,
                                          "--listen", "unix:" + socket_, "--name",
                                          "sdb1",     "--label",         "CARD"};
    arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        if (options.addressSpace > 0) {
            const rlimit limit{options.addressSpace, options.addressSpace};
            ::setrlimit(RLIMIT_AS, &limit);
        }
        ::execv(binary.c_str(), argv.data());
        ::_exit(127);
    }
    for (int i = 0; i < 500 && running() && !connectUnix(socket_); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(running()) << binary << " did not start";
}

UniqueFd AgentProcess::connectRaw() const {
    return connectUnix(socket_);
}

AgentProcess::~AgentProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(workDir_, ec);
    // Trees deeper than the open-file limit defeat remove_all; rm walks them.
    if (ec && workDir_.find("/quorvale-agent-test-") != std::string::npos) [[maybe_unused]]
        const int status = std::system(("rm -rf " + workDir_).c_str());
}

bool AgentProcess::running() const {
    return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0;
}

void writeText(const std::string& path, std::string_view text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream s;
    s << file.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string base64(std::string_view bytes) {
    return rpc::base64Encode(bytes);
}

std::string unbase64(const json::value& text) {
    if (!text.is_string()) {
        ADD_FAILURE() << "not a base64 string: " << json::serialize(text);
        return {};
    }
    auto bytes = rpc::base64Decode(text.as_string());
    EXPECT_TRUE(bytes.has_value()) << "invalid base64";
    return bytes.value_or("");
}

}  // namespace quorvale::agent::test
