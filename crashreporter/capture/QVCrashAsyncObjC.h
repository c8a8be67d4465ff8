#pragma once
// The Objective-C metadata parser: names a frame by class and method from the runtime metadata
// of a Mach-O image, when the image's symbol table does not. It walks the modern runtime's class
// and category lists (__objc_classlist, __objc_catlist with __objc_const and __objc_data, in
// __DATA or, for images made for newer systems, __DATA_CONST), or the legacy runtime's
// __OBJC,__module_info, and reports the method whose implementation is the closest at or below
// an address. Only classes the runtime has realised are read (their read-write data says so);
// the read-only data of a realised class is remembered in a small class cache.
//
// Crash-time code: async-signal-safe, reads through memory objects and safe task reads only.
// The cache lives for one report; its class cache is allocated with private pages on first use.

#include <cstdint>

#include "crashreporter/capture/QVCrashAsyncMachOFile.h"

namespace quorvane {

inline constexpr uint32_t QVCRASH_ASYNC_OBJC_CLASS_CACHE_SIZE = 1024;

struct qvcrash_async_objc_cache_t {
    bool got_modern_info;  // set after a successful modern parse: the legacy probe is skipped then
    const qvcrash_async_macho_t* last_image;  // the image whose sections are mapped
    bool objc_const_mapped, class_list_mapped, cat_list_mapped, objc_data_mapped;
    qvcrash_async_mobject_t objc_const, class_list, cat_list, objc_data;
    uint32_t class_cache_size;  // 0 until the cache is allocated
    uint64_t* class_cache_keys;    // read-write data address
    uint64_t* class_cache_values;  // its read-only data address
};

// The names are lazily mapped strings, valid only during the call.
using qvcrash_async_objc_found_method_cb = void (*)(bool is_class_method, qvcrash_async_macho_string_t* class_name,
                                                    qvcrash_async_macho_string_t* method_name, uint64_t imp,
                                                    void* context);

qvcrash_error_t MSqvcrash_async_objc_cache_init(qvcrash_async_objc_cache_t* cache);
void MSqvcrash_async_objc_cache_free(qvcrash_async_objc_cache_t* cache);

// Calls callback once for the method whose implementation is the highest at or below imp: 0; 8
// when no method precedes it (or the image has no metadata this parser reads); 7 without a
// cache; 9 for unreadable metadata; or a mapping's code.
qvcrash_error_t MSqvcrash_async_objc_find_method(qvcrash_async_macho_t* image, qvcrash_async_objc_cache_t* cache,
                                                 uint64_t imp, qvcrash_async_objc_found_method_cb callback,
                                                 void* context);

// Calls callback for every method of every realised class, metaclass and category of the image.
qvcrash_error_t qv_async_objc_parse(qvcrash_async_macho_t* image, qvcrash_async_objc_cache_t* cache,
                                    qvcrash_async_objc_found_method_cb callback, void* context);

}  // namespace quorvane
