#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "fetcher/QNGatherInputStream.h"
#include "fetcher/QNMIMEDocument.h"

using namespace quorvane;
using platform::DataSlice;
using platform::DispatchData;

namespace {

DispatchData text(std::string_view t) { return DispatchData::fromString(t); }

std::string generated(QNMIMEDocument& doc, uint64_t* length = nullptr, std::string* boundary = nullptr) {
    DispatchData data;
    doc.generateDispatchData(&data, length, boundary);
    return data.string();
}

// The same bytes cut into regions at the given offsets.
DispatchData cutAt(const std::string& bytes, const std::vector<size_t>& cuts) {
    auto buffer = std::make_shared<const platform::Bytes>(bytes.begin(), bytes.end());
    DispatchData out;
    size_t from = 0;
    for (size_t cut : cuts) {
        out.append(DataSlice(buffer, from, cut - from));
        from = cut;
    }
    out.append(DataSlice(buffer, from, bytes.size() - from));
    return out;
}

DispatchData chunked(const std::string& bytes, size_t chunk) {
    std::vector<size_t> cuts;
    for (size_t c = chunk; c < bytes.size(); c += chunk) cuts.push_back(c);
    return cutAt(bytes, cuts);
}

// Whether every region of the data lies in one of the given buffers.
bool sharesBuffers(const DispatchData& data, const DispatchData& source) {
    for (const auto& r : data.regions()) {
        bool found = false;
        for (const auto& s : source.regions())
            if (r.buffer() == s.buffer()) found = true;
        if (!found) return false;
    }
    return true;
}

std::shared_ptr<QNMIMEDocument> sampleDocument() {
    auto doc = QNMIMEDocument::MIMEDocument();
    doc->addPartWithHeaders(QNMIMEHeaders{{"Content-Type", "application/atom+xml; charset=UTF-8"}},
                            text("<entry xmlns='http://www.w3.org/2005/Atom'><title>Ada</title></entry>"));
    platform::Bytes binary;
    for (int round = 0; round < 2; ++round)
        for (int b = 0; b < 256; ++b) binary.push_back(uint8_t(b));
    doc->addPartWithHeaders(QNMIMEHeaders{{"Content-Type", "image/jpeg"}, {"Content-Transfer-Encoding", "binary"}},
                            DispatchData(binary));
    doc->addPartWithHeaders(std::nullopt, text("no header block, and a line\r\n--that looks like a separator"));
    doc->addPartWithHeaders(QNMIMEHeaders{{"X-Empty-Body", "yes"}}, text(""));
    return doc;
}

// Parses the bytes cut in every way given and checks that the parts come back equal.
void expectRoundTrip(QNMIMEDocument& doc) {
    uint64_t length = 0;
    std::string boundary;
    std::string bytes = generated(doc, &length, &boundary);
    ASSERT_EQ(length, bytes.size());
    auto check = [&](const DispatchData& data, const std::string& how) {
        auto parts = QNMIMEDocument::MIMEPartsWithBoundary(boundary, data);
        ASSERT_TRUE(parts.has_value()) << how;
        ASSERT_EQ(parts->size(), doc.parts().size()) << how;
        for (size_t i = 0; i < parts->size(); ++i) {
            EXPECT_TRUE((*parts)[i]->isEqual(*doc.parts()[i])) << how << ", part " << i;
            if ((*parts)[i]->body()) {
                EXPECT_TRUE(sharesBuffers(*(*parts)[i]->body(), data)) << how;
            }
        }
    };
    for (size_t split = 1; split < bytes.size(); ++split) check(cutAt(bytes, {split}), "split at " + std::to_string(split));
    for (size_t chunk = 1; chunk <= bytes.size(); ++chunk) check(chunked(bytes, chunk), "chunks of " + std::to_string(chunk));
}

}  // namespace

TEST(QNMIMEDocument, GeneratesTheExactLayoutWithSortedHeaderLines) {
    auto doc = QNMIMEDocument::MIMEDocument();
    // "B-y" sorts before "a-x" byte-wise, after it ignoring case.
    doc->addPartWithHeaders(QNMIMEHeaders{{"B-y", "2"}, {"a-x", "1"}}, text("hello"));
    doc->addPartWithHeaders(QNMIMEHeaders{}, text(""));
    uint64_t length = 0;
    std::string boundary;
    std::string body = generated(*doc, &length, &boundary);
    EXPECT_EQ(boundary, "END_OF_PART");
    EXPECT_EQ(body,
              "\r\n--END_OF_PART\r\na-x: 1\r\nB-y: 2\r\n\r\nhello"
              "\r\n--END_OF_PART\r\n\r\n"
              "\r\n--END_OF_PART--\r\n");
    EXPECT_EQ(length, body.size());

    auto empty = QNMIMEDocument::MIMEDocument();
    EXPECT_EQ(generated(*empty, &length), "\r\n--END_OF_PART--\r\n");
    EXPECT_EQ(length, 19u);
    EXPECT_EQ(QNMIMEDocument::dataWithHeaders(std::nullopt).view(), "\r\n");
    EXPECT_EQ(QNMIMEDocument::dataWithHeaders(QNMIMEHeaders{}).view(), "\r\n");
}

TEST(QNMIMEDocument, TakesTheNextSeededCandidateWhenThePlainBoundaryAndTheFirstCollide) {
    auto doc = QNMIMEDocument::MIMEDocument();
    doc->seedRandomWith(1);
    doc->addPartWithHeaders(QNMIMEHeaders{{"Content-Type", "text/plain"}}, text("END_OF_PART_00000001 inside"));
    EXPECT_EQ(doc->boundary(), "END_OF_PART_00000002");
    EXPECT_EQ(doc->randomSeed(), 3u);  // drew 1 and 2
    EXPECT_EQ(doc->boundary(), "END_OF_PART_00000002");  // kept
    EXPECT_EQ(doc->randomSeed(), 3u);

    // A collision in a header block counts too; adding a part forgets the boundary.
    doc->addPartWithHeaders(QNMIMEHeaders{{"X-Note", "END_OF_PART_00000003"}}, text("x"));
    EXPECT_EQ(doc->boundary(), "END_OF_PART_00000004");
    // Seeding forgets it as well.
    doc->seedRandomWith(1);
    EXPECT_EQ(doc->boundary(), "END_OF_PART_00000002");

    // A collision that straddles two regions of a body is seen.
    auto split = QNMIMEDocument::MIMEDocument();
    split->seedRandomWith(7);
    split->addPartWithHeaders(std::nullopt, cutAt("xxEND_OF_PARTyy", {6}));
    EXPECT_EQ(split->boundary(), "END_OF_PART_00000007");

    // A boundary set by hand is used untested.
    doc->setBoundary("END_OF_PART");
    std::string used;
    uint64_t length;
    doc->generateDataArray(nullptr, &length, &used);
    EXPECT_EQ(used, "END_OF_PART");
}

TEST(QNMIMEDocument, FallsBackToTheUntestedFormAfterTenCollidingCandidates) {
    std::string everyCandidate = "END_OF_PART";
    for (uint32_t i = 1; i <= 9; ++i) everyCandidate += " END_OF_PART_0000000" + std::to_string(i);

    auto doc = QNMIMEDocument::MIMEDocument();
    doc->seedRandomWith(1);
    doc->addPartWithHeaders(QNMIMEHeaders{{"Content-Type", "text/plain"}}, text(everyCandidate));
    // Nine random candidates tested, the tenth discarded, then the eleventh and twelfth values.
    EXPECT_EQ(doc->boundary(), "0000000b_marnoxe_0000000c");
    EXPECT_EQ(doc->randomSeed(), 13u);
    expectRoundTrip(*doc);

    // One candidate short of that, the last tested candidate wins.
    auto almost = QNMIMEDocument::MIMEDocument();
    almost->seedRandomWith(1);
    almost->addPartWithHeaders(std::nullopt, text(everyCandidate.substr(0, everyCandidate.rfind(' '))));
    EXPECT_EQ(almost->boundary(), "END_OF_PART_00000009");

    // Unseeded, the candidates come from the system's generator.
    auto unseeded = QNMIMEDocument::MIMEDocument();
    unseeded->addPartWithHeaders(std::nullopt, text("END_OF_PART"));
    EXPECT_TRUE(std::regex_match(unseeded->boundary(), std::regex("END_OF_PART_[0-9a-f]{8}")));
    EXPECT_EQ(unseeded->randomSeed(), 0u);
}

TEST(QNMIMEDocument, ParsesItsOwnOutputBackAcrossEveryChunkSplit) {
    auto doc = sampleDocument();
    EXPECT_EQ(doc->boundary(), "END_OF_PART");
    expectRoundTrip(*doc);
}

TEST(QNMIMEDocument, HandsOutTheBodyWithoutCopyingThePartsInAnyOfItsForms) {
    auto doc = sampleDocument();
    std::vector<DataSlice> pieces;
    uint64_t length = 0;
    std::string boundary;
    doc->generateDataArray(&pieces, &length, &boundary);
    ASSERT_EQ(pieces.size(), 3 * doc->parts().size() + 1);
    for (size_t i = 0; i < doc->parts().size(); ++i) {
        const auto& part = doc->parts()[i];
        EXPECT_EQ(pieces[3 * i].view(), "\r\n--" + boundary + "\r\n");
        EXPECT_EQ(pieces[3 * i + 1].data(), part->headerData().data());
        if (part->body()->empty()) continue;
        EXPECT_EQ(pieces[3 * i + 2].data(), part->body()->regions()[0].data());
    }
    EXPECT_EQ(pieces.back().view(), "\r\n--" + boundary + "--\r\n");

    DispatchData data;
    uint64_t dataLength = 0;
    doc->generateDispatchData(&data, &dataLength, nullptr);
    EXPECT_EQ(dataLength, length);
    EXPECT_EQ(data.size(), length);
    // Each header block and body is in there as itself, not as a copy.
    for (const auto& part : doc->parts()) {
        DispatchData own(part->headerData());
        own.append(*part->body());
        EXPECT_TRUE(sharesBuffers(own, data));
    }

    // The stream reads the same bytes, whatever the read size, and can be rewound.
    std::shared_ptr<platform::InputStream> stream;
    uint64_t streamLength = 0;
    doc->generateInputStream(&stream, &streamLength, nullptr);
    ASSERT_NE(std::dynamic_pointer_cast<QNGatherInputStream>(stream), nullptr);
    EXPECT_EQ(streamLength, length);
    stream->open();
    for (size_t chunk : {1, 7, 64, 4096}) {
        ASSERT_TRUE(stream->setProperty(platform::Value(int64_t(0)), platform::InputStream::kFileCurrentOffsetKey));
        std::string read;
        std::vector<uint8_t> buf(chunk);
        for (int64_t n; (n = stream->read(buf.data(), buf.size())) > 0;)
            read.append(reinterpret_cast<const char*>(buf.data()), size_t(n));
        EXPECT_EQ(read, data.string()) << "chunk " << chunk;
    }

    // Without a stream or data out-parameter only the length and the boundary come back.
    uint64_t onlyLength = 0;
    std::string onlyBoundary;
    doc->generateInputStream(nullptr, &onlyLength, &onlyBoundary);
    EXPECT_EQ(onlyLength, length);
    EXPECT_EQ(onlyBoundary, boundary);
}

TEST(QNMIMEDocument, ParsesOddlyShapedBodies) {
    const std::string b = "BOUND";
    // A single occurrence, or none: no parts.
    EXPECT_FALSE(QNMIMEDocument::MIMEPartsWithBoundary(b, text("\r\n--BOUND--\r\n")).has_value());
    EXPECT_FALSE(QNMIMEDocument::MIMEPartsWithBoundary(b, text("nothing here")).has_value());
    EXPECT_FALSE(QNMIMEDocument::MIMEPartsWithBoundary("", text("\r\n--BOUND--\r\n")).has_value());
    // Spans too short to hold a part are skipped; when none is left there are no parts.
    EXPECT_FALSE(QNMIMEDocument::MIMEPartsWithBoundary(b, text("--BOUND\r\n--BOUND--")).has_value());
    EXPECT_FALSE(QNMIMEDocument::MIMEPartsWithBoundary(b, text("--BOUNDBOUND--")).has_value());

    // A preamble, a part without headers, a part without a blank line, a part with headers that
    // are not UTF-8.
    auto parts = QNMIMEDocument::MIMEPartsWithBoundary(
        b, text("preamble\r\n--BOUND\r\n\r\nraw body"
                "\r\n--BOUND\r\nNo-Blank-Line: here"
                "\r\n--BOUND\r\nBad: \xff\xfe\r\n\r\nbody3"
                "\r\n--BOUND--\r\nepilogue"));
    ASSERT_TRUE(parts.has_value());
    ASSERT_EQ(parts->size(), 3u);
    EXPECT_FALSE((*parts)[0]->headers().has_value());
    EXPECT_EQ((*parts)[0]->body()->string(), "raw body");
    EXPECT_FALSE((*parts)[1]->headers().has_value());
    EXPECT_FALSE((*parts)[1]->body().has_value());
    EXPECT_FALSE((*parts)[2]->headers().has_value());
    EXPECT_EQ((*parts)[2]->body()->string(), "body3");
}

TEST(QNMIMEDocument, ReadsHeaderBlocks) {
    auto headers = QNMIMEDocument::headersWithData(text("\r\n  Content-Type: text/plain\r\nX-Two:2  \r\nÉtat: prêt"));
    ASSERT_TRUE(headers.has_value());
    EXPECT_EQ(*headers, (QNMIMEHeaders{{"Content-Type", "text/plain"}, {"X-Two", "2  "}, {"État", "prêt"}}));
    // A missing ":" or an empty value ends the scan; an empty value does not take the next line.
    EXPECT_EQ(*QNMIMEDocument::headersWithData(text("A: 1\r\nno colon at all")), (QNMIMEHeaders{{"A", "1"}}));
    EXPECT_EQ(*QNMIMEDocument::headersWithData(text("A: 1\r\nEmpty:\r\nB: 2")), (QNMIMEHeaders{{"A", "1"}}));
    EXPECT_EQ(*QNMIMEDocument::headersWithData(text("")), QNMIMEHeaders{});
    EXPECT_FALSE(QNMIMEDocument::headersWithData(text("A: \xc3")).has_value());
    // Header blocks across regions read the same.
    EXPECT_EQ(*QNMIMEDocument::headersWithData(cutAt("Content-Type: text/plain", {9})),
              (QNMIMEHeaders{{"Content-Type", "text/plain"}}));
}

TEST(QNMIMEDocument, SearchesAcrossRegionEdges) {
    auto find = [](const DispatchData& data, std::string_view target) {
        std::vector<uint64_t> offsets, blocks;
        QNMIMEDocument::searchData(data, reinterpret_cast<const uint8_t*>(target.data()), target.size(), &offsets,
                                   &blocks);
        return std::make_pair(offsets, blocks);
    };
    using V = std::vector<uint64_t>;
    // Split over two regions, and over three with a middle region shorter than the rest.
    EXPECT_EQ(find(cutAt("xxEND_OF_PARTyy", {6}), "END_OF_PART"), std::make_pair(V{2}, V{0}));
    EXPECT_EQ(find(cutAt("abcde", {2, 3}), "bcd"), std::make_pair(V{1}, V{0}));
    // Matches do not overlap; each names the region it begins in.
    EXPECT_EQ(find(cutAt("aaaaaaaaa", {3, 6}), "aaaa"), std::make_pair(V{0, 4}, V{0, 1}));
    EXPECT_EQ(find(cutAt("--B--B", {1, 2, 3, 4, 5}), "B"), std::make_pair(V{2, 5}, V{2, 5}));
    // A target that repeats its own beginning: a false start at a region's end must not hide the
    // real match that begins one byte later.
    EXPECT_EQ(find(cutAt("aaab", {2}), "aab"), std::make_pair(V{1}, V{0}));
    EXPECT_EQ(find(cutAt("x00000000_marnoxe_1", {5}), "0000000_marnoxe"), std::make_pair(V{2}, V{0}));
    // The four-argument form and an empty target.
    V offsets;
    QNMIMEDocument::searchData(text("abcabc"), reinterpret_cast<const uint8_t*>("bc"), 2, &offsets);
    EXPECT_EQ(offsets, (V{1, 4}));
    offsets.clear();
    QNMIMEDocument::searchData(text("abc"), reinterpret_cast<const uint8_t*>(""), 0, &offsets);
    EXPECT_TRUE(offsets.empty());
}

TEST(QNMIMEDocument, FindsBytesOrAPrefixEndingTheHaystack) {
    auto find = [](std::string_view needle, std::string_view hay, size_t* offset) {
        return QNMIMEDocument::findBytesWithNeedle(reinterpret_cast<const uint8_t*>(needle.data()), needle.size(),
                                                   reinterpret_cast<const uint8_t*>(hay.data()), hay.size(), offset);
    };
    size_t offset = 99;
    EXPECT_EQ(find("abc", "xxabcxx", &offset), 3u);
    EXPECT_EQ(offset, 2u);
    EXPECT_EQ(find("abc", "xabxabc", &offset), 3u);  // the full match, not the false start
    EXPECT_EQ(offset, 4u);
    EXPECT_EQ(find("abcd", "xxxab", &offset), 2u);  // a prefix at the end
    EXPECT_EQ(offset, 3u);
    EXPECT_EQ(find("abc", "xyz", &offset), 0u);
    EXPECT_EQ(offset, 0u);
    offset = 5;
    EXPECT_EQ(find("abc", "", &offset), 0u);
    EXPECT_EQ(offset, 0u);
}

TEST(QNMIMEDocumentPart, ComparesHashesAndDescribesItself) {
    auto a = QNMIMEDocumentPart::partWithHeaders(QNMIMEHeaders{{"A", "1"}, {"b", "2"}}, text("body"));
    auto b = QNMIMEDocumentPart::partWithHeaders(QNMIMEHeaders{{"b", "2"}, {"A", "1"}}, cutAt("body", {2}));
    EXPECT_TRUE(a->isEqual(*b));
    EXPECT_EQ(a->hash(), b->hash());
    EXPECT_EQ(a->headerData().view(), b->headerData().view());
    EXPECT_EQ(a->headerData().data(), a->headerData().data());  // made once, kept
    EXPECT_EQ(a->length(), a->headerData().size() + 4);
    EXPECT_FALSE(a->isEqual(*QNMIMEDocumentPart::partWithHeaders(QNMIMEHeaders{{"A", "1"}}, text("body"))));
    EXPECT_FALSE(a->isEqual(*QNMIMEDocumentPart::partWithHeaders(a->headers(), text("bodY"))));
    EXPECT_FALSE(a->isEqual(*QNMIMEDocumentPart::partWithHeaders(a->headers(), std::nullopt)));
    EXPECT_TRUE(QNMIMEDocumentPart(std::nullopt, std::nullopt).isEqual(QNMIMEDocumentPart(std::nullopt, std::nullopt)));
    EXPECT_FALSE(QNMIMEDocumentPart(std::nullopt, text("")).isEqual(QNMIMEDocumentPart(QNMIMEHeaders{}, text(""))));

    EXPECT_TRUE(a->containsBytes("A: 1"));
    EXPECT_TRUE(b->containsBytes("dy"));
    EXPECT_FALSE(a->containsBytes("body!"));

    EXPECT_TRUE(std::regex_match(a->description(),
                                 std::regex("QNMIMEDocumentPart 0x[0-9a-f]+ \\(headers 2 keys, body 4 bytes\\)")));
    auto doc = QNMIMEDocument::MIMEDocument();
    doc->addPartWithHeaders(std::nullopt, text("x"));
    EXPECT_TRUE(std::regex_match(doc->description(), std::regex("QNMIMEDocument 0x[0-9a-f]+ \\(1 parts\\)")));
}
