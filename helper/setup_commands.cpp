#include "helper/setup_commands.h"

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "helper/helper_templates.h"
#include "helper/trusted_files.h"

namespace quorvale::helper {

namespace fs = std::filesystem;

namespace {

// The template with the group placeholder filled in.
std::string withGroup(std::string text, const std::string& group) {
    const std::string placeholder = templates::defaultGroup;
    for (auto at = text.find(placeholder); group != placeholder && at != std::string::npos;
         at = text.find(placeholder, at + group.size())) {
        text.replace(at, placeholder.size(), group);
    }
    return text;
}

bool isMember(const passwd& user, const std::string& group) {
    const struct group* entry = ::getgrnam(group.c_str());
    if (!entry)
        return false;
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    while (::getgrouplist(user.pw_name, user.pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count) + 64);
        count = static_cast<int>(groups.size());
    }
    groups.resize(static_cast<std::size_t>(count));
    return std::find(groups.begin(), groups.end(), entry->gr_gid) != groups.end();
}

}  // namespace

bool isGroupName(std::string_view name) {
    const auto lowerOrUnderscore = [](char c) { return (c >= 'a' && c <= 'z') || c == '_'; };
    if (name.empty() || name.size() > 32 || !lowerOrUnderscore(name.front()))
        return false;
    return std::all_of(name.begin(), name.end(), [&](char c) {
        return lowerOrUnderscore(c) || (c >= '0' && c <= '9') || c == '-';
    });
}

int runProgram(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        return 127;
    if (pid == 0) {
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return 127;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int installUnits(const InstallOptions& options) {
    if (::geteuid() != 0) {
        std::cerr << "quorvale-helper: install must run as root (through pkexec)\n";
        return 1;
    }
    try {
        const TrustedDirectory units(options.unitDir);
        const TrustedDirectory policies(options.policyDir);
        const struct {
            const TrustedDirectory& dir;
            const char* name;
            const char* text;
        } files[] = {
            {units, "quorvale-helper.socket", templates::socketUnit},
            {units, "quorvale-helper.service", templates::serviceUnit},
            {policies, "com.quorvale.helper.policy", templates::policy},
        };
        for (const auto& file : files)  // nothing is written unless every file can be
            file.dir.checkReplaceable(file.name);
        if (!::getgrnam(options.group.c_str()) &&
            runProgram({"groupadd", "--system", options.group}) != 0) {
            std::cerr << "quorvale-helper: cannot create the group " << options.group << "\n";
            return 1;
        }
        for (const auto& file : files)
            file.dir.write(file.name, withGroup(file.text, options.group));
    } catch (const TrustError& error) {
        std::cerr << "quorvale-helper: not installed: " << error.what() << "\n";
        return 1;
    }
    if (runProgram({"systemctl", "daemon-reload"}) != 0 ||
        runProgram({"systemctl", "enable", "--now", "quorvale-helper.socket"}) != 0) {
        std::cerr << "quorvale-helper: systemctl could not enable quorvale-helper.socket\n";
        return 1;
    }
    std::cerr << "quorvale-helper: installed and enabled quorvale-helper.socket\n";
    return 0;
}

int grantUser(const std::string& user, const std::string& group) {
    if (::geteuid() != 0) {
        std::cerr << "quorvale-helper: grant must run as root (through pkexec)\n";
        return 1;
    }
    const passwd* entry = user.empty() || user.front() == '-' ? nullptr : ::getpwnam(user.c_str());
    if (!entry) {
        std::cerr << "quorvale-helper: no such user: " << user << "\n";
        return 1;
    }
    // pkexec names the user who asked; anyone but root may only grant themselves.
    if (const char* caller = std::getenv("PKEXEC_UID")) {
        const long uid = std::strtol(caller, nullptr, 10);
        if (uid != 0 && static_cast<uid_t>(uid) != entry->pw_uid) {
            std::cerr << "quorvale-helper: you may only grant access to your own account\n";
            return 1;
        }
    }
    if (!::getgrnam(group.c_str())) {
        std::cerr << "quorvale-helper: the group " << group << " does not exist\n";
        return 1;
    }
    if (isMember(*entry, group)) {
        std::cerr << "quorvale-helper: " << user << " is already in the group " << group << "\n";
        return 0;
    }
    int status = runProgram({"gpasswd", "-a", user, group});
    if (status == 127)  // no gpasswd here
        status = runProgram({"usermod", "-a", "-G", group, user});
    if (status != 0) {
        std::cerr << "quorvale-helper: could not add " << user << " to " << group << "\n";
        return 1;
    }
    std::cerr << "quorvale-helper: added " << user << " to the group " << group << "\n";
    return 0;
}

}  // namespace quorvale::helper
