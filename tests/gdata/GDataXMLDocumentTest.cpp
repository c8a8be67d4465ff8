// Documents of the XML layer: parsing (options, failures, entities, threads, error capture)
// and serialisation.

#include <gtest/gtest.h>

#include <iconv.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "gdata/GDataXMLDocument.h"
#include "platform/foundation/Log.h"
#include "tests/gdata/GDataXMLTestSupport.h"

namespace quorvane {
namespace {

using namespace xmltest;

// The error of a parse that must fail; an empty error when it did not.
template <class R>
platform::Error failureOf(const R& result) {
    return result ? platform::Error() : result.error();
}

// A parse that reads as it should, or fails with the code and a sentence saying why.
template <class R>
void expectReadOrRefused(const R& parsed, bool read, int code, const char* saying = "") {
    EXPECT_EQ(bool(parsed), read);
    if (read || parsed) return;
    EXPECT_EQ(parsed.error().code, code);
    const std::string said = parsed.error().localizedDescription();
    EXPECT_NE(said.find(saying), std::string::npos) << said;
}

// The root of a document written out (in XML that parses cleanly again) and read back.
std::shared_ptr<GDataXMLElement> writtenAndReadBack(const std::optional<platform::Bytes>& data) {
    EXPECT_TRUE(data && reparsesCleanly(*data));
    auto back = data ? GDataXMLDocument::initWithData(*data).valueOr(nullptr) : nullptr;
    return back ? back->rootElement() : nullptr;
}

std::string repeated(const std::string& unit, size_t n) {
    std::string out;
    out.reserve(unit.size() * n);
    for (size_t i = 0; i < n; ++i) out += unit;
    return out;
}

std::string bytesToString(const platform::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string contactsFeed(int entries) {
    std::string xml = std::string("<?xml version='1.0' encoding='UTF-8'?>\n<feed xmlns='") + kAtomNS + "' xmlns:gd='" +
                      kGDNS + "' xmlns:gContact='" + kContactNS + "'>\n  <title>Contacts</title>\n";
    for (int i = 0; i < entries; ++i) {
        std::string n = std::to_string(i);
        xml += "  <entry gd:etag='e" + n + "'>\n    <id>" + n + "</id>\n    <gd:email rel='" + kGDNS +
               "#work' address='p" + n + "@example.com'/>\n    <gContact:groupMembershipInfo href='g'/>\n  </entry>\n";
    }
    return xml + "</feed>\n";
}

// Collects what the layer writes to the log at debug level while alive (on this thread).
struct LogCapture {
    std::shared_ptr<std::vector<std::string>> messages = std::make_shared<std::vector<std::string>>();
    platform::LogLevel previousLevel = platform::Log::minimumLevel();
    LogCapture() {
        platform::Log::setMinimumLevel(platform::LogLevel::Debug);
        platform::Log::setSink([m = messages](platform::LogLevel, std::string_view category, std::string_view message) {
            if (category == "GDataXML") m->emplace_back(message);
        });
    }
    ~LogCapture() {
        platform::Log::setSink(nullptr);
        platform::Log::setMinimumLevel(previousLevel);
    }
};

TEST(GDataXMLDocumentTest, ParsingDropsBlankTextAndMergesCDATA) {
    auto doc = GDataXMLDocument::initWithXMLString(
        "<feed>\n  <entry><![CDATA[a<b & c]]></entry>\n  <entry>x <![CDATA[y]]> z</entry>\n</feed>").valueOr(nullptr);
    ASSERT_TRUE(doc);
    auto feed = doc->rootElement();
    ASSERT_EQ(feed->childCount(), 2u);
    auto first = feed->childAtIndex(0);
    ASSERT_EQ(first->childCount(), 1u);
    EXPECT_EQ(first->childAtIndex(0)->kind(), GDataXMLNodeKind::Text);
    EXPECT_EQ(first->stringValue(), "a<b & c");
    EXPECT_EQ(first->XMLString(), "<entry>a&lt;b &amp; c</entry>");
    EXPECT_EQ(feed->childAtIndex(1)->stringValue(), "x y z");
    EXPECT_EQ(doc->rootElement(), feed);  // one wrapper for the root
}

// The parser reads its input a piece at a time: characters of several bytes and a declared
// encoding come through whole wherever the pieces are cut, and a document far larger than a
// piece reads to its end.
TEST(GDataXMLDocumentTest, LargeDocumentsAndEncodingsReadWholeWhereverThePiecesAreCut) {
    const std::string text = "\xc3\xa9t\xc3\xa9 \xe4\xb8\xad\xe6\x96\x87 \xf0\x9f\x99\x82";  // été 中文 🙂
    for (size_t pad = 0; pad < 4; ++pad) {
        std::string xml = "<feed>";
        for (int i = 0; i < 20000; ++i) xml += "<e>" + std::string(pad, 'x') + text + "</e>";
        xml += "<last>" + text + "</last></feed>";
        auto doc = GDataXMLDocument::initWithXMLString(xml).valueOr(nullptr);
        ASSERT_TRUE(doc) << pad;
        ASSERT_EQ(doc->rootElement()->childCount(), 20001u);
        EXPECT_EQ(doc->rootElement()->childAtIndex(12345)->stringValue(), std::string(pad, 'x') + text);
        EXPECT_EQ(doc->rootElement()->childAtIndex(20000)->stringValue(), text);
    }
    auto latin1 = GDataXMLDocument::initWithXMLString("<?xml version='1.0' encoding='ISO-8859-1'?><a>caf\xe9</a>").valueOr(nullptr);
    ASSERT_TRUE(latin1);
    EXPECT_EQ(latin1->rootElement()->stringValue(), "caf\xc3\xa9");
}

TEST(GDataXMLDocumentTest, MalformedInputFailsQuietly) {
    LogCapture log;
    testing::internal::CaptureStderr();
    platform::Error error("stale", 1);
    for (const char* bad : {"<a><b></a>", "", "plain text", "<a xmlns:p='urn:p'><p:b></a>", "<a>&undefined;</a>"}) {
        EXPECT_EQ((error = failureOf(GDataXMLDocument::initWithXMLString(bad))).domain, kGDataXMLErrorDomain) << bad;
        EXPECT_EQ(error.code, -1);
        EXPECT_EQ(error.userInfo.size(), 0u);
    }
    // An undeclared prefix is refused too, with libxml2's message.
    for (const char* unbound : {"<a><p:b/></a>", "<a p:x='1'/>", "<feed xmlns='http://www.w3.org/2005/Atom'><gd:email/></feed>",
                                "<!DOCTYPE a [<!ENTITY n '<q:b/>'>]><a>&n;</a>"}) {
        EXPECT_EQ((error = failureOf(GDataXMLDocument::initWithXMLString(unbound))).domain, kGDataXMLErrorDomain) << unbound;
        EXPECT_EQ(error.code, -1);
        EXPECT_NE(error.userInfo[kGDataXMLErrorKey].asString().find("amespace"), std::string::npos)
            << error.userInfo.toJSON();
        EXPECT_EQ((error = failureOf(GDataXMLElement::initWithXMLString(unbound))).domain, kGDataXMLErrorDomain) << unbound;
        EXPECT_FALSE(error.userInfo[kGDataXMLErrorKey].asString().empty());
    }
    // An entity's prefixed names are bound where the entity is used.
    EXPECT_TRUE(GDataXMLDocument::initWithXMLString("<!DOCTYPE a [<!ENTITY n 'x<p:b/>'>]><a xmlns:p='urn:p'>&n;</a>").valueOr(nullptr));
    EXPECT_TRUE(GDataXMLDocument::initWithXMLString("<a xmlns:p='urn:p'><p:b/></a>"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(log.messages->empty());  // libxml2's messages went to the debug log instead

    platform::Bytes none;
    EXPECT_EQ((error = failureOf(GDataXMLDocument::initWithData(none))).domain, kGDataXMLErrorDomain);
    EXPECT_EQ((error = failureOf(GDataXMLDocument::initWithData(nullptr, 10))).domain, kGDataXMLErrorDomain);
}

TEST(GDataXMLDocumentTest, ExternalEntitiesAndDTDsAreNotRead) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("gdataxml-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::path secret = dir / "secret.txt";
    fs::path dtd = dir / "defs.dtd";
    std::ofstream(secret) << "SECRET-CONTENT";
    std::ofstream(dtd) << "<!ENTITY inner \"SECRET-CONTENT\">";

    testing::internal::CaptureStderr();
    // A document that uses what it does not hold is refused, not read with it left out.
    for (const std::string& used : {"<!DOCTYPE a [<!ENTITY x SYSTEM \"file://" + secret.string() + "\">]><a>[&x;]</a>",
                                    "<!DOCTYPE a SYSTEM \"file://" + dtd.string() + "\"><a>[&inner;]</a>",
                                    "<!DOCTYPE a [<!ENTITY % p SYSTEM \"file://" + dtd.string() + "\"> %p;]><a>[&inner;]</a>"}) {
        platform::Error error = failureOf(GDataXMLDocument::initWithXMLString(used));
        EXPECT_EQ(error.code, kGDataXMLErrorExternalEntity) << used;
        EXPECT_EQ(error.localizedDescription().find("SECRET"), std::string::npos);
    }
    std::string network = "<!DOCTYPE a SYSTEM \"http://127.0.0.1:9/defs.dtd\"><a>ok</a>";
    auto doc = GDataXMLDocument::initWithXMLString(network).valueOr(nullptr);
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->rootElement()->stringValue(), "ok");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    fs::remove_all(dir);
}

// An element may carry 1,000 attributes, not one more, however it comes (in the document, in an
// entity, as declared defaults, however the declarations are put together); quotes in text,
// comments, CDATA and instructions count for none, and a comment ends only after its opening.
TEST(GDataXMLDocumentTest, AnElementWithMoreAttributesThanAnyContactIsRefused) {
    // Values of quotes and '>' by default, in either kind of quote.
    auto attributes = [](int n, const char* value = nullptr) {
        std::string out;
        for (int i = 0; i < n; ++i) out += " a" + std::to_string(i) + (value ? value : i % 2 ? "='>\"'" : "=\"'>\"");
        return out;
    };
    auto doubleQuoted = [&](int n) { return attributes(n, "=\"v\""); };
    const std::string quotes(3000, '\'');
    std::string defaults = "<!DOCTYPE f [<!-- it's -->";
    for (int i = 0; i < 1001; ++i) defaults += "<!ATTLIST f d" + std::to_string(i) + " CDATA 'x'>";
    // Declarations written by a parameter entity, each default one literal used 1,001 times.
    std::string built = "<!DOCTYPE f [<!ENTITY % c \"CDATA 'x'\"><!ENTITY % l \"<!ATTLIST f";
    for (int i = 0; i < 1001; ++i) built += " d" + std::to_string(i) + " &#37;c;";
    built += ">\"> %l;]>";
    const struct {
        std::string xml;
        bool read;
    } cases[] = {
        {"<f" + attributes(1000) + "/>", true},
        {"<f" + attributes(1001) + "/>", false},
        {"<?pi " + quotes + "?><f><!--" + quotes + "--><![CDATA[" + quotes + "]]><e" + attributes(9) + ">" + quotes + "</e></f>", true},
        {"<!DOCTYPE f [<!-- \" --><!ENTITY e \"<x" + attributes(1001, "='v'") + "/>\">]><f>&e;</f>", false},
        {"<!DOCTYPE f [<!ENTITY e \"<x" + attributes(1000, "='v'") + "/>\">]><f>&e;</f>", true},
        {defaults + "]><f/>", false},
        // Long runs of text and values passed over whole, a comment's end found after one.
        {"<f a='" + std::string(9000, 'v') + "'>" + std::string(9000, 't') + "<!--" + quotes + "-->" + std::string(5000, 't') +
             "<e" + attributes(1001) + "/></f>", false},
        {"<f>" + std::string(9000, '-') + "<!--" + std::string(5000, 'x') + "-->" + quotes + "<e" + attributes(1000) + "/></f>", true},
        // A comment opened as "<!-->" or "<!--->" goes on past that '>'.
        {"<!--> <x ' --><f" + doubleQuoted(1500) + "/>", false},
        {"<!---> <x ' --><f" + doubleQuoted(1500) + "/>", false},
        {"<!DOCTYPE f [<!--> <x ' -->]><f" + doubleQuoted(1500) + "/>", false},
        {"<!DOCTYPE f [<?pi <x ' ?>]><!--> <x ' --><f" + doubleQuoted(1000) + "/>", true},
        {built + "<f/>", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xml.substr(0, 80));
        expectReadOrRefused(GDataXMLDocument::initWithXMLString(c.xml), c.read, kGDataXMLErrorTooManyAttributes);
    }
}

// Each prefixed name is looked up through the declarations in force where it is used: past
// kGDataXMLMaxNamespacesInScope of them, however they are spread over the elements (or an
// entity's content), the document is refused in a sentence.
TEST(GDataXMLDocumentTest, ADocumentDeclaringMoreNamespacesThanAnyFeedIsRefused) {
    auto declared = [](size_t from, size_t n) {
        std::string out;
        for (size_t i = from; i < from + n; ++i) out += " xmlns:p" + std::to_string(i) + "='urn:" + std::to_string(i) + "'";
        return out;
    };
    const size_t bound = kGDataXMLMaxNamespacesInScope;
    std::string nested, closed;
    for (size_t i = 0; i <= bound; ++i) nested += "<e" + declared(i, 1) + ">", closed += "</e>";
    const struct {
        std::string xml;
        bool read;
    } cases[] = {
        {"<f" + declared(0, bound) + "><e p0:a='1'/><p1:e/></f>", true},
        {"<f" + declared(0, bound) + "><e p0:a='1'" + declared(bound, 1) + "/></f>", false},
        {"<f" + declared(0, bound / 2) + "><e" + declared(bound, bound / 2) + "/><e" + declared(bound, bound / 2 + 1) + "/></f>", false},
        {"<f>" + nested + closed + "</f>", false},
        {"<!DOCTYPE f [<!ENTITY e \"<x" + declared(bound, 2) + "/>\">]><f" + declared(0, bound - 1) + ">&e;</f>", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xml.substr(0, 80));
        expectReadOrRefused(GDataXMLDocument::initWithXMLString(c.xml), c.read, kGDataXMLErrorTooManyAttributes,
                            "namespace declarations are in force");
    }
}

std::string inUTF16(const std::string& ascii, bool bigEndian, bool bom, const std::u16string& extra = {}) {
    std::string out;
    auto put = [&](char16_t c) {
        out += bigEndian ? char(c >> 8) : char(c & 0xff);
        out += bigEndian ? char(c & 0xff) : char(c >> 8);
    };
    if (bom) put(0xfeff);
    for (char c : ascii) {
        if (c == '@')
            for (char16_t e : extra) put(e);
        else
            put(char16_t(static_cast<unsigned char>(c)));
    }
    return out;
}

// The parser reads a document's text as the bounds count it: in UTF-8 (or ISO-8859-1 and ASCII,
// whose every byte is a character), and a document in another encoding is refused in a sentence
// before anything in it is read.
TEST(GDataXMLDocumentTest, ADocumentInAnotherEncodingThanItsBytesIsRefused) {
    // In UTF-16, an attribute name holding U+3E00 and a value holding U+2200 are bytes '>' and '"'.
    std::string many = "<f";
    for (int i = 0; i < 1500; ++i) many += " a@" + std::to_string(i) + "='@'";
    many += "/>";
    std::string ebcdic = "<?xml version='1.0' encoding='IBM037'?><f a='1'/>";
    iconv_t toEBCDIC = iconv_open("IBM037", "UTF-8");
    ASSERT_NE(toEBCDIC, iconv_t(-1));
    char* in = ebcdic.data();
    char* out = ebcdic.data();
    size_t inLeft = ebcdic.size(), outLeft = ebcdic.size();
    ASSERT_EQ(iconv(toEBCDIC, &in, &inLeft, &out, &outLeft), 0u);
    iconv_close(toEBCDIC);
    const struct {
        const char* what;
        std::string bytes;
        bool read;
    } cases[] = {
        {"UTF-16LE", inUTF16("<?xml version='1.0' encoding='UTF-16'?><f a='1'/>", false, true), false},
        {"UTF-16BE", inUTF16("<f a='1'/>", true, true), false},
        {"UTF-16LE without a mark", inUTF16("<?xml version='1.0' encoding='UTF-16'?><f/>", false, false), false},
        {"UTF-16 names and values", inUTF16(many, false, true, {0x3e00, 0x2200}), false},
        {"UCS-4", std::string("\0\0\0<\0\0\0f\0\0\0/\0\0\0>", 16), false},
        {"EBCDIC", ebcdic, false},
        {"UTF-8 with a mark", "\xef\xbb\xbf<f a='\xc3\xa9'/>", true},
        {"ISO-8859-1", "<?xml version='1.0' encoding='iso-8859-1'?><f a='\xe9'/>", true},
        {"US-ASCII", "<?xml version='1.0' encoding='US-ASCII'?><f a='1'/>", true},
        {"a multi-byte legacy encoding", "<?xml version='1.0' encoding='Shift_JIS'?><f a='1'/>", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expectReadOrRefused(GDataXMLDocument::initWithData(c.bytes.data(), c.bytes.size()), c.read,
                            kGDataXMLErrorUnreadableEncoding, "only UTF-8");
    }
    // Whatever name the document gives them, these are the encodings read, and read as such.
    const std::pair<const char*, std::string> named[] = {
        {"latin1", "caf\xe9"}, {"ISO8859-1", "caf\xe9"}, {"ISO_8859-1", "caf\xe9"}, {"l1", "caf\xe9"},
        {"IBM819", "caf\xe9"}, {"ANSI_X3.4-1968", "cafe"}, {"ascii", "cafe"}, {"utf8", "caf\xc3\xa9"},
    };
    for (const auto& [name, text] : named) {
        SCOPED_TRACE(name);
        auto read = GDataXMLDocument::initWithXMLString(std::string("<?xml version='1.0' encoding='") + name +
                                                        "'?><f>" + text + "</f>");
        ASSERT_TRUE(read) << read.error().localizedDescription();
        EXPECT_EQ((*read)->rootElement()->stringValue(), text == "cafe" ? text : "caf\xc3\xa9");
    }
}

// Each node costs hundreds of bytes (in the tree, then in what is made of it): a document may hold
// kGDataXMLNodesBeforeBound of them and one more for every kGDataXMLBytesPerNode bytes, however
// they come (elements, comments, texts between them, attributes, the copies an entity makes),
// and a denser one is refused in a sentence, whole or handing its children over.
TEST(GDataXMLDocumentTest, ADocumentDenserThanAnyFeedIsRefused) {
    const size_t bound = kGDataXMLNodesBeforeBound;
    std::string attributes;
    for (int i = 0; i < 10; ++i) attributes += " b" + std::to_string(i) + "=''";
    const std::string entity = "<!DOCTYPE f [<!ENTITY e '" + repeated("<a/>", 1000) + "'>]>";
    const struct {
        const char* what;
        std::string xml;
        bool read;
    } cases[] = {
        {"elements", "<f>" + repeated("<a/>", bound) + "</f>", true},
        {"more elements", "<f>" + repeated("<a/>", 2 * bound) + "</f>", false},
        {"comments", "<f>" + repeated("<!---->", 2 * bound) + "</f>", false},
        {"texts between elements", "<f>" + repeated("<a/>x", bound) + "</f>", false},
        {"attributes", "<f>" + repeated("<a" + attributes + "/>", bound / 5) + "</f>", false},
        {"an entity's copies", entity + "<f>" + repeated("&e;", 2 * bound / 1000) + "</f>", false},
        {"an entity's copies within the bound", entity + "<f>" + repeated("&e;", bound / 2000) + "</f>", true},
        {"a contacts feed", contactsFeed(5000), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (bool handingOver : {false, true}) {
            platform::Bytes bytes(c.xml.begin(), c.xml.end());
            size_t taken = 0;
            auto parsed = handingOver ? GDataXMLDocument::initWithDataTakingChildren(
                                            bytes, [&](const auto&, const auto&) { return ++taken > 0; })
                                      : GDataXMLDocument::initWithData(bytes);
            expectReadOrRefused(parsed, c.read, kGDataXMLErrorTooManyNodes, "more than a document of its size can hold");
        }
    }
}

TEST(GDataXMLDocumentTest, InternalEntitiesAreExpandedSoWrittenXMLParsesAgain) {
    auto doc = GDataXMLDocument::initWithXMLString(
        "<!DOCTYPE feed [<!ENTITY b 'Bea &amp; Co'><!ENTITY n '&b; &lt;north&gt;'>]>"
        "<feed><title a='&n;'>&n; office</title></feed>").valueOr(nullptr);
    ASSERT_TRUE(doc);
    auto title = doc->rootElement()->childAtIndex(0);
    EXPECT_EQ(title->stringValue(), "Bea & Co <north> office");
    EXPECT_EQ(title->XMLString(), "<title a=\"Bea &amp; Co &lt;north&gt;\">Bea &amp; Co &lt;north&gt; office</title>");
    EXPECT_TRUE(reparsesCleanly(title->XMLString().value_or("")));
}

TEST(GDataXMLDocumentTest, EntityExpansionBombIsRejected) {
    std::string xml = "<?xml version='1.0'?><!DOCTYPE lolz [<!ENTITY lol0 'lol'>";
    for (int i = 1; i <= 9; ++i) {
        xml += "<!ENTITY lol" + std::to_string(i) + " '";
        for (int k = 0; k < 10; ++k) xml += "&lol" + std::to_string(i - 1) + ";";
        xml += "'>";
    }
    xml += "]><lolz>&lol9;</lolz>";
    platform::Error error;
    EXPECT_EQ((error = failureOf(GDataXMLDocument::initWithXMLString(xml))).domain, kGDataXMLErrorDomain);
    EXPECT_EQ(error.code, -1);
}

TEST(GDataXMLDocumentTest, ParsesOnManyThreadsAtOnce) {
    const std::string feed = contactsFeed(20);
    testing::internal::CaptureStderr();
    std::atomic<int> parsed{0}, rejected{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 60; ++i) {
                if ((i + t) % 3 == 0) {
                    if (GDataXMLDocument::initWithXMLString("<feed><entry></feed>")) {
                        ++wrong;
                    } else {
                        ++rejected;
                    }
                    continue;
                }
                auto doc = GDataXMLDocument::initWithXMLString(feed).valueOr(nullptr);
                if (!doc) {
                    ++wrong;
                    continue;
                }
                auto entries = doc->rootElement()->elementsForLocalName("entry", kAtomNS);
                auto emails = doc->nodesForXPath("//gd:email");
                if (entries.size() != 20 || !emails || emails->size() != 20 ||
                    entries[7]->attributeForLocalName("etag", kGDNS)->stringValue() != "e7") {
                    ++wrong;
                }
                ++parsed;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(parsed.load() + rejected.load(), 360);
    EXPECT_GT(rejected.load(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(GDataXMLDocumentTest, DocumentFromRootElementSerialisesWithDeclaration) {
    auto feed = GDataXMLNode::elementWithName("feed");
    feed->setNamespaces({GDataXMLNode::namespaceWithName("", kAtomNS), GDataXMLNode::namespaceWithName("gd", kGDNS)});
    auto entry = GDataXMLNode::elementWithName("entry");
    entry->addChild(GDataXMLNode::elementWithName("title", "Zoë & co"));
    entry->addChild(GDataXMLNode::elementWithNameURI("email", kGDNS));
    entry->addChild(GDataXMLNode::elementWithNameURI("groupMembershipInfo", kContactNS));  // declared nowhere
    feed->addChild(entry);

    auto doc = GDataXMLDocument::initWithRootElement(feed);
    doc->setVersion("1.0");
    doc->setCharacterEncoding("UTF-8");
    auto data = doc->XMLData();
    ASSERT_TRUE(data);
    std::string text = bytesToString(*data);
    EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u) << text;
    EXPECT_NE(text.find("<title>Zoë &amp; co</title>"), std::string::npos) << text;
    EXPECT_NE(text.find("<gd:email/>"), std::string::npos) << text;
    auto back = writtenAndReadBack(data);
    ASSERT_TRUE(back);
    auto backEntry = back->elementsForLocalName("entry", kAtomNS).at(0);
    EXPECT_EQ(backEntry->elementsForLocalName("title", kAtomNS).at(0)->stringValue(), "Zoë & co");
    EXPECT_EQ(backEntry->elementsForLocalName("groupMembershipInfo", kContactNS).size(), 1u);

    doc->setVersion(std::nullopt);
    doc->setCharacterEncoding(std::nullopt);
    auto plain = doc->XMLData();
    ASSERT_TRUE(plain);
    EXPECT_TRUE(reparsesCleanly(*plain));
    EXPECT_EQ(bytesToString(*plain).find("encoding"), std::string::npos);

    EXPECT_EQ(doc->description().rfind("GDataXMLDocument 0x", 0), 0u);
    auto empty = GDataXMLDocument::initWithRootElement(nullptr);
    ASSERT_TRUE(empty);
    EXPECT_FALSE(empty->rootElement());
}

TEST(GDataXMLDocumentTest, KeptWrapperOutlivesItsDocument) {
    auto doc = GDataXMLDocument::initWithXMLString(contactsFeed(3)).valueOr(nullptr);
    ASSERT_TRUE(doc);
    auto entry = doc->rootElement()->elementsForName("entry").at(1);
    auto email = entry->elementsForName("gd:email").at(0);
    doc.reset();
    EXPECT_EQ(email->attributeForName("address")->stringValue(), "p1@example.com");
    auto back = writtenAndReadBack(GDataXMLDocument::initWithRootElement(entry)->XMLData());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->URI(), kAtomNS);
    EXPECT_EQ(back->attributeForLocalName("etag", kGDNS)->stringValue(), "e1");
    EXPECT_EQ(back->elementsForLocalName("groupMembershipInfo", kContactNS).size(), 1u);
}

TEST(GDataXMLDocumentTest, ParsedFeedRoundTripsAfterEdits) {
    auto doc = GDataXMLDocument::initWithXMLString(contactsFeed(4)).valueOr(nullptr);
    auto feed = doc->rootElement();
    auto entries = feed->elementsForName("entry");
    feed->removeChild(entries[0]);
    entries[1]->elementsForName("id").at(0)->setStringValue("<new id>");
    entries[2]->addChild(GDataXMLNode::elementWithNameURI("gContact:nickname", kContactNS));
    entries[2]->addAttribute(GDataXMLNode::attributeWithName("gd:kind", kGDNS, "k"));
    entries[3]->setNamespaces({GDataXMLNode::namespaceWithName("gd", kGDNS)});
    auto back = writtenAndReadBack(doc->XMLData());
    ASSERT_TRUE(back);
    auto backEntries = back->elementsForName("entry");
    ASSERT_EQ(backEntries.size(), 3u);
    EXPECT_EQ(backEntries[0]->elementsForName("id").at(0)->stringValue(), "<new id>");
    EXPECT_EQ(backEntries[1]->elementsForName("gContact:nickname").size(), 1u);
    EXPECT_EQ(backEntries[1]->attributeForName("gd:kind")->stringValue(), "k");
    EXPECT_EQ(backEntries[2]->elementsForName("gd:email").size(), 1u);
}

TEST(GDataXMLDocumentTest, ChildrenTakenWhileReadingAreHandedOverWholeAndLeftOut) {
    std::string xml = std::string("<feed xmlns='") + kAtomNS + "' xmlns:gd='" + kGDNS +
                      "'><title>T</title>text<entry gd:etag='e1'><id>1</id><gd:email address='a'/></entry>"
                      "<entry><id>2</id></entry><!--c--><link href='l'/><entry><id>3</id></entry>tail</feed>";
    std::vector<std::string> seen;
    auto doc = GDataXMLDocument::initWithDataTakingChildren(
        platform::Bytes(xml.begin(), xml.end()), [&](const auto& root, const auto& child) {
            EXPECT_EQ(root->localName(), "feed");
            seen.push_back(child->XMLString().value_or(""));
            return child->localName() == "entry";
        }).valueOr(nullptr);
    ASSERT_TRUE(doc);
    EXPECT_EQ(seen, (std::vector<std::string>{"<title>T</title>", "<entry gd:etag=\"e1\"><id>1</id><gd:email address=\"a\"/></entry>",
                                              "<entry><id>2</id></entry>", "<link href=\"l\"/>", "<entry><id>3</id></entry>"}));
    EXPECT_EQ(doc->rootElement()->XMLString(),
              std::string("<feed xmlns=\"") + kAtomNS + "\" xmlns:gd=\"" + kGDNS +
                  "\"><title>T</title>text<!--c--><link href=\"l\"/>tail</feed>");

    // Nothing is offered from a document with a document type, nor from one that is refused.
    for (std::string refused : {std::string("<!DOCTYPE f [<!ENTITY n 'x'>]><f><e>&n;</e></f>"),
                                std::string("<f><e>1</e><p:e/></f>"), std::string("<f><e>1</e><e>")}) {
        size_t offered = 0;
        auto parsed = GDataXMLDocument::initWithDataTakingChildren(
            platform::Bytes(refused.begin(), refused.end()), [&](const auto&, const auto&) { return ++offered, true; }).valueOr(nullptr);
        bool declaresType = refused.find('!') != std::string::npos;
        EXPECT_EQ(offered, declaresType ? 0u : 1u) << refused;  // the first child, read before the fault
        EXPECT_EQ(parsed != nullptr, declaresType) << refused;
    }

    // An exception from the taker ends the parse and reaches the caller; nothing leaks.
    EXPECT_THROW(GDataXMLDocument::initWithDataTakingChildren(platform::Bytes(xml.begin(), xml.end()),
                                                              [](const auto&, const auto& child) -> bool {
                                                                  if (child->localName() == "link")
                                                                      throw std::runtime_error("stop");
                                                                  return true;
                                                              }).valueOr(nullptr),
                 std::runtime_error);
}

}  // namespace
}  // namespace quorvane
