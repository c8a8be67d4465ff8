#pragma once
// Crash-time symbol lookup: names the function that holds an instruction address, as the
// configured symbolication strategy asks: from the image's symbol tables (.dynsym and .symtab of
// an ELF image, LC_SYMTAB of a Mach-O image) and from a Mach-O image's Objective-C metadata.
// When both are asked, the candidate with the highest start at or below the address wins.
// Async-signal-safe.

#include <cstdint>

#include "crashreporter/capture/QVCrashAsyncImage.h"
#include "crashreporter/capture/QVCrashAsyncObjC.h"

namespace quorvane {

// Strategy bits: symbol tables, and Objective-C metadata (which ELF images do not carry).
enum : uint32_t {
    QVCRASH_ASYNC_SYMBOL_STRATEGY_NONE = 0,
    QVCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE = 1,
    QVCRASH_ASYNC_SYMBOL_STRATEGY_OBJC = 2,
};

using qvcrash_async_found_symbol_cb = void (*)(uint64_t address, const char* name, void* context);

// Calls callback once with the start address and name (at most 255 bytes) of the symbol nearest
// at or below pc: 0; the symbol-table lookup's code (8 when it was not asked) when no strategy
// finds a name; 6 when a strategy reported success without a name. Objective-C names read
// "-[Class method]" or "+[Class method]". objc_cache is the report's parser cache (one for all
// the lookups of a report); without one the Objective-C strategy finds nothing.
qvcrash_error_t MSqvcrash_async_find_symbol(qvcrash_async_macho_t* image, uint32_t strategy,
                                            qvcrash_async_objc_cache_t* objc_cache, uint64_t pc,
                                            qvcrash_async_found_symbol_cb callback, void* context);
// The same without an Objective-C cache.
qvcrash_error_t MSqvcrash_async_find_symbol(qvcrash_async_macho_t* image, uint32_t strategy, uint64_t pc,
                                            qvcrash_async_found_symbol_cb callback, void* context);

// What the lookups of one report share: the Objective-C parser cache and, for the ELF images
// frames land in, each image's symbol table reader, made (and sorted) at its first lookup and
// kept to the end of the report, so a frame costs a binary search instead of copying the tables.
// Past kImages images the reader used least recently makes room. Async-signal-safe; the readers
// live in private pages, released by free.
struct qvcrash_async_symbol_cache_t {
    static constexpr uint32_t kImages = 16;
    struct entry {
        const qvcrash_async_macho_t* image;
        qvcrash_error_t status;  // of making the reader; the reader is held only on success
        uint64_t last_use;
        qvcrash_async_macho_symtab_reader_t reader;
    };
    qvcrash_async_objc_cache_t objc;
    uint32_t count;
    uint64_t uses;
    entry images[kImages];
};

void MSqvcrash_async_symbol_cache_init(qvcrash_async_symbol_cache_t* cache);
void MSqvcrash_async_symbol_cache_free(qvcrash_async_symbol_cache_t* cache);
// MSqvcrash_async_find_symbol through the report's cache.
qvcrash_error_t MSqvcrash_async_symbol_cache_find(qvcrash_async_symbol_cache_t* cache, qvcrash_async_macho_t* image,
                                                  uint32_t strategy, uint64_t pc,
                                                  qvcrash_async_found_symbol_cb callback, void* context);

}  // namespace quorvane
