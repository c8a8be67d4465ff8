// RFC 3339 date-times: a value that names an instant formats to text that reads back to the same
// text and the same instant; any other text settles after one more round (a negative month
// cannot be written so that it reads back, but it names no instant either).

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "gdata/GDataDateTime.h"

using namespace quorvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    GDataDateTime value(std::string_view(reinterpret_cast<const char*>(data), size));
    std::string formatted = value.RFC3339String();
    GDataDateTime back(formatted);
    if (auto instant = value.date()) {
        FUZZ_CHECK(back.RFC3339String() == formatted, "formatted text reads back the same");
        FUZZ_CHECK(back.date() == instant, "formatted text names the same instant");
    } else {
        std::string settled = back.RFC3339String();
        FUZZ_CHECK(GDataDateTime(settled).RFC3339String() == settled, "formatted text settles after one round");
    }
    if (std::string_view(reinterpret_cast<const char*>(data), size) == formatted) {
        FUZZ_CHECK(back == value, "text already in the written form reads back to an equal value");
    }
    return 0;
}
