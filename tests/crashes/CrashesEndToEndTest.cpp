// Crashes of a real application process, reported at the next start: a child process (this test
// program again, running only CrashesEndToEndChild.Run, in this test's folders) starts the SDK
// with crash reporting as the application does and then dies the way its scenario says; this
// process then starts as the next run would and the fake ingestion receives what it sends.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>

#include "crashes/MSWrapperException.h"
#include "platform/runloop/Application.h"
#include "platform/foundation/BundleInfo.h"
#include "tests/crashes/CXXThrowChain.h"
#include "tests/crashes/CrashesServiceSupport.h"
#include "tests/crashes/CrashesTestSupport.h"
#include "tests/crashreporter/MainImage.h"
#include "tests/crashreporter/StackSymbols.h"
#include "tests/telemetry/PipelineTestSupport.h"

extern char** environ;

using namespace quorvane;
using namespace quorvane::test;
namespace fs = std::filesystem;

namespace {

constexpr const char* kFolderVars[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"};

std::string env(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    return v ? v : "";
}

// The scenarios a child can die (or live) by.
const std::map<std::string, CXXThrowKind> kThrowScenarios = {
    {"runtime-error", CXXThrowKind::RuntimeError}, {"int", CXXThrowKind::Int}, {"custom", CXXThrowKind::Custom}};

[[noreturn]] void crashBySegmentationFault() {
    int* volatile nowhere = reinterpret_cast<int*>(uintptr_t(0x10));
    *nowhere = 7;
    std::abort();
}

class CrashesEndToEndTest : public CrashesServiceTest {
protected:
    struct Child {
        bool signaled = false;
        int signal = 0;
        int exitCode = -1;
        std::string output;
    };
    // Runs the application child with a scenario in this test's folders and defaults.
    Child runChild(const std::string& scenario) {
        std::vector<std::string> vars;
        for (char** e = environ; *e; ++e) vars.emplace_back(*e);
        vars.push_back("QV_CRASH_CHILD_SCENARIO=" + scenario);
        vars.push_back("QV_CRASH_CHILD_DEFAULTS=" + defaults_->file.string());
        for (const char* name : kFolderVars) vars.push_back(std::string("QV_CRASH_CHILD_") + name + "=" + env(name));
        std::vector<char*> envp;
        for (auto& v : vars) envp.push_back(v.data());
        envp.push_back(nullptr);
        std::string exe = fs::read_symlink("/proc/self/exe").string(), filter = "--gtest_filter=CrashesEndToEndChild.Run";
        char* argv[] = {exe.data(), filter.data(), nullptr};
        const fs::path log = platform::Paths::dataHome() / ("child-" + scenario + ".log");
        posix_spawn_file_actions_t output;
        posix_spawn_file_actions_init(&output);
        posix_spawn_file_actions_addopen(&output, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&output, 1, 2);
        pid_t pid = 0;
        Child child;
        const int spawned = ::posix_spawn(&pid, exe.c_str(), &output, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&output);
        EXPECT_EQ(spawned, 0);
        int status = 0;
        if (spawned == 0) {
            EXPECT_EQ(::waitpid(pid, &status, 0), pid);
        }
        child.signaled = WIFSIGNALED(status);
        child.signal = child.signaled ? WTERMSIG(status) : 0;
        child.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        platform::readFile(log, child.output);
        return child;
    }
    // The crash logs the next start sends.
    std::vector<platform::Value> crashLogsAfterRestart(size_t count) {
        restart();
        EXPECT_TRUE(pumpUntil([&] { return acceptedOfType("appleError").size() >= count; }));
        return acceptedOfType("appleError");
    }
};

// The function of this program holding a frame address of the child's crash log: the address
// moved from the child's load address of this program to ours.
std::string functionOfFrame(const platform::Value& log, const std::string& address) {
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    uint64_t childBase = 0;
    for (const auto& binary : log["binaries"].asArray())
        if (binary["path"].asString() == self) childBase = std::stoull(binary["startAddress"].asString(), nullptr, 16);
    if (childBase == 0) return "";
    const uint64_t pc = std::stoull(address, nullptr, 16) - childBase + mainImage().base;
    std::string name = symbolAt(pc - 1);
    if (auto dot = name.find(".cold"); dot != std::string::npos) name.resize(dot);
    return name;
}

}  // namespace

TEST(CrashesEndToEndChild, Run) {
    const std::string scenario = env("QV_CRASH_CHILD_SCENARIO");
    if (scenario.empty()) GTEST_SKIP() << "runs only as the child of CrashesEndToEndTest";
    for (const char* name : kFolderVars) ::setenv(name, env(std::string("QV_CRASH_CHILD_") + name).c_str(), 1);
    MSUserDefaults::resetSharedWithDefaults(std::make_shared<platform::UserDefaults>(env("QV_CRASH_CHILD_DEFAULTS")));
    if (scenario == "forwarder-on") MSUserDefaults::shared().setObject(true, "NSApplicationCrashOnExceptions");
    if (scenario == "forwarder-plist-off") {
        MSUserDefaults::shared().setObject(true, "NSApplicationCrashOnExceptions");
        platform::BundleInfo::setInfoValue("RevAzezarApplicationForwarderEnabled", "NO");
    }

    auto crashes = MSCrashes::sharedInstance();
    auto& sdk = MSRevAzezar::sharedInstance();
    sdk.setLogUrl("https://127.0.0.1:9");  // this run sends nothing
    ASSERT_TRUE(sdk.start("app-secret", {crashes}));

    if (auto kind = kThrowScenarios.find(scenario); kind != kThrowScenarios.end()) {
        // Nothing catches it: the noexcept boundary ends the process in std::terminate.
        [&]() noexcept { qvThrowChainLevel1(kind->second); }();
    } else if (scenario == "logs") {
        // The logs are handed to a channel, but the log file never gets them before the crash.
        auto unit = sdk.channelGroup()->addChannelUnitWithConfiguration(
            MSChannelUnitConfiguration::initWithGroupId("Test", 1, 3600, 50, 3));
        auto blocked = std::make_shared<platform::DispatchSemaphore>(0);
        sdk.channelGroup()->logsQueue()->async([blocked] { blocked->wait(); });
        for (int n = 1; n <= 3; ++n) unit->enqueueItem(numberedLog(n));
        crashBySegmentationFault();
    } else if (scenario == "wrapper") {
        MSWrapperException wrapper;
        wrapper.processId = ::getpid();
        wrapper.modelException = sampleException();
        wrapper.modelException->type = "Wrapper.Crash";
        MSWrapperExceptionManager::saveWrapperException(wrapper);
        crashBySegmentationFault();
    } else if (scenario == "plain") {
        crashBySegmentationFault();
    } else if (scenario.rfind("forwarder", 0) == 0) {
        platform::Application::shared().handleEvent(
            {"click", [] { platform::raiseApplicationException("NSRangeException", "index 3 beyond bounds"); }});
        std::_Exit(3);  // the application lived on
    }
    FAIL() << "unknown scenario " << scenario;
}

TEST_F(CrashesEndToEndTest, AnUncaughtRuntimeErrorIsReportedWithItsTypeMessageAndThrowSite) {
    auto child = runChild("runtime-error");
    ASSERT_TRUE(child.signaled && child.signal == SIGABRT) << child.output;
    auto logs = crashLogsAfterRestart(1);
    ASSERT_EQ(logs.size(), 1u);
    const auto& log = logs[0];
    EXPECT_EQ(log["exceptionType"].asString(), "std::runtime_error");
    EXPECT_EQ(log["exceptionReason"].asString(), "deep failure");
    EXPECT_EQ(log["osExceptionType"].asString(), "SIGABRT");

    const platform::Value* exception = nullptr;
    for (const auto& thread : log["threads"].asArray())
        if (thread.find("exception")) exception = thread.find("exception");
    ASSERT_TRUE(exception);
    EXPECT_EQ((*exception)["type"].asString(), "std::runtime_error");
    std::vector<std::string> names;
    for (const auto& frame : (*exception)["frames"].asArray())
        names.push_back(functionOfFrame(log, frame["address"].asString()));
    ASSERT_GE(names.size(), 5u);
    const std::vector<std::string> chain = {"qvThrowChainLevel5", "qvThrowChainLevel4", "qvThrowChainLevel3",
                                            "qvThrowChainLevel2", "qvThrowChainLevel1"};
    EXPECT_EQ(std::vector(names.begin(), names.begin() + 5), chain);
}

TEST_F(CrashesEndToEndTest, ExceptionsOfOtherTypesAreReportedByTheirTypeName) {
    const std::vector<std::pair<std::string, std::string>> cases = {{"int", "int"},
                                                                    {"custom", "quorvane::test::CXXCustomFailure"}};
    size_t count = 0;
    for (const auto& [scenario, type] : cases) {
        SCOPED_TRACE(scenario);
        auto child = runChild(scenario);
        ASSERT_TRUE(child.signaled && child.signal == SIGABRT) << child.output;
        auto logs = crashLogsAfterRestart(++count);
        ASSERT_EQ(logs.size(), count);
        EXPECT_EQ(logs.back()["exceptionType"].asString(), type);
        EXPECT_EQ(logs.back()["exceptionReason"].asString(), "");
    }
}

TEST_F(CrashesEndToEndTest, LogsHandedToAChannelJustBeforeACrashArriveAtTheNextStart) {
    auto child = runChild("logs");
    ASSERT_TRUE(child.signaled && child.signal == SIGSEGV) << child.output;
    restart();
    ASSERT_TRUE(pumpUntil([&] { return acceptedOfType("event").size() >= 3; }));
    std::multiset<std::string> numbers;
    for (const auto& log : acceptedOfType("event")) numbers.insert(log["properties"]["n"].asString());
    EXPECT_EQ(numbers, (std::multiset<std::string>{"1", "2", "3"}));
    EXPECT_TRUE(pumpUntil([&] { return acceptedOfType("appleError").size() == 1; }));
}

TEST_F(CrashesEndToEndTest, AWrapperExceptionGoesWithItsOwnCrashOnly) {
    auto first = runChild("wrapper");
    ASSERT_TRUE(first.signaled && first.signal == SIGSEGV) << first.output;
    auto logs = crashLogsAfterRestart(1);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0]["exception"]["type"].asString(), "Wrapper.Crash");

    auto second = runChild("plain");
    ASSERT_TRUE(second.signaled && second.signal == SIGSEGV) << second.output;
    logs = crashLogsAfterRestart(2);
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_NE(logs[1]["processId"].asInt(), logs[0]["processId"].asInt());
    EXPECT_FALSE(logs[1].find("exception"));
}

TEST_F(CrashesEndToEndTest, TheApplicationForwarderReportsOnlyWhenTheSettingAsksForIt) {
    struct Case {
        const char* scenario;
        bool reported;
    };
    size_t reports = 0;
    for (const auto& c : {Case{"forwarder-off", false}, Case{"forwarder-plist-off", false}, Case{"forwarder-on", true}}) {
        SCOPED_TRACE(c.scenario);
        auto child = runChild(c.scenario);
        if (!c.reported) {
            EXPECT_TRUE(!child.signaled && child.exitCode == 3) << child.output;
            EXPECT_FALSE(applicationEngine()->hasPendingCrashReport());
            continue;
        }
        ASSERT_TRUE(child.signaled && child.signal == SIGABRT) << child.output;
        auto logs = crashLogsAfterRestart(++reports);
        ASSERT_EQ(logs.size(), reports);
        EXPECT_EQ(logs.back()["exceptionType"].asString(), "NSRangeException");
        EXPECT_EQ(logs.back()["exceptionReason"].asString(), "index 3 beyond bounds");
    }
}
