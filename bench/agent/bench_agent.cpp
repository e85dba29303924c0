// bench_agent: figures for the host-mode agent over a Unix socket, median of 5 runs each.
//   list_dir of 10,000 and 100,000 entries (request to the last byte of the reply),
//   beside `ls -l` of the same directory;
//   chunked export (read_file) and upload (write_file) of a 256 MiB file in 4 MiB chunks,
//   beside `cp` of the same file.

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "rpc/base64.h"

namespace {

namespace json = boost::json;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int runs = 5;
constexpr std::size_t chunkBytes = std::size_t{4} << 20;
constexpr std::size_t fileBytes = std::size_t{256} << 20;

class Client {
public:
    explicit Client(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        for (int i = 0; i < 500; ++i) {
            if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::fprintf(stderr, "cannot connect to the agent\n");
        std::exit(1);
    }
    ~Client() { ::close(fd_); }

    // One call; returns the reply line.
    std::string call(const std::string& method, const json::object& params) {
        return callRaw(method, json::serialize(params));
    }
    // One call with the params object already as JSON text.
    std::string callRaw(const std::string& method, std::string_view params) {
        std::string line = R"({"jsonrpc":"2.0","id":)" + std::to_string(++id_) + R"(,"method":")" +
                           method + R"(","params":)";
        line += params;
        line += "}\n";
        for (std::size_t done = 0; done < line.size();) {
            const auto n = ::write(fd_, line.data() + done, line.size() - done);
            if (n <= 0)
                std::exit(1);
            done += static_cast<std::size_t>(n);
        }
        std::size_t scanned = 0;
        for (;;) {
            if (const auto nl = buffer_.find('\n', scanned); nl != std::string::npos) {
                std::string reply = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                if (reply.find("\"error\"") != std::string::npos && reply.size() < 1000) {
                    std::fprintf(stderr, "%s failed: %s\n", method.c_str(), reply.c_str());
                    std::exit(1);
                }
                return reply;
            }
            scanned = buffer_.size();
            char chunk[1 << 16];
            const auto n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0)
                std::exit(1);
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
    std::int64_t id_ = 0;
    std::string buffer_;
};

// CPU time (user + system) the process has used so far, from /proc.
double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i)
        fields >> skip;
    double user = 0, system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double seconds(const std::function<void()>& body) {
    const auto start = Clock::now();
    body();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double medianOf(const std::function<void()>& body) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i)
        times.push_back(seconds(body));
    return median(times);
}

void shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

void makeEntries(const std::string& dir, int count) {
    fs::create_directories(dir);
    for (int i = 0; i < count; ++i) {
        const auto name = dir + "/file-" + std::to_string(i) + ".txt";
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (i % 10 == 0)
            (void)::write(fd, "some text", 9);
        ::close(fd);
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 512 << 20);
    const bool onlyTransfers = argc > 1 && std::string(argv[1]) == "transfers";
    char pattern[] = "/tmp/quorvale-bench-agent-XXXXXX";
    const std::string work = ::mkdtemp(pattern);
    const std::string root = work + "/root";
    const std::string socket = work + "/agent.sock";
    fs::create_directories(root);

    const pid_t agent = ::fork();
    if (agent == 0) {
        ::execl(QUORVALE_AGENT_BINARY, QUORVALE_AGENT_BINARY, "--root", root.c_str(), "--listen",
                ("unix:" + socket).c_str(), nullptr);
        ::_exit(127);
    }
    Client client(socket);

    std::printf("host-mode agent, median of %d runs\n", runs);
    for (const int count : {10000, 100000}) {
        if (onlyTransfers)
            break;
        const std::string name = "/dir" + std::to_string(count);
        makeEntries(root + name, count);
        std::size_t replyBytes = 0;
        const double cpuBefore = cpuSeconds(agent);
        const double agentTime = medianOf([&] {
            replyBytes = client.call("list_dir", {{"path", name}}).size();
        });
        const double agentCpu = (cpuSeconds(agent) - cpuBefore) / runs;
        const double lsTime = medianOf([&] { shell("ls -l " + root + name + " > /dev/null"); });
        std::printf(
            "list_dir %6d entries: %7.1f ms (agent CPU %.0f ms, reply %.1f MB)   ls -l: %7.1f ms\n",
            count, agentTime * 1e3, agentCpu * 1e3, static_cast<double>(replyBytes) / 1e6,
            lsTime * 1e3);
    }

    {
        std::string data(fileBytes, '\0');
        std::mt19937_64 random(42);
        for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
            const auto v = random();
            std::memcpy(data.data() + i, &v, 8);
        }
        std::ofstream(root + "/big.bin", std::ios::binary)
            .write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    shell("sync");
    const double mb = static_cast<double>(fileBytes) / 1e6;
    std::string exported;
    double cpuBefore = cpuSeconds(agent);
    const double exportTime = medianOf([&] {
        exported.clear();
        for (std::size_t offset = 0; offset < fileBytes; offset += chunkBytes) {
            const auto reply = json::parse(
                client.call("read_file", {{"path", "/big.bin"},
                                          {"max_bytes", static_cast<std::int64_t>(chunkBytes)},
                                          {"offset", static_cast<std::int64_t>(offset)}}));
            exported += *quorvale::rpc::base64Decode(reply.at("result").as_string());
        }
    });
    const double exportCpu = (cpuSeconds(agent) - cpuBefore) / runs;
    // Request lines are built before timing: the figure is the agent's, not this client's.
    std::vector<std::string> uploadLines;
    for (std::size_t offset = 0; offset < fileBytes; offset += chunkBytes) {
        const bool last = offset + chunkBytes >= fileBytes;
        uploadLines.push_back(
            R"({"path":"/upload.bin","offset":)" + std::to_string(offset) + R"(,"final":)" +
            (last ? "true" : "false") + R"(,"data_b64":")" +
            quorvale::rpc::base64Encode(std::string_view(exported).substr(offset, chunkBytes)) +
            "\"}");
    }
    std::vector<double> finalChunk;
    cpuBefore = cpuSeconds(agent);
    const double uploadTime = medianOf([&] {
        for (std::size_t i = 0; i < uploadLines.size(); ++i) {
            const auto start = Clock::now();
            client.callRaw("write_file", uploadLines[i]);
            if (i + 1 == uploadLines.size())
                finalChunk.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        }
    });
    const double uploadCpu = (cpuSeconds(agent) - cpuBefore) / runs;
    const double cpTime = medianOf([&] { shell("cp " + root + "/big.bin " + work + "/copy.bin"); });
    const double cpSyncTime = medianOf([&] {
        shell("cp " + root + "/big.bin " + work + "/copy.bin && sync " + work + "/copy.bin");
    });
    const bool same =
        fs::file_size(root + "/upload.bin") == fileBytes && exported.size() == fileBytes;
    std::printf("export 256 MiB in 4 MiB chunks: %7.1f MB/s (agent CPU %.2f s per run)\n",
                mb / exportTime, exportCpu);
    std::printf(
        "upload 256 MiB in 4 MiB chunks: %7.1f MB/s%s (agent CPU %.2f s per run, last chunk "
        "with fsync %.0f ms)\n",
        mb / uploadTime, same ? "" : "  (SIZE MISMATCH)", uploadCpu, median(finalChunk) * 1e3);
    std::printf("cp of the same file:            %7.1f MB/s\n", mb / cpTime);
    std::printf("cp and sync of the same file:   %7.1f MB/s\n", mb / cpSyncTime);

    ::kill(agent, SIGTERM);
    ::waitpid(agent, nullptr, 0);
    fs::remove_all(work);
    return same ? 0 : 1;
}
