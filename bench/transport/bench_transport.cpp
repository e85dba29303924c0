// Transport figures, each the median of 5 runs, with a raw socket baseline from the same run:
//  ping        one call round trip over a Unix socketpair to an echo peer thread;
//  64 MiB      one reply whose "result" is 64 MiB of base64, from the first byte the peer
//              writes to the decoded bytes in hand, beside a raw copy of the same bytes.

#include <QtCore/QCoreApplication>
#include <QtCore/QEventLoop>
#include <QtCore/QLoggingCategory>

#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "guest/vsock_transport.h"
#include "rpc/base64.h"
#include "rpc/json_rpc.h"
#include "rpc/line_buffer.h"

using namespace quorvale;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRuns = 5;
constexpr int kPingsPerRun = 2000;

std::pair<UniqueFd, UniqueFd> socketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair");
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("write");
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Reads lines until end of stream, calling `onLine` for each.
template <typename F>
void readLines(int fd, F onLine) {
    rpc::LineBuffer buffer;
    std::vector<char> chunk(1 << 16);
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n <= 0)
            return;
        buffer.append(std::string_view(chunk.data(), static_cast<std::size_t>(n)));
        while (auto line = buffer.nextLine())
            onLine(*line);
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QCoro::Task<> pingLoop(guest::VsockTransport& transport, std::vector<double>& micros,
                       QEventLoop& loop) {
    for (int i = 0; i < kPingsPerRun; ++i) {
        const auto start = Clock::now();
        co_await transport.send("ping");
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    loop.quit();
}

// Median call round trip, and the median raw write-then-read round trip on the same kind of pair.
std::pair<double, double> pingRun() {
    auto [mine, theirs] = socketPair();
    std::thread echo([fd = theirs.get()] {
        readLines(fd, [fd](const std::string& line) {
            const auto request = rpc::JSONRPCRequest::decode(line);
            writeAll(fd, rpc::frame(rpc::JSONRPCResponse::encodeResult(request.id, "pong")));
        });
    });
    std::vector<double> micros;
    {
        guest::VsockTransport transport;
        transport.connect(std::move(mine));
        QEventLoop loop;
        auto task = pingLoop(transport, micros, loop);
        loop.exec();
    }  // closes our end: the echo thread sees end of stream
    echo.join();

    auto [a, b] = socketPair();
    std::thread rawEcho([fd = b.get()] {
        char byte[64];
        while (::read(fd, byte, sizeof byte) > 0)
            writeAll(fd, "x");
    });
    std::vector<double> raw;
    char byte;
    for (int i = 0; i < kPingsPerRun; ++i) {
        const auto start = Clock::now();
        writeAll(a.get(), "x");
        if (::read(a.get(), &byte, 1) != 1)
            break;
        raw.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    a.reset();
    rawEcho.join();
    return {median(micros), median(raw)};
}

QCoro::Task<> fetch(guest::VsockTransport& transport, std::string& bytes, Clock::time_point& end,
                    QEventLoop& loop) {
    const auto result = co_await transport.send("read");
    bytes = rpc::base64Decode(result.value().stringValue().value()).value();
    end = Clock::now();
    loop.quit();
}

// CPU seconds used by all threads of the process so far.
double processCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct BulkFigures {
    double seconds, cpuSeconds;        // through the transport
    double rawSeconds, rawCpuSeconds;  // raw copy of the same line
};

// Elapsed and CPU seconds (every thread, the peer's included) for the reply through the
// transport, and for a raw copy of the same line. CPU time shows the cost of the work itself
// when the machine is shared and elapsed time mostly measures waiting for a core.
BulkFigures bulkRun(const std::string& line, std::size_t decodedSize) {
    BulkFigures figures{};
    auto [mine, theirs] = socketPair();
    Clock::time_point start;
    std::thread peer([fd = theirs.get(), &line, &start] {
        readLines(fd, [&](const std::string&) {
            start = Clock::now();
            writeAll(fd, line);
        });
    });
    std::string bytes;
    Clock::time_point end;
    {
        guest::VsockTransport transport;
        transport.connect(std::move(mine));
        QEventLoop loop;
        const double cpu = processCpuSeconds();
        auto task = fetch(transport, bytes, end, loop);
        loop.exec();
        figures.cpuSeconds = processCpuSeconds() - cpu;
    }
    peer.join();
    if (bytes.size() != decodedSize)
        throw std::runtime_error("short reply");
    figures.seconds = std::chrono::duration<double>(end - start).count();

    auto [a, b] = socketPair();
    Clock::time_point rawStart;
    std::thread writer([fd = a.get(), &line, &rawStart] {
        rawStart = Clock::now();
        writeAll(fd, line);
    });
    std::string copy(line.size(), '\0');
    const double rawCpu = processCpuSeconds();
    std::size_t received = 0;
    while (received < copy.size()) {
        const ssize_t n = ::read(b.get(), copy.data() + received, copy.size() - received);
        if (n <= 0)
            throw std::runtime_error("raw read");
        received += static_cast<std::size_t>(n);
    }
    const auto rawEnd = Clock::now();
    writer.join();
    figures.rawCpuSeconds = processCpuSeconds() - rawCpu;
    figures.rawSeconds = std::chrono::duration<double>(rawEnd - rawStart).count();
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvale.app.Vsock.info=false"));

    std::vector<double> ping, rawPing;
    for (int run = 0; run < kRuns; ++run) {
        const auto [call, raw] = pingRun();
        ping.push_back(call);
        rawPing.push_back(raw);
        std::printf("ping run %d: %.1f us (raw socket round trip %.1f us)\n", run + 1, call, raw);
    }
    std::printf("ping median of %d runs: %.1f us per call (raw socket round trip %.1f us)\n\n",
                kRuns, median(ping), median(rawPing));

    // 48 MiB of bytes are 64 MiB of base64.
    std::string payload(std::size_t{48} << 20, '\0');
    std::mt19937_64 random(42);
    for (auto& c : payload)
        c = static_cast<char>(random());
    const std::string line = rpc::frame(
        rpc::JSONRPCResponse::encodeResult(1, boost::json::string(rpc::base64Encode(payload))));
    const double megabytes = static_cast<double>(line.size()) / 1e6;
    std::vector<double> rates, rawRates, cpuRates, rawCpuRates;
    for (int run = 0; run < kRuns; ++run) {
        const auto figures = bulkRun(line, payload.size());
        rates.push_back(megabytes / figures.seconds);
        rawRates.push_back(megabytes / figures.rawSeconds);
        cpuRates.push_back(megabytes / figures.cpuSeconds);
        rawCpuRates.push_back(megabytes / figures.rawCpuSeconds);
        std::printf(
            "64 MiB base64 reply run %d: %.0f MB/s in %.1f ms, %.0f MB per CPU second "
            "(raw copy %.0f MB/s, %.0f MB per CPU second)\n",
            run + 1, rates.back(), figures.seconds * 1e3, cpuRates.back(), rawRates.back(),
            rawCpuRates.back());
    }
    std::printf(
        "64 MiB base64 reply median of %d runs: %.0f MB/s of reply, first byte written to "
        "decoded bytes in hand, %.0f MB per CPU second (raw socket copy of the same bytes: "
        "%.0f MB/s, %.0f MB per CPU second)\n",
        kRuns, median(rates), median(cpuRates), median(rawRates), median(rawCpuRates));
    return 0;
}
