// Multipart bodies: the first line of the input is the boundary, the rest the body. The parts
// read from it, written again as a MIME document, read back into as many parts with the same
// bodies and the same headers.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fetcher/QNMIMEDocument.h"
#include "fuzz/FuzzCheck.h"

using namespace quorvane;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t newline = input.find('\n');
    if (newline == std::string_view::npos) return 0;
    std::string_view boundary = input.substr(0, newline);
    platform::DispatchData body(platform::Bytes(data + newline + 1, data + size));
    auto parts = QNMIMEDocument::MIMEPartsWithBoundary(boundary, body);
    if (!parts) return 0;
    FUZZ_CHECK(!parts->empty(), "a parsed body has parts");

    auto document = QNMIMEDocument::MIMEDocument();
    document->seedRandomWith(1);
    for (const auto& part : *parts) document->addPartWithHeaders(part->headers(), part->body());
    platform::DispatchData written;
    uint64_t length = 0;
    std::string usedBoundary;
    document->generateDispatchData(&written, &length, &usedBoundary);
    FUZZ_CHECK(written.size() == length, "the reported length is the body's length");

    auto again = QNMIMEDocument::MIMEPartsWithBoundary(usedBoundary, written);
    FUZZ_CHECK(again && again->size() == parts->size(), "the written body has as many parts");
    for (size_t i = 0; i < parts->size(); ++i) {
        const auto& before = *(*parts)[i];
        const auto& after = *(*again)[i];
        auto bytesOf = [](const QNMIMEDocumentPart& p) { return p.body() ? p.body()->bytes() : platform::Bytes(); };
        FUZZ_CHECK(bytesOf(before) == bytesOf(after), "each part keeps its body");
        if (before.headers() && !before.headers()->empty()) {
            FUZZ_CHECK(after.headers() == before.headers(), "each part keeps its headers");
        }
    }
    return 0;
}
