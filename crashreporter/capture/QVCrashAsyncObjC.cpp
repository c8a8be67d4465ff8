#include "crashreporter/capture/QVCrashAsyncObjC.h"

#include "platform/crash/TaskMapping.h"

namespace quorvane {

namespace pc = quorvane::platform::crash;

namespace {

// Read-write data flags of a class.
constexpr uint32_t kRealized = 1u << 31;
constexpr uint32_t kCopiedRO = 1u << 27;
// Legacy class info: the method-lists field is one list, not an array of them.
constexpr uint32_t kNoMethodArray = 0x4000;

// The sizes of the records, for a 64-bit image and (second) a 32-bit one.
uint64_t wordSize(const qvcrash_async_macho_t* image) { return image->m64 ? 8 : 4; }
uint64_t classSize(const qvcrash_async_macho_t* image) { return 5 * wordSize(image); }
uint64_t classROSize(const qvcrash_async_macho_t* image) { return image->m64 ? 72 : 40; }
uint64_t categorySize(const qvcrash_async_macho_t* image) { return 6 * wordSize(image); }

// The word at index of a local copy, in host order.
uint64_t wordAt(const qvcrash_async_macho_t* image, const void* base, uint64_t index) {
    const uint8_t* p = static_cast<const uint8_t*>(base) + index * wordSize(image);
    if (image->m64) {
        uint64_t v;
        qvcrash_async_memcpy(&v, p, sizeof(v));
        return image->byteorder->swap64(v);
    }
    uint32_t v;
    qvcrash_async_memcpy(&v, p, sizeof(v));
    return image->byteorder->swap32(v);
}

uint32_t word32At(const qvcrash_async_macho_t* image, const void* base, uint64_t byteOffset) {
    uint32_t v;
    qvcrash_async_memcpy(&v, static_cast<const uint8_t*>(base) + byteOffset, sizeof(v));
    return image->byteorder->swap32(v);
}

// The read-write data address held in a class's data word.
uint64_t dataPointer(const qvcrash_async_macho_t* image, uint64_t data) {
    return image->m64 ? data & 0x7FFFFFFFFFF8ULL : data & ~7ULL;
}

// The metaclass address held in a class's isa.
uint64_t isaPointer(const qvcrash_async_macho_t* image, uint64_t isa) {
    if (MSqvcrash_async_macho_cpu_type(image) == QVCRASH_CPU_TYPE_ARM64 && (isa & 1) != 0) return isa & 0x1FFFFFFF8ULL;
    return isa;
}

// ---- the class cache ----

bool cacheGet(const qvcrash_async_objc_cache_t* cache, uint64_t key, uint64_t* value) {
    if (cache->class_cache_size == 0) return false;
    const size_t slot = (key >> 2) % cache->class_cache_size;
    if (cache->class_cache_keys[slot] != key || cache->class_cache_values[slot] == 0) return false;
    *value = cache->class_cache_values[slot];
    return true;
}

void cacheSet(qvcrash_async_objc_cache_t* cache, uint64_t key, uint64_t value) {
    if (cache->class_cache_size == 0) {
        int err = 0;
        const size_t bytes = 2 * QVCRASH_ASYNC_OBJC_CLASS_CACHE_SIZE * sizeof(uint64_t);
        void* pages = pc::reservePages(bytes, &err);
        if (pages == nullptr) {
            QVCRASH_DEBUG("vm_allocate failed with error %x, the class cache could not be initialized and ObjC parsing "
                          "will be substantially slower",
                          err);
            return;
        }
        cache->class_cache_keys = static_cast<uint64_t*>(pages);
        cache->class_cache_values = cache->class_cache_keys + QVCRASH_ASYNC_OBJC_CLASS_CACHE_SIZE;
        cache->class_cache_size = QVCRASH_ASYNC_OBJC_CLASS_CACHE_SIZE;
    }
    const size_t slot = (key >> 2) % cache->class_cache_size;
    if (cache->class_cache_keys[slot] != 0) return;  // first come keeps the slot
    cache->class_cache_keys[slot] = key;
    cache->class_cache_values[slot] = value;
}

// ---- sections ----

void freeSections(qvcrash_async_objc_cache_t* cache) {
    struct {
        bool* mapped;
        qvcrash_async_mobject_t* mobj;
    } sections[] = {{&cache->objc_const_mapped, &cache->objc_const},
                    {&cache->class_list_mapped, &cache->class_list},
                    {&cache->cat_list_mapped, &cache->cat_list},
                    {&cache->objc_data_mapped, &cache->objc_data}};
    for (auto& s : sections) {
        if (*s.mapped) MSqvcrash_async_mobject_free(s.mobj);
        *s.mapped = false;
    }
    cache->last_image = nullptr;
}

// The section from __DATA, or from __DATA_CONST where newer linkers put the lists.
qvcrash_error_t mapObjCSection(const qvcrash_async_macho_t* image, const char* sectname, qvcrash_async_mobject_t* mobj) {
    qvcrash_error_t err = MSqvcrash_async_macho_map_section(image, "__DATA", sectname, mobj);
    if (err == QVCRASH_ENOTFOUND) err = MSqvcrash_async_macho_map_section(image, "__DATA_CONST", sectname, mobj);
    return err;
}

// Maps the image's four sections unless they are the cache's already. The class and category
// lists may be missing (an image without categories has no category list); the other two not.
qvcrash_error_t mapSections(const qvcrash_async_macho_t* image, qvcrash_async_objc_cache_t* cache) {
    if (cache->last_image == image) return QVCRASH_ESUCCESS;
    freeSections(cache);
    struct {
        const char* name;
        bool* mapped;
        qvcrash_async_mobject_t* mobj;
        bool optional;
    } sections[] = {{"__objc_const", &cache->objc_const_mapped, &cache->objc_const, false},
                    {"__objc_classlist", &cache->class_list_mapped, &cache->class_list, true},
                    {"__objc_catlist", &cache->cat_list_mapped, &cache->cat_list, true},
                    {"__objc_data", &cache->objc_data_mapped, &cache->objc_data, false}};
    for (auto& s : sections) {
        qvcrash_error_t err = mapObjCSection(image, s.name, s.mobj);
        if (err == QVCRASH_ENOTFOUND && s.optional) continue;
        if (err != QVCRASH_ESUCCESS) {
            if (err != QVCRASH_ENOTFOUND) {
                QVCRASH_DEBUG("qv_async_macho_map_section(%s, %s, %s, %p) failure %d", image->name, "__DATA", s.name,
                              (void*)s.mobj, (int)err);
            }
            freeSections(cache);
            return err;
        }
        *s.mapped = true;
    }
    if (!cache->class_list_mapped && !cache->cat_list_mapped) {
        freeSections(cache);
        return QVCRASH_ENOTFOUND;
    }
    cache->last_image = image;
    return QVCRASH_ESUCCESS;
}

// Copies length bytes at address from __objc_const when they lie there, else from the task.
qvcrash_error_t readConstOrTask(const qvcrash_async_macho_t* image, const qvcrash_async_objc_cache_t* cache,
                                uint64_t address, void* out, uint64_t length) {
    const void* p = qvcrash_async_mobject_remap_address(&cache->objc_const, address, 0, static_cast<size_t>(length));
    if (p != nullptr) {
        qvcrash_async_memcpy(out, p, static_cast<size_t>(length));
        return QVCRASH_ESUCCESS;
    }
    return MSqvcrash_async_task_memcpy(image->task, address, 0, out, static_cast<size_t>(length));
}

struct Visitor {
    qvcrash_async_objc_found_method_cb callback;
    void* context;
};

// ---- modern metadata ----

qvcrash_error_t walkMethodList(const qvcrash_async_macho_t* image, qvcrash_async_objc_cache_t* cache, bool classSide,
                               qvcrash_async_macho_string_t* className, uint64_t list, const Visitor& visitor) {
    const qvcrash_async_mobject_t* cmobj = &cache->objc_const;
    const void* header = qvcrash_async_mobject_remap_address(cmobj, list, 0, 8);
    if (header == nullptr) {
        QVCRASH_DEBUG("qvcrash_async_mobject_remap_address in objCConstMobj failed to map methods pointer 0x%llx",
                      (unsigned long long)list);
        return QVCRASH_EINVALID_DATA;
    }
    const uint64_t entsize = word32At(image, header, 0) & ~3u;
    const uint64_t count = word32At(image, header, 4);
    // An entry holds at least the name, types and implementation words.
    const uint64_t minimum = 3 * wordSize(image);
    if (count != 0 && (entsize < minimum || entsize > (1u << 16) ||
                       qvcrash_async_mobject_remap_address(cmobj, list, 8, static_cast<size_t>(count * entsize)) == nullptr)) {
        QVCRASH_DEBUG("qvcrash_async_mobject_remap_address at 0x%llx length %llu returned NULL",
                      (unsigned long long)(list + 8), (unsigned long long)(count * entsize));
        return QVCRASH_EINVALID_DATA;
    }
    for (uint64_t i = 0; i < count; ++i) {
        const void* method = qvcrash_async_mobject_remap_address(cmobj, list, (int64_t)(8 + i * entsize),
                                                                 static_cast<size_t>(minimum));
        const uint64_t name = wordAt(image, method, 0);
        const uint64_t imp = wordAt(image, method, 2);
        qvcrash_async_macho_string_t methodName;
        qvcrash_error_t err = qvcrash_async_macho_string_init(&methodName, image, name);
        if (err != QVCRASH_ESUCCESS) {
            QVCRASH_DEBUG("qvcrash_async_macho_string_init at 0x%llx error %d", (unsigned long long)name, (int)err);
            return err;
        }
        visitor.callback(classSide, className, &methodName, imp, visitor.context);
        qvcrash_async_macho_string_free(&methodName);
    }
    return QVCRASH_ESUCCESS;
}

// The read-only data of a class (72 or 40 bytes into ro): 0, 8 when the class is not realised,
// 9 when its data cannot be read.
qvcrash_error_t readClassRO(const qvcrash_async_macho_t* image, qvcrash_async_objc_cache_t* cache,
                            const void* classRecord, uint8_t* ro) {
    const uint64_t rw = dataPointer(image, wordAt(image, classRecord, 4));
    const uint64_t roSize = classROSize(image);
    uint64_t roAddress = 0;
    if (cacheGet(cache, rw, &roAddress)) {
        if (readConstOrTask(image, cache, roAddress, ro, roSize) != QVCRASH_ESUCCESS) {
            QVCRASH_DEBUG("Failed to read validated class_ro data at 0x%llx", (unsigned long long)roAddress);
            return QVCRASH_EINVALID_DATA;
        }
        return QVCRASH_ESUCCESS;
    }
    uint8_t rwHead[16];
    const uint64_t rwSize = image->m64 ? 16 : 12;
    qvcrash_error_t err = MSqvcrash_async_task_memcpy(image->task, rw, 0, rwHead, static_cast<size_t>(rwSize));
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("qvcrash_async_task_memcpy at 0x%llx error %d", (unsigned long long)rw, (int)err);
        return QVCRASH_EINVALID_DATA;
    }
    const uint32_t flags = word32At(image, rwHead, 0);
    if ((flags & kRealized) == 0) return QVCRASH_ENOTFOUND;
    // After the flags and version words.
    roAddress = image->m64 ? wordAt(image, rwHead, 1) : word32At(image, rwHead, 8);
    const void* inConst = (flags & kCopiedRO) == 0 ? qvcrash_async_mobject_remap_address(
                                                         &cache->objc_const, roAddress, 0, static_cast<size_t>(roSize))
                                                   : nullptr;
    if (inConst != nullptr) {
        qvcrash_async_memcpy(ro, inConst, static_cast<size_t>(roSize));
    } else if (MSqvcrash_async_task_memcpy(image->task, roAddress, 0, ro, static_cast<size_t>(roSize)) !=
               QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("qvcrash_async_task_memcpy at 0x%llx returned NULL", (unsigned long long)roAddress);
        return QVCRASH_EINVALID_DATA;
    }
    cacheSet(cache, rw, roAddress);
    return QVCRASH_ESUCCESS;
}

// The name and base-method fields of the read-only data.
uint64_t roName(const qvcrash_async_macho_t* image, const uint8_t* ro) { return wordAt(image, ro + (image->m64 ? 24 : 16), 0); }
uint64_t roMethods(const qvcrash_async_macho_t* image, const uint8_t* ro) { return wordAt(image, ro + (image->m64 ? 32 : 20), 0); }

qvcrash_error_t parseClass(const qvcrash_async_macho_t* image, qvcrash_async_objc_cache_t* cache,
                           const void* classRecord, bool classSide, const Visitor& visitor) {
    uint8_t ro[72];
    qvcrash_error_t err = readClassRO(image, cache, classRecord, ro);
    if (err != QVCRASH_ESUCCESS) return err;
    qvcrash_async_macho_string_t className;
    const uint64_t name = roName(image, ro);
    if ((err = qvcrash_async_macho_string_init(&className, image, name)) != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("qvcrash_async_macho_string_init at 0x%llx error %d", (unsigned long long)name, (int)err);
        return QVCRASH_EINVALID_DATA;
    }
    const uint64_t methods = roMethods(image, ro);
    if (methods != 0) err = walkMethodList(image, cache, classSide, &className, methods, visitor);
    qvcrash_async_macho_string_free(&className);
    return err;
}

qvcrash_error_t parseClasses(const qvcrash_async_macho_t* image, qvcrash_async_objc_cache_t* cache,
                             const Visitor& visitor) {
    if (!cache->class_list_mapped) return QVCRASH_ESUCCESS;
    const qvcrash_async_mobject_t* list = &cache->class_list;
    const void* pointers = qvcrash_async_mobject_remap_address(list, list->task_address, 0, static_cast<size_t>(list->length));
    if (pointers == nullptr) return QVCRASH_EINVALID_DATA;
    const uint64_t count = list->length / wordSize(image);
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t classAddress = wordAt(image, pointers, i);
        const void* record =
            qvcrash_async_mobject_remap_address(&cache->objc_data, classAddress, 0, static_cast<size_t>(classSize(image)));
        if (record == nullptr) {
            QVCRASH_DEBUG("qvcrash_async_mobject_remap_address in objcDataMobj for pointer %llx returned NULL",
                          (unsigned long long)classAddress);
            return QVCRASH_EINVALID_DATA;
        }
        qvcrash_error_t err = parseClass(image, cache, record, false, visitor);
        if (err == QVCRASH_ENOTFOUND) continue;  // not realised
        if (err != QVCRASH_ESUCCESS) {
            QVCRASH_DEBUG("qv_async_objc_parse_objc2_class error %d while parsing class", (int)err);
            return err;
        }
        const uint64_t metaAddress = isaPointer(image, wordAt(image, record, 0));
        const void* meta =
            qvcrash_async_mobject_remap_address(&cache->objc_data, metaAddress, 0, static_cast<size_t>(classSize(image)));
        if (meta == nullptr) {
            QVCRASH_DEBUG("qvcrash_async_mobject_remap_address in objcDataMobj for pointer %llx returned NULL",
                          (unsigned long long)metaAddress);
            return QVCRASH_EINVALID_DATA;
        }
        err = parseClass(image, cache, meta, true, visitor);
        if (err != QVCRASH_ESUCCESS) {
            QVCRASH_DEBUG("qv_async_objc_parse_objc2_class error %d while parsing metaclass", (int)err);
            return err;
        }
    }
    return QVCRASH_ESUCCESS;
}

qvcrash_error_t parseCategories(const qvcrash_async_macho_t* image, qvcrash_async_objc_cache_t* cache,
                                const Visitor& visitor) {
    if (!cache->cat_list_mapped) return QVCRASH_ESUCCESS;
    const qvcrash_async_mobject_t* list = &cache->cat_list;
    const uint64_t count = list->length / wordSize(image);
    if (count == 0) return QVCRASH_ESUCCESS;
    const void* pointers = qvcrash_async_mobject_remap_address(list, list->task_address, 0, static_cast<size_t>(list->length));
    if (pointers == nullptr) {
        QVCRASH_DEBUG("qvcrash_async_mobject_remap_address in catMobj for pointer %llx returned NULL",
                      (unsigned long long)list->task_address);
        return QVCRASH_EINVALID_DATA;
    }
    const uint64_t size = classSize(image);
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t categoryAddress = wordAt(image, pointers, i);
        const void* category = qvcrash_async_mobject_remap_address(&cache->objc_const, categoryAddress, 0,
                                                                   static_cast<size_t>(categorySize(image)));
        if (category == nullptr) {
            QVCRASH_DEBUG("qvcrash_async_mobject_remap_address in catMobj for pointer %llx returned NULL",
                          (unsigned long long)categoryAddress);
            return QVCRASH_EINVALID_DATA;
        }
        // name, class, instance methods, class methods, ...
        const uint64_t classAddress = wordAt(image, category, 1);
        uint8_t classCopy[40];
        const void* record = qvcrash_async_mobject_remap_address(&cache->objc_data, classAddress, 0, static_cast<size_t>(size));
        if (record == nullptr) {
            if (MSqvcrash_async_task_memcpy(image->task, classAddress, 0, classCopy, static_cast<size_t>(size)) !=
                QVCRASH_ESUCCESS) {
                QVCRASH_DEBUG("qvcrash_async_task_memcpy() for pointer %llx returned NULL", (unsigned long long)classAddress);
                return QVCRASH_EINVALID_DATA;
            }
            record = classCopy;
        }
        uint8_t ro[72];
        qvcrash_error_t err = readClassRO(image, cache, record, ro);
        if (err == QVCRASH_ENOTFOUND) continue;  // its class is not realised
        if (err != QVCRASH_ESUCCESS) {
            QVCRASH_DEBUG("qv_async_objc_parse_objc2_class error %d while parsing class", (int)err);
            return err;
        }
        qvcrash_async_macho_string_t className;
        const uint64_t name = roName(image, ro);
        if ((err = qvcrash_async_macho_string_init(&className, image, name)) != QVCRASH_ESUCCESS) {
            QVCRASH_DEBUG("qvcrash_async_macho_string_init at 0x%llx error %d", (unsigned long long)name, (int)err);
            return QVCRASH_EINVALID_DATA;
        }
        const uint64_t instanceMethods = wordAt(image, category, 2);
        const uint64_t classMethods = wordAt(image, category, 3);
        if (instanceMethods != 0) err = walkMethodList(image, cache, false, &className, instanceMethods, visitor);
        if (err == QVCRASH_ESUCCESS && classMethods != 0) {
            err = walkMethodList(image, cache, true, &className, classMethods, visitor);
        }
        qvcrash_async_macho_string_free(&className);
        if (err != QVCRASH_ESUCCESS) {
            QVCRASH_DEBUG("qv_async_objc_parse_objc2_class error %d while parsing class", (int)err);
            return err;
        }
    }
    return QVCRASH_ESUCCESS;
}

// ---- legacy metadata (32-bit words) ----

qvcrash_error_t readTask32(const qvcrash_async_macho_t* image, uint64_t address, int64_t offset, uint32_t* out) {
    qvcrash_error_t err = MSqvcrash_async_task_read_uint32(image->task, image->byteorder, address, offset, out);
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("qvcrash_async_task_memcpy at 0x%llx error %d", (unsigned long long)(address + offset), (int)err);
    }
    return err;
}

qvcrash_error_t walkLegacyMethodList(const qvcrash_async_macho_t* image, bool classSide,
                                     qvcrash_async_macho_string_t* className, uint64_t list, const Visitor& visitor) {
    uint32_t count;
    qvcrash_error_t err = readTask32(image, list, 4, &count);  // after the obsolete word
    for (uint32_t i = 0; err == QVCRASH_ESUCCESS && i < count; ++i) {
        uint32_t name, imp;
        const int64_t at = 8 + (int64_t)i * 12;  // name, types, implementation
        if ((err = readTask32(image, list, at, &name)) != QVCRASH_ESUCCESS ||
            (err = readTask32(image, list, at + 8, &imp)) != QVCRASH_ESUCCESS) {
            break;
        }
        qvcrash_async_macho_string_t methodName;
        if ((err = qvcrash_async_macho_string_init(&methodName, image, name)) != QVCRASH_ESUCCESS) {
            QVCRASH_DEBUG("qvcrash_async_macho_string_init at 0x%llx error %d", (unsigned long long)name, (int)err);
            break;
        }
        visitor.callback(classSide, className, &methodName, imp, visitor.context);
        qvcrash_async_macho_string_free(&methodName);
    }
    return err;
}

// A legacy class (40 bytes at address): isa, super, name, version, info, size, ivars, methods, ...
qvcrash_error_t parseLegacyClass(const qvcrash_async_macho_t* image, uint64_t address, bool classSide,
                                 const Visitor& visitor) {
    uint32_t name, info, methodLists;
    qvcrash_error_t err;
    if ((err = readTask32(image, address, 8, &name)) != QVCRASH_ESUCCESS ||
        (err = readTask32(image, address, 16, &info)) != QVCRASH_ESUCCESS ||
        (err = readTask32(image, address, 28, &methodLists)) != QVCRASH_ESUCCESS) {
        return err;
    }
    qvcrash_async_macho_string_t className;
    if ((err = qvcrash_async_macho_string_init(&className, image, name)) != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("qvcrash_async_macho_string_init at 0x%llx error %d", (unsigned long long)name, (int)err);
        return err;
    }
    if (methodLists == 0) {
        // no methods
    } else if ((info & kNoMethodArray) != 0) {
        err = walkLegacyMethodList(image, classSide, &className, methodLists, visitor);
    } else {
        for (int64_t i = 0; err == QVCRASH_ESUCCESS; ++i) {
            uint32_t list;
            if ((err = readTask32(image, methodLists, i * 4, &list)) != QVCRASH_ESUCCESS) break;
            if (list == 0 || list == 0xFFFFFFFF) break;
            err = walkLegacyMethodList(image, classSide, &className, list, visitor);
        }
    }
    qvcrash_async_macho_string_free(&className);
    return err;
}

qvcrash_error_t parseModuleInfo(const qvcrash_async_macho_t* image, const Visitor& visitor) {
    qvcrash_async_mobject_t modules;
    qvcrash_error_t err = MSqvcrash_async_macho_map_section(image, "__OBJC", "__module_info", &modules);
    if (err != QVCRASH_ESUCCESS) {
        if (err != QVCRASH_ENOTFOUND) {
            QVCRASH_DEBUG("qv_async_macho_map_section(%p, %s, %s, %p) failure %d", (const void*)image, "__OBJC",
                          "__module_info", (void*)&modules, (int)err);
        }
        return err;
    }
    const void* base = qvcrash_async_mobject_remap_address(&modules, modules.task_address, 0, static_cast<size_t>(modules.length));
    if (base == nullptr) {
        QVCRASH_DEBUG("Failed to obtain pointer from %s memory object", "__module_info");
        MSqvcrash_async_mobject_free(&modules);
        return QVCRASH_ENOTFOUND;
    }
    // Modules of 16 bytes: version, size, name, symbol table.
    for (uint64_t at = 0; err == QVCRASH_ESUCCESS && at + 16 <= modules.length; at += 16) {
        const uint32_t symtab = word32At(image, base, at + 12);
        if (symtab == 0) continue;
        uint16_t classCount;
        err = MSqvcrash_async_task_read_uint16(image->task, image->byteorder, symtab, 8, &classCount);
        if (err != QVCRASH_ESUCCESS) {
            QVCRASH_DEBUG("qvcrash_async_task_memcpy at 0x%llx error %d", (unsigned long long)symtab, (int)err);
            break;
        }
        for (uint32_t i = 0; err == QVCRASH_ESUCCESS && i < classCount; ++i) {
            uint32_t classAddress, metaAddress;
            if ((err = readTask32(image, symtab, 12 + (int64_t)i * 4, &classAddress)) != QVCRASH_ESUCCESS) break;
            if ((err = parseLegacyClass(image, classAddress, false, visitor)) != QVCRASH_ESUCCESS) {
                QVCRASH_DEBUG("qv_async_parse_obj1_class error %d while parsing class", (int)err);
                break;
            }
            if ((err = readTask32(image, classAddress, 0, &metaAddress)) != QVCRASH_ESUCCESS) break;
            if ((err = parseLegacyClass(image, metaAddress, true, visitor)) != QVCRASH_ESUCCESS) {
                QVCRASH_DEBUG("qv_async_parse_obj1_class error %d while parsing metaclass", (int)err);
            }
        }
    }
    MSqvcrash_async_mobject_free(&modules);
    return err;
}

// ---- lookup ----

struct BestMethod {
    uint64_t address;
    uint64_t best;
};

void findBest(bool, qvcrash_async_macho_string_t*, qvcrash_async_macho_string_t*, uint64_t imp, void* context) {
    auto* state = static_cast<BestMethod*>(context);
    if (imp <= state->address && imp > state->best) state->best = imp;
}

struct ReportBest {
    uint64_t best;
    bool armed;
    qvcrash_async_objc_found_method_cb callback;
    void* context;
};

void reportBest(bool classSide, qvcrash_async_macho_string_t* className, qvcrash_async_macho_string_t* methodName,
                uint64_t imp, void* context) {
    auto* state = static_cast<ReportBest*>(context);
    if (!state->armed || imp != state->best) return;
    state->callback(classSide, className, methodName, imp, state->context);
    state->armed = false;
}

}  // namespace

qvcrash_error_t MSqvcrash_async_objc_cache_init(qvcrash_async_objc_cache_t* cache) {
    qvcrash_async_memset(cache, 0, sizeof(*cache));
    return QVCRASH_ESUCCESS;
}

void MSqvcrash_async_objc_cache_free(qvcrash_async_objc_cache_t* cache) {
    freeSections(cache);
    if (cache->class_cache_size != 0) {
        pc::releasePages(cache->class_cache_keys, 2 * QVCRASH_ASYNC_OBJC_CLASS_CACHE_SIZE * sizeof(uint64_t));
    }
    cache->class_cache_size = 0;
    cache->class_cache_keys = cache->class_cache_values = nullptr;
}

qvcrash_error_t qv_async_objc_parse(qvcrash_async_macho_t* image, qvcrash_async_objc_cache_t* cache,
                                    qvcrash_async_objc_found_method_cb callback, void* context) {
    if (cache == nullptr) return QVCRASH_EACCESS;
    const Visitor visitor{callback, context};
    if (!cache->got_modern_info) {
        qvcrash_error_t err = parseModuleInfo(image, visitor);
        if (err != QVCRASH_ENOTFOUND) return err;
    }
    qvcrash_error_t err = mapSections(image, cache);
    if (err != QVCRASH_ESUCCESS) {
        if (err != QVCRASH_ENOTFOUND) QVCRASH_DEBUG("Unable to map relevant sections for ObjC2 class parsing, error %d", (int)err);
        return err;
    }
    if ((err = parseClasses(image, cache, visitor)) != QVCRASH_ESUCCESS) return err;
    if ((err = parseCategories(image, cache, visitor)) != QVCRASH_ESUCCESS) return err;
    cache->got_modern_info = true;
    return QVCRASH_ESUCCESS;
}

qvcrash_error_t MSqvcrash_async_objc_find_method(qvcrash_async_macho_t* image, qvcrash_async_objc_cache_t* cache,
                                                 uint64_t imp, qvcrash_async_objc_found_method_cb callback,
                                                 void* context) {
    BestMethod best{imp, 0};
    qvcrash_error_t err = qv_async_objc_parse(image, cache, findBest, &best);
    if (err != QVCRASH_ESUCCESS) {
        if (err != QVCRASH_ENOTFOUND) {
            QVCRASH_DEBUG("qv_async_objc_parse(%p, 0x%llx, %p, %p) failure %d", (void*)image, (unsigned long long)imp,
                          (void*)callback, context, (int)err);
        }
        return err;
    }
    if (best.best == 0) return QVCRASH_ENOTFOUND;
    ReportBest report{best.best, true, callback, context};
    return qv_async_objc_parse(image, cache, reportBest, &report);
}

}  // namespace quorvane
