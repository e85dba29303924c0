// "install" and "grant" of the real binaries, with systemctl, groupadd and gpasswd replaced by
// recording scripts first in PATH, so the machine's own configuration is never touched: the
// test build writes into temporary directories, the installed build into temporary
// directories mounted over the system ones in a private mount namespace.

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <regex>

#include <gtest/gtest.h>

#include "support/files.h"
#include "support/task_runner.h"

using namespace quorvale::testing;
namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1;  // exit status; -1 when killed
    std::string err;
};

class HelperSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "install and grant run as root";
        fs::create_directories(bin);
        for (const char* tool : {"systemctl", "groupadd", "gpasswd"}) {
            const auto path = bin / tool;
            std::ofstream(path) << "#!/bin/sh\necho " << tool << " \"$@\" >> " << calls.string()
                                << "\n";
            fs::permissions(path, fs::perms::owner_all);
        }
    }

    struct Launch {
        const char* binary = QUORVALE_HELPER_TEST_BINARY;
        const char* pkexecUid = nullptr;
        // Mounted over the system's unit and policy directories in a private mount namespace.
        bool privateSystemDirs = false;
    };

    // Runs a helper with the stand-in tools, killed after 20 s if it has not finished.
    Outcome helper(std::vector<std::string> arguments, Launch launch) {
        arguments.insert(arguments.begin(), launch.binary);
        const fs::path errors = dir.path / "stderr";
        const pid_t child = ::fork();
        if (child == 0) {
            if (launch.privateSystemDirs && !mountPrivateSystemDirs())
                ::_exit(120);
            ::setenv("PATH", (bin.string() + ":/usr/sbin:/usr/bin:/sbin:/bin").c_str(), 1);
            if (launch.pkexecUid)
                ::setenv("PKEXEC_UID", launch.pkexecUid, 1);
            else
                ::unsetenv("PKEXEC_UID");
            std::vector<char*> argv;
            for (auto& a : arguments)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            if (!std::freopen(errors.c_str(), "w", stderr))
                ::_exit(121);
            ::alarm(20);  // survives exec: a helper that starts serving is stopped
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read(errors)};
    }
    Outcome helper(std::vector<std::string> arguments, const char* pkexecUid = nullptr) {
        return helper(std::move(arguments), Launch{QUORVALE_HELPER_TEST_BINARY, pkexecUid});
    }

    bool mountPrivateSystemDirs() {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return false;
        return ::mount(units.c_str(), systemUnitDir, nullptr, MS_BIND, nullptr) == 0 &&
               ::mount(policies.c_str(), systemPolicyDir, nullptr, MS_BIND, nullptr) == 0;
    }

    // The files install writes, with the units in `unitDir`.
    std::vector<fs::path> written(const fs::path& unitDir) const {
        return {unitDir / "quorvale-helper.socket", unitDir / "quorvale-helper.service",
                policies / "com.quorvale.helper.policy"};
    }

    std::vector<std::string> toTemporaryDirs() const {
        return {"--unit-dir", units.string(), "--policy-dir", policies.string()};
    }

    static std::string read(const fs::path& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static constexpr const char* systemUnitDir = "/etc/systemd/system";
    static constexpr const char* systemPolicyDir = "/usr/share/polkit-1/actions";

    ShortTempDir dir;
    fs::path bin = dir.path / "bin";
    fs::path calls = dir.path / "calls.log";
    fs::path units = dir.path / "units";
    fs::path policies = dir.path / "actions";
};

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST_F(HelperSetupTest, InstallWritesUnitsAndPolicyThenEnablesTheSocket) {
    ASSERT_EQ(helper(with({"install"}, toTemporaryDirs())).status, 0);
    const auto socketUnit = read(units / "quorvale-helper.socket");
    EXPECT_NE(socketUnit.find("ListenStream=/run/quorvale-helper.sock"), std::string::npos);
    EXPECT_NE(socketUnit.find("SocketGroup=plugdev"), std::string::npos);
    EXPECT_NE(socketUnit.find("SocketMode=0666"), std::string::npos);
    const auto service = read(units / "quorvale-helper.service");
    EXPECT_NE(service.find("ExecStart=" QUORVALE_HELPER_INSTALL_PATH_FOR_TEST " --group plugdev"),
              std::string::npos);
    const auto policy = read(policies / "com.quorvale.helper.policy");
    EXPECT_NE(
        policy.find(
            "<annotate "
            "key=\"org.freedesktop.policykit.exec.path\">" QUORVALE_HELPER_INSTALL_PATH_FOR_TEST
            "</annotate>"),
        std::string::npos);
    // plugdev exists here, so no group is created.
    EXPECT_EQ(read(calls),
              "systemctl daemon-reload\nsystemctl enable --now quorvale-helper.socket\n");

    // Another allowed group is written into the units and created when missing.
    ASSERT_EQ(helper(with({"install", "--group", "qvtest-nosuch"}, toTemporaryDirs())).status, 0);
    EXPECT_NE(read(units / "quorvale-helper.socket").find("SocketGroup=qvtest-nosuch"),
              std::string::npos);
    EXPECT_NE(read(calls).find("groupadd --system qvtest-nosuch"), std::string::npos);
}

TEST_F(HelperSetupTest, PolicyAllowsOnlyTheTwoSetupCommands) {
    ASSERT_EQ(helper(with({"install"}, toTemporaryDirs())).status, 0);
    const auto policy = read(policies / "com.quorvale.helper.policy");
    // Every action names the helper and its first argument; pkexec matches both.
    const std::regex action(R"re(<action id="([^"]+)">([\s\S]*?)</action>)re");
    std::vector<std::string> commands;
    for (std::sregex_iterator it(policy.begin(), policy.end(), action), end; it != end; ++it) {
        const std::string body = (*it)[2];
        std::smatch argv1;
        ASSERT_TRUE(std::regex_search(
            body, argv1,
            std::regex(R"re(key="org.freedesktop.policykit.exec.argv1">([^<]*)</annotate>)re")))
            << (*it)[1];
        EXPECT_NE(body.find(">" QUORVALE_HELPER_INSTALL_PATH_FOR_TEST "</annotate>"),
                  std::string::npos);
        commands.push_back(argv1[1]);
    }
    EXPECT_EQ(commands, (std::vector<std::string>{"install", "grant"}));
}

TEST_F(HelperSetupTest, GrantAddsOnlyRealUsersAndOnlyThemselves) {
    EXPECT_EQ(helper({"grant", "nobody"}).status, 0);
    EXPECT_EQ(read(calls), "gpasswd -a nobody plugdev\n");
    EXPECT_EQ(helper({"grant", "nobody"}, "65534").status, 0);  // granting oneself via pkexec
    EXPECT_EQ(helper({"grant", "nobody", "--group", "nogroup"}).status, 0);  // primary group

    EXPECT_EQ(helper({"grant", "root"}, "65534").status, 1);  // someone else's account
    EXPECT_EQ(helper({"grant", "qvtest-nosuch-user"}).status, 1);
    EXPECT_EQ(helper({"grant", "-r"}).status, 1);
    EXPECT_EQ(helper({"grant", "nobody", "--group", "qvtest-nosuch"}).status, 1);
    EXPECT_EQ(read(calls), "gpasswd -a nobody plugdev\ngpasswd -a nobody plugdev\n");
}

TEST_F(HelperSetupTest, InstalledBinaryTakesNoTestOrPathOptions) {
    const std::string elsewhere = (dir.path / "elsewhere").string();
    const std::vector<std::string> refused[] = {
        {"--socket", (dir.path / "helper.sock").string()},
        {"--sysfs-root", elsewhere},
        {"--dev-root", elsewhere},
        {"--mountinfo", elsewhere},
        {"--allow-regular-files"},
        {"install", "--unit-dir", elsewhere},
        {"install", "--policy-dir", elsewhere},
        {"install", "--group", "nogroup"},
        {"install", "now"},
        {"grant", "nobody", "--group", "nogroup"},
        {"grant", "nobody", "root"},
        {"grant"},
    };
    for (const auto& arguments : refused) {
        const auto run = helper(arguments, Launch{QUORVALE_HELPER_BINARY});
        EXPECT_EQ(run.status, 2) << arguments.front() << " " << arguments.back();
        EXPECT_NE(run.err.find("usage:"), std::string::npos) << run.err;
    }
    // A group name is checked before it can reach a unit file.
    const std::string injected = "plugdev\nExecStartPre=/bin/sh";
    for (const auto& arguments : {std::vector<std::string>{"--group", injected},
                                  with({"install", "--group", injected}, toTemporaryDirs())}) {
        const auto run = helper(arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("not a group name"), std::string::npos) << run.err;
    }
    EXPECT_FALSE(fs::exists(units));
    EXPECT_FALSE(fs::exists(elsewhere));
    EXPECT_EQ(read(calls), "");

    // Not even the option names are in the installed binary; the test build has them.
    const auto installed = read(QUORVALE_HELPER_BINARY);
    const auto hooked = read(QUORVALE_HELPER_TEST_BINARY);
    for (const char* name : {"--socket", "--sysfs-root", "--dev-root", "--mountinfo",
                             "--allow-regular-files", "--unit-dir", "--policy-dir"}) {
        EXPECT_EQ(installed.find(name), std::string::npos) << name;
        EXPECT_NE(hooked.find(name), std::string::npos) << name;
    }
}

TEST_F(HelperSetupTest, ThroughPkexecOnlyTheBareSetupCommandsRun) {
    const std::vector<std::string> refused[] = {{},
                                                {"--group", "plugdev"},
                                                {"install", "--group", "root"},
                                                {"grant", "nobody", "--group", "root"}};
    for (const char* binary : {QUORVALE_HELPER_BINARY, QUORVALE_HELPER_TEST_BINARY}) {
        for (const auto& arguments : refused) {
            const auto run = helper(arguments, Launch{binary, "65534"});
            EXPECT_EQ(run.status, 2) << binary << " " << arguments.size();
            // Refused as run through pkexec, or as a form the binary does not know at all.
            EXPECT_TRUE(run.err.find("through pkexec") != std::string::npos ||
                        run.err.find("usage:") != std::string::npos)
                << run.err;
        }
    }
    EXPECT_EQ(helper({"install", "--unit-dir", units.string()}, "0").status, 2);
    EXPECT_FALSE(fs::exists(units));
    EXPECT_EQ(read(calls), "");
    EXPECT_EQ(helper({"grant", "nobody"}, Launch{QUORVALE_HELPER_BINARY, "65534"}).status, 0);
    EXPECT_EQ(read(calls), "gpasswd -a nobody plugdev\n");
}

TEST_F(HelperSetupTest, InstalledBinaryInstallsIntoTheSystemDirectories) {
    if (!fs::is_directory(systemUnitDir) || !fs::is_directory(systemPolicyDir))
        GTEST_SKIP() << "no " << systemUnitDir << " or " << systemPolicyDir << " here";
    fs::create_directories(units);
    fs::create_directories(policies);
    const auto run = helper({"install"}, Launch{QUORVALE_HELPER_BINARY, "1000", true});
    ASSERT_NE(run.status, 120) << "cannot make a private mount namespace";
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(read(units / "quorvale-helper.socket").find("SocketGroup=plugdev"),
              std::string::npos);
    EXPECT_NE(read(units / "quorvale-helper.service").find("ExecStart="), std::string::npos);
    EXPECT_NE(read(policies / "com.quorvale.helper.policy").find("com.quorvale.helper.grant"),
              std::string::npos);
    EXPECT_EQ(read(calls),
              "systemctl daemon-reload\nsystemctl enable --now quorvale-helper.socket\n");
}

TEST_F(HelperSetupTest, InstallNeverWritesThroughALinkOrAnotherUsersDirectory) {
    // A root-owned file that a planted link points at, and a root-owned directory.
    const fs::path victim = dir.path / "victim";
    const fs::path victimDir = dir.path / "victim-dir";
    std::ofstream(victim) << "precious\n";
    fs::permissions(victim, fs::perms(0600));
    fs::create_directories(victimDir);
    auto untouched = [&] {
        return read(victim) == "precious\n" &&
               fs::status(victim).permissions() == fs::perms(0600) && fs::is_empty(victimDir);
    };
    auto chownNobody = [](const fs::path& p) { ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0); };
    auto fresh = [&] {
        for (const auto& p : {units, policies, dir.path / "link", dir.path / "owned"})
            fs::remove_all(p);
        fs::create_directories(units);
        fs::create_directories(policies);
    };

    const struct {
        const char* what;
        std::function<void()> plant;
        fs::path unitDir;
    } cases[] = {
        {"link at the socket unit",
         [&] { fs::create_symlink(victim, units / "quorvale-helper.socket"); }, units},
        {"link at the service unit",
         [&] { fs::create_symlink(victim, units / "quorvale-helper.service"); }, units},
        {"link at the policy",
         [&] { fs::create_symlink(victim, policies / "com.quorvale.helper.policy"); }, units},
        {"directory at the policy",
         [&] { fs::create_directories(policies / "com.quorvale.helper.policy"); }, units},
        {"unit directory is a link",
         [&] { fs::create_directory_symlink(victimDir, dir.path / "link"); }, dir.path / "link"},
        {"link on the way", [&] { fs::create_directory_symlink(dir.path, dir.path / "link"); },
         dir.path / "link" / "units"},
        {"unit directory of another user", [&] { chownNobody(units); }, units},
        {"directory of another user on the way",
         [&] {
             fs::create_directories(dir.path / "owned" / "units");
             chownNobody(dir.path / "owned");
         },
         dir.path / "owned" / "units"},
        {"unit directory writable by all", [&] { fs::permissions(units, fs::perms(0777)); }, units},
    };
    for (const auto& c : cases) {
        fresh();
        c.plant();
        const auto run = helper(
            {"install", "--unit-dir", c.unitDir.string(), "--policy-dir", policies.string()});
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_NE(run.err.find("not installed"), std::string::npos) << c.what << ": " << run.err;
        EXPECT_TRUE(untouched()) << c.what;
        for (const auto& p : written(c.unitDir))
            EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(p))) << c.what << ": " << p;
        EXPECT_EQ(read(calls), "") << c.what;
    }

    // Links where an installer would put its temporary files are never opened: the real
    // temporaries have random names, made exclusively.
    fresh();
    for (const auto& p :
         {units / "quorvale-helper.socket.tmp", units / "quorvale-helper.service.tmp",
          policies / "com.quorvale.helper.policy.tmp"})
        fs::create_symlink(victim, p);
    ASSERT_EQ(helper(with({"install"}, toTemporaryDirs())).status, 0);
    EXPECT_TRUE(untouched());
    for (const auto& p : written(units)) {
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(p))) << p;
        EXPECT_EQ(fs::status(p).permissions(), fs::perms(0644)) << p;
    }
    // Nothing is left besides the three files and the planted links.
    EXPECT_EQ(std::distance(fs::directory_iterator(units), {}), 4);
    EXPECT_EQ(std::distance(fs::directory_iterator(policies), {}), 2);
}
