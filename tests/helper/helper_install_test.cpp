// installHelper() against stand-ins for systemctl and pkexec (real processes): each systemd
// state of quorvale-helper.socket leads to its outcome.

#include <pwd.h>
#include <unistd.h>

#include <QSignalSpy>

#include <fstream>

#include <gtest/gtest.h>

#include "disk/privileged_helper_client.h"
#include "support/files.h"
#include "support/task_runner.h"

using namespace quorvale;
using namespace quorvale::disk;
using namespace quorvale::testing;

namespace {

class InstallHelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApplication();
        // "old-not-found" plays a systemd that reports a missing unit only on stderr.
        script("systemctl", R"(D=)" + dir.path.string() + R"(
echo "$@" >> $D/systemctl.log
case "$1" in
  is-enabled)
    if grep -q old-not-found $D/enabled; then
      echo "Failed to get unit file state for $2: No such file or directory" >&2; exit 1
    fi
    cat $D/enabled ;;
  is-active) cat $D/active ;;
esac
)");
        script("pkexec", "echo \"$@\" >> " + (dir.path / "pkexec.log").string() + "\nif [ -e " +
                             (dir.path / "deny").string() +
                             " ]; then echo 'Error executing command as another user: Not "
                             "authorized' >&2; exit 127; fi\n");
    }

    void script(const std::string& name, const std::string& body) {
        const auto path = dir.path / name;
        std::ofstream(path) << "#!/bin/sh\n" << body;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    }

    void state(const std::string& enabled, const std::string& active = "inactive") {
        std::ofstream(dir.path / "enabled") << enabled << "\n";
        std::ofstream(dir.path / "active") << active << "\n";
    }

    std::string log(const std::string& name) {
        std::ifstream in(dir.path / name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    PrivilegedHelperClient::Options options() {
        PrivilegedHelperClient::Options o;
        o.systemctl = QString::fromStdString((dir.path / "systemctl").string());
        o.pkexec = QString::fromStdString((dir.path / "pkexec").string());
        o.helperPath = QStringLiteral("/opt/q/libexec/quorvale/quorvale-helper");
        return o;
    }

    ShortTempDir dir;
};

}  // namespace

TEST_F(InstallHelperTest, NotInstalledInstallsThroughPkexec) {
    for (const char* notFound : {"not-found", "old-not-found"}) {
        state(notFound);
        PrivilegedHelperClient client(options());
        QSignalSpy changed(&client, &PrivilegedHelperClient::isHelperInstalledChanged);
        run(client.installHelper());
        EXPECT_TRUE(client.isHelperInstalled());
        EXPECT_TRUE(client.property("isHelperInstalled").toBool());
        EXPECT_EQ(changed.count(), 1);
    }
    EXPECT_EQ(log("pkexec.log"),
              "/opt/q/libexec/quorvale/quorvale-helper install\n"
              "/opt/q/libexec/quorvale/quorvale-helper install\n");
    EXPECT_EQ(log("systemctl.log").find("is-enabled quorvale-helper.socket"), 0u);
}

TEST_F(InstallHelperTest, EnabledAndActiveIsAlreadyInstalled) {
    state("enabled", "active");
    PrivilegedHelperClient client(options());
    run(client.installHelper());
    EXPECT_TRUE(client.isHelperInstalled());
    EXPECT_EQ(log("pkexec.log"), "");  // not registered again
}

TEST_F(InstallHelperTest, EnabledButNotListeningIsStartedByTheInstaller) {
    state("enabled", "inactive");
    PrivilegedHelperClient client(options());
    run(client.installHelper());
    EXPECT_TRUE(client.isHelperInstalled());
    EXPECT_NE(log("pkexec.log").find("install"), std::string::npos);
}

TEST_F(InstallHelperTest, DisabledRequiresApprovalAndOddStatesAreUnknown) {
    const std::pair<const char*, HelperError::Kind> cases[] = {
        {"disabled", HelperError::Kind::requiresApproval},
        {"masked", HelperError::Kind::requiresApproval},
        {"bad", HelperError::Kind::unknownStatus},
    };
    for (const auto& [unitState, kind] : cases) {
        state(unitState);
        PrivilegedHelperClient client(options());
        const auto e = failureOf<HelperError>(client.installHelper());
        EXPECT_EQ(e.kind, kind) << unitState;
        if (kind == HelperError::Kind::requiresApproval) {
            EXPECT_STREQ(e.what(), "Helper requires approval: enable quorvale-helper.socket");
        }
        EXPECT_FALSE(client.isHelperInstalled());
    }
    EXPECT_EQ(log("pkexec.log"), "");
}

TEST_F(InstallHelperTest, RefusedInstallationPassesTheInstallersError) {
    state("not-found");
    std::ofstream(dir.path / "deny") << "";
    PrivilegedHelperClient client(options());
    try {
        run(client.installHelper());
        ADD_FAILURE();
    } catch (const HelperError&) {
        ADD_FAILURE() << "a refusal is the installer's error, not a HelperError";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Error executing command as another user: Not authorized");
    }
    EXPECT_FALSE(client.isHelperInstalled());
}

TEST_F(InstallHelperTest, CheckingNeverInstallsWhateverTheState) {
    const struct {
        const char* enabled;
        const char* active;
        bool running;
    } cases[] = {
        {"not-found", "inactive", false}, {"old-not-found", "inactive", false},
        {"disabled", "inactive", false},  {"enabled", "inactive", false},
        {"bad", "active", false},         {"enabled", "active", true},
    };
    for (const auto& c : cases) {
        state(c.enabled, c.active);
        PrivilegedHelperClient client(options());
        EXPECT_EQ(run(client.checkHelper()), c.running) << c.enabled << " " << c.active;
        EXPECT_EQ(client.isHelperInstalled(), c.running) << c.enabled << " " << c.active;
    }
    EXPECT_EQ(log("pkexec.log"), "") << "a check asked for a password";
    auto o = options();
    o.systemctl = QString::fromStdString((dir.path / "no-systemctl").string());
    PrivilegedHelperClient noSystemctl(o);
    EXPECT_FALSE(run(noSystemctl.checkHelper()));
}

TEST_F(InstallHelperTest, MissingSystemctlIsUnknownStatus) {
    auto o = options();
    o.systemctl = QString::fromStdString((dir.path / "no-systemctl").string());
    PrivilegedHelperClient client(o);
    EXPECT_THROW(run(client.installHelper()), HelperError);
}

TEST_F(InstallHelperTest, GrantRunsTheHelpersGrantForTheCurrentUser) {
    PrivilegedHelperClient client(options());
    run(client.grantAccess());
    const std::string user = ::getpwuid(::getuid())->pw_name;
    EXPECT_EQ(log("pkexec.log"), "/opt/q/libexec/quorvale/quorvale-helper grant " + user + "\n");
    std::ofstream(dir.path / "deny") << "";
    EXPECT_STREQ(failureOf<Error>(client.grantAccess()).what(),
                 "Error executing command as another user: Not authorized");
}
