// Test entry point: every data folder is redirected to a fresh temporary folder, so no test
// touches a real home, and contract failures are counted instead of printed.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/foundation/Log.h"

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    // A child that a test starts from this same program (to crash it or kill it on purpose)
    // makes its folder inside its parent's, which the parent removes: the child may never get
    // to remove its own.
    const char* parent = std::getenv("QUORVANE_TEST_ROOT");
    const bool nested = parent && fs::is_directory(parent);
    fs::path base = nested ? fs::path(parent) : fs::temp_directory_path();
    std::string tmpl = (base / "quorvane-test-XXXXXX").string();
    static std::string rootPath;
    const char* root = ::mkdtemp(tmpl.data());
    if (!root) {
        // Never fall back to the real folders: a test would write into the user's home.
        std::fprintf(stderr, "Couldn't make a temporary folder for the tests at %s: %s\n", tmpl.c_str(),
                     std::strerror(errno));
        return 2;
    }
    rootPath = root;
    // Removed at exit, after the exit handlers that tests registered (those run first): a
    // handler that still writes (a log buffer flushed at exit) must not make the folder anew.
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(rootPath, ec);
    });
    fs::path r(root);
    if (!nested) ::setenv("QUORVANE_TEST_ROOT", root, 1);
    for (const char* sub : {"config", "data", "cache", "state", "home"}) fs::create_directories(r / sub);
    ::setenv("HOME", (r / "home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (r / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (r / "data").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (r / "cache").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (r / "state").c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
