// Linked into every test program: gives the tests their environment defaults even when they
// are run by hand rather than through CTest (values already set win), and a home of their own:
// HOME and the XDG cache, config, state and runtime folders point into a fresh private folder
// of this process, removed when it exits, so that test programs running side by side never share
// a file. A test program started by another one keeps what its parent handed it: the parent's
// private folders, or values the parent chose for it.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

constexpr const char* rootVariable = "QUORVALE_TEST_HOME_ROOT";

class TestEnvironment {
public:
    TestEnvironment() {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        setenv("QUORVALE_BUILD_DIR", QUORVALE_TEST_BUILD_DIR, 0);
        setenv("QUORVALE_SOURCE_DIR", QUORVALE_TEST_SOURCE_DIR, 0);
        if (const char* inherited = std::getenv(rootVariable);
            inherited && std::filesystem::is_directory(inherited))
            return;
        makePrivateHome();
    }
    ~TestEnvironment() {
        // A forked child that exits must not take its parent's folders with it.
        if (root.empty() || ::getpid() != owner)
            return;
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

private:
    void makePrivateHome() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quorvale-test-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::perror("quorvale tests: cannot make a private home");
            std::abort();
        }
        root = pattern;
        owner = ::getpid();
        setenv(rootVariable, root.c_str(), 1);
        for (const auto& [variable, folder] : {std::pair{"HOME", "home"},
                                               {"XDG_CACHE_HOME", "cache"},
                                               {"XDG_CONFIG_HOME", "config"},
                                               {"XDG_STATE_HOME", "state"},
                                               {"XDG_RUNTIME_DIR", "runtime"}}) {
            const std::string path = root + "/" + folder;
            if (::mkdir(path.c_str(), 0700) != 0) {
                std::perror("quorvale tests: cannot make a private home");
                std::abort();
            }
            setenv(variable, path.c_str(), 1);
        }
    }

    std::string root;
    pid_t owner = -1;
};

const TestEnvironment environment;

}  // namespace
