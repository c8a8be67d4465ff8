// Keyed archives of telemetry logs as the log store reads them back: any bytes either fail to
// decode with a message or give objects whose archive decodes to objects with the same archive
// (decode, encode, decode gives the same value). Both root forms are read: one object (a stored
// log) and a list of objects (the session, user-id and device histories).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crashes/MSErrorLogs.h"
#include "fuzz/FuzzCheck.h"
#include "platform/foundation/KeyedArchiver.h"

using namespace quorvane;
using platform::Coding;
using platform::KeyedArchiver;
using platform::KeyedUnarchiver;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceLog();
    registerCrashesClasses();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    if (auto decoded = KeyedUnarchiver::unarchivedObject<Coding>(bytes)) {
        const auto& object = *decoded;
        FUZZ_CHECK(object != nullptr, "a decoded object is an object");
        const std::string archive = KeyedArchiver::archivedData(*object);
        auto again = KeyedUnarchiver::unarchivedObject<Coding>(archive).valueOr(nullptr);
        FUZZ_CHECK(again != nullptr, "the archive of a decoded object decodes");
        FUZZ_CHECK(&again->classInfo() == &object->classInfo(), "the object decodes to its own class");
        FUZZ_CHECK(KeyedArchiver::archivedData(*again) == archive, "decode, encode, decode gives the same value");
    } else {
        FUZZ_CHECK(!decoded.error().localizedDescription().empty(), "a failed decode says why");
    }

    if (auto list = KeyedUnarchiver::unarchivedObjects<Coding>(bytes)) {
        std::vector<std::shared_ptr<const Coding>> roots(list->begin(), list->end());
        const std::string archive = KeyedArchiver::archivedData(roots);
        auto again = KeyedUnarchiver::unarchivedObjects<Coding>(archive);
        FUZZ_CHECK(again && again->size() == list->size(), "the archive of a decoded list decodes");
        std::vector<std::shared_ptr<const Coding>> againRoots(again->begin(), again->end());
        FUZZ_CHECK(KeyedArchiver::archivedData(againRoots) == archive, "decode, encode, decode gives the same list");
    } else {
        FUZZ_CHECK(!list.error().localizedDescription().empty(), "a failed list decode says why");
    }
    return 0;
}
