#include "crashreporter/QVCrashAsyncSymbols.h"

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

}  // namespace

qvcrash_error_t MSqvcrash_async_find_symbol(qvcrash_async_macho_t* image, uint32_t strategy, uint64_t pc,
                                            qvcrash_async_found_symbol_cb callback, void* context) {
    LookupState state;
    state.found = false;
    state.address = 0;
    state.name[0] = '\0';
    qvcrash_error_t table_err = QVCRASH_ENOTFOUND;
    // Class metadata is a Mach-O matter; ELF images have none, so that strategy finds nothing.
    const qvcrash_error_t objc_err = QVCRASH_ENOTFOUND;
    if (strategy & QVCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE) {
        table_err = MSqvcrash_async_macho_find_symbol_by_pc(image, pc, symbolTableCallback, &state);
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
