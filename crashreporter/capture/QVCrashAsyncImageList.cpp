#include "crashreporter/capture/QVCrashAsyncImageList.h"

#include <link.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "platform/crash/TaskMemory.h"

namespace quorvane {

namespace {

using node_t = quorvane::qvcrash::MS::async::async_list<qvcrash_async_macho_t*>::node;

void freeRecord(qvcrash_async_macho_t* image) {
    MSqvcrash_nasync_macho_free(image);
    delete image;
}

// Frees the records removed earlier once no reader can still hold them. Write lock held.
void reapRetired(qvcrash_async_image_list_t* list) {
    if (list->retired.empty() || list->list.reader_count() != 0) return;
    for (auto* image : list->retired) freeRecord(image);
    list->retired.clear();
}

void appendLocked(qvcrash_async_image_list_t* list, uint64_t header, const char* name) {
    auto* image = new qvcrash_async_macho_t{};
    qvcrash_error_t err = MSqvcrash_nasync_macho_init(image, list->task, name, header);
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("Unexpected failure initializing Mach-O structure for %s: %d", name, (int)err);
        delete image;
        return;
    }
    list->list.nasync_append(image);
    reapRetired(list);
}

void removeLocked(qvcrash_async_image_list_t* list, uint64_t header) {
    // Find the node as a reader, but stop reading before unlinking it: the remover is the only
    // one holding it then, and a node nobody reads is freed at once instead of being parked.
    list->list.set_reading(true);
    node_t* found = nullptr;
    for (node_t* n = list->list.next(nullptr); n != nullptr; n = list->list.next(n)) {
        if (n->value()->header_addr == header) {
            found = n;
            break;
        }
    }
    if (found == nullptr) QVCRASH_DEBUG("Can't find header addr=%llu in Mach-O image list.", (unsigned long long)header);
    list->list.set_reading(false);
    if (found == nullptr) return;

    qvcrash_async_macho_t* image = found->value();
    list->list.nasync_remove_node(found);
    // Unlinked: no new reader can reach the record. When no reader is active now, none that
    // started earlier can still hold it either.
    if (list->list.reader_count() == 0) freeRecord(image);
    else list->retired.push_back(image);
    reapRetired(list);
}

struct LoadedImage {
    uint64_t header;
    std::string name;
};

std::string executablePath() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<size_t>(n));
}

int collectImage(struct dl_phdr_info* info, size_t, void* data) {
    auto* out = static_cast<std::vector<LoadedImage>*>(data);
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD && ph.p_offset == 0) {
            // The main program is reported without a name.
            const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            out->push_back({static_cast<uint64_t>(info->dlpi_addr + ph.p_vaddr), name});
            break;
        }
    }
    return 0;
}

}  // namespace

void MSqvcrash_nasync_image_list_init(qvcrash_async_image_list_t* list, qvcrash_task_t task) { list->task = task; }

void MSqvcrash_nasync_image_list_free(qvcrash_async_image_list_t* list) {
    std::lock_guard<std::mutex> guard(list->write_mutex);
    list->list.set_reading(true);
    for (node_t* n = list->list.next(nullptr); n != nullptr; n = list->list.next(n)) freeRecord(n->value());
    list->list.set_reading(false);
    for (auto* image : list->retired) freeRecord(image);
    list->retired.clear();
    list->list.free_all();
}

void MSqvcrash_nasync_image_list_append(qvcrash_async_image_list_t* list, uint64_t header, const char* name) {
    std::lock_guard<std::mutex> guard(list->write_mutex);
    appendLocked(list, header, name);
}

void MSqvcrash_nasync_image_list_remove(qvcrash_async_image_list_t* list, uint64_t header) {
    std::lock_guard<std::mutex> guard(list->write_mutex);
    removeLocked(list, header);
}

qvcrash_error_t MSqvcrash_nasync_image_list_refresh(qvcrash_async_image_list_t* list) {
    if (list->task != quorvane::platform::crash::taskSelf()) return QVCRASH_ENOTSUP;

    std::vector<LoadedImage> loaded;
    ::dl_iterate_phdr(collectImage, &loaded);  // holds the loader's lock: collect only
    std::string exe;
    for (auto& image : loaded) {
        if (!image.name.empty()) continue;
        if (exe.empty()) exe = executablePath();
        image.name = exe;
    }

    std::lock_guard<std::mutex> guard(list->write_mutex);
    std::vector<std::pair<uint64_t, std::string>> present;
    list->list.set_reading(true);
    for (node_t* n = list->list.next(nullptr); n != nullptr; n = list->list.next(n)) {
        present.emplace_back(n->value()->header_addr, n->value()->name);
    }
    list->list.set_reading(false);

    // An image is the same when both its header address and its path are; a library unloaded
    // and another loaded at the same place between two rescans is replaced.
    auto isLoaded = [&loaded](const std::pair<uint64_t, std::string>& p) {
        for (const auto& image : loaded) {
            if (image.header == p.first && image.name == p.second) return true;
        }
        return false;
    };
    for (const auto& p : present) {
        if (!isLoaded(p)) removeLocked(list, p.first);
    }
    for (const auto& image : loaded) {
        bool known = false;
        for (const auto& p : present) {
            if (p.first == image.header && p.second == image.name) known = true;
        }
        if (!known) appendLocked(list, image.header, image.name.c_str());
    }
    reapRetired(list);
    return QVCRASH_ESUCCESS;
}

void MSqvcrash_nasync_image_list_set_reading(qvcrash_async_image_list_t* list, bool enable) {
    list->list.set_reading(enable);
}

qvcrash_async_macho_t* MSqvcrash_nasync_image_list_next(qvcrash_async_image_list_t* list,
                                                        qvcrash_async_macho_t* current) {
    node_t* n;
    if (current == nullptr) {
        n = list->list.next(nullptr);
    } else {
        auto* from = static_cast<node_t*>(current->list_node.load(std::memory_order_acquire));
        if (from == nullptr) {
            // A record no walk has passed yet: find its node. Starting over from the head
            // instead would hand the first record back to a caller that is already past it,
            // and a walk from a record that is not in the list would never end.
            for (from = list->list.next(nullptr); from != nullptr && from->value() != current;
                 from = list->list.next(from)) {
            }
            if (from == nullptr) return nullptr;
            void* expected = nullptr;
            current->list_node.compare_exchange_strong(expected, from, std::memory_order_acq_rel);
        }
        n = list->list.next(from);
    }
    if (n == nullptr) return nullptr;
    qvcrash_async_macho_t* image = n->value();
    void* expected = nullptr;
    image->list_node.compare_exchange_strong(expected, n, std::memory_order_acq_rel);
    return image;
}

qvcrash_async_macho_t* MSqvcrash_nasync_image_list_find_image_for_address(qvcrash_async_image_list_t* list,
                                                                          uint64_t address) {
    for (auto* image = MSqvcrash_nasync_image_list_next(list, nullptr); image != nullptr;
         image = MSqvcrash_nasync_image_list_next(list, image)) {
        if (MSqvcrash_async_macho_contains_address(image, address)) return image;
    }
    return nullptr;
}

qvcrash_async_image_list_t* MSqvcrash_shared_image_list() {
    static std::once_flag once;
    static qvcrash_async_image_list_t* shared = nullptr;
    std::call_once(once, [] {
        shared = new qvcrash_async_image_list_t();
        MSqvcrash_nasync_image_list_init(shared, quorvane::platform::crash::taskSelf());
        MSqvcrash_nasync_image_list_refresh(shared);
    });
    return shared;
}

void MSqvcrash_async_image_list_adopt_task(qvcrash_async_image_list_t* list, qvcrash_task_t task) {
    if (list->task == task) return;
    list->list.set_reading(true);
    for (node_t* n = list->list.next(nullptr); n != nullptr; n = list->list.next(n)) n->value()->task = task;
    list->list.set_reading(false);
    list->task = task;
}

qvcrash_error_t MSqvcrash_nasync_shared_image_list_update() {
    qvcrash_async_image_list_t* list = MSqvcrash_shared_image_list();
    const qvcrash_task_t self = quorvane::platform::crash::taskSelf();
    if (list->task != self) {
        std::lock_guard<std::mutex> guard(list->write_mutex);
        std::vector<uint64_t> headers;
        list->list.set_reading(true);
        for (node_t* n = list->list.next(nullptr); n != nullptr; n = list->list.next(n)) {
            headers.push_back(n->value()->header_addr);
        }
        list->list.set_reading(false);
        for (uint64_t header : headers) removeLocked(list, header);
        list->task = self;
    }
    return MSqvcrash_nasync_image_list_refresh(list);
}

}  // namespace quorvane
