#include "gdata/GDataUtilities.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "platform/foundation/Strings.h"

namespace quorvane {
namespace {

std::string utf8(char32_t cp) {
    std::string s;
    platform::appendUTF8(s, cp);
    return s;
}

std::string hex(char32_t cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "U+%04X", unsigned(cp));
    return buf;
}

// --- control filter ---

TEST(GDataUtilitiesFilter, RemovesOnlyWhatXMLForbids) {
    std::vector<char32_t> removed = {0x0B, 0x0C, 0xFFFE, 0xFFFF};
    for (char32_t c = 0x00; c <= 0x08; ++c) removed.push_back(c);
    for (char32_t c = 0x0E; c <= 0x1F; ++c) removed.push_back(c);
    for (char32_t c : removed) {
        std::string input = "a" + utf8(c) + "b" + utf8(c);
        EXPECT_EQ(GDataUtilities::stringWithControlsFilteredForString(input), "ab") << hex(c);
    }
    // Unpaired surrogates, which UTF-8 can carry only as ill-formed three-byte sequences.
    EXPECT_EQ(GDataUtilities::stringWithControlsFilteredForString("a\xed\xa0\x80" "b\xed\xbf\xbf"), "ab");
}

TEST(GDataUtilitiesFilter, KeepsWhitespaceJoinersMarksAndText) {
    // White space, and the format characters names and notes are written with: joiners in
    // Persian and Indic names and emoji sequences, direction marks, soft hyphens.
    for (char32_t c : {char32_t(0x09), char32_t(0x0A), char32_t(0x0D), char32_t(0x85), char32_t(0x20), char32_t(0xA0),
                       char32_t(0x2028), char32_t(0x2029), char32_t(0x3000), char32_t(U'é'), char32_t(0x1F600),
                       char32_t(0xFFFD), char32_t(0x7F), char32_t(0x80), char32_t(0x9F), char32_t(0xAD),
                       char32_t(0x061C), char32_t(0x200B), char32_t(0x200C), char32_t(0x200D), char32_t(0x200E),
                       char32_t(0x200F), char32_t(0x2060), char32_t(0xFEFF), char32_t(0xE0001)}) {
        std::string input = "a" + utf8(c) + "b";
        EXPECT_EQ(GDataUtilities::stringWithControlsFilteredForString(input), input) << hex(c);
    }
}

TEST(GDataUtilitiesFilter, ReturnsItsInputWhenNothingIsRemoved) {
    std::string input(200, 'x');
    input += "\t\r\n" + utf8(0x85) + "\xff";  // an ill-formed byte is left as it is
    std::string expected = input;
    const char* buffer = input.data();
    std::string output = GDataUtilities::stringWithControlsFilteredForString(std::move(input));
    EXPECT_EQ(output, expected);
    EXPECT_EQ(output.data(), buffer);  // the same storage: nothing copied

    EXPECT_EQ(GDataUtilities::stringWithControlsFilteredForString(""), "");
    // Ill-formed bytes survive a removal next to them.
    EXPECT_EQ(GDataUtilities::stringWithControlsFilteredForString("\xff\x01z\xc3"), "\xffz\xc3");
}

// --- numbers ---

TEST(GDataUtilities, DoubleNumberOrInf) {
    struct Case {
        std::optional<std::string_view> input;
        std::optional<double> expected;
    };
    const double inf = HUGE_VAL;
    for (const auto& c : std::vector<Case>{
             {std::nullopt, std::nullopt},
             {"", std::nullopt},
             {"INF", inf},
             {"inf", inf},
             {"-INF", -inf},
             {"-Inf", -inf},
             {"+INF", 0.0},
             {"12.5", 12.5},
             {" -3e2", -300.0},
             {"7abc", 7.0},
             {"abc", 0.0},
             {"1e400", inf},
         }) {
        EXPECT_EQ(GDataUtilities::doubleNumberOrInfForString(c.input), c.expected)
            << std::string(c.input.value_or("<nil>"));
    }
}

// --- encodings ---

TEST(GDataUtilities, URLEncodings) {
    struct Case {
        const char* input;
        const char* path;       // stringByURLEncodingString
        const char* uri;        // stringByURLEncodingForURI
        const char* parameter;  // stringByURLEncodingStringParameter
    };
    for (const auto& c : {
             Case{"a b&c", "a%20b&c", "a b%26c", "a+b%26c"},
             Case{"caf\xc3\xa9", "caf%C3%A9", "caf%C3%A9", "caf%C3%A9"},
             Case{"AZaz09-._~", "AZaz09-._~", "AZaz09-._~", "AZaz09-._~"},
             Case{"!$&'()*+,/:=@", "!$&'()*+,/:=@", "%21%24%26%27%28%29%2A%2B%2C%2F%3A%3D%40",
                  "%21%24%26%27%28%29%2A%2B%2C%2F%3A%3D%40"},
             Case{"?#[]%\"<>;", "%3F%23%5B%5D%25%22%3C%3E%3B", "%3F%23%5B%5D%25%22%3C%3E%3B",
                  "%3F%23%5B%5D%25%22%3C%3E%3B"},
             Case{"\n\x7f", "%0A%7F", "%0A%7F", "%0A%7F"},
             Case{"\xf0\x9f\x98\x80", "%F0%9F%98%80", "%F0%9F%98%80", "%F0%9F%98%80"},
         }) {
        EXPECT_EQ(GDataUtilities::stringByURLEncodingString(c.input), c.path) << c.input;
        EXPECT_EQ(GDataUtilities::stringByURLEncodingForURI(c.input), c.uri) << c.input;
        EXPECT_EQ(GDataUtilities::stringByURLEncodingStringParameter(c.input), c.parameter) << c.input;
    }
}

TEST(GDataUtilities, PercentEncodingUTF8) {
    struct Case {
        const char* input;
        const char* expected;
    };
    for (const auto& c : {
             Case{"caf\xc3\xa9 au lait", "caf%C3%A9 au lait"},
             Case{"100%", "100%25"},
             Case{"a\tb\x1f~\x7f", "a%09b%1F~%7F"},
             Case{" !~", " !~"},
         }) {
        EXPECT_EQ(GDataUtilities::stringByPercentEncodingUTF8ForString(c.input), c.expected) << c.input;
    }
    std::string plain(100, 'p');
    const char* buffer = plain.data();
    std::string out = GDataUtilities::stringByPercentEncodingUTF8ForString(std::move(plain));
    EXPECT_EQ(out.data(), buffer);
}

// --- responses ---

TEST(GDataUtilities, DictionaryWithResponseString) {
    using Map = std::map<std::string, std::string>;
    struct Case {
        std::optional<std::string_view> input;
        std::optional<Map> expected;
    };
    for (const auto& c : std::vector<Case>{
             {std::nullopt, std::nullopt},
             {"", Map{}},
             {"SID=abc\nLSID=def\nAuth=xyz\n", Map{{"SID", "abc"}, {"LSID", "def"}, {"Auth", "xyz"}}},
             // White space before the key and before the value is skipped, the rest kept.
             {"  key = value \n", Map{{"key ", "value "}}},
             // Lines without "=", with an empty key or an empty value are left out.
             {"noequals\n=v\nk=\nj=   \nok=1", Map{{"ok", "1"}}},
             {"a=b=c", Map{{"a", "b=c"}}},
             {"dup=1\ndup=2", Map{{"dup", "2"}}},
             {"Error=BadAuthentication\r\n", Map{{"Error", "BadAuthentication\r"}}},
         }) {
        EXPECT_EQ(GDataUtilities::dictionaryWithResponseString(c.input), c.expected)
            << std::string(c.input.value_or("<nil>"));
    }

    platform::Bytes data = {'A', 'u', 't', 'h', '=', 'x'};
    EXPECT_EQ(GDataUtilities::dictionaryWithResponseData(data), (Map{{"Auth", "x"}}));
    platform::Bytes notUTF8 = {'A', '=', 0xff};
    EXPECT_EQ(GDataUtilities::dictionaryWithResponseData(notUTF8), std::nullopt);
}

// --- versions ---

TEST(GDataUtilities, CompareVersion) {
    struct Case {
        std::optional<std::string_view> a, b;
        int expected;
    };
    for (const auto& c : std::vector<Case>{
             {std::nullopt, "0", 0},
             {std::nullopt, std::nullopt, 0},
             {"", "0.0.0.0", 0},
             {"2.0", "2", 0},
             {"2.9", "2.10", -1},
             {"2.10", "3.0", -1},
             {"3.0", "2.10", 1},
             {"10", "9", 1},
             {"1.0beta", "1.0", 0},
             {"1.2.3.4", "1.2.3.5", -1},
             {"1.2.3.4.9", "1.2.3.4.1", 0},  // a fifth part is not read
             {"1..2", "1.2", 0},
             {"99999999999999999999", "9223372036854775806", 1},
         }) {
        EXPECT_EQ(GDataUtilities::compareVersion(c.a, c.b), c.expected)
            << std::string(c.a.value_or("<nil>")) << " vs " << std::string(c.b.value_or("<nil>"));
        EXPECT_EQ(GDataUtilities::compareVersion(c.b, c.a), -c.expected);
    }

    std::vector<std::string> versions = {"3.0", "2.10", "2.9", "2"};
    std::sort(versions.begin(), versions.end(),
              [](const auto& x, const auto& y) { return GDataUtilities::compareVersion(x, y) < 0; });
    EXPECT_EQ(versions, (std::vector<std::string>{"2", "2.9", "2.10", "3.0"}));
}

// --- copies and look-ups ---

struct Thing {
    std::string name;
    std::optional<std::string> label;
    int copies = 0;
    std::shared_ptr<Thing> copy() const {
        auto c = std::make_shared<Thing>(*this);
        c->copies = copies + 1;
        return c;
    }
    bool isEqual(const Thing& o) const { return name == o.name && label == o.label; }
    const std::optional<std::string>& labelValue() const { return label; }
};

TEST(GDataUtilities, CopiesOfArraysAndDictionaries) {
    using ThingPtr = std::shared_ptr<Thing>;
    std::vector<ThingPtr> things = {std::make_shared<Thing>(Thing{"a", "x"}), nullptr,
                                    std::make_shared<Thing>(Thing{"b", std::nullopt})};
    auto copies = GDataUtilities::arrayWithCopiesOfObjectsInArray(things);
    ASSERT_EQ(copies.size(), 3u);
    EXPECT_NE(copies[0], things[0]);
    EXPECT_EQ(copies[0]->name, "a");
    EXPECT_EQ(copies[0]->copies, 1);
    EXPECT_EQ(copies[1], nullptr);

    EXPECT_EQ(GDataUtilities::arrayWithCopiesOfObjectsInArray(std::optional<std::vector<ThingPtr>>()), std::nullopt);
    EXPECT_EQ(GDataUtilities::mutableArrayWithCopiesOfObjectsInArray(std::vector<int>{1, 2}), (std::vector<int>{1, 2}));

    std::map<std::string, ThingPtr> byName = {{"a", things[0]}};
    auto dictCopy = GDataUtilities::dictionaryWithCopiesOfObjectsInDictionary(byName);
    EXPECT_NE(dictCopy["a"], things[0]);
    EXPECT_EQ(dictCopy["a"]->copies, 1);
    EXPECT_EQ(GDataUtilities::dictionaryWithCopiesOfObjectsInDictionary(std::optional<decltype(byName)>()),
              std::nullopt);

    // Arrays held in a dictionary: a plain copy shares the elements, an array copy copies them.
    std::map<std::string, std::vector<ThingPtr>> groups = {{"g", {things[0], things[2]}}};
    auto shallow = GDataUtilities::dictionaryWithCopiesOfObjectsInDictionary(groups);
    EXPECT_EQ(shallow["g"][0], things[0]);
    auto deep = GDataUtilities::mutableDictionaryWithCopiesOfArraysInDictionary(groups);
    ASSERT_EQ(deep["g"].size(), 2u);
    EXPECT_NE(deep["g"][0], things[0]);
    EXPECT_EQ(deep["g"][1]->name, "b");
    EXPECT_EQ(GDataUtilities::dictionaryWithCopiesOfArraysInDictionary(groups)["g"][0]->copies, 1);
}

TEST(GDataUtilities, ObjectsFromArrayWithValueForKeyPath) {
    using ThingPtr = std::shared_ptr<Thing>;
    auto a = std::make_shared<Thing>(Thing{"a", "work"});
    auto b = std::make_shared<Thing>(Thing{"b", std::nullopt});
    auto c = std::make_shared<Thing>(Thing{"c", "work"});
    std::vector<ThingPtr> things = {a, b, c};

    EXPECT_EQ(GDataUtilities::objectsFromArray(things, std::optional<std::string>("work"), &Thing::labelValue),
              (std::vector<ThingPtr>{a, c}));
    // nil matches nil.
    EXPECT_EQ(GDataUtilities::objectsFromArray(things, std::optional<std::string>(), &Thing::label),
              (std::vector<ThingPtr>{b}));
    EXPECT_TRUE(GDataUtilities::objectsFromArray(things, std::string("home"), &Thing::label).empty());

    EXPECT_EQ(GDataUtilities::firstObjectFromArray(things, std::string("work"), &Thing::label), a);
    EXPECT_EQ(GDataUtilities::firstObjectFromArray(things, std::string("c"), &Thing::name), c);
    EXPECT_EQ(GDataUtilities::firstObjectFromArray(things, std::string("home"), &Thing::label), nullptr);
}

TEST(GDataUtilities, AreEqualOrBothNilAndAreBoolsEqual) {
    auto a = std::make_shared<Thing>(Thing{"a", std::nullopt});
    auto same = std::make_shared<Thing>(Thing{"a", std::nullopt});
    auto other = std::make_shared<Thing>(Thing{"z", std::nullopt});
    std::shared_ptr<Thing> nil;

    EXPECT_TRUE(AreEqualOrBothNil(a, a));
    EXPECT_TRUE(AreEqualOrBothNil(a, same));
    EXPECT_FALSE(AreEqualOrBothNil(a, other));
    EXPECT_FALSE(AreEqualOrBothNil(a, nil));
    EXPECT_FALSE(AreEqualOrBothNil(nil, a));
    EXPECT_TRUE(AreEqualOrBothNil(nil, nil));

    EXPECT_TRUE(AreEqualOrBothNil(std::optional<std::string>(), std::optional<std::string>()));
    EXPECT_FALSE(AreEqualOrBothNil(std::optional<std::string>(""), std::optional<std::string>()));
    EXPECT_TRUE(AreEqualOrBothNil(std::optional<std::string>("x"), std::string("x")));

    EXPECT_TRUE(AreBoolsEqual(2, 1));
    EXPECT_TRUE(AreBoolsEqual(0, 0));
    EXPECT_FALSE(AreBoolsEqual(0, 5));
}

// --- MIME types ---

TEST(GDataUtilities, MIMETypeForFileAtPath) {
    struct Case {
        const char* path;
        std::optional<std::string> fallback;
        std::optional<std::string> expected;
    };
    for (const auto& c : std::vector<Case>{
             {"/photos/me.JPG", "application/octet-stream", "image/jpeg"},
             {"notes.txt", std::nullopt, "text/plain"},
             {"card.vcf", std::nullopt, "text/vcard"},
             {"/tmp/a.b/file", "application/octet-stream", "application/octet-stream"},
             {"archive.unknownext", "application/octet-stream", "application/octet-stream"},
             {".hidden", "application/octet-stream", "application/octet-stream"},
             {"trailingdot.", std::nullopt, std::nullopt},
             {"", std::nullopt, std::nullopt},
         }) {
        EXPECT_EQ(GDataUtilities::MIMETypeForFileAtPath(c.path, c.fallback), c.expected) << c.path;
    }
}

}  // namespace
}  // namespace quorvane
