// Uncaught C++ exceptions: the throw hook's per-thread record, the terminate handler's list and
// what it hands the handlers, and the wrapper built from it. Everything that installs a terminate
// handler or lets an exception escape runs in a forked child.

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>

#include "crashes/MSCrashesCXXExceptionHandler.h"
#include "crashes/MSCrashesCXXExceptionWrapperException.h"
#include "tests/crashes/CXXThrowChain.h"
#include "tests/crashreporter/CrashChild.h"
#include "tests/crashreporter/StackSymbols.h"
#include "tests/support/FreshProcess.h"

using namespace quorvane;
using namespace quorvane::test;

namespace {

int gCalls = 0;
void countingHandler(const MSCrashesUncaughtCXXExceptionInfo*) { ++gCalls; }
void otherTerminate() { std::abort(); }

// The function holding a return address; a part the compiler split off (name.cold) counts as
// the function itself.
std::string functionAt(uint64_t pc) {
    std::string name = symbolAt(pc - 1);
    if (auto dot = name.find(".cold"); dot != std::string::npos) name.resize(dot);
    return name;
}

// The marker the handler writes into, set before the exception escapes.
const Marker* gMarker = nullptr;

// Writes what the handler received and what the wrapper makes of it, one item per line:
// mangled type, message (or "(null)"), wrapper name, wrapper reason, then one symbol per frame.
void recordingHandler(const MSCrashesUncaughtCXXExceptionInfo* info) {
    MSCrashesCXXExceptionWrapperException wrapper(info);
    std::string text = std::string(info->exceptionTypeName ? info->exceptionTypeName : "(null)") + "\n" +
                       (info->exceptionMessage ? info->exceptionMessage : "(null)") + "\n" + wrapper.name + "\n" +
                       wrapper.reason + "\n";
    if (wrapper.callStackReturnAddresses.size() != info->exceptionFramesCount) text += "frame count differs\n";
    for (uint64_t pc : wrapper.callStackReturnAddresses) text += functionAt(pc) + "\n";
    gMarker->append(text.c_str());
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        out.push_back(text.substr(start, end - start));
    return out;
}

}  // namespace

// The terminate handler's list starts empty only in a process where crash reporting never started.
TEST(MSCrashesCXXException, HandlerListInstallsAndRestoresTheTerminateHandler) {
    if (!inFreshProcess()) return;
    auto result = runInChild([] {
        // Throws before the first registration leave no record.
        try {
            throw std::runtime_error("early");
        } catch (const std::exception&) {
        }
        if (MSCrashesCXXThrowRecordIfAny() != nullptr || MSCrashesCXXThrowRecordingEnabled()) return 1;

        const std::terminate_handler original = std::get_terminate();
        MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(countingHandler);
        MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(countingHandler);
        if (MSCrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler() != 2) return 2;
        if (std::get_terminate() != uncaughtCXXTerminateHandler) return 3;
        MSCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(countingHandler);
        if (std::get_terminate() != uncaughtCXXTerminateHandler) return 4;
        MSCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(countingHandler);
        MSCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(countingHandler);  // absent: no-op
        if (std::get_terminate() != original || MSCrashesCXXThrowRecordingEnabled()) return 5;

        // A third party's terminate handler installed since stays in force.
        MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(countingHandler);
        std::set_terminate(otherTerminate);
        MSCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(countingHandler);
        if (std::get_terminate() != otherTerminate || !MSCrashesCXXThrowRecordingEnabled()) return 6;
        return 0;
    });
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe();
}

TEST(MSCrashesCXXException, EachThreadKeepsTheFramesOfItsOwnLastThrow) {
    auto result = runInChild([] {
        MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(countingHandler);
        try {
            qvThrowChainLevel1(CXXThrowKind::RuntimeError);
        } catch (const std::exception&) {
        }
        const MSCrashesCXXThrowRecord* mine = MSCrashesCXXThrowRecordIfAny();
        if (mine == nullptr || mine->frameCount < 6) return 1;
        if (functionAt(mine->frames[1]) != "qvThrowChainLevel5") return 2;
        const MSCrashesCXXThrowRecord* other = nullptr;
        std::thread([&] {
            try {
                throw 7;
            } catch (int) {
            }
            other = MSCrashesCXXThrowRecordIfAny();
        }).join();
        if (other == nullptr || other == mine) return 3;
        return functionAt(mine->frames[1]) == "qvThrowChainLevel5" ? 0 : 4;
    });
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe();
}

// Where crash reporting started, its own handler runs first and ends the process.
TEST(MSCrashesCXXException, TheHandlersLearnTypeMessageAndThrowSiteOfTheUncaughtException) {
    if (!inFreshProcess()) return;
    struct Case {
        CXXThrowKind kind;
        const char* mangled;
        const char* message;
        const char* name;
        const char* reason;
    };
    const Case cases[] = {
        {CXXThrowKind::RuntimeError, "St13runtime_error", "deep failure", "std::runtime_error", "deep failure"},
        {CXXThrowKind::Int, "i", "(null)", "int", ""},
        {CXXThrowKind::CString, "PKc", "plain text", "char const*", "plain text"},
        {CXXThrowKind::String, "NSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE", "string text",
         "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >", "string text"},
        {CXXThrowKind::Custom, "N8quorvane4test16CXXCustomFailureE", "(null)", "quorvane::test::CXXCustomFailure", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Marker marker("cxx-terminate");
        auto result = runInChild([&] {
            gMarker = &marker;
            MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
            MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
            // Escapes its thread, so nothing catches it.
            std::thread([&] { qvThrowChainLevel1(c.kind); }).join();
            return 0;
        });
        ASSERT_TRUE(result.signaled && result.signal == SIGABRT) << result.describe();
        auto got = lines(marker.read());
        // Both registrations ran, each with the same record.
        const size_t half = got.size() / 2;
        ASSERT_GE(half, 9u);
        EXPECT_EQ(std::vector(got.begin(), got.begin() + half), std::vector(got.begin() + half, got.end()));
        EXPECT_EQ(got[0], c.mangled);
        EXPECT_EQ(got[1], c.message);
        EXPECT_EQ(got[2], c.name);
        EXPECT_EQ(got[3], c.reason);
        // The throw site first, then its callers; the hook's own frame is left out.
        const std::vector<std::string> chain = {"qvThrowChainLevel5", "qvThrowChainLevel4", "qvThrowChainLevel3",
                                                "qvThrowChainLevel2", "qvThrowChainLevel1"};
        EXPECT_EQ(std::vector(got.begin() + 4, got.begin() + 9), chain);
    }
}

TEST(MSCrashesCXXException, TerminateWithoutAnExceptionCallsNoHandler) {
    Marker marker("cxx-no-exception");
    auto result = runInChild([&] {
        gMarker = &marker;
        MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
        std::terminate();
        return 0;
    });
    EXPECT_TRUE(result.signaled && result.signal == SIGABRT) << result.describe();
    EXPECT_EQ(marker.read(), "");
}

TEST(MSCrashesCXXException, TheWrapperToleratesAnEmptyRecord) {
    MSCrashesUncaughtCXXExceptionInfo info = {};
    MSCrashesCXXExceptionWrapperException wrapper(&info);
    EXPECT_EQ(wrapper.name, "");
    EXPECT_EQ(wrapper.reason, "");
    EXPECT_TRUE(wrapper.callStackReturnAddresses.empty());
    EXPECT_EQ(wrapper.info(), &info);
    info.exceptionTypeName = "not a mangled name (";
    EXPECT_EQ(MSCrashesCXXExceptionWrapperException(&info).name, "not a mangled name (");
}
