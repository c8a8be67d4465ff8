// Wrapper exceptions: their record, their files, the matching to the report of the same process,
// and their place in the crash log.

#include <gtest/gtest.h>

#include "crashes/MSCrashesUtil.h"
#include "crashes/MSErrorLogFormatter.h"
#include "crashes/MSWrapperException.h"
#include "telemetry/MSUtility.h"
#include "tests/crashes/CrashesTestSupport.h"
#include "tests/crashreporter/BuiltReport.h"

using namespace quorvane;
using namespace quorvane::test;
using M = MSWrapperExceptionManager;

namespace {

std::shared_ptr<MSWrapperException> wrapperException(int64_t pid, std::string type = "System.NullReferenceException") {
    auto w = std::make_shared<MSWrapperException>();
    w->processId = pid;
    w->modelException = sampleException();
    w->modelException->type = std::move(type);
    w->exceptionData = platform::Bytes{1, 2, 3};
    return w;
}

std::shared_ptr<MSErrorReport> report(std::string id, uint64_t pid) {
    return std::make_shared<MSErrorReport>(std::move(id), "key", "SIGABRT", std::nullopt, std::nullopt, std::nullopt,
                                           std::nullopt, nullptr, pid);
}

bool fileExists(const std::string& name) {
    return MSUtility::fileExistsForPathComponent(MSCrashesUtil::wrapperExceptionsDir() + "/" + name);
}

class MSWrapperExceptionTest : public ::testing::Test {
protected:
    void SetUp() override { M::deleteAllWrapperExceptions(), MSCrashesUtil::resetDirectory(); }
    void TearDown() override { M::deleteAllWrapperExceptions(); }
};

}  // namespace

TEST_F(MSWrapperExceptionTest, RecordSerialisesPresentFieldsAndArchivesWhole) {
    MSWrapperException onlyPid;
    onlyPid.processId = 9;
    EXPECT_EQ(onlyPid.serializeToDictionary().asDictionary().size(), 1u);
    EXPECT_EQ(onlyPid.serializeToDictionary()["processId"].asInt(), 9);

    auto w = wrapperException(77);
    M::saveWrapperException(*w, "copy");
    auto back = M::loadWrapperExceptionWithBaseFilename("copy");
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->isEqual(*w));
}

TEST_F(MSWrapperExceptionTest, TheFirstReportOfTheSameProcessTakesTheLastSavedException) {
    M::saveWrapperException(*wrapperException(42));
    M::correlateLastSavedWrapperExceptionToReport({report("A", 7), report("B", 42), report("C", 42)});
    EXPECT_FALSE(fileExists(M::kLastSavedWrapperExceptionFileName));
    EXPECT_TRUE(fileExists("B"));
    EXPECT_FALSE(fileExists("C"));
    ASSERT_TRUE(M::loadWrapperExceptionWithUUIDString("B"));
    EXPECT_EQ(M::loadWrapperExceptionWithUUIDString("B")->processId, 42);
    EXPECT_FALSE(M::loadWrapperExceptionWithUUIDString("C"));

    // Kept in memory once matched, even after its file is gone.
    M::deleteWrapperExceptionWithUUIDString("B");
    EXPECT_FALSE(fileExists("B"));
    EXPECT_TRUE(M::loadWrapperExceptionWithUUIDString("B"));

    // Without a match the exception is dropped.
    M::saveWrapperException(*wrapperException(43));
    M::correlateLastSavedWrapperExceptionToReport({report("D", 7)});
    EXPECT_FALSE(fileExists(M::kLastSavedWrapperExceptionFileName));
    EXPECT_FALSE(fileExists("D"));
}

TEST_F(MSWrapperExceptionTest, AnUnreadableFileIsRemoved) {
    ASSERT_TRUE(MSUtility::createFileAtPathComponent(MSCrashesUtil::wrapperExceptionsDir() + "/E",
                                                     platform::Bytes{'x', 'y'}, true, true));
    EXPECT_FALSE(M::loadWrapperExceptionWithUUIDString("E"));
    EXPECT_FALSE(fileExists("E"));
}

TEST_F(MSWrapperExceptionTest, TheCrashLogCarriesTheWrapperExceptionOfItsOwnReport) {
  for (bool withUUID : {true, false}) {
    SCOPED_TRACE(withUUID);
    BuiltReport built;
    built.thread(0, true, {built.frame(0x401000)});
    built.image(0x400000, 0x10000, "/home/alice/bin/tool");
    uint8_t uuid[16] = {0x2b, 0x5e, 0x4a, 0x8c, 0x1d, 0x3f, 0x4e, 0x6a, 0x8b, 0x9c, 0x0d, 0x1e, 0x2f, 0x3a, 0x4b, 0x5c};
    if (withUUID) {
        built.reportInfo.has_uuid = 1;
        built.reportInfo.uuid = {16, uuid};
        built.report.report_info = &built.reportInfo;
    }
    // With the report's UUID, and without one (the error id is then drawn from the content).
    auto crash = built.decode();
    ASSERT_TRUE(crash);
    auto plain = MSErrorLogFormatter::errorLogFromCrashReport(*crash);
    EXPECT_FALSE(plain->exception);

    M::saveWrapperException(*wrapperException(4242, "Wrapper.Type"));
    M::correlateLastSavedWrapperExceptionToReport({MSErrorLogFormatter::errorReportFromCrashReport(crash.get())});
    auto log = MSErrorLogFormatter::errorLogFromCrashReport(*crash);
    ASSERT_TRUE(log->exception);
    EXPECT_EQ(log->exception->type, "Wrapper.Type");
    EXPECT_EQ(log->serializeToDictionary()["exception"]["type"].asString(), "Wrapper.Type");
    built.process.process_id = 4243;  // another process's report
    uuid[15]++;
    EXPECT_FALSE(MSErrorLogFormatter::errorLogFromCrashReport(*built.decode())->exception);
  }
}
