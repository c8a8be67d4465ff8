#include "tests/support/FreshProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace quorvane::test {

namespace {

struct Run {
    int status = -1;
    std::string output;
};

// This program again, running only `test`, with gtest's settings from the environment left out
// (a repeat, a shuffle or a report file of the outer run is not the inner run's).
Run runAlone(const std::string& test) {
    namespace fs = std::filesystem;
    Run run;
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e)
        if (std::string_view(*e).rfind("GTEST_", 0) != 0) vars.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string exe = fs::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=" + test;
    char* argv[] = {exe.data(), filter.data(), nullptr};

    std::string log = (fs::temp_directory_path() / "quorvane-fresh-XXXXXX").string();
    int fd = ::mkstemp(log.data());
    if (fd < 0) {
        run.output = "no output file: " + std::string(std::strerror(errno));
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd, 1);
    posix_spawn_file_actions_adddup2(&actions, fd, 2);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fd);
    if (spawned == 0) {
        while (::waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
        }
    }
    std::ostringstream text;
    text << std::ifstream(log).rdbuf();
    run.output = spawned == 0 ? text.str() : "could not start " + exe + ": " + std::strerror(spawned);
    ::unlink(log.c_str());
    return run;
}

}  // namespace

bool inFreshProcess() {
    static std::atomic<bool> called{false};
    const bool first = !called.exchange(true);
    if (first && ::testing::UnitTest::GetInstance()->test_to_run_count() == 1) return true;

    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string test = std::string(info->test_suite_name()) + "." + info->name();
    Run run = runAlone(test);
    const bool passed = WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0 &&
                        run.output.find("[       OK ] " + test) != std::string::npos;
    EXPECT_TRUE(passed) << "run alone in a fresh process, " << test << " failed:\n" << run.output;
    return false;
}

}  // namespace quorvane::test
