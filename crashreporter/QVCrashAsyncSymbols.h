#pragma once
// Crash-time symbol lookup: names the function that holds an instruction address from the image's
// symbol tables (.dynsym, and .symtab when the image's file has one), as the configured
// symbolication strategy asks. Async-signal-safe.

#include <cstdint>

#include "crashreporter/QVCrashAsyncMachO.h"

// Strategy bits: symbol tables, and class metadata (which ELF images do not carry).
enum : uint32_t {
    QVCRASH_ASYNC_SYMBOL_STRATEGY_NONE = 0,
    QVCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE = 1,
    QVCRASH_ASYNC_SYMBOL_STRATEGY_OBJC = 2,
};

using qvcrash_async_found_symbol_cb = void (*)(uint64_t address, const char* name, void* context);

// Calls callback once with the start address and name (at most 255 bytes) of the symbol nearest
// at or below pc: 0; the symbol-table lookup's code (8 when it was not asked) when no strategy
// finds a name.
qvcrash_error_t MSqvcrash_async_find_symbol(qvcrash_async_macho_t* image, uint32_t strategy, uint64_t pc,
                                            qvcrash_async_found_symbol_cb callback, void* context);
