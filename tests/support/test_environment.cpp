// Linked into every test program: points the plug-in loader at the build
// tree's plug-ins before any test runs, unless the caller chose a path.
#include <cstdlib>

namespace {
struct TestEnvironment {
    TestEnvironment() {
        setenv("QUOR7_PLUGIN_PATH", QUOR7_BUILD_PLUGIN_DIR, 0);
        setenv("QUOR7_BUILD_DIR", QUOR7_BUILD_DIR, 0);
        setenv("QUOR7_SOURCE_DIR", QUOR7_SOURCE_DIR, 0);
    }
} const test_environment;
} // namespace
