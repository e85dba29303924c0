#pragma once
// The two administrative subcommands, meant to run as root through pkexec:
//   install  writes quorvale-helper.socket/.service and the polkit policy (as trusted files:
//            no link followed, nothing written unless all three can be), makes sure the
//            allowed group exists, then reloads systemd and enables the socket;
//   grant    adds a user to the allowed group (gpasswd, else usermod). Under pkexec a non-root
//            caller may only grant itself.
// Both return a process exit status and explain failures on stderr. Tools are run directly
// (no shell) and found through PATH.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace quorvale::helper {

struct InstallOptions {
    std::filesystem::path unitDir = "/etc/systemd/system";
    std::filesystem::path policyDir = "/usr/share/polkit-1/actions";
    std::string group;
};

int installUnits(const InstallOptions& options);
// A group name as groupadd takes it: [a-z_][a-z0-9_-]*, up to 32 characters. Nothing else may
// reach the unit files, whose lines it would otherwise be able to extend.
bool isGroupName(std::string_view name);
int grantUser(const std::string& user, const std::string& group);

// Runs a program with arguments and waits; its exit status, or 127 when it cannot run.
int runProgram(const std::vector<std::string>& argv);

}  // namespace quorvale::helper
