#include "crashreporter/capture/QVCrashAsyncSymbols.h"

namespace quorvane {

namespace {

struct LookupState {
    char name[256];
    bool found;
    uint64_t address;
};

void symbolTableCallback(uint64_t address, const char* name, void* context) {
    auto* state = static_cast<LookupState*>(context);
    if (state->found && state->address > address) return;
    size_t i = 0;
    for (; i < sizeof(state->name) - 1 && name[i] != '\0'; ++i) state->name[i] = name[i];
    state->name[i] = '\0';
    state->address = address;
    state->found = true;
}

// Appends text at *at, writing only up to position 254; false once the buffer is full.
bool append(LookupState* state, size_t* at, const char* text, uint64_t length) {
    for (uint64_t i = 0; i < length; ++i) {
        if (*at >= sizeof(state->name) - 1) return false;
        state->name[(*at)++] = text[i];
    }
    return true;
}

void objcSymbolCallback(bool isClassMethod, qvcrash_async_macho_string_t* className,
                        qvcrash_async_macho_string_t* methodName, uint64_t imp, void* context) {
    auto* state = static_cast<LookupState*>(context);
    if (state->found && state->address > imp) return;
    uint64_t classLength = 0, methodLength = 0;
    const char* classText = nullptr;
    const char* methodText = nullptr;
    qvcrash_error_t err;
    if ((err = qvcrash_async_macho_string_get_length(className, &classLength)) != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("qvcrash_async_macho_string_get_length(className) error %d", (int)err);
        return;
    }
    if ((err = qvcrash_async_macho_string_get_pointer(className, &classText)) != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("qvcrash_async_macho_string_get_pointer(className) error %d", (int)err);
        return;
    }
    if ((err = qvcrash_async_macho_string_get_length(methodName, &methodLength)) != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("qvcrash_async_macho_string_get_length(methodName) error %d", (int)err);
        return;
    }
    if ((err = qvcrash_async_macho_string_get_pointer(methodName, &methodText)) != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("qvcrash_async_macho_string_get_pointer(methodName) error %d", (int)err);
        return;
    }
    size_t at = 0;
    (void)(append(state, &at, isClassMethod ? "+" : "-", 1) && append(state, &at, "[", 1) &&
           append(state, &at, classText, classLength) && append(state, &at, " ", 1) &&
           append(state, &at, methodText, methodLength) && append(state, &at, "]", 1));
    state->name[at] = '\0';
    state->address = imp;
    state->found = true;
}

}  // namespace

qvcrash_error_t MSqvcrash_async_find_symbol(qvcrash_async_macho_t* image, uint32_t strategy,
                                            qvcrash_async_objc_cache_t* objc_cache, uint64_t pc,
                                            qvcrash_async_found_symbol_cb callback, void* context) {
    LookupState state;
    state.found = false;
    state.address = 0;
    state.name[0] = '\0';
    qvcrash_error_t table_err = QVCRASH_ENOTFOUND;
    qvcrash_error_t objc_err = QVCRASH_ENOTFOUND;
    if (strategy & QVCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE) {
        table_err = MSqvcrash_async_macho_find_symbol_by_pc(image, pc, symbolTableCallback, &state);
    }
    // Class metadata is a Mach-O matter; ELF images have none.
    if ((strategy & QVCRASH_ASYNC_SYMBOL_STRATEGY_OBJC) && MSqvcrash_async_macho_is_macho(image)) {
        objc_err = MSqvcrash_async_objc_find_method(image, objc_cache, pc, objcSymbolCallback, &state);
    }
    if (table_err != QVCRASH_ESUCCESS && objc_err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("Could not find symbol for PC %llx image %p", static_cast<unsigned long long>(pc),
                      static_cast<void*>(image));
        QVCRASH_DEBUG("qv_async_macho_find_symbol error %d, qv_async_objc_find_method error %d",
                      static_cast<int>(table_err), static_cast<int>(objc_err));
        return table_err;
    }
    if (!state.found) {
        QVCRASH_DEBUG("Unexpected error occured in symbol lookup callbacks for PC %llximage %p; returning error",
                      static_cast<unsigned long long>(pc), static_cast<void*>(image));
        return QVCRASH_EINTERNAL;
    }
    callback(state.address, state.name, context);
    return QVCRASH_ESUCCESS;
}

qvcrash_error_t MSqvcrash_async_find_symbol(qvcrash_async_macho_t* image, uint32_t strategy, uint64_t pc,
                                            qvcrash_async_found_symbol_cb callback, void* context) {
    return MSqvcrash_async_find_symbol(image, strategy, nullptr, pc, callback, context);
}

void MSqvcrash_async_symbol_cache_init(qvcrash_async_symbol_cache_t* cache) {
    MSqvcrash_async_objc_cache_init(&cache->objc);
    cache->count = 0;
    cache->uses = 0;
}

void MSqvcrash_async_symbol_cache_free(qvcrash_async_symbol_cache_t* cache) {
    for (uint32_t i = 0; i < cache->count; ++i) {
        if (cache->images[i].status == QVCRASH_ESUCCESS) MSqvcrash_async_macho_symtab_reader_free(&cache->images[i].reader);
    }
    cache->count = 0;
    MSqvcrash_async_objc_cache_free(&cache->objc);
}

namespace {
// The image's entry, its reader made now when the image has none yet.
qvcrash_async_symbol_cache_t::entry* cachedReader(qvcrash_async_symbol_cache_t* cache, qvcrash_async_macho_t* image) {
    using entry = qvcrash_async_symbol_cache_t::entry;
    entry* slot = nullptr;
    for (uint32_t i = 0; i < cache->count; ++i) {
        if (cache->images[i].image == image) {
            cache->images[i].last_use = ++cache->uses;
            return &cache->images[i];
        }
    }
    if (cache->count < qvcrash_async_symbol_cache_t::kImages) {
        slot = &cache->images[cache->count++];
    } else {
        slot = &cache->images[0];
        for (uint32_t i = 1; i < cache->count; ++i) {
            if (cache->images[i].last_use < slot->last_use) slot = &cache->images[i];
        }
        if (slot->status == QVCRASH_ESUCCESS) MSqvcrash_async_macho_symtab_reader_free(&slot->reader);
    }
    slot->image = image;
    slot->last_use = ++cache->uses;
    slot->status = MSqvcrash_async_macho_symtab_reader_init(&slot->reader, image);
    if (slot->status == QVCRASH_ESUCCESS) MSqvcrash_async_macho_symtab_reader_sort(&slot->reader);
    return slot;
}
}  // namespace

qvcrash_error_t MSqvcrash_async_symbol_cache_find(qvcrash_async_symbol_cache_t* cache, qvcrash_async_macho_t* image,
                                                  uint32_t strategy, uint64_t pc,
                                                  qvcrash_async_found_symbol_cb callback, void* context) {
    // Mach-O images have readers and metadata of their own.
    if (MSqvcrash_async_macho_is_macho(image)) {
        return MSqvcrash_async_find_symbol(image, strategy, &cache->objc, pc, callback, context);
    }
    if (!(strategy & QVCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE)) return QVCRASH_ENOTFOUND;
    const qvcrash_async_symbol_cache_t::entry* e = cachedReader(cache, image);
    if (e->status != QVCRASH_ESUCCESS) return e->status;
    LookupState state;
    state.found = false;
    qvcrash_error_t err = MSqvcrash_async_macho_symtab_reader_find_by_pc(&e->reader, pc, symbolTableCallback, &state);
    if (err != QVCRASH_ESUCCESS) return err;
    callback(state.address, state.name, context);
    return QVCRASH_ESUCCESS;
}

}  // namespace quorvane
