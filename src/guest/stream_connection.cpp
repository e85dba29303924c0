#include "guest/stream_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "rpc/line_buffer.h"

namespace quorvale::guest {

namespace {

constexpr std::size_t kReadChunk = std::size_t{256} << 10;
// A socket whose peer shut down only its reading side never polls writable again, yet a write
// then fails at once: a blocked writer retries this often to find out.
constexpr int kWriteRetryMs = 250;

// Waits until `fd` is ready for `events`, `timeoutMs` passes (-1: never) or `wake` is
// signalled; false when woken (or failed).
bool waitFor(int fd, short events, int wake, int timeoutMs = -1) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
        const int n = ::poll(fds, 2, timeoutMs);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (fds[1].revents != 0)
            return false;
        // POLLHUP/POLLERR also end the wait: the next read or write reports them.
        return true;
    }
}

}  // namespace

StreamConnection::StreamConnection(UniqueFd stream, std::size_t maxLineBytes, Callbacks callbacks)
    : fd(std::move(stream)), maxLineBytes(maxLineBytes), callbacks(std::move(callbacks)) {
    wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    struct stat st {};
    isSocket = ::fstat(fd.get(), &st) == 0 && S_ISSOCK(st.st_mode);
    // Both threads wait in poll(), never in a read or write, so stop() always reaches them.
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0)
        ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
    reader = std::thread([this] { readLoop(); });
    writer = std::thread([this] { writeLoop(); });
}

StreamConnection::~StreamConnection() {
    stop();
    reader.join();
    writer.join();
}

void StreamConnection::stop() {
    if (stopping.exchange(true))
        return;
    {
        std::lock_guard lock(mutex);
        wakeWriter.notify_all();
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wake.get(), &one, sizeof one);
    // Tell the peer at once; the descriptor itself stays open until both threads ended.
    if (isSocket)
        ::shutdown(fd.get(), SHUT_RDWR);
}

bool StreamConnection::write(std::int64_t id, std::string bytes) {
    std::lock_guard lock(mutex);
    if (writeBroken || stopping.load())
        return false;
    Frame frame{id, std::move(bytes)};
    if (queue.empty() && !writerBusy && isSocket) {
        // MSG_DONTWAIT | MSG_NOSIGNAL: never blocks and never raises SIGPIPE in the caller.
        switch (writeSome(frame)) {
            case WriteStep::done:
                return true;
            case WriteStep::failed:
                writeBroken = true;
                return false;
            case WriteStep::wouldBlock:
                break;
        }
    }
    queue.push_back(std::move(frame));
    wakeWriter.notify_one();
    return true;
}

StreamConnection::WriteStep StreamConnection::writeSome(Frame& frame) {
    while (frame.written < frame.bytes.size()) {
        const char* data = frame.bytes.data() + frame.written;
        const std::size_t size = frame.bytes.size() - frame.written;
        const ssize_t n = isSocket ? ::send(fd.get(), data, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                                   : ::write(fd.get(), data, size);
        if (n > 0) {
            frame.written += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return WriteStep::wouldBlock;
        } else {
            return WriteStep::failed;
        }
    }
    return WriteStep::done;
}

bool StreamConnection::writeWhole(Frame& frame) {
    for (;;) {
        switch (writeSome(frame)) {
            case WriteStep::done:
                return true;
            case WriteStep::failed:
                return false;
            case WriteStep::wouldBlock:
                if (!waitFor(fd.get(), POLLOUT, wake.get(), kWriteRetryMs))
                    return false;
        }
    }
}

void StreamConnection::writeLoop() {
    // A write to a pipe whose reader is gone fails with EPIPE here instead of killing us.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    std::unique_lock lock(mutex);
    for (;;) {
        wakeWriter.wait(lock, [this] { return stopping.load() || !queue.empty(); });
        if (stopping.load())
            break;
        Frame frame = std::move(queue.front());
        queue.pop_front();
        writerBusy = true;
        lock.unlock();
        const bool written = writeWhole(frame);
        lock.lock();
        writerBusy = false;
        if (written || stopping.load())
            continue;
        // The peer saw part of a frame at most: nothing later can be framed correctly.
        writeBroken = true;
        std::vector<std::int64_t> failed{frame.id};
        for (const auto& queued : queue)
            failed.push_back(queued.id);
        queue.clear();
        lock.unlock();
        for (const auto id : failed)
            callbacks.writeFailed(id);
        lock.lock();
    }
    lock.unlock();
    threadEnded();
}

void StreamConnection::readLoop() {
    rpc::LineBuffer buffer(maxLineBytes);
    std::vector<char> chunk(kReadChunk);
    auto end = [this](EndReason reason) {
        if (!stopping.load())
            callbacks.ended(reason);
    };
    while (!stopping.load()) {
        if (!waitFor(fd.get(), POLLIN, wake.get()))
            break;
        const ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            end(EndReason::readFailed);
            break;
        }
        if (n == 0) {
            end(EndReason::endOfStream);
            break;
        }
        buffer.append(std::string_view(chunk.data(), static_cast<std::size_t>(n)));
        while (auto line = buffer.nextLine()) {
            if (line->empty() || stopping.load())
                continue;
            try {
                callbacks.response(rpc::JSONRPCResponse::decode(*line));
            } catch (const std::exception& error) {
                callbacks.undecodable(error.what(), rpc::JSONRPCResponse::salvage(*line));
            }
        }
        if (buffer.overflowed()) {
            end(EndReason::lineTooLong);
            break;
        }
    }
    threadEnded();
}

void StreamConnection::threadEnded() {
    if (runningThreads.fetch_sub(1) == 1 && callbacks.finished)
        callbacks.finished();
}

}  // namespace quorvale::guest
