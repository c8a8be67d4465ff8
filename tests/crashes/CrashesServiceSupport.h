#pragma once
// The crash-reporting service over the real pipeline, in this process: a fresh SDK sending to the
// fake ingestion, a fresh "crashes" folder and log file, and crash reports made by a forked child
// that crashes under the capture engine.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "crashes/MSCrashes.h"
#include "crashes/MSCrashesUtil.h"
#include "crashreporter/capture/MSCrashReporter.h"
#include "platform/runloop/RunLoop.h"
#include "telemetry/MSRevAzezar.h"
#include "tests/crashreporter/CrashChild.h"
#include "tests/support/FakeIngestionServer.h"
#include "tests/telemetry/TelemetryTestSupport.h"

namespace quorvane::test {

// The engine of the running application, as the service configures it.
inline std::shared_ptr<MSCrashReporter> applicationEngine() {
    static auto reporter = MSCrashReporter::initWithConfiguration(MSCrashReporterConfig::defaultConfiguration());
    return reporter;
}

// Arms the engine in this process before any child is forked, so that a child does nothing but
// crash: a fork of a process with threads may not take locks or allocate.
inline void armEngineOnce() {
    static const bool armed = applicationEngine()->enableCrashReporter().ok();
    ASSERT_TRUE(armed || MSCrashReporter::armedCrashReportPath());
}

// A forked child crashes with SIGSEGV under the armed engine and leaves its report pending.
inline void crashInChild() {
    ASSERT_NO_FATAL_FAILURE(armEngineOnce());
    auto child = runInChild([] {
        volatile int* nowhere = reinterpret_cast<volatile int*>(uintptr_t(0x10));
        *nowhere = 7;
        return 0;
    });
    ASSERT_TRUE(child.signaled && child.signal == SIGSEGV) << child.describe();
    ASSERT_TRUE(applicationEngine()->hasPendingCrashReport());
}

// Moves the clock for a moment, so that a history entry can be recorded at another time.
class ClockShift {
public:
    explicit ClockShift(double seconds) : clock_(std::make_shared<Shifted>(seconds)) {
        platform::Clock::setCurrent(clock_);
    }
    ~ClockShift() { platform::Clock::setCurrent(nullptr); }

private:
    struct Shifted : platform::Clock {
        explicit Shifted(double s) : offset(s) {}
        platform::Date now() const override { return system.now().addingTimeInterval(offset); }
        double monotonic() const override { return system.monotonic(); }
        double offset;
        platform::SystemClock system;
    };
    std::shared_ptr<Shifted> clock_;
};

class CrashesServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(armEngineOnce());
        defaults_ = std::make_unique<FreshDefaults>();
        MSRevAzezar::resetSharedInstance();
        MSCrashes::resetSharedInstance();
        MSSessionContext::resetSharedInstance();
        MSUserIdContext::resetSharedInstance();
        MSDeviceTracker::resetSharedInstance();
        MSUtility::deleteItemForPathComponent("crashes");
        MSCrashesUtil::resetDirectory();
        for (const char* suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(MSUtility::fullURLForPathComponent(std::string("Logs.sqlite") + suffix));
        if (applicationEngine()->hasPendingCrashReport()) applicationEngine()->purgePendingCrashReport();
    }
    void TearDown() override {
        // The delayed processing of this test ends before the next test's files appear.
        if (crashes) crashes->unprocessedCrashReports();
        MSRevAzezar::resetSharedInstance();
        MSCrashes::resetSharedInstance();
        defaults_.reset();
    }

    // Starts the SDK with the service; the facade's own unit is switched off so that only
    // crash-reporting logs reach the server.
    // beforeStart runs on the new service first (delegate, confirmation handler).
    void start(const std::function<void()>& beforeStart = {}) {
        crashes = MSCrashes::sharedInstance();
        if (beforeStart) beforeStart();
        auto& sdk = MSRevAzezar::sharedInstance();
        sdk.setLogUrl(server.baseURL());
        MSHttpIngestion::Options fast;
        fast.retryIntervals = {0.01, 0.02, 0.05};
        sdk.setIngestionOptions(fast);
        ASSERT_TRUE(sdk.start("app-secret", {crashes}));
        sdk.channelUnit()->setEnabled(false, true);
    }
    // Restarts as a new process would: new SDK, service and contexts over the same files.
    void restart(const std::function<void()>& beforeStart = {}) {
        if (crashes) crashes->unprocessedCrashReports();
        MSRevAzezar::resetSharedInstance();
        MSCrashes::resetSharedInstance();
        MSSessionContext::resetSharedInstance();
        MSUserIdContext::resetSharedInstance();
        MSCrashesUtil::resetDirectory();
        start(beforeStart);
    }
    std::vector<platform::Value> acceptedOfType(const std::string& type) const {
        std::vector<platform::Value> out;
        for (const auto& log : server.acceptedLogs())
            if (log["type"].asString() == type) out.push_back(log);
        return out;
    }
    bool pumpUntil(const std::function<bool()>& predicate, double timeout = 60) {
        return platform::RunLoop::main()->runUntil(predicate, timeout);
    }

    std::unique_ptr<FreshDefaults> defaults_;
    FakeIngestionServer server;
    std::shared_ptr<MSCrashes> crashes;
};

}  // namespace quorvane::test
