#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unicode/locid.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "platform/foundation/Base64.h"
#include "platform/foundation/PrintableText.h"
#include "platform/foundation/Secrets.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/Value.h"

using namespace quorvane::platform;

TEST(Strings, CaseInsensitiveEqualityOnNonASCIIText) {
    EXPECT_TRUE(equalsIgnoringCase("ÉLODIE", "élodie"));
    EXPECT_TRUE(equalsIgnoringCase("STRASSE", "straße"));  // full folding
    EXPECT_FALSE(equalsIgnoringCase("élodie", "elodie"));   // accents still count
    EXPECT_EQ(compareIgnoringCase("Zoë", "zoË"), 0);
    EXPECT_LT(compareIgnoringCase("abc", "ABD"), 0);
    EXPECT_EQ(localizedCompareIgnoringCase("Émile", "émile"), 0);
    EXPECT_LT(localizedCompareIgnoringCase("émile", "Fabien"), 0);  // collation, not byte order
    EXPECT_TRUE(hasPrefixIgnoringCase("System Group: Friends", "SYSTEM group: "));
    // Lowering and folding, ASCII (taken letter by letter) and not, as the default locale says.
    EXPECT_EQ(lowercase("Ada LOVELACE-1815 \t"), "ada lovelace-1815 \t");
    EXPECT_EQ(caseFold("Ada LOVELACE"), "ada lovelace");
    EXPECT_EQ(lowercase("ÉLODIE Ivy"), "élodie ivy");
    EXPECT_EQ(caseFold("STRAßE"), "strasse");
    UErrorCode status = U_ZERO_ERROR;
    const icu::Locale saved = icu::Locale::getDefault();
    icu::Locale::setDefault(icu::Locale("tr_TR"), status);
    EXPECT_EQ(lowercase("IRMAK"), "\u0131rmak");  // a dotless i
    EXPECT_EQ(lowercase("EMRE"), "emre");
    EXPECT_EQ(caseFold("IRMAK"), "irmak");  // folding is not by locale
    icu::Locale::setDefault(saved, status);
}

TEST(Strings, UTF16CountingAndSurrogateSafeCuts) {
    EXPECT_EQ(utf16Length("😀"), 2u);
    EXPECT_EQ(utf16Length("aé😀"), 4u);
    EXPECT_EQ(utf16Length(""), 0u);
    // A cut in the middle of the emoji drops it whole.
    EXPECT_EQ(utf16Prefix("ab😀c", 3), "ab");
    EXPECT_EQ(utf16Prefix("ab😀c", 4), "ab😀");
    EXPECT_EQ(utf16Prefix("ab😀c", 99), "ab😀c");
    EXPECT_EQ(fromUTF16(toUTF16("zoë 😀")), "zoë 😀");
    EXPECT_TRUE(isValidUTF8("zoë"));
    EXPECT_FALSE(isValidUTF8("\xC3\x28"));
}

TEST(Strings, UnicodeWhitespaceTrimmingAndCharacterSets) {
    EXPECT_EQ(trimWhitespace("\u00A0\u3000 Ann \t\n\u2028"), "Ann");
    EXPECT_EQ(trimWhitespace("  "), "");
    EXPECT_TRUE(isBlank(" \u00A0\n"));
    EXPECT_FALSE(isBlank(" x "));
    EXPECT_TRUE(CharacterSet::control().contains(0x07));
    EXPECT_TRUE(CharacterSet::control().contains(0x200B));  // zero-width space is a format character
    EXPECT_FALSE(CharacterSet::control().contains('a'));
    EXPECT_TRUE(CharacterSet::newline().contains(0x2029));
    EXPECT_FALSE(CharacterSet::whitespace().contains('\n'));
    EXPECT_EQ(split("a,,b", ","), (std::vector<std::string>{"a", "", "b"}));
}

TEST(Base64, RoundTripsAndRejectsBadInput) {
    for (std::string s : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) {
        auto enc = base64Encode(s);
        auto dec = base64Decode(enc);
        ASSERT_TRUE(dec) << s;
        EXPECT_EQ(std::string(dec->begin(), dec->end()), s);
    }
    EXPECT_EQ(base64Encode(std::string_view("foobar")), "Zm9vYmFy");
    EXPECT_EQ(base64Encode(std::string_view("fo")), "Zm8=");
    EXPECT_FALSE(base64Decode("Zm9v!"));
    EXPECT_FALSE(base64Decode("Z"));
    EXPECT_FALSE(base64Decode("Zm8=Zm8="));
    uint8_t raw[] = {0xfb, 0xff};
    EXPECT_EQ(base64URLEncode(raw, 2), "-_8");

    // What the decoders accept and refuse besides plain padded text.
    struct Case {
        const char* text;
        bool url;
        std::optional<std::string> decoded;
    };
    for (const auto& c : {
             Case{"Zm 9v\r\nYm\tFy", false, "foobar"},  // white space anywhere
             Case{"Zm8", false, "fo"},                   // padding left out
             Case{"Zm8=\n", false, "fo"},
             Case{"Zm8===", false, "fo"},
             Case{"Zm9=", false, "fo"},  // stray low bits are dropped
             Case{"Zm8=Z", false, std::nullopt},
             Case{"-_8", false, std::nullopt},
             Case{"+/8", false, "\xfb\xff"},
             Case{"-_8", true, "\xfb\xff"},
             Case{"-_8=", true, "\xfb\xff"},
             Case{"+/8", true, std::nullopt},
             Case{"Zm9vY", true, std::nullopt},
         }) {
        auto dec = c.url ? base64URLDecode(c.text) : base64Decode(c.text);
        ASSERT_EQ(dec.has_value(), c.decoded.has_value()) << c.text;
        if (dec) EXPECT_EQ(std::string(dec->begin(), dec->end()), *c.decoded) << c.text;
    }
    // Longer than one block of the library's.
    std::vector<uint8_t> big(5'000'003);
    for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7 + i / 251);
    auto bigText = base64Encode(big);
    EXPECT_EQ(bigText.size(), (big.size() + 2) / 3 * 4);
    EXPECT_EQ(base64Decode(bigText), big);
    EXPECT_EQ(base64URLDecode(base64URLEncode(big.data(), big.size())), big);
}

TEST(UUID, RandomVersionFourInUpperCase) {
    UUID a, b;
    auto s = a.uuidString();
    ASSERT_EQ(s.size(), 36u);
    EXPECT_EQ(s[14], '4');
    EXPECT_EQ(s, uppercase(s));
    EXPECT_NE(a, b);
    auto parsed = UUID::fromString(lowercase(s));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, a);
    EXPECT_FALSE(UUID::fromString("not-a-uuid"));
    // Those drawn from the pool have the same form, never repeat, and a forked child draws
    // none its parent draws next.
    std::set<std::string> drawn;
    for (int i = 0; i < 100; ++i) {
        const auto p = UUID::pooled().uuidString();
        EXPECT_EQ(p[14], '4');
        EXPECT_TRUE(std::strchr("89AB", p[19])) << p;
        EXPECT_EQ(UUID::fromString(p)->uuidString(), p);
        drawn.insert(p);
    }
    EXPECT_EQ(drawn.size(), 100u);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const auto p = UUID::pooled().uuidString();
        ::_exit(::write(pipeFds[1], p.data(), p.size()) == ssize_t(p.size()) ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::string fromChild(36, '\0');
    EXPECT_EQ(::read(pipeFds[0], fromChild.data(), fromChild.size()), 36);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_NE(fromChild, UUID::pooled().uuidString());
}

TEST(Value, JSONBridgeKeepsOrderTypesAndNull) {
    auto v = Value::fromJSON(R"({"b":1,"a":[true,null,2.5,"x"],"big":18446744073709551615})");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->keys(), (std::vector<std::string>{"b", "a", "big"}));
    EXPECT_TRUE((*v)["a"][1].isNull());
    EXPECT_EQ((*v)["a"][2].asDouble(), 2.5);
    EXPECT_TRUE((*v)["big"].isDouble());
    EXPECT_EQ(v->toJSON(), R"({"b":1,"a":[true,null,2.5,"x"],"big":1.8446744073709552e+19})");
    EXPECT_FALSE(Value::fromJSON("{bad"));
    // Missing differs from empty.
    Value d = Value::dictionary();
    d.set("empty", "");
    EXPECT_TRUE(d["empty"].stringValue().has_value());
    EXPECT_FALSE(d["missing"].stringValue().has_value());
    EXPECT_EQ(Value(int64_t(3)), Value(3.0));
}

TEST(Value, JSONBridgeRefusesDeepNestingAndKeepsHugeNumbersDefined) {
    for (size_t depth : {Value::kMaxJSONDepth + 1, size_t(50000)}) {
        std::string deep = std::string(depth, '[') + std::string(depth, ']');
        auto refused = Value::fromJSON(deep);
        ASSERT_FALSE(refused) << depth;
        EXPECT_EQ(refused.error().localizedDescription(), "JSON nested too deeply");
        EXPECT_FALSE(Value::fromJSON("{\"a\":" + deep + "}"));
    }
    std::string deepest = std::string(Value::kMaxJSONDepth, '[') + std::string(Value::kMaxJSONDepth, ']');
    EXPECT_TRUE(Value::fromJSON(deepest));

    auto v = Value::fromJSON(R"({"expires_in":1e300,"low":-1e300,"big":99999999999999999999999})");
    ASSERT_TRUE(v);
    EXPECT_EQ((*v)["expires_in"].asInt(), INT64_MAX);
    EXPECT_EQ((*v)["low"].asInt(), INT64_MIN);
    EXPECT_EQ((*v)["big"].asInt(), INT64_MAX);
    EXPECT_FALSE(Value::fromJSON(R"({"expires_in":1e400})"));  // beyond a double: malformed
}

// A remembered secret leaves no trace in what is shown, in any form a server may echo it in.
TEST(SecretsTest, ARememberedSecretIsBlottedOutOfEveryShownText) {
    using namespace quorvane::platform;
    rememberSecret("1//0gTok+en/xyz");
    rememberSecret("short");  // too short to be one
    const std::pair<std::string, std::string> cases[] = {
        {"token 1//0gTok+en/xyz!", "token [redacted]!"},
        {"refresh_token=1%2F%2F0gTok%2Ben%2Fxyz&x=1", "refresh_token=[redacted]&x=1"},
        {"refresh_token=1%2f%2f0gTok%2ben%2fxyz", "refresh_token=[redacted]"},
        {R"({"t":"1\/\/0gTok+en\/xyz"})", R"({"t":"[redacted]"})"},
        {"twice 1//0gTok+en/xyz1//0gTok+en/xyz", "twice [redacted][redacted]"},
        {"a short word", "a short word"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(printableText(in), out) << in;
}
