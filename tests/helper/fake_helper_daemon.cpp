#include "helper/fake_helper_daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <boost/json/parse.hpp>

namespace quorvale::test {

namespace fs = std::filesystem;

bool sendLineWithFd(int socket, const std::string& text, int fd) {
    std::string data = text + "\n";
    iovec iov{data.data(), data.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    return ::sendmsg(socket, &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

int openDescriptorCount(int pid) {
    int count = 0;
    std::error_code ec;
    for ([[maybe_unused]] const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        ++count;
    }
    return count;
}

FakeHelperDaemon::FakeHelperDaemon(fs::path path, Handler h)
    : socketPath(std::move(path)), handler(std::move(h)) {
    listener = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ::unlink(socketPath.c_str());
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.get(), 16) != 0) {
        throw std::runtime_error("fake daemon cannot listen on " + socketPath.string());
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    wakeRead = UniqueFd(pipeFds[0]);
    wakeWrite = UniqueFd(pipeFds[1]);
    thread = std::thread([this] { loop(); });
}

FakeHelperDaemon::~FakeHelperDaemon() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    [[maybe_unused]] auto n = ::write(wakeWrite.get(), "x", 1);
    thread.join();
    for (auto& [fd, partial] : clients)
        ::close(fd);
    ::unlink(socketPath.c_str());
}

std::vector<std::string> FakeHelperDaemon::receivedLines() const {
    std::lock_guard lock(mutex);
    return lines;
}

int FakeHelperDaemon::acceptedConnections() const {
    std::lock_guard lock(mutex);
    return accepted;
}

void FakeHelperDaemon::dropConnections() {
    {
        std::lock_guard lock(mutex);
        dropRequested = true;
    }
    [[maybe_unused]] auto n = ::write(wakeWrite.get(), "x", 1);
    // Wait until the loop has hung up.
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard lock(mutex);
            if (!dropRequested)
                return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void FakeHelperDaemon::turnAway(std::string line) {
    std::lock_guard lock(mutex);
    turnAwayLine = std::move(line);
}

void FakeHelperDaemon::handleLine(int connection, const std::string& line) {
    std::optional<FakeReply> reply;
    {
        std::lock_guard lock(mutex);
        lines.push_back(line);
    }
    boost::system::error_code ec;
    auto value = boost::json::parse(line, ec);
    if (!ec && value.is_object())
        reply = handler(value.as_object());
    if (reply)
        scheduled.push_back({std::chrono::steady_clock::now() + reply->delay, connection, *reply});
}

void FakeHelperDaemon::loop() {
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (stopping)
                return;
            if (dropRequested) {
                for (auto& [fd, partial] : clients)
                    ::close(fd);
                clients.clear();
                scheduled.clear();
                dropRequested = false;
            }
        }
        const auto now = std::chrono::steady_clock::now();
        for (auto it = scheduled.begin(); it != scheduled.end();) {
            if (it->due <= now) {
                sendLineWithFd(it->connection, it->reply.line, it->reply.fd);
                it = scheduled.erase(it);
            } else {
                ++it;
            }
        }
        int timeout = 1000;
        for (const auto& s : scheduled) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(s.due - now).count();
            timeout = std::min<int>(timeout, static_cast<int>(std::max<long>(left, 0)) + 1);
        }
        std::vector<pollfd> fds{{listener.get(), POLLIN, 0}, {wakeRead.get(), POLLIN, 0}};
        for (const auto& [fd, partial] : clients)
            fds.push_back({fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), timeout) <= 0)
            continue;
        if (fds[1].revents) {
            char drain[16];
            [[maybe_unused]] auto n = ::read(wakeRead.get(), drain, sizeof drain);
        }
        if (fds[0].revents & POLLIN) {
            const int fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                std::lock_guard lock(mutex);
                ++accepted;
                if (turnAwayLine.empty()) {
                    clients.emplace_back(fd, std::string());
                } else {
                    sendLineWithFd(fd, turnAwayLine, -1);
                    ::close(fd);
                }
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            auto it = std::find_if(clients.begin(), clients.end(),
                                   [&](const auto& c) { return c.first == fds[i].fd; });
            char buffer[4096];
            const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                ::close(fds[i].fd);
                std::erase_if(scheduled, [&](const auto& s) { return s.connection == fds[i].fd; });
                std::lock_guard lock(mutex);
                clients.erase(it);
                continue;
            }
            it->second.append(buffer, static_cast<std::size_t>(n));
            for (auto end = it->second.find('\n'); end != std::string::npos;
                 end = it->second.find('\n')) {
                const std::string line = it->second.substr(0, end);
                it->second.erase(0, end + 1);
                handleLine(fds[i].fd, line);
            }
        }
    }
}

}  // namespace quorvale::test
