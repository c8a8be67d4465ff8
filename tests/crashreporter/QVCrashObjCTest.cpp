// The Objective-C metadata parser and the symbol lookup that uses it: classes and categories of
// a linked fixture, realised here the way the runtime realises them; a 32-bit image and the
// legacy runtime's module info made by hand.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "crashreporter/capture/QVCrashAsyncObjC.h"
#include "crashreporter/capture/QVCrashAsyncThread.h"
#include "crashreporter/capture/QVCrashAsyncSymbols.h"
#include "tests/crashreporter/MachOFixtures.h"

using namespace quorvane;

using namespace machofixtures;

namespace {

std::string text(qvcrash_async_macho_string_t* s) {
    const char* p = nullptr;
    uint64_t length = 0;
    if (qvcrash_async_macho_string_get_length(s, &length) != QVCRASH_ESUCCESS ||
        qvcrash_async_macho_string_get_pointer(s, &p) != QVCRASH_ESUCCESS) {
        return "?";
    }
    return std::string(p, length);
}

struct Method {
    std::string name;
    uint64_t imp;
    bool operator<(const Method& o) const { return name < o.name; }
    bool operator==(const Method& o) const { return name == o.name && imp == o.imp; }
};

std::string methodName(bool classSide, qvcrash_async_macho_string_t* cls, qvcrash_async_macho_string_t* method) {
    return std::string(classSide ? "+[" : "-[") + text(cls) + " " + text(method) + "]";
}

void collect(bool classSide, qvcrash_async_macho_string_t* cls, qvcrash_async_macho_string_t* method, uint64_t imp,
             void* context) {
    static_cast<std::vector<Method>*>(context)->push_back({methodName(classSide, cls, method), imp});
}

std::vector<Method> parse(qvcrash_async_macho_t* image, qvcrash_async_objc_cache_t* cache,
                          qvcrash_error_t expected = QVCRASH_ESUCCESS) {
    std::vector<Method> methods;
    EXPECT_EQ(qv_async_objc_parse(image, cache, collect, &methods), expected);
    return methods;
}

struct Cache {
    qvcrash_async_objc_cache_t cache;
    Cache() { MSqvcrash_async_objc_cache_init(&cache); }
    ~Cache() { MSqvcrash_async_objc_cache_free(&cache); }
};

void namedMethod(bool classSide, qvcrash_async_macho_string_t* cls, qvcrash_async_macho_string_t* method, uint64_t imp,
                 void* context) {
    recordSymbol(imp, methodName(classSide, cls, method).c_str(), context);
}

// The runtime's read-write data of a realised class: flags, version, read-only data.
struct ClassRW {
    uint32_t flags;
    uint32_t version;
    uint64_t ro;
};

}  // namespace

TEST(QVCrashObjC, ListsRealisedClassesAndCategoriesOfALinkedImage) {
    QV_REQUIRE_MACHO_FIXTURES();
    LoadedImage loaded = loadDylib(fixtureDirectory() + "/libqvobjc.dylib");
    Record record(loaded.header, "libqvobjc.dylib");
    ASSERT_EQ(record.err, QVCRASH_ESUCCESS);
    qvcrash_async_macho_t* image = &record.image;
    auto address = [&](const char* name) {
        uint64_t a = 0;
        EXPECT_EQ(MSqvcrash_async_macho_find_symbol_by_name(image, name, &a), QVCRASH_ESUCCESS) << name;
        return a;
    };
    // As linked, no class is realised: the data words point at the read-only data.
    {
        Cache unrealised;
        EXPECT_TRUE(parse(image, &unrealised.cache).empty());
    }

    // Realise QVRoot and its metaclass as the runtime does: read-write data in the heap; the
    // metaclass's read-only data copied out of the image (flag 27). QVChild stays unrealised.
    auto realise = [&](const char* classSymbol, bool copyRO, ClassRW* rw, std::vector<uint8_t>* roCopy) {
        auto* cls = reinterpret_cast<uint64_t*>(address(classSymbol));
        rw->flags = 1u << 31;
        rw->version = 0;
        rw->ro = cls[4];
        if (copyRO) {
            roCopy->assign(reinterpret_cast<const uint8_t*>(rw->ro), reinterpret_cast<const uint8_t*>(rw->ro) + 72);
            rw->ro = reinterpret_cast<uintptr_t>(roCopy->data());
            rw->flags |= 1u << 27;
        }
        cls[4] = reinterpret_cast<uintptr_t>(rw);
    };
    ClassRW rootRW, rootMetaRW, childRW, childMetaRW;
    std::vector<uint8_t> metaCopy, unused;
    realise("_OBJC_CLASS_$_QVRoot", false, &rootRW, &unused);
    realise("_OBJC_METACLASS_$_QVRoot", true, &rootMetaRW, &metaCopy);

    const std::vector<Method> expected = {
        {"+[QVRoot classExtra]", address("+[QVRoot(Extras) classExtra]")},
        {"+[QVRoot classValue]", address("+[QVRoot classValue]")},
        {"-[QVRoot extra]", address("-[QVRoot(Extras) extra]")},
        {"-[QVRoot other:]", address("-[QVRoot other:]")},
        {"-[QVRoot value]", address("-[QVRoot value]")},
    };
    // A cache lives for one report: it keeps copies of the sections, made on first use.
    Cache cache;
    for (int pass = 0; pass < 2; ++pass) {  // the second pass reads through the class cache
        std::vector<Method> methods = parse(image, &cache.cache);
        std::sort(methods.begin(), methods.end());
        EXPECT_EQ(methods, expected);
    }
    EXPECT_NE(cache.cache.class_cache_size, 0u);

    realise("_OBJC_CLASS_$_QVChild", false, &childRW, &unused);
    realise("_OBJC_METACLASS_$_QVChild", false, &childMetaRW, &unused);
    MSqvcrash_async_objc_cache_free(&cache.cache);
    MSqvcrash_async_objc_cache_init(&cache.cache);
    std::vector<Method> methods = parse(image, &cache.cache);
    EXPECT_EQ(methods.size(), expected.size() + 1);
    EXPECT_NE(std::find(methods.begin(), methods.end(), Method{"-[QVChild childMethod]", address("-[QVChild childMethod]")}),
              methods.end());

    // The method at or below an address, reported once.
    FoundSymbol found;
    ASSERT_EQ(MSqvcrash_async_objc_find_method(image, &cache.cache, address("-[QVRoot other:]") + 3, namedMethod, &found),
              QVCRASH_ESUCCESS);
    EXPECT_EQ(found.calls, 1);
    EXPECT_EQ(found.name, "-[QVRoot other:]");
    FoundSymbol none;
    EXPECT_EQ(MSqvcrash_async_objc_find_method(image, &cache.cache, loaded.header, namedMethod, &none), QVCRASH_ENOTFOUND);
    EXPECT_EQ(none.calls, 0);
    EXPECT_EQ(MSqvcrash_async_objc_find_method(image, nullptr, loaded.header, namedMethod, &none), QVCRASH_EACCESS);

    // Symbol lookup with either strategy or both: at one address the metadata's name wins.
    struct Case {
        uint32_t strategy;
        const char* symbol;
        const char* name;
    } cases[] = {
        {QVCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE, "-[QVRoot(Extras) extra]", "-[QVRoot(Extras) extra]"},
        {QVCRASH_ASYNC_SYMBOL_STRATEGY_OBJC, "-[QVRoot(Extras) extra]", "-[QVRoot extra]"},
        {3, "-[QVRoot(Extras) extra]", "-[QVRoot extra]"},
        {3, "+[QVRoot(Extras) classExtra]", "+[QVRoot classExtra]"},
    };
    for (const Case& c : cases) {
        FoundSymbol n;
        ASSERT_EQ(MSqvcrash_async_find_symbol(image, c.strategy, &cache.cache, address(c.symbol) + 2, recordSymbol, &n),
                  QVCRASH_ESUCCESS);
        EXPECT_EQ(n.name, c.name);
        EXPECT_EQ(n.address, address(c.symbol));
    }
}

TEST(QVCrashObjC, SymbolLookupPrefersTheNearestCandidateAndCutsLongNames) {
    QV_REQUIRE_MACHO_FIXTURES();
    LoadedImage loaded = loadDylib(fixtureDirectory() + "/libqvobjc.dylib");
    Record record(loaded.header, "libqvobjc.dylib");
    ASSERT_EQ(record.err, QVCRASH_ESUCCESS);
    qvcrash_async_macho_t* image = &record.image;
    uint64_t child = 0, root = 0, rootMeta = 0;
    ASSERT_EQ(MSqvcrash_async_macho_find_symbol_by_name(image, "-[QVChild childMethod]", &child), QVCRASH_ESUCCESS);
    ASSERT_EQ(MSqvcrash_async_macho_find_symbol_by_name(image, "_OBJC_CLASS_$_QVRoot", &root), QVCRASH_ESUCCESS);
    ASSERT_EQ(MSqvcrash_async_macho_find_symbol_by_name(image, "_OBJC_METACLASS_$_QVRoot", &rootMeta), QVCRASH_ESUCCESS);
    ClassRW rw{1u << 31, 0, reinterpret_cast<uint64_t*>(root)[4]};
    ClassRW metaRW{1u << 31, 0, reinterpret_cast<uint64_t*>(rootMeta)[4]};
    reinterpret_cast<uint64_t*>(root)[4] = reinterpret_cast<uintptr_t>(&rw);
    reinterpret_cast<uint64_t*>(rootMeta)[4] = reinterpret_cast<uintptr_t>(&metaRW);
    Cache cache;
    // QVChild is not realised: the metadata's best is a QVRoot method below the symbol.
    FoundSymbol n;
    ASSERT_EQ(MSqvcrash_async_find_symbol(image, 3, &cache.cache, child + 1, recordSymbol, &n), QVCRASH_ESUCCESS);
    EXPECT_EQ(n.name, "-[QVChild childMethod]");
    // Without a cache the metadata finds nothing; asked alone, the lookup says "not found".
    FoundSymbol none;
    EXPECT_EQ(MSqvcrash_async_find_symbol(image, QVCRASH_ASYNC_SYMBOL_STRATEGY_OBJC, nullptr, child, recordSymbol, &none),
              QVCRASH_ENOTFOUND);
    EXPECT_EQ(none.calls, 0);

    // A 300-character symbol is delivered cut to 255.
    MachOBuilder b(true, false, QVCRASH_CPU_TYPE_X86_64);
    const size_t textSection = b.addSection("__TEXT", "__text", 16);
    b.layout();
    b.addSymbol({"_" + std::string(299, 'x'), 0x0F, 1, 0, b.section(textSection).addr});
    const std::vector<uint8_t> bytes = b.build();
    Pages pages(bytes.size());
    std::memcpy(pages.data(), bytes.data(), bytes.size());
    Record r(pages.address());
    ASSERT_EQ(r.err, QVCRASH_ESUCCESS);
    FoundSymbol longName;
    ASSERT_EQ(MSqvcrash_async_find_symbol(&r.image, 1, &cache.cache,
                                          b.section(textSection).addr + r.image.vmaddr_slide + 4, recordSymbol, &longName),
              QVCRASH_ESUCCESS);
    EXPECT_EQ(longName.name.size(), 255u);
}

namespace {

// Writes records into a section of a hand-made 32-bit image loaded at its link address (slide
// 0), so the words it holds are the addresses the parser follows.
struct Records {
    MachOBuilder::Section& section;
    size_t at = 0;
    uint32_t address() const { return uint32_t(section.addr + at); }
    uint32_t words(std::initializer_list<uint32_t> values) {
        const uint32_t start = address();
        for (uint32_t v : values) {
            std::memcpy(section.data.data() + at, &v, 4);
            at += 4;
        }
        return start;
    }
    uint32_t string(const char* s) {
        const uint32_t start = address();
        std::memcpy(section.data.data() + at, s, std::strlen(s) + 1);
        at += std::strlen(s) + 1;
        at = (at + 3) & ~size_t{3};
        return start;
    }
    uint32_t skip(size_t bytes) {
        const uint32_t start = address();
        at += bytes;
        return start;
    }
};

}  // namespace

// A 32-bit image of the modern runtime, without a category list.
TEST(QVCrashObjC, ReadsA32BitImageWithoutCategories) {
    Pages pages(0x8000, true);
    MachOBuilder b(false, false, QVCRASH_CPU_TYPE_X86);
    b.setLinkBase(pages.address());
    const size_t textIndex = b.addSection("__TEXT", "__text", 32);
    const size_t classList = b.addSection("__DATA", "__objc_classlist", 4);
    const size_t dataIndex = b.addSection("__DATA", "__objc_data", 40);
    const size_t constIndex = b.addSection("__DATA", "__objc_const", 256);
    b.layout();
    const uint32_t code = uint32_t(b.section(textIndex).addr);
    Records c{b.section(constIndex)};
    const uint32_t name = c.string("Tiny"), run = c.string("run"), stop = c.string("stop"), make = c.string("make");
    // Method lists: entry size 12 and count, then (name, types, implementation); run and stop
    // share one implementation.
    const uint32_t instanceMethods = c.words({12, 2, run, 0, code + 8, stop, 0, code + 8});
    const uint32_t classMethods = c.words({12, 1, make, 0, code + 16});
    // Read-only data: flags, start, size, ivar layout, name, methods, protocols, ivars, weak, properties.
    const uint32_t ro = c.words({0, 4, 4, 0, name, instanceMethods, 0, 0, 0, 0});
    const uint32_t metaRO = c.words({1, 20, 20, 0, name, classMethods, 0, 0, 0, 0});
    // The runtime's read-write data, in low memory.
    Pages rwPages(4096, true);
    auto* rw = reinterpret_cast<uint32_t*>(rwPages.data());
    const uint32_t rwAddress = uint32_t(rwPages.address());
    rw[0] = 1u << 31, rw[1] = 0, rw[2] = ro;
    rw[4] = 1u << 31, rw[5] = 0, rw[6] = metaRO;
    Records d{b.section(dataIndex)};
    const uint32_t cls = d.address(), meta = cls + 20;
    d.words({meta, 0, 0, 0, rwAddress, meta, cls, 0, 0, rwAddress + 16});
    Records{b.section(classList)}.words({cls});
    const std::vector<uint8_t> bytes = b.build();
    ASSERT_LE(bytes.size(), pages.size());
    std::memcpy(pages.data(), bytes.data(), bytes.size());
    Record r(pages.address());
    ASSERT_EQ(r.err, QVCRASH_ESUCCESS);

    Cache cache;
    EXPECT_EQ(parse(&r.image, &cache.cache),
              (std::vector<Method>{{"-[Tiny run]", code + 8}, {"-[Tiny stop]", code + 8}, {"+[Tiny make]", code + 16}}));
    FoundSymbol n;
    ASSERT_EQ(MSqvcrash_async_objc_find_method(&r.image, &cache.cache, code + 12, namedMethod, &n), QVCRASH_ESUCCESS);
    EXPECT_EQ(n.name, "-[Tiny run]");  // the first of two at one address
    EXPECT_EQ(n.calls, 1);

    // Damaged metadata ends the parse with a code.
    rw[2] = 0x10;  // read-only data nowhere
    Cache other;
    parse(&r.image, &other.cache, QVCRASH_EINVALID_DATA);
}

// The legacy runtime's __OBJC,__module_info: one module, one class whose methods are one list,
// and its metaclass whose methods are an array of lists.
TEST(QVCrashObjC, ReadsLegacyModuleInfo) {
    Pages pages(0x8000, true);
    MachOBuilder b(false, false, QVCRASH_CPU_TYPE_X86);
    b.setLinkBase(pages.address());
    const size_t textIndex = b.addSection("__TEXT", "__text", 32);
    const size_t modules = b.addSection("__OBJC", "__module_info", 16);
    const size_t recordsIndex = b.addSection("__OBJC", "__class", 512);
    b.layout();
    const uint32_t code = uint32_t(b.section(textIndex).addr);
    Records r{b.section(recordsIndex)};
    const uint32_t name = r.string("Old"), alpha = r.string("alpha"), beta = r.string("beta"), gamma = r.string("gamma");
    // Method lists: obsolete word, count, then (name, types, implementation).
    const uint32_t list = r.words({0, 2, alpha, 0, code, beta, 0, code + 4});
    const uint32_t metaList = r.words({0, 1, gamma, 0, code + 8});
    const uint32_t lists = r.words({metaList, 0xFFFFFFFF});
    // Classes: isa, super, name, version, info, size, ivars, method lists, cache, protocols.
    const uint32_t meta = r.words({0, 0, name, 0, 2, 48, 0, lists, 0, 0});
    const uint32_t cls = r.words({meta, 0, name, 0, 1 | 0x4000, 4, 0, list, 0, 0});
    // The module's symbol table: selector references, references, one class, no category.
    const uint32_t symtab = r.words({0, 0, 1, cls});
    Records{b.section(modules)}.words({7, 16, name, symtab});
    const std::vector<uint8_t> bytes = b.build();
    std::memcpy(pages.data(), bytes.data(), bytes.size());
    Record image(pages.address());
    ASSERT_EQ(image.err, QVCRASH_ESUCCESS);
    Cache cache;
    EXPECT_EQ(parse(&image.image, &cache.cache),
              (std::vector<Method>{{"-[Old alpha]", code}, {"-[Old beta]", code + 4}, {"+[Old gamma]", code + 8}}));
    FoundSymbol n;
    ASSERT_EQ(MSqvcrash_async_find_symbol(&image.image, QVCRASH_ASYNC_SYMBOL_STRATEGY_OBJC, &cache.cache, code + 9, recordSymbol, &n),
              QVCRASH_ESUCCESS);
    EXPECT_EQ(n.name, "+[Old gamma]");
    // A class pointer into nothing.
    std::memcpy(pages.data() + (symtab - pages.address()) + 12, "\xF0\xFF\xFF\x7F", 4);
    std::vector<Method> methods;
    EXPECT_NE(qv_async_objc_parse(&image.image, &cache.cache, collect, &methods), QVCRASH_ESUCCESS);
    EXPECT_TRUE(methods.empty());
}
