// The helper's request handling: request lines from an authorised peer, against a fake machine
// (a sysfs tree with a USB disk, an SD card, a fixed disk and a mounted card; regular files
// standing in for their device nodes), all lines of one input on one connection. Each line is
// sent with the last descriptor handed out before it. Every reply must be well formed, a
// descriptor travels only with a successful open and is then one of the stand-in nodes of a
// removable, unmounted whole disk, "open_held_disk" succeeds only on a descriptor that
// "open_disk" handed out, and the run is confined (sandbox.h).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json/parse.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

#include "helper/request_handler.h"
#include "reply_check.h"
#include "rpc/json_rpc.h"
#include "sandbox.h"

namespace {

namespace fs = std::filesystem;
using namespace quorvale;

constexpr std::size_t kMaxLines = 8;

std::string scratch;
// The stand-in nodes that may be handed out, by inode.
std::map<ino_t, std::string> openable;

void file(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    fuzz::writeFile(path.string(), text + "\n");
}

// One disk under devices/<bus path>/block/<name>, its partitions, and its node under dev/.
void disk(const std::string& name, const std::string& dev, const std::string& bus, bool removable,
          bool mayOpen, const std::map<std::string, std::string>& partitions) {
    const fs::path sys = scratch + "/sys";
    fs::path device = sys / "devices" / (bus + "-" + name) / "1-1";
    fs::create_directories(device);
    if (bus != "fixed")
        fs::create_symlink(bus == "usb" ? "../../../bus/usb" : "../../../bus/mmc",
                           device / "subsystem");
    file(device / "remove", "");
    file(device / "delete", "");
    const fs::path dir = device / "block" / name;
    file(dir / "dev", dev);
    file(dir / "removable", removable ? "1" : "0");
    file(dir / "ro", "0");
    fs::create_directories(dir / "holders");
    fs::create_symlink("../..", dir / "device");
    for (const auto& [part, number] : partitions) {
        file(dir / part / "dev", number);
        file(dir / part / "partition", "1");
        fs::create_directories(dir / part / "holders");
        fs::create_symlink(fs::relative(dir / part, sys / "class" / "block"),
                           sys / "class" / "block" / part);
    }
    fs::create_symlink(fs::relative(dir, sys / "class" / "block"), sys / "class" / "block" / name);
    const fs::path node = fs::path(scratch) / "dev" / name;
    file(node, "disk " + name);
    struct stat st {};
    ::stat(node.c_str(), &st);
    if (mayOpen)
        openable[st.st_ino] = name;
}

void buildMachine() {
    fs::create_directories(scratch + "/sys/class/block");
    fs::create_directories(scratch + "/sys/bus/usb");
    fs::create_directories(scratch + "/sys/bus/mmc");
    fs::create_directories(scratch + "/dev");
    disk("sdb", "8:16", "usb", false, true, {{"sdb1", "8:17"}, {"sdb2", "8:18"}});
    disk("mmcblk0", "179:0", "mmc", true, true, {{"mmcblk0p1", "179:1"}});
    disk("sda", "8:0", "fixed", false, false, {{"sda1", "8:1"}});
    disk("sdc", "8:32", "usb", true, false, {{"sdc1", "8:33"}});
    // sdc1 is mounted here; a symbolic link stands where a node should be.
    fuzz::writeFile(
        scratch + "/mountinfo",
        "22 1 0:21 / / rw - overlay overlay rw\n40 22 8:33 / /media/c rw - ext4 x rw\n");
    fuzz::writeFile(scratch + "/swaps", "Filename\tType\tSize\tUsed\tPriority\n");
    fs::create_symlink(scratch + "/dev/sdb", scratch + "/dev/vdb");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    scratch = fuzz::confine(*argc, *argv);
    buildMachine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    helper::DiskAccessConfig config;
    config.sysRoot = scratch + "/sys";
    config.devRoot = scratch + "/dev";
    config.mountInfo = scratch + "/mountinfo";
    config.swaps = scratch + "/swaps";
    config.allowRegularFiles = true;
    const helper::RequestHandler handler(helper::DiskAccess(config),
                                         helper::PeerAuthorizer("plugdev"));
    helper::PeerCredentials root;
    root.pid = 1;
    root.uid = 0;
    root.gid = 0;

    helper::DiskClaims claims;
    UniqueFd last;               // the last descriptor handed out
    bool lastExclusive = false;  // and whether "open_disk" handed it out
    std::string_view input(reinterpret_cast<const char*>(data), size);
    for (std::size_t n = 0; n < kMaxLines && !input.empty(); ++n) {
        const auto newline = input.find('\n');
        const std::string_view line = input.substr(0, newline);
        input = newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
        helper::PassedFds passed;
        if (last)
            passed.fds.emplace_back(::fcntl(last.get(), F_DUPFD_CLOEXEC, 0));
        helper::Reply reply = handler.handle(line, root, claims, std::move(passed));
        fuzz::checkReply(line, reply.line, fuzz::NullId::allowedOnErrors);
        const boost::json::object answer = boost::json::parse(reply.line).as_object();
        const bool succeeded = answer.contains("result");
        const bool promisesFd = succeeded && answer.at("result").is_object() &&
                                answer.at("result").as_object().contains("fd_count");
        if (promisesFd != reply.fd.valid()) {
            std::fprintf(
                stderr,
                "fuzz check failed: \"fd_count\" without a descriptor or the reverse:\n  %s\n",
                reply.line.c_str());
            std::abort();
        }
        if (!reply.fd.valid())
            continue;
        struct stat st {};
        const bool held = succeeded && rpc::JSONRPCRequest::decode(line).method == "open_held_disk";
        if (!succeeded || ::fstat(reply.fd.get(), &st) != 0 || !openable.count(st.st_ino) ||
            (held && !lastExclusive)) {
            std::fprintf(stderr,
                         "fuzz check failed: a descriptor went out that must not:\n  %.*s\n  %s\n",
                         static_cast<int>(line.size()), line.data(), reply.line.c_str());
            std::abort();
        }
        lastExclusive = !held;
        last = std::move(reply.fd);
    }
    return 0;
}
