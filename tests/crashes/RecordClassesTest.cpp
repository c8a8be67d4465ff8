// Every archivable record class of telemetry, usage analytics and crash reporting, with every
// field set and with none: the archive and the JSON it gives must stay byte for byte what they
// were (stored logs and the wire depend on both), and it must read back into an equal record.

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "analytics/MSAnalytics.h"
#include "analytics/MSPageLog.h"
#include "analytics/MSStartSessionLog.h"
#include "crashes/MSWrapperException.h"
#include "platform/foundation/Paths.h"
#include "telemetry/MSDeviceTracker.h"
#include "telemetry/MSIdHistory.h"
#include "tests/crashes/CrashesTestSupport.h"

using namespace quorvane;
using namespace quorvane::test;
using platform::KeyedArchiver;
using platform::KeyedUnarchiver;

namespace {

const std::filesystem::path kGolden = std::filesystem::path(QUORVANE_TEST_DATA_DIR) / "crashes" / "record-classes.golden";

using Record = std::shared_ptr<MSSerializableObject>;

std::shared_ptr<MSEventProperties> sampleTypedProperties() {
    auto p = std::make_shared<MSEventProperties>();
    p->setString(std::string("basket"), std::string("screen"));
    p->setDouble(9.5, std::string("total"));
    p->setInt64(3, std::string("items"));
    p->setBool(true, std::string("gift"));
    p->setDate(platform::Date(786297600.5), std::string("when"));
    return p;
}

// Every record class with every field set, under its class name.
std::vector<std::pair<std::string, Record>> fullRecords() {
    registerCrashesClasses();
    registerAnalyticsClasses();
    std::vector<std::pair<std::string, Record>> rows;
    for (const auto& [name, log] : sampleLogs()) rows.emplace_back(log->classInfo().name, log);
    for (const auto& [name, log] : sampleCrashesLogs()) rows.emplace_back(log->classInfo().name, log);
    auto cs = std::dynamic_pointer_cast<MSCommonSchemaLog>(rows[3].second);
    rows.emplace_back("MSCSExtensions", cs->ext);
    rows.emplace_back("MSCSData", cs->data);

    auto event = stamped(std::make_shared<MSEventLog>());
    event->properties = std::map<std::string, std::string>{{"screen", "basket"}};
    event->name = "checkout";
    event->eventId = "9F8E7D6C-5B4A-4392-8170-6F5E4D3C2B1A";
    event->typedProperties = sampleTypedProperties();
    rows.emplace_back("MSEventLog", event);
    auto page = stamped(std::make_shared<MSPageLog>());
    page->properties = std::map<std::string, std::string>{{"from", "menu"}};
    page->name = "Groups";
    rows.emplace_back("MSPageLog", page);
    rows.emplace_back("MSStartSessionLog", stamped(std::make_shared<MSStartSessionLog>()));
    for (const auto& [name, property] : event->typedProperties->properties())
        rows.emplace_back(property->classInfo().name, property);

    auto handled = std::dynamic_pointer_cast<MSHandledErrorLog>(rows[5].second);
    rows.emplace_back("MSException", handled->exception);
    auto apple = std::dynamic_pointer_cast<MSAppleErrorLog>(rows[4].second);
    rows.emplace_back("MSThread", apple->threads->at(0));
    rows.emplace_back("MSStackFrame", apple->threads->at(0)->frames->at(0));
    rows.emplace_back("MSBinary", apple->binaries->at(0));
    auto wrapper = std::make_shared<MSWrapperException>();
    wrapper->modelException = sampleException();
    wrapper->exceptionData = platform::Bytes{'d', 'a', 't', 'a', 0};
    wrapper->processId = 4242;
    rows.emplace_back("MSWrapperException", wrapper);

    auto deviceHistory = std::make_shared<MSDeviceHistoryInfo>();
    deviceHistory->timestamp = platform::Date(786297600.75);
    deviceHistory->device = sampleDevice();
    rows.emplace_back("MSDeviceHistoryInfo", deviceHistory);
    rows.emplace_back("MSDevice", deviceHistory->device);
    auto session = std::make_shared<MSSessionHistoryInfo>();
    session->setTimestamp(platform::Date(12.5));
    session->setIdentifier("6A1E2C4F-0000-4000-8000-000000000001");
    rows.emplace_back("MSSessionHistoryInfo", session);
    auto user = std::make_shared<MSUserIdHistoryInfo>();
    user->setTimestamp(platform::Date(13.5));
    user->setIdentifier("alice");
    rows.emplace_back("MSUserIdHistoryInfo", user);
    return rows;
}

// The same classes with no field set (as the class makes them).
Record emptyRecord(const std::string& className) {
    auto made = std::dynamic_pointer_cast<MSSerializableObject>(platform::ArchiveClassRegistry::factoryForName(className)());
    // An attachment draws a fresh id when made.
    if (auto attachment = std::dynamic_pointer_cast<MSErrorAttachmentLog>(made)) attachment->attachmentId.reset();
    return made;
}

std::map<std::string, std::string> goldenLines() {
    std::map<std::string, std::string> lines;
    std::ifstream in(kGolden);
    for (std::string line; std::getline(in, line);) {
        auto tab = line.find('\t');
        if (tab != std::string::npos) lines[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return lines;
}

// "<class> archive|json|empty archive|empty json" -> the text the record gives.
std::vector<std::pair<std::string, std::string>> currentLines() {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& [name, record] : fullRecords()) {
        auto empty = emptyRecord(name);
        out.emplace_back(name + " archive", KeyedArchiver::archivedData(*record));
        out.emplace_back(name + " json", record->serializeToDictionary().toJSON());
        out.emplace_back(name + " empty archive", KeyedArchiver::archivedData(*empty));
        out.emplace_back(name + " empty json", empty->serializeToDictionary().toJSON());
    }
    return out;
}

TEST(RecordClasses, ArchiveAndJSONStayByteForByteAndReadBackEqual) {
    const auto golden = goldenLines();
    ASSERT_FALSE(golden.empty()) << kGolden;
    for (const auto& [key, text] : currentLines()) {
        SCOPED_TRACE(key);
        EXPECT_EQ(text.find('\n'), std::string::npos);
        auto it = golden.find(key);
        ASSERT_NE(it, golden.end());
        EXPECT_EQ(text, it->second);
    }
    EXPECT_EQ(currentLines().size(), golden.size());

    for (const auto& [name, record] : fullRecords()) {
        SCOPED_TRACE(name);
        for (const auto& original : {record, emptyRecord(name)}) {
            auto decoded = KeyedUnarchiver::unarchivedObject<MSSerializableObject>(KeyedArchiver::archivedData(*original));
            ASSERT_TRUE(decoded) << decoded.error().localizedDescription();
            auto back = decoded.valueOr(nullptr);
            EXPECT_EQ(&back->classInfo(), &original->classInfo());
            EXPECT_TRUE(back->isEqual(*original));
            EXPECT_TRUE(original->isEqual(*back));
            EXPECT_EQ(back->serializeToDictionary().toJSON(), original->serializeToDictionary().toJSON());
        }
        // A full record and an empty one of its class differ.
        EXPECT_FALSE(record->isEqual(*emptyRecord(name)));
    }
}

// Rewrites the golden file from the records (run by hand when a format changes on purpose).
TEST(RecordClasses, DISABLED_WriteGolden) {
    std::ofstream out(kGolden);
    for (const auto& [key, text] : currentLines()) out << key << '\t' << text << '\n';
}

}  // namespace
