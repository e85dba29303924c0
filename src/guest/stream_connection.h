#pragma once
// One connected byte stream carrying newline-delimited JSON-RPC, serviced by two threads so
// that nobody else ever blocks on it:
//  - the reader waits for bytes, splits them into lines and decodes each non-empty line as a
//    response, reporting responses, undecodable lines and the end of the stream;
//  - the writer writes queued frames whole and in queue order, so frames never interleave.
// write() first tries to write at once without blocking (small frames then cost no thread
// hop) and hands whatever remains to the writer. Callbacks run on those threads. stop() shuts
// the stream down and wakes both threads; the descriptor is closed only by the destructor,
// after both threads have ended, so no thread ever uses a closed (or reused) descriptor.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "rpc/json_rpc.h"
#include "rpc/unique_fd.h"

namespace quorvale::guest {

class StreamConnection {
public:
    enum class EndReason { endOfStream, readFailed, lineTooLong };

    struct Callbacks {
        std::function<void(rpc::JSONRPCResponse)> response;  // reader thread
        // A line that is no response: why, and what could be read of it.
        std::function<void(const std::string& reason, rpc::JSONRPCResponse::Salvage)>
            undecodable;                                   // reader thread
        std::function<void(EndReason)> ended;              // reader thread, once
        std::function<void(std::int64_t id)> writeFailed;  // writer thread
        std::function<void()> finished;  // the last of the two threads, as it ends
    };

    StreamConnection(UniqueFd stream, std::size_t maxLineBytes, Callbacks callbacks);
    ~StreamConnection();  // stops, joins both threads, closes the descriptor
    StreamConnection(const StreamConnection&) = delete;
    StreamConnection& operator=(const StreamConnection&) = delete;

    // Queues one frame written as a unit after every frame queued before it. False, with
    // nothing queued, when a write has failed on this stream or it is stopped.
    bool write(std::int64_t id, std::string frame);
    // Shuts the stream down and wakes both threads; they end without further callbacks
    // except `finished`. Idempotent.
    void stop();
    // Both threads have ended: destroying the connection will not wait.
    bool finished() const { return runningThreads.load() == 0; }

private:
    struct Frame {
        std::int64_t id;
        std::string bytes;
        std::size_t written = 0;
    };
    enum class WriteStep { done, wouldBlock, failed };

    void readLoop();
    void writeLoop();
    WriteStep writeSome(Frame& frame);
    bool writeWhole(Frame& frame);
    void threadEnded();

    UniqueFd fd;
    UniqueFd wake;  // eventfd, readable once stop() ran
    bool isSocket = false;
    std::size_t maxLineBytes;
    Callbacks callbacks;

    std::mutex mutex;
    std::condition_variable wakeWriter;
    std::deque<Frame> queue;   // frames not yet taken by the writer
    bool writerBusy = false;   // the writer holds a frame outside `queue`
    bool writeBroken = false;  // a write failed: the stream's framing is lost
    std::atomic<bool> stopping = false;
    std::atomic<int> runningThreads = 2;

    std::thread reader;
    std::thread writer;
};

}  // namespace quorvale::guest
