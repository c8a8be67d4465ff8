#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "crashreporter/capture/QVCrashAsyncImageList.h"
#include "platform/crash/TaskMemory.h"

using namespace quorvane;

extern "C" __attribute__((noinline, used)) int qvtest_image_list_known_function(int x) {
    asm volatile("");
    return x + 7;
}

namespace {

const qvcrash_task_t kSelf = quorvane::platform::crash::taskSelf();

std::vector<std::string> names(qvcrash_async_image_list_t* list) {
    std::vector<std::string> out;
    MSqvcrash_nasync_image_list_set_reading(list, true);
    for (auto* image = MSqvcrash_nasync_image_list_next(list, nullptr); image != nullptr;
         image = MSqvcrash_nasync_image_list_next(list, image)) {
        out.push_back(image->name);
    }
    MSqvcrash_nasync_image_list_set_reading(list, false);
    return out;
}

qvcrash_async_macho_t* find(qvcrash_async_image_list_t* list, const void* address) {
    MSqvcrash_nasync_image_list_set_reading(list, true);
    auto* image = MSqvcrash_nasync_image_list_find_image_for_address(list, reinterpret_cast<uintptr_t>(address));
    MSqvcrash_nasync_image_list_set_reading(list, false);
    return image;
}

uint64_t headerOf(const void* code) {
    Dl_info info{};
    EXPECT_NE(::dladdr(code, &info), 0);
    return reinterpret_cast<uintptr_t>(info.dli_fbase);
}

// A small system library the test program does not load by itself.
const char* const kLoadable[] = {"libBrokenLocale.so.1", "libanl.so.1", "libnss_hesiod.so.2"};

}  // namespace

TEST(QVCrashAsyncImageList, TheSharedListHoldsTheLoadedImages) {
    qvcrash_async_image_list_t* list = MSqvcrash_shared_image_list();
    ASSERT_EQ(list, MSqvcrash_shared_image_list());

    auto* own = find(list, reinterpret_cast<const void*>(&qvtest_image_list_known_function));
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->header_addr, headerOf(reinterpret_cast<const void*>(&qvtest_image_list_known_function)));
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(own->name), std::string(exe, size_t(n)));

    void* libc = ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(libc, nullptr);
    auto* libcImage = find(list, ::dlsym(libc, "getpid"));
    ASSERT_NE(libcImage, nullptr);
    EXPECT_NE(std::string(libcImage->name).find("libc.so.6"), std::string::npos);
    ::dlclose(libc);

    // The kernel's vDSO is an image too; its dynamic section holds link-time addresses.
    const uint64_t vdso = ::getauxval(AT_SYSINFO_EHDR);
    if (vdso != 0) {
        MSqvcrash_nasync_image_list_set_reading(list, true);
        qvcrash_async_macho_t* image = MSqvcrash_nasync_image_list_find_image_for_address(list, vdso);
        MSqvcrash_nasync_image_list_set_reading(list, false);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->header_addr, vdso);
        uint64_t address = 0;
        ASSERT_EQ(MSqvcrash_async_macho_find_symbol_by_name(image, "__vdso_clock_gettime", &address), QVCRASH_ESUCCESS);
        EXPECT_TRUE(MSqvcrash_async_macho_contains_address(image, address));
        struct Found {
            uint64_t address = 0;
        } found;
        ASSERT_EQ(MSqvcrash_async_macho_find_symbol_by_pc(
                      image, address + 2, [](uint64_t a, const char*, void* c) { static_cast<Found*>(c)->address = a; },
                      &found),
                  QVCRASH_ESUCCESS);
        EXPECT_EQ(found.address, address);
    }

    // As many images as the loader reports, in its order.
    size_t loaderCount = 0;
    ::dl_iterate_phdr([](dl_phdr_info*, size_t, void* data) { return ++*static_cast<size_t*>(data), 0; },
                      &loaderCount);
    ASSERT_EQ(MSqvcrash_nasync_image_list_refresh(list), QVCRASH_ESUCCESS);
    EXPECT_EQ(names(list).size(), loaderCount);
    EXPECT_EQ(find(list, nullptr), nullptr);
}

TEST(QVCrashAsyncImageList, ARefreshFollowsDlopenAndDlclose) {
    qvcrash_async_image_list_t* list = MSqvcrash_shared_image_list();
    ASSERT_EQ(MSqvcrash_nasync_image_list_refresh(list), QVCRASH_ESUCCESS);

    const char* chosen = nullptr;
    for (const char* name : kLoadable) {
        void* already = ::dlopen(name, RTLD_NOW | RTLD_NOLOAD);
        if (already != nullptr) {
            ::dlclose(already);
            continue;
        }
        chosen = name;
        break;
    }
    if (chosen == nullptr) GTEST_SKIP() << "no unloaded system library to load";

    auto holds = [&](const char* name) {
        for (const auto& n : names(list)) {
            if (n.find(name) != std::string::npos) return true;
        }
        return false;
    };
    EXPECT_FALSE(holds(chosen));
    void* handle = ::dlopen(chosen, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << ::dlerror();
    EXPECT_FALSE(holds(chosen));  // nothing tells the list by itself
    ASSERT_EQ(MSqvcrash_nasync_image_list_refresh(list), QVCRASH_ESUCCESS);
    EXPECT_TRUE(holds(chosen));

    // The new record is the one holding the library's dynamic section.
    struct link_map* map = nullptr;
    ASSERT_EQ(::dlinfo(handle, RTLD_DI_LINKMAP, &map), 0);
    auto* image = find(list, map->l_ld);
    ASSERT_NE(image, nullptr);
    EXPECT_NE(std::string(image->name).find(chosen), std::string::npos);
    EXPECT_EQ(image->vmaddr_slide, static_cast<uint64_t>(map->l_addr));

    ASSERT_EQ(::dlclose(handle), 0);
    ASSERT_EQ(MSqvcrash_nasync_image_list_refresh(list), QVCRASH_ESUCCESS);
    // The list follows the loader: the library is gone unless the loader kept it.
    void* still = ::dlopen(chosen, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(holds(chosen), still != nullptr);
    if (still != nullptr) ::dlclose(still);
    EXPECT_EQ(still, nullptr) << chosen << " stayed loaded after dlclose";
}

TEST(QVCrashAsyncImageList, AppendAndRemoveByHeader) {
    qvcrash_async_image_list_t list;
    MSqvcrash_nasync_image_list_init(&list, kSelf);
    EXPECT_TRUE(names(&list).empty());
    EXPECT_EQ(MSqvcrash_nasync_image_list_refresh(&list), QVCRASH_ESUCCESS);
    const size_t loaded = names(&list).size();
    EXPECT_GT(loaded, 1u);

    const uint64_t own = headerOf(reinterpret_cast<const void*>(&qvtest_image_list_known_function));
    MSqvcrash_nasync_image_list_remove(&list, own);
    EXPECT_EQ(names(&list).size(), loaded - 1);
    EXPECT_EQ(find(&list, reinterpret_cast<const void*>(&qvtest_image_list_known_function)), nullptr);
    MSqvcrash_nasync_image_list_remove(&list, own);  // not there: logged, nothing changes
    EXPECT_EQ(names(&list).size(), loaded - 1);

    // Something that is not an image is never appended.
    static const char notAnImage[64] = "not an ELF header";
    MSqvcrash_nasync_image_list_append(&list, reinterpret_cast<uintptr_t>(notAnImage), "bogus");
    EXPECT_EQ(names(&list).size(), loaded - 1);

    MSqvcrash_nasync_image_list_append(&list, own, "/the/test/program");
    EXPECT_EQ(names(&list).back(), "/the/test/program");
    // A refresh replaces the record whose path is not the loaded one.
    EXPECT_EQ(MSqvcrash_nasync_image_list_refresh(&list), QVCRASH_ESUCCESS);
    auto after = names(&list);
    EXPECT_EQ(after.size(), loaded);
    for (const auto& n : after) EXPECT_NE(n, "/the/test/program");

    // A record removed while a reader stands on it stays readable until the reader is done.
    MSqvcrash_nasync_image_list_set_reading(&list, true);
    auto* first = MSqvcrash_nasync_image_list_next(&list, nullptr);
    ASSERT_NE(first, nullptr);
    MSqvcrash_nasync_image_list_remove(&list, first->header_addr);
    EXPECT_NE(first->name, nullptr);  // AddressSanitizer would catch a freed record here
    auto* second = MSqvcrash_nasync_image_list_next(&list, first);  // the walk goes on
    EXPECT_NE(second, nullptr);
    MSqvcrash_nasync_image_list_set_reading(&list, false);
    EXPECT_EQ(names(&list).size(), loaded - 1);

    // A walk from a record that is not in the list ends at once.
    qvcrash_async_macho_t stray{};
    ASSERT_EQ(MSqvcrash_nasync_macho_init(&stray, kSelf, "/stray", own), QVCRASH_ESUCCESS);
    MSqvcrash_nasync_image_list_set_reading(&list, true);
    EXPECT_EQ(MSqvcrash_nasync_image_list_next(&list, &stray), nullptr);
    MSqvcrash_nasync_image_list_set_reading(&list, false);
    MSqvcrash_nasync_macho_free(&stray);

    // Another task's list cannot be filled from this process's loader.
    qvcrash_async_image_list_t other;
    MSqvcrash_nasync_image_list_init(&other, kSelf + 1000000);
    EXPECT_EQ(MSqvcrash_nasync_image_list_refresh(&other), QVCRASH_ENOTSUP);
    MSqvcrash_nasync_image_list_free(&other);

    MSqvcrash_nasync_image_list_free(&list);
    EXPECT_TRUE(names(&list).empty());
}

TEST(QVCrashAsyncImageList, ReadersWalkWhileAWriterChangesTheList) {
    qvcrash_async_image_list_t list;
    MSqvcrash_nasync_image_list_init(&list, kSelf);
    ASSERT_EQ(MSqvcrash_nasync_image_list_refresh(&list), QVCRASH_ESUCCESS);
    const size_t loaded = names(&list).size();

    const uint64_t own = headerOf(reinterpret_cast<const void*>(&qvtest_image_list_known_function));
    void* libc = ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(libc, nullptr);
    const uint64_t libcHeader = headerOf(::dlsym(libc, "getpid"));
    ::dlclose(libc);

    std::atomic<bool> done{false};
    std::atomic<long> walks{0};
    std::atomic<bool> bad{false};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done.load()) {
                MSqvcrash_nasync_image_list_set_reading(&list, true);
                size_t count = 0;
                for (auto* image = MSqvcrash_nasync_image_list_next(&list, nullptr); image != nullptr;
                     image = MSqvcrash_nasync_image_list_next(&list, image)) {
                    // Touch the record: a freed one would be caught by AddressSanitizer.
                    if (image->name == nullptr || image->text_size == 0) bad = true;
                    if (++count > loaded + 8) bad = true;
                }
                auto* hit = MSqvcrash_nasync_image_list_find_image_for_address(
                    &list, reinterpret_cast<uintptr_t>(&qvtest_image_list_known_function));
                if (hit != nullptr && hit->header_addr != own) bad = true;
                MSqvcrash_nasync_image_list_set_reading(&list, false);
                ++walks;
            }
        });
    }

    for (int i = 0; i < 200 || walks.load() < 50; ++i) {
        MSqvcrash_nasync_image_list_remove(&list, own);
        MSqvcrash_nasync_image_list_remove(&list, libcHeader);
        MSqvcrash_nasync_image_list_append(&list, own, "/own");
        MSqvcrash_nasync_image_list_append(&list, libcHeader, "/libc");
    }
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_FALSE(bad.load());
    EXPECT_EQ(names(&list).size(), loaded);
    MSqvcrash_nasync_image_list_free(&list);
}
