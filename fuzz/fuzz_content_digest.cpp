// The content digest of written entry bytes has two readers: a quick one for the plain XML the
// model writes, and the XML parser for everything else. On any input the quick reader must either
// decline (nullopt) or give exactly the parser's value, and the combined reader must always give
// the parser's value: a digest that differed would make a run take an unchanged contact for
// changed, or a changed one for unchanged.

#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzCheck.h"
#include "sync/ContentDigest.h"

using namespace quorvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (fuzz::silenceLog(), true);
    (void)quiet;
    const platform::Bytes bytes(data, data + size);
    const auto parsed = googleContentDigestOfParsedXML(bytes);
    const auto plain = googleContentDigestOfPlainXML(bytes);
    FUZZ_CHECK(!plain || plain == parsed, "the quick reader's digest differs from the parser's");
    FUZZ_CHECK(googleContentDigestOfXML(bytes) == parsed, "the digest of written bytes differs from the parser's");
    return 0;
}
