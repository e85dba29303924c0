// The agent's request handling: request lines in, through the method table, against a small
// served tree that is built afresh for every input. Every reply must be well formed, and
// nothing outside the served tree may change: its parent holds a decoy file that links inside
// the tree point at, and the whole run is confined (sandbox.h).

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "agent/dispatcher.h"
#include "agent/file_methods.h"
#include "agent/host_partitions.h"
#include "reply_check.h"
#include "rpc/json_rpc.h"
#include "sandbox.h"

namespace {

namespace fs = std::filesystem;
using namespace quorvale;

constexpr std::string_view kDecoyText = "decoy: must never change\n";
constexpr std::size_t kMaxLines = 8;

std::string scratch;
std::string root;

void link(const std::string& target, const std::string& path) {
    if (::symlink(target.c_str(), (root + path).c_str()) != 0)
        std::abort();
}

// A small tree with what requests can trip over: nested folders, links of every kind (inside,
// absolute, up and out, loops, dangling), an account database, a FIFO.
void buildTree() {
    fuzz::emptyDirectory(scratch);
    fs::create_directories(root + "/docs/deep/er");
    fs::create_directories(root + "/etc");
    fs::create_directories(root + "/empty");
    fuzz::writeFile(scratch + "/outside.txt", std::string(kDecoyText));
    fuzz::writeFile(root + "/a.txt", "hello\n");
    fuzz::writeFile(root + "/docs/b.bin", std::string("\x00\x01\xff\xfe", 4));
    fuzz::writeFile(root + "/docs/deep/er/c", "c");
    fuzz::writeFile(root + "/etc/passwd", "card:x:1000:1000::/:/bin/sh\nbroken\n");
    fuzz::writeFile(root + "/etc/group", "card:x:1000:\n");
    ::mkfifo((root + "/fifo").c_str(), 0644);
    link("a.txt", "/to-a");
    link("/docs", "/abs-docs");
    link("/", "/to-root");
    link("../outside.txt", "/up");
    link("../../../../..", "/updir");
    link("loop", "/loop");
    link("nowhere", "/dangling");
}

void checkDecoy() {
    std::error_code error;
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(scratch, error)) {
        ++entries;
        const auto name = entry.path().filename().string();
        if (name != "outside.txt" && name != "root") {
            std::fprintf(stderr,
                         "fuzz check failed: a request created %s outside the served tree\n",
                         name.c_str());
            std::abort();
        }
    }
    if (entries != 2 || fuzz::readFile(scratch + "/outside.txt") != kDecoyText ||
        fs::is_symlink(scratch + "/outside.txt")) {
        std::fprintf(stderr,
                     "fuzz check failed: a request changed the decoy outside the served tree\n");
        std::abort();
    }
}

// Whether a request line may change the tree: it calls a method that writes. After inputs
// that only read, the tree is left as it is instead of being built again.
bool mayWrite(std::string_view line) {
    try {
        const std::string method = rpc::JSONRPCRequest::decode(line).method;
        return method != "ping" && method != "get_partitions" && method != "list_dir" &&
               method != "read_file" && method != "dir_usage" && method != "sync";
    } catch (...) {
        return false;
    }
}

bool treeChanged = true;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    scratch = fuzz::confine(*argc, *argv);
    root = scratch + "/root";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (treeChanged)
        buildTree();
    treeChanged = false;
    {
        agent::HostPartitions partitions(root, "sdb1", "card");
        agent::Dispatcher dispatcher;
        agent::addFileMethods(dispatcher, partitions);
        std::string_view input(reinterpret_cast<const char*>(data), size);
        for (std::size_t n = 0; n < kMaxLines && !input.empty(); ++n) {
            const auto newline = input.find('\n');
            const std::string_view line = input.substr(0, newline);
            input =
                newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
            treeChanged = treeChanged || mayWrite(line);
            const auto reply = dispatcher.handleLine(line);
            if (reply) {
                fuzz::checkReply(line, *reply);
            } else if (line.find_first_not_of(" \t\r") != std::string_view::npos) {
                std::fprintf(stderr, "fuzz check failed: no reply to a request line\n");
                std::abort();
            }
        }
    }
    checkDecoy();
    return 0;
}
