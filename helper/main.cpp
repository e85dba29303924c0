// quorvale-helper: opens removable disks for authorised users and passes the descriptor back.
//   quorvale-helper [--group NAME]   serves the socket systemd passes (socket activation)
//   quorvale-helper install          writes and enables the systemd units and polkit policy
//   quorvale-helper grant USER       adds USER to the allowed group
// Started through pkexec, only the two setup commands are accepted, exactly as written above.
// The binary built for the tests (QUORVALE_HELPER_TEST_HOOKS) also takes a socket path, stand-ins
// for /dev, sysfs and the mount and swap tables, smaller connection limits, and the setup
// directories; the installed binary has none of those options.

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "helper/helper_server.h"
#include "helper/helper_templates.h"
#include "helper/setup_commands.h"

using namespace quorvale::helper;
using quorvale::UniqueFd;

namespace {

#ifdef QUORVALE_HELPER_TEST_HOOKS
constexpr bool testHooks = true;
#else
constexpr bool testHooks = false;
#endif

enum class Command { serve, install, grant };

struct OptionSpec {
    std::string_view name;
    bool valued;
    bool serve;  // accepted when serving
    bool setup;  // accepted by install and grant
};

constexpr OptionSpec optionTable[] = {
    {"--group", true, true, testHooks},
#ifdef QUORVALE_HELPER_TEST_HOOKS
    {"--socket", true, true, false},
    {"--sysfs-root", true, true, false},
    {"--dev-root", true, true, false},
    {"--mountinfo", true, true, false},
    {"--swaps", true, true, false},
    {"--allow-regular-files", false, true, false},
    {"--max-connections", true, true, false},
    {"--max-per-user", true, true, false},
    {"--request-timeout-ms", true, true, false},
    {"--unit-dir", true, false, true},
    {"--policy-dir", true, false, true},
#endif
};

int usage() {
    std::cerr << "usage: quorvale-helper [--group NAME]\n"
                 "       quorvale-helper install\n"
                 "       quorvale-helper grant USER\n";
    return 2;
}

struct Arguments {
    Command command = Command::serve;
    std::string user;  // grant
    std::map<std::string, std::string, std::less<>> options;

    std::string get(std::string_view name, std::string fallback) const {
        const auto it = options.find(name);
        return it == options.end() ? std::move(fallback) : it->second;
    }
};

const OptionSpec* findOption(std::string_view name) {
    for (const auto& spec : optionTable) {
        if (spec.name == name)
            return &spec;
    }
    return nullptr;
}

// Exactly one of the forms in the header; anything else (an unknown option, one the command
// does not take, a repeated one, a stray word) is nothing.
std::optional<Arguments> parse(int argc, char** argv) {
    Arguments args;
    int i = 1;
    if (i < argc && std::string_view(argv[i]) == "install") {
        args.command = Command::install;
        ++i;
    } else if (i + 1 < argc && std::string_view(argv[i]) == "grant") {
        args.command = Command::grant;
        args.user = argv[i + 1];
        i += 2;
    }
    for (; i < argc; ++i) {
        const OptionSpec* spec = findOption(argv[i]);
        if (!spec || !(args.command == Command::serve ? spec->serve : spec->setup))
            return std::nullopt;
        if (spec->valued && i + 1 >= argc)
            return std::nullopt;
        const std::string value = spec->valued ? argv[++i] : "1";
        if (!args.options.emplace(std::string(spec->name), value).second)
            return std::nullopt;
    }
    return args;
}

// pkexec runs only the setup commands, with no options at all.
bool acceptableUnderPkexec(const Arguments& args) {
    return args.command != Command::serve && args.options.empty();
}

[[noreturn]] void serve([[maybe_unused]] const Arguments& args, const std::string& group) {
    std::string socketPath;
    DiskAccessConfig disks;
    ServerLimits limits;
#ifdef QUORVALE_HELPER_TEST_HOOKS
    socketPath = args.get("--socket", "");
    disks.sysRoot = args.get("--sysfs-root", disks.sysRoot);
    disks.devRoot = args.get("--dev-root", disks.devRoot);
    disks.mountInfo = args.get("--mountinfo", disks.mountInfo);
    disks.swaps = args.get("--swaps", disks.swaps);
    disks.allowRegularFiles = args.options.contains("--allow-regular-files");
    const auto number = [&](std::string_view name, long fallback) {
        return std::stol(args.get(name, std::to_string(fallback)));
    };
    limits.maxConnections = static_cast<int>(number("--max-connections", limits.maxConnections));
    limits.maxConnectionsPerUser =
        static_cast<int>(number("--max-per-user", limits.maxConnectionsPerUser));
    limits.requestTimeout = std::chrono::milliseconds(
        number("--request-timeout-ms", static_cast<long>(limits.requestTimeout.count())));
#endif
    UniqueFd listener = socketPath.empty() ? activatedSocket() : bindSocket(socketPath);
    if (!listener) {
        std::cerr << "quorvale-helper: no socket (start it through quorvale-helper.socket)\n";
        std::exit(2);
    }
    std::signal(SIGPIPE, SIG_IGN);
    const RequestHandler handler{DiskAccess(disks), PeerAuthorizer(group)};
    std::cerr << "quorvale-helper: serving\n";
    HelperServer(std::move(listener), handler, limits).run();
}

}  // namespace

int main(int argc, char** argv) {
    const auto args = parse(argc, argv);
    if (!args)
        return usage();
    if (std::getenv("PKEXEC_UID") && !acceptableUnderPkexec(*args)) {
        std::cerr << "quorvale-helper: through pkexec only \"install\" and \"grant USER\" run\n";
        return 2;
    }
    const std::string group = args->get("--group", templates::defaultGroup);
    if (!isGroupName(group)) {
        std::cerr << "quorvale-helper: not a group name: " << group << "\n";
        return 2;
    }
    try {
        switch (args->command) {
            case Command::serve:
                serve(*args, group);
            case Command::install: {
                InstallOptions options;
                options.group = group;
#ifdef QUORVALE_HELPER_TEST_HOOKS
                options.unitDir = args->get("--unit-dir", options.unitDir);
                options.policyDir = args->get("--policy-dir", options.policyDir);
#endif
                return installUnits(options);
            }
            case Command::grant:
                return grantUser(args->user, group);
        }
    } catch (const std::exception& error) {
        std::cerr << "quorvale-helper: " << error.what() << "\n";
        return 1;
    }
    return 1;
}
