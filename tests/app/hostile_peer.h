#pragma once
// A guest that lies, seeded: the real agent's method table answers each request against a
// served directory, and the peer then passes, drops, duplicates, holds back (so that later
// answers overtake it), garbles, re-addresses, replaces or inflates the answer, slips garbage
// lines in, writes in ragged pieces, or hangs up. Every choice comes from the seed, in the
// order the requests arrive, so a seed replays the same misbehaviour. Runs on its own thread
// over a real socketpair; the host's end is handed out once.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "rpc/unique_fd.h"

namespace quorvale::agent {
class Dispatcher;
}

namespace quorvale::testing {

class HostilePeer {
public:
    // Lines longer than this are what the host's transport is made to refuse.
    static constexpr std::size_t oversizedBytes = std::size_t{1} << 20;

    HostilePeer(const agent::Dispatcher& dispatcher, std::uint64_t seed);
    ~HostilePeer();
    HostilePeer(const HostilePeer&) = delete;
    HostilePeer& operator=(const HostilePeer&) = delete;

    UniqueFd takeHostEnd() { return std::move(hostEnd); }
    // Ends the stream from this side (as a guest that went away).
    void hangUp();
    bool hungUp() const { return closed.load(); }
    // Milliseconds since the peer last received or sent anything.
    std::int64_t idleMilliseconds() const;
    // What the peer did, one word per answer, for the failure message of a test.
    std::string journal() const;

private:
    void serve();
    void answer(const std::string& request);
    void send(const std::string& bytes);
    std::string hostileResult(const std::string& method);
    void note(const std::string& what);

    const agent::Dispatcher& dispatcher;
    std::mt19937_64 random;
    UniqueFd hostEnd;
    UniqueFd peerEnd;
    std::vector<std::string> held;  // answers held back until after the next one
    std::atomic<bool> closed = false;
    std::atomic<std::int64_t> lastActivity;
    mutable std::mutex journalMutex;
    std::string actions;
    std::thread thread;
};

}  // namespace quorvale::testing
