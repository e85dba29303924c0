// quorvale-agent: the guest agent. As PID 1 of the VM (or with --init) it brings the guest up
// and serves the attached disk; on the host, `--root DIR --listen unix:PATH` serves DIR as one
// mounted partition, to whoever may open the socket (it is made 0600) or, with
// `--secret-file FILE`, to connections that prove the secret in FILE.

#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "agent/channel_secret.h"
#include "agent/check_methods.h"
#include "agent/dispatcher.h"
#include "agent/file_methods.h"
#include "agent/posix_methods.h"
#include "agent/filesystem_check.h"
#include "agent/host_partitions.h"
#include "agent/init_system.h"
#include "agent/log.h"
#include "agent/server.h"

namespace {

using namespace quorvale::agent;

struct Options {
    bool init = false;
    std::string root;
    std::string listen;
    std::string name = "root";
    std::string label;
    std::string secretFile;
    std::string device;
};

constexpr const char* usage =
    "usage: quorvale-agent --root DIR --listen unix:PATH [--name NAME] [--label LABEL]\n"
    "                      [--secret-file FILE] [--device IMAGE]   (checks run on IMAGE)\n"
    "       quorvale-agent --init   (run as the VM's init; automatic as PID 1)\n";

std::optional<Options> parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc)
                return std::nullopt;
            return std::string(argv[++i]);
        };
        std::optional<std::string> v;
        if (arg == "--init") {
            options.init = true;
            continue;
        }
        if (arg != "--root" && arg != "--listen" && arg != "--name" && arg != "--label" &&
            arg != "--secret-file" && arg != "--device")
            return std::nullopt;
        if (!(v = value()))
            return std::nullopt;
        if (arg == "--root")
            options.root = *v;
        else if (arg == "--listen")
            options.listen = *v;
        else if (arg == "--name")
            options.name = *v;
        else if (arg == "--secret-file")
            options.secretFile = *v;
        else if (arg == "--device")
            options.device = *v;
        else
            options.label = *v;
    }
    return options;
}

int runHost(const Options& options) {
    constexpr std::string_view unixPrefix = "unix:";
    if (options.root.empty() || options.listen.substr(0, unixPrefix.size()) != unixPrefix) {
        std::cerr << usage;
        return 2;
    }
    std::optional<ChannelSecret> secret;
    if (!options.secretFile.empty() && !(secret = ChannelSecret::fromFile(options.secretFile))) {
        logLine("no channel secret in " + options.secretFile);
        return 2;
    }
    try {
        HostPartitions partitions(options.root, options.name, options.label, options.device);
        Dispatcher dispatcher;
        addFileMethods(dispatcher, partitions);
        addPosixMethods(dispatcher, partitions);
        addCheckMethods(dispatcher, partitions, findE2fsck());
        auto listener = listenUnix(options.listen.substr(unixPrefix.size()));
        logLine("serving " + options.root + " on " + options.listen);
        serveListener(std::move(listener), dispatcher, secret ? &*secret : nullptr);
    } catch (const std::exception& e) {
        logLine(e.what());
        return 1;
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Replies to a host that went away must fail, not kill the agent.
    ::signal(SIGPIPE, SIG_IGN);
    // Transfers allocate several buffers of a few MiB per call. Served from the heap and kept
    // there they are reused; mapped afresh each time, every page faults in again.
    ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 128 << 20);
    ::mallopt(M_ARENA_MAX, 4);
    // A thread's whole stack counts against the guest's commit limit; no call needs more.
    pthread_attr_t threads;
    if (::pthread_attr_init(&threads) == 0) {
        ::pthread_attr_setstacksize(&threads, std::size_t{1} << 20);
        ::pthread_setattr_default_np(&threads);
        ::pthread_attr_destroy(&threads);
    }
    if (::getpid() == 1)
        runInit();  // never returns
    const auto options = parseOptions(argc, argv);
    if (!options) {
        std::cerr << usage;
        return 2;
    }
    if (options->init)
        runInit();
    return runHost(*options);
}
