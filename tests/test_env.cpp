// Linked into every test program: gives the tests their environment defaults even when they
// are run by hand rather than through CTest. Values already set in the environment win.
#include <cstdlib>

namespace {

struct TestEnvironmentDefaults {
    TestEnvironmentDefaults() {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        setenv("QUORVALE_BUILD_DIR", QUORVALE_TEST_BUILD_DIR, 0);
        setenv("QUORVALE_SOURCE_DIR", QUORVALE_TEST_SOURCE_DIR, 0);
    }
};

const TestEnvironmentDefaults defaults;

}  // namespace
