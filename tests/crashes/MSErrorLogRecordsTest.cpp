// The crash-reporting records: their JSON, validity, equality and the stored archive format.

#include <gtest/gtest.h>

#include <fstream>

#include "platform/foundation/Paths.h"
#include "tests/crashes/CrashesTestSupport.h"
#include "telemetry/MSUtility.h"

using namespace quorvane;
using namespace quorvane::test;
using platform::KeyedArchiver;
using platform::KeyedUnarchiver;
using platform::Value;
using Keys = std::vector<std::string>;

namespace {

const std::filesystem::path kFixtures = std::filesystem::path(QUORVANE_TEST_DATA_DIR) / "crashes";

template <class T>
std::shared_ptr<T> roundTrip(const T& object) {
    auto decoded = KeyedUnarchiver::unarchivedObject<T>(KeyedArchiver::archivedData(object));
    EXPECT_TRUE(decoded) << decoded.error().localizedDescription();
    auto back = decoded.valueOr(nullptr);
    return back;
}

TEST(MSErrorLogRecords, EveryLogArchivesAndDecodesToAnEqualLog) {
    for (const auto& [name, log] : sampleCrashesLogs()) {
        SCOPED_TRACE(name);
        auto back = roundTrip<MSAbstractLog>(*log);
        ASSERT_TRUE(back);
        EXPECT_EQ(&back->classInfo(), &log->classInfo());
        EXPECT_TRUE(back->isEqual(*log));
        EXPECT_EQ(back->serializeToDictionary(), log->serializeToDictionary());
    }
    // A decoded thread keeps an absent frame list absent.
    auto bare = std::make_shared<MSThread>();
    bare->frames.reset();
    EXPECT_FALSE(roundTrip(*bare)->frames.has_value());
}

TEST(MSErrorLogRecords, StoredArchivesStillReadBack) {
    for (const auto& [name, log] : sampleCrashesLogs()) {
        SCOPED_TRACE(name);
        std::string text;
        ASSERT_TRUE(platform::readFile(kFixtures / (name + ".qvarchive"), text));
        auto decoded = KeyedUnarchiver::unarchivedObject<MSAbstractLog>(text);
        ASSERT_TRUE(decoded) << decoded.error().localizedDescription();
        auto back = decoded.valueOr(nullptr);
        EXPECT_TRUE(back->isEqual(*log));
    }
}

// Rewrites the fixtures from the samples (run by hand when a new format version is added).
TEST(MSErrorLogRecords, DISABLED_WriteFixtures) {
    for (const auto& [name, log] : sampleCrashesLogs())
        std::ofstream(kFixtures / (name + ".qvarchive")) << KeyedArchiver::archivedData(*log);
}

TEST(MSErrorLogRecords, DecodingFillsMissingKeysWithDefaultsAndRefusesWrongTypes) {
    registerCrashesClasses();
    auto log = std::make_shared<MSAppleErrorLog>();
    log->fatal = true;
    std::string archive = KeyedArchiver::archivedData(*log);
    auto without = archive;
    without.replace(without.find("\"fatal\":true"), 12, "\"processName\":\"x\"");
    auto back = KeyedUnarchiver::unarchivedObject<MSAppleErrorLog>(without).valueOr(nullptr);
    ASSERT_TRUE(back);
    EXPECT_FALSE(back->fatal);
    EXPECT_EQ(back->type, "appleError");
    EXPECT_FALSE(back->architecture);

    auto wrong = archive;
    wrong.replace(wrong.find("\"fatal\":true"), 12, "\"threads\":\"none\"");
    auto refused = KeyedUnarchiver::unarchivedObject<MSAppleErrorLog>(wrong);
    ASSERT_FALSE(refused);
    EXPECT_FALSE(refused.error().localizedDescription().empty());
}

TEST(MSErrorLogRecords, DictionariesHoldPresentFieldsInTheirOrder) {
    auto thread = std::make_shared<MSThread>();
    auto frame = sampleFrame("0x1");
    auto binary = std::make_shared<MSBinary>();
    binary->setBinaryId("???");
    binary->setStartAddress("0x1");
    binary->setEndAddress("0x2");
    auto emptyLog = std::make_shared<MSAppleErrorLog>();
    auto withEmptyThreads = std::make_shared<MSAppleErrorLog>();
    withEmptyThreads->threads.emplace();
    auto handled = std::make_shared<MSHandledErrorLog>();
    handled->errorId = "E";
    handled->exception = std::make_shared<MSException>();
    const std::vector<std::pair<Value, Keys>> cases = {
        {thread->serializeToDictionary(), {"frames"}},
        {frame->serializeToDictionary(), {"address"}},
        {binary->serializeToDictionary(), {"id", "startAddress", "endAddress"}},
        {sampleBinary("0x0")->serializeToDictionary(),
         {"id", "startAddress", "endAddress", "name", "path", "architecture", "primaryArchitectureId",
          "architectureVariantId"}},
        {sampleFrame("0x1", true)->serializeToDictionary(),
         {"address", "code", "className", "methodName", "lineNumber", "fileName"}},
        {sampleException()->serializeToDictionary(),
         {"type", "message", "stackTrace", "wrapperSdkName", "frames", "innerExceptions"}},
        {emptyLog->serializeToDictionary(), {"type", "fatal"}},
        {withEmptyThreads->serializeToDictionary(), {"type", "fatal", "threads"}},
        {handled->serializeToDictionary(), {"type", "id", "exception"}},
        {sampleAppleErrorLog()->serializeToDictionary(),
         {"type", "timestamp", "sid", "distributionGroupId", "userId", "device", "properties", "id", "processId", "processName",
          "parentProcessId", "parentProcessName", "errorThreadId", "errorThreadName", "fatal", "appLaunchTimestamp",
          "architecture", "primaryArchitectureId", "architectureVariantId", "applicationPath", "osExceptionType",
          "osExceptionCode", "osExceptionAddress", "exceptionType", "exceptionReason", "selectorRegisterValue",
          "threads", "binaries", "registers", "exception"}},
    };
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(cases[i].first.keys(), cases[i].second) << "case " << i;

    EXPECT_EQ(thread->serializeToDictionary()["frames"], Value::array());
    EXPECT_EQ(emptyLog->serializeToDictionary()["fatal"], Value(false));
    EXPECT_EQ(withEmptyThreads->serializeToDictionary()["threads"], Value::array());
    auto full = sampleAppleErrorLog()->serializeToDictionary();
    EXPECT_EQ(full["appLaunchTimestamp"].asString(), MSUtility::dateToISO8601(platform::Date(786297500.5)));
    EXPECT_TRUE(full["appLaunchTimestamp"].asString().ends_with(".500Z"));
    EXPECT_EQ(full["primaryArchitectureId"], Value(int64_t(16777223)));
    EXPECT_EQ(full["registers"]["rip"], Value("0x0000000000401000"));
    // Three levels of exceptions nest as three dictionaries.
    const auto& e = full["exception"];
    EXPECT_EQ(e["innerExceptions"][0]["innerExceptions"][0]["message"], Value("inner"));
    EXPECT_EQ(full["threads"][0]["exception"]["type"], Value("std::runtime_error"));
}

TEST(MSErrorLogRecords, ValidityNeedsTheRequiredFieldsOnly) {
    auto valid = sampleAppleErrorLog();
    EXPECT_TRUE(valid->isValid());
    auto fresh = std::make_shared<MSAppleErrorLog>();
    EXPECT_EQ(fresh->type, "appleError");
    EXPECT_FALSE(fresh->isValid());

    using Change = std::function<void(MSAppleErrorLog&)>;
    const std::vector<std::pair<Change, bool>> cases = {
        {[](auto& l) { l.errorId = ""; }, true},
        {[](auto& l) { l.processName.reset(); }, false},
        {[](auto& l) { l.processId.reset(); }, false},
        {[](auto& l) { l.primaryArchitectureId.reset(); }, false},
        {[](auto& l) { l.applicationPath.reset(); }, false},
        {[](auto& l) { l.osExceptionAddress.reset(); }, false},
        {[](auto& l) { l.device = std::make_shared<MSDevice>(); }, false},
        {[](auto& l) { l.threads = std::vector{std::make_shared<MSThread>()}; }, true},  // invalid threads inside
        {[](auto& l) { l.binaries.reset(); l.registers.reset(); l.exception.reset(); }, true},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        auto log = sampleAppleErrorLog();
        cases[i].first(*log);
        EXPECT_EQ(log->isValid(), cases[i].second) << "case " << i;
    }

    auto thread = std::make_shared<MSThread>();
    thread->threadId = 1;
    EXPECT_FALSE(thread->isValid());
    thread->frames->push_back(std::make_shared<MSStackFrame>());
    EXPECT_TRUE(thread->isValid());
    auto exception = std::make_shared<MSException>();
    exception->type = "t";
    EXPECT_FALSE(exception->isValid());
    exception->frames = std::vector{std::make_shared<MSStackFrame>()};
    EXPECT_TRUE(exception->isValid());
    auto binary = sampleBinary("0x0");
    binary->setPath("");
    EXPECT_TRUE(binary->isValid());
    binary->setPath(std::nullopt);
    EXPECT_FALSE(binary->isValid());

    auto handled = stamped(std::make_shared<MSHandledErrorLog>());
    handled->errorId = "E";
    EXPECT_FALSE(handled->isValid());
    handled->exception = std::make_shared<MSException>();
    EXPECT_TRUE(handled->isValid());
}

TEST(MSErrorLogRecords, EqualityComparesEveryFieldInOrder) {
    using Change = std::function<void(MSAppleErrorLog&)>;
    const std::vector<Change> changes = {
        [](auto& l) { l.processName = ""; },
        [](auto& l) { std::swap((*l.binaries)[0], (*l.binaries)[1]); },
        [](auto& l) { (*l.binaries)[1]->setArchitectureVariantId(9); },
        [](auto& l) { std::swap((*(*l.threads)[0]->frames)[0], (*(*l.threads)[0]->frames)[1]); },
        [](auto& l) { l.exception = sampleException("other"); },
        [](auto& l) { (*l.registers)["rip"] = "0x0"; },
        [](auto& l) { l.fatal = false; },
        [](auto& l) { l.properties.reset(); },
    };
    EXPECT_TRUE(sampleAppleErrorLog()->isEqual(*sampleAppleErrorLog()));
    for (size_t i = 0; i < changes.size(); ++i) {
        auto log = sampleAppleErrorLog();
        changes[i](*log);
        EXPECT_FALSE(log->isEqual(*sampleAppleErrorLog())) << "change " << i;
        EXPECT_FALSE(sampleAppleErrorLog()->isEqual(*log)) << "change " << i;
    }
    auto a = sampleBinary("0x0"), b = sampleBinary("0x0");
    a->setArchitecture(std::nullopt);
    b->setArchitecture(std::nullopt);
    EXPECT_TRUE(a->isEqual(*b));
    EXPECT_FALSE(std::make_shared<MSHandledErrorLog>()->isEqual(*std::make_shared<MSAppleErrorLog>()));
}

TEST(MSErrorLogRecords, TextAttachmentIsPlainTextBase64OnOneLine) {
    auto a = MSErrorAttachmentLog::attachmentWithText(std::string("abc"), std::string("note.txt"));
    auto b = MSErrorAttachmentLog::attachmentWithText(std::string("abc"), std::string("note.txt"));
    EXPECT_EQ(a->data, (platform::Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(a->contentType, "text/plain");
    EXPECT_EQ(a->type, "errorAttachment");
    auto dict = a->serializeToDictionary();
    EXPECT_EQ(dict["data"], Value("YWJj"));
    EXPECT_EQ(dict["fileName"], Value("note.txt"));
    EXPECT_NE(a->attachmentId, b->attachmentId);
    EXPECT_EQ(a->attachmentId->size(), 36u);
    EXPECT_FALSE(a->isEqual(*b));

    stamped(a);
    EXPECT_FALSE(a->isValid());
    a->errorId = "E";
    EXPECT_TRUE(a->isValid());
    a->data.reset();
    EXPECT_FALSE(a->isValid());
    EXPECT_FALSE(a->serializeToDictionary().contains("data"));

    auto big = MSErrorAttachmentLog::attachmentWithBinary(platform::Bytes(300, 7), std::nullopt, std::string("x/y"));
    EXPECT_EQ(big->serializeToDictionary()["data"].asString().find_first_of("\r\n"), std::string::npos);
}

TEST(MSErrorReport, IsAppKillOnlyForSigkillInAnyCase) {
    auto report = [](std::optional<std::string> signal) {
        return MSErrorReport(std::string("id"), std::nullopt, std::move(signal), std::nullopt, std::nullopt,
                             std::nullopt, std::nullopt, nullptr, 0);
    };
    EXPECT_TRUE(report("SIGKILL").isAppKill());
    EXPECT_TRUE(report("sigkill").isAppKill());
    EXPECT_FALSE(report("SIGKILL ").isAppKill());
    EXPECT_FALSE(report(std::nullopt).isAppKill());
    auto r = report("SIGSEGV");
    r.setSignal("SigKill");
    EXPECT_TRUE(r.isAppKill());
}

}  // namespace
