// "install" and "grant" of the real binary, with systemctl, groupadd and gpasswd replaced by
// recording scripts first in PATH, so the machine's own configuration is never touched.

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "helper/qt_test_support.h"

using namespace quorvale::test;
namespace fs = std::filesystem;

namespace {

class HelperSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(bin);
        for (const char* tool : {"systemctl", "groupadd", "gpasswd"}) {
            const auto path = bin / tool;
            std::ofstream(path) << "#!/bin/sh\necho " << tool << " \"$@\" >> " << calls.string()
                                << "\n";
            fs::permissions(path, fs::perms::owner_all);
        }
    }

    // Runs the helper with the stand-in tools; its exit status.
    int helper(std::vector<std::string> arguments, const char* pkexecUid = nullptr) {
        arguments.insert(arguments.begin(), QUORVALE_HELPER_BINARY);
        const pid_t child = ::fork();
        if (child == 0) {
            ::setenv("PATH", (bin.string() + ":/usr/sbin:/usr/bin:/sbin:/bin").c_str(), 1);
            if (pkexecUid)
                ::setenv("PKEXEC_UID", pkexecUid, 1);
            else
                ::unsetenv("PKEXEC_UID");
            std::vector<char*> argv;
            for (auto& a : arguments)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            std::freopen("/dev/null", "w", stderr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string read(const fs::path& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    TempDir dir;
    fs::path bin = dir.path / "bin";
    fs::path calls = dir.path / "calls.log";
};

}  // namespace

TEST_F(HelperSetupTest, InstallWritesUnitsAndPolicyThenEnablesTheSocket) {
    const auto units = dir.path / "units";
    const auto policies = dir.path / "actions";
    ASSERT_EQ(helper({"install", "--unit-dir", units.string(), "--policy-dir", policies.string()}),
              0);
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
    ASSERT_EQ(helper({"install", "--group", "qvtest-nosuch", "--unit-dir", units.string(),
                      "--policy-dir", policies.string()}),
              0);
    EXPECT_NE(read(units / "quorvale-helper.socket").find("SocketGroup=qvtest-nosuch"),
              std::string::npos);
    EXPECT_NE(read(calls).find("groupadd --system qvtest-nosuch"), std::string::npos);
}

TEST_F(HelperSetupTest, GrantAddsOnlyRealUsersAndOnlyThemselves) {
    EXPECT_EQ(helper({"grant", "nobody"}), 0);
    EXPECT_EQ(read(calls), "gpasswd -a nobody plugdev\n");
    EXPECT_EQ(helper({"grant", "nobody"}, "65534"), 0);  // granting oneself through pkexec
    EXPECT_EQ(helper({"grant", "nobody", "--group", "nogroup"}), 0);  // already: primary group

    EXPECT_EQ(helper({"grant", "root"}, "65534"), 1);  // someone else's account
    EXPECT_EQ(helper({"grant", "qvtest-nosuch-user"}), 1);
    EXPECT_EQ(helper({"grant", "-r"}), 1);
    EXPECT_EQ(helper({"grant", "nobody", "--group", "qvtest-nosuch"}), 1);
    EXPECT_EQ(read(calls), "gpasswd -a nobody plugdev\ngpasswd -a nobody plugdev\n");
}
