#pragma once
// Names the function that holds an address of this process, from the engine's image list and
// the image reader's symbol tables.

#include <cstdint>
#include <string>

#include "crashreporter/capture/QVCrashAsyncImageList.h"
#include "crashreporter/capture/QVCrashAsyncImage.h"

namespace quorvane::test {

inline std::string symbolAt(uint64_t pc) {
    qvcrash_async_image_list_t* list = MSqvcrash_shared_image_list();
    MSqvcrash_nasync_image_list_set_reading(list, true);
    std::string name;
    if (qvcrash_async_macho_t* image = MSqvcrash_nasync_image_list_find_image_for_address(list, pc)) {
        MSqvcrash_async_macho_find_symbol_by_pc(
            image, pc, [](uint64_t, const char* found, void* ctx) { *static_cast<std::string*>(ctx) = found; },
            &name);
    }
    MSqvcrash_nasync_image_list_set_reading(list, false);
    return name;
}

}  // namespace quorvane::test
