// quorvale-helper: opens removable disks for authorised users and passes the descriptor back.
//   quorvale-helper [--socket PATH] [--group NAME] [--sysfs-root DIR] [--dev-root DIR]
//                   [--mountinfo FILE] [--allow-regular-files]
//   quorvale-helper install [--group NAME] [--unit-dir DIR] [--policy-dir DIR]
//   quorvale-helper grant USER [--group NAME]
// Without --socket it serves the socket systemd passes (socket activation).

#include <algorithm>
#include <csignal>
#include <cstring>
#include <exception>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "helper/helper_server.h"
#include "helper/helper_templates.h"
#include "helper/setup_commands.h"

using namespace quorvale::helper;
using quorvale::UniqueFd;

namespace {

int usage() {
    std::cerr << "usage: quorvale-helper [--socket PATH] [--group NAME] [--sysfs-root DIR]\n"
                 "                       [--dev-root DIR] [--mountinfo FILE]\n"
                 "       quorvale-helper install [--group NAME] [--unit-dir DIR] "
                 "[--policy-dir DIR]\n"
                 "       quorvale-helper grant USER [--group NAME]\n";
    return 2;
}

// "--name value" pairs and bare "--flag"s after the positional arguments.
struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    bool ok = true;

    std::string get(const std::string& name, std::string fallback) const {
        const auto it = options.find(name);
        return it == options.end() ? std::move(fallback) : it->second;
    }
};

Arguments parse(int argc, char** argv) {
    static const std::vector<std::string> flags{"--allow-regular-files"};
    static const std::vector<std::string> valued{"--socket",    "--group",     "--sysfs-root",
                                                 "--dev-root",  "--mountinfo", "--unit-dir",
                                                 "--policy-dir"};
    Arguments args;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (std::find(flags.begin(), flags.end(), arg) != flags.end()) {
            args.options[arg] = "1";
        } else if (std::find(valued.begin(), valued.end(), arg) != valued.end() && i + 1 < argc) {
            args.options[arg] = argv[++i];
        } else if (arg.starts_with("--")) {
            args.ok = false;
        } else {
            args.positional.push_back(arg);
        }
    }
    return args;
}

int serve(const Arguments& args) {
    UniqueFd listener;
    if (const auto path = args.get("--socket", ""); !path.empty())
        listener = bindSocket(path);
    else
        listener = activatedSocket();
    if (!listener) {
        std::cerr << "quorvale-helper: no socket (not socket-activated; use --socket PATH)\n";
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    DiskAccessConfig disks;
    disks.sysRoot = args.get("--sysfs-root", disks.sysRoot);
    disks.devRoot = args.get("--dev-root", disks.devRoot);
    disks.mountInfo = args.get("--mountinfo", disks.mountInfo);
    disks.allowRegularFiles = args.options.contains("--allow-regular-files");
    const RequestHandler handler(DiskAccess(disks),
                                 PeerAuthorizer(args.get("--group", templates::defaultGroup)));
    std::cerr << "quorvale-helper: serving\n";
    HelperServer(std::move(listener), handler).run();
}

}  // namespace

int main(int argc, char** argv) {
    const Arguments args = parse(argc, argv);
    if (!args.ok)
        return usage();
    const std::string group = args.get("--group", templates::defaultGroup);
    try {
        if (args.positional.empty())
            return serve(args);
        const auto& command = args.positional.front();
        if (command == "install" && args.positional.size() == 1) {
            InstallOptions options;
            options.group = group;
            options.unitDir = args.get("--unit-dir", options.unitDir);
            options.policyDir = args.get("--policy-dir", options.policyDir);
            return installUnits(options);
        }
        if (command == "grant" && args.positional.size() == 2)
            return grantUser(args.positional[1], group);
        return usage();
    } catch (const std::exception& error) {
        std::cerr << "quorvale-helper: " << error.what() << "\n";
        return 1;
    }
}
