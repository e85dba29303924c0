#include "hostile_peer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <chrono>
#include <stdexcept>

#include "agent/dispatcher.h"
#include "rpc/base64.h"

namespace quorvale::testing {

namespace json = boost::json;

namespace {

std::int64_t nowMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

enum class Action {
    pass,
    drop,
    duplicate,
    hold,
    garble,
    readdress,
    replace,
    bloat,
    inflate,
    garbage,
    hangUp
};

// Weights of the actions, in the order above: most answers pass, so that operations get far
// enough to meet the others.
constexpr int weights[] = {52, 5, 6, 6, 8, 5, 9, 3, 1, 3, 2};
constexpr const char* names[] = {"pass",    "drop",  "duplicate", "hold",    "garble", "readdress",
                                 "replace", "bloat", "inflate",   "garbage", "hang-up"};

}  // namespace

HostilePeer::HostilePeer(const agent::Dispatcher& dispatcher, std::uint64_t seed)
    : dispatcher(dispatcher), random(seed), lastActivity(nowMilliseconds()) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair failed");
    hostEnd.reset(fds[0]);
    peerEnd.reset(fds[1]);
    thread = std::thread([this] { serve(); });
}

HostilePeer::~HostilePeer() {
    hangUp();
    thread.join();
}

void HostilePeer::hangUp() {
    if (!closed.exchange(true))
        ::shutdown(peerEnd.get(), SHUT_RDWR);
}

std::int64_t HostilePeer::idleMilliseconds() const {
    return nowMilliseconds() - lastActivity.load();
}

std::string HostilePeer::journal() const {
    std::lock_guard lock(journalMutex);
    return actions;
}

void HostilePeer::note(const std::string& what) {
    std::lock_guard lock(journalMutex);
    if (!actions.empty())
        actions += ' ';
    actions += what;
}

void HostilePeer::serve() {
    std::string buffer;
    char chunk[1 << 16];
    while (!closed.load()) {
        pollfd p{peerEnd.get(), POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::read(peerEnd.get(), chunk, sizeof chunk);
        if (n <= 0)
            break;
        lastActivity = nowMilliseconds();
        buffer.append(chunk, static_cast<std::size_t>(n));
        for (std::size_t newline;
             !closed.load() && (newline = buffer.find('\n')) != std::string::npos;) {
            const std::string line = buffer.substr(0, newline);
            buffer.erase(0, newline + 1);
            answer(line);
        }
    }
}

void HostilePeer::answer(const std::string& request) {
    std::string method;
    std::int64_t id = 0;
    boost::system::error_code ec;
    const json::value parsed = json::parse(request, ec);
    if (!ec && parsed.is_object()) {
        if (const auto* m = parsed.get_object().if_contains("method"); m && m->is_string())
            method = std::string(m->get_string());
        if (const auto* i = parsed.get_object().if_contains("id"); i && i->is_int64())
            id = i->get_int64();
    }
    const std::string honest = dispatcher.handleLine(request).value_or("");
    const std::string head = R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"result":)";

    std::discrete_distribution<int> pick(std::begin(weights), std::end(weights));
    const auto action = static_cast<Action>(pick(random));
    note(method + ":" + names[static_cast<int>(action)]);
    std::string reply;
    switch (action) {
        case Action::pass:
            reply = honest + "\n";
            break;
        case Action::drop:
            return;
        case Action::duplicate:
            reply = honest + "\n" + honest + "\n";
            break;
        case Action::hold:
            held.push_back(honest + "\n");
            return;
        case Action::garble: {
            reply = honest;
            const int edits = std::uniform_int_distribution<int>(1, 4)(random);
            for (int i = 0; i < edits && !reply.empty(); ++i) {
                const auto at =
                    std::uniform_int_distribution<std::size_t>(0, reply.size() - 1)(random);
                const auto byte =
                    static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random));
                switch (std::uniform_int_distribution<int>(0, 2)(random)) {
                    case 0:
                        reply[at] = byte;
                        break;
                    case 1:
                        reply.insert(reply.begin() + static_cast<std::ptrdiff_t>(at), byte);
                        break;
                    default:
                        reply.erase(at, 1);
                }
            }
            reply += "\n";
            break;
        }
        case Action::readdress: {
            const std::int64_t other[] = {id - 1, id + 1, 0, -1, INT64_MAX};
            const auto to = other[std::uniform_int_distribution<int>(0, 4)(random)];
            reply = honest;
            const std::string from = "\"id\":" + std::to_string(id) + ",";
            if (const auto at = reply.find(from); at != std::string::npos)
                reply.replace(at, from.size(), "\"id\":" + std::to_string(to) + ",");
            reply += "\n";
            break;
        }
        case Action::replace:
            reply = head + hostileResult(method) + "}\n";
            break;
        case Action::bloat:
            // Well formed and under the line limit, but far more than any call asked for.
            reply = head + "\"" + rpc::base64Encode(std::string(600 << 10, 'b')) + "\"}\n";
            break;
        case Action::inflate:
            reply = head + "\"" + std::string(oversizedBytes + 1000, 'A') + "\"}\n";
            break;
        case Action::garbage:
            reply = "not json at all\n\n{\"jsonrpc\":\"2.0\"}\n" + honest + "\n";
            break;
        case Action::hangUp:
            hangUp();
            return;
    }
    send(reply);
    for (const std::string& late : std::exchange(held, {}))
        send(late);
}

void HostilePeer::send(const std::string& bytes) {
    // Ragged pieces now and then: the host must reassemble lines split anywhere.
    const bool ragged = std::uniform_int_distribution<int>(0, 4)(random) == 0;
    std::string_view rest = bytes;
    while (!rest.empty() && !closed.load()) {
        std::size_t piece = rest.size();
        if (ragged)
            piece =
                std::min(rest.size(), std::uniform_int_distribution<std::size_t>(1, 64)(random));
        const ssize_t n = ::send(peerEnd.get(), rest.data(), piece, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        rest.remove_prefix(static_cast<std::size_t>(n));
        lastActivity = nowMilliseconds();
        if (ragged)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

std::string HostilePeer::hostileResult(const std::string& method) {
    const auto choose = [this](int count) {
        return std::uniform_int_distribution<int>(0, count - 1)(random);
    };
    if (method == "list_dir") {
        // Names a host must never use as they are, numbers out of every range.
        static const char* entries[] = {
            R"({"name":"../escape.txt","size":6})",
            R"({"name":"a/b","size":1})",
            R"({"name":"","size":1})",
            R"({"name":".","is_directory":true})",
            R"({"name":"..","is_directory":true})",
            R"({"name":"nul\u0000name","size":2})",
            R"({"name":"dup.txt","size":3})",
            R"({"name":"dup.txt","size":4,"is_directory":true})",
            R"({"name":"huge.bin","size":1e300,"mtime":1e300,"permissions":-1})",
            R"({"name":"negative.bin","size":-5,"mtime":-1e20})",
            R"({"name":"odd.txt","is_directory":"yes","is_symlink":1,"symlink_target":5})",
            R"({"name":"ok.txt","size":3,"owner":null,"group":[]})",
            R"({"size":3})",
            R"(5)",
        };
        std::string list = "[";
        const int count = choose(8);
        for (int i = 0; i < count; ++i)
            list += std::string(i ? "," : "") + entries[choose(std::size(entries))];
        if (choose(3) == 0)
            list += std::string(count ? "," : "") + R"({"name":")" + std::string(300, 'n') + "\"}";
        return list + "]";
    }
    if (method == "read_file") {
        switch (choose(4)) {
            case 0:
                return "\"" + rpc::base64Encode(std::string(choose(5000), 'r')) + "\"";
            case 1:
                return R"("@@not base64@@")";
            case 2:
                return "\"aGVsbG8=\\n\"";
            default:
                return "12345";
        }
    }
    if (method == "rename") {
        static const char* results[] = {R"({"new_path":"/../../etc/passwd"})", R"({"new_path":5})",
                                        R"("just a string")", R"({})"};
        return results[choose(std::size(results))];
    }
    static const char* values[] = {
        "null",
        "true",
        "-1",
        "1e308",
        R"("text")",
        "[]",
        "{}",
        R"([{"name":5,"size":"big","total_bytes":-1,"free_bytes":1e300}])",
        "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"};
    return values[choose(std::size(values))];
}

}  // namespace quorvale::testing
