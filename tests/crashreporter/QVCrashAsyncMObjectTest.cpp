#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "crashreporter/capture/QVCrashAsyncMObject.h"
#include "crashreporter/capture/QVCrashAsyncImage.h"
#include "platform/crash/TaskMemory.h"

using namespace quorvane;

namespace {

const qvcrash_task_t kSelf = quorvane::platform::crash::taskSelf();

// Two pages of memory whose second page can be taken away.
class TwoPages {
public:
    TwoPages() {
        page_ = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        base_ = static_cast<char*>(::mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        for (size_t i = 0; i < 2 * page_; ++i) base_[i] = static_cast<char>('a' + i % 26);
    }
    ~TwoPages() { ::munmap(base_, 2 * page_); }
    // Makes the second page unreadable (unmapping it would leave a hole that the next mapping,
    // a memory object's own pages included, could fill).
    void dropSecondPage() { ::mprotect(base_ + page_, page_, PROT_NONE); }
    char* base() const { return base_; }
    size_t page() const { return page_; }
    uint64_t at(size_t offset) const { return reinterpret_cast<uintptr_t>(base_ + offset); }

private:
    char* base_;
    size_t page_;
};

}  // namespace

TEST(QVCrashAsyncMObject, MapsACopyFromThePageStartAndChecksEveryAccess) {
    TwoPages mem;
    qvcrash_async_mobject_t mobj;
    // Starts in the middle of a page and crosses into the next.
    ASSERT_EQ(MSqvcrash_async_mobject_init(&mobj, kSelf, mem.at(100), mem.page(), true), QVCRASH_ESUCCESS);
    EXPECT_EQ(MSqvcrash_async_mobject_base_address(&mobj), mem.at(100));
    EXPECT_EQ(MSqvcrash_async_mobject_length(&mobj), mem.page());
    EXPECT_EQ(MSqvcrash_async_mobject_task(&mobj), kSelf);
    EXPECT_EQ(mobj.vm_address % mem.page(), 0u);
    EXPECT_EQ(mobj.address - mobj.vm_address, 100u);
    EXPECT_NE(mobj.address, mem.at(100));  // a copy, not the original
    EXPECT_EQ(std::memcmp(reinterpret_cast<void*>(mobj.address), mem.base() + 100, mem.page()), 0);

    // The copy is a snapshot.
    mem.base()[100] = '#';
    uint8_t byte = 0;
    ASSERT_EQ(MSqvcrash_async_mobject_read_uint8(&mobj, mem.at(100), 0, &byte), QVCRASH_ESUCCESS);
    EXPECT_EQ(byte, 'a' + 100 % 26);

    // The last byte translates, one past it does not; negative offsets are checked too.
    const uint64_t last = mem.at(100) + mem.page() - 1;
    EXPECT_NE(qvcrash_async_mobject_remap_address(&mobj, last, 0, 1), nullptr);
    EXPECT_EQ(qvcrash_async_mobject_remap_address(&mobj, last + 1, 0, 1), nullptr);
    EXPECT_NE(qvcrash_async_mobject_remap_address(&mobj, last + 1, 0, 0), nullptr);  // empty at the very end
    EXPECT_EQ(qvcrash_async_mobject_remap_address(&mobj, mem.at(100), -1, 1), nullptr);
    EXPECT_NE(qvcrash_async_mobject_remap_address(&mobj, mem.at(101), -1, 1), nullptr);
    EXPECT_EQ(qvcrash_async_mobject_remap_address(&mobj, mem.at(100), 0, mem.page() + 1), nullptr);
    EXPECT_FALSE(MSqvcrash_async_mobject_verify_local_pointer(&mobj, UINTPTR_MAX - 1, 4, 1));
    EXPECT_FALSE(MSqvcrash_async_mobject_verify_local_pointer(&mobj, mobj.address, INT64_MIN, 1));
    EXPECT_FALSE(MSqvcrash_async_mobject_verify_local_pointer(&mobj, mobj.address, 0, SIZE_MAX));

    uint32_t word = 0;
    EXPECT_EQ(MSqvcrash_async_mobject_read_uint32(&mobj, MSqvcrash_async_byteorder_swapped(), mem.at(100), 0, &word),
              QVCRASH_ESUCCESS);
    uint32_t raw;
    std::memcpy(&raw, reinterpret_cast<void*>(mobj.address), 4);
    EXPECT_EQ(word, __builtin_bswap32(raw));
    EXPECT_EQ(MSqvcrash_async_mobject_read_uint64(&mobj, MSqvcrash_async_byteorder_direct(), last, -6, nullptr),
              QVCRASH_EINVAL);
    uint16_t half = 0;
    EXPECT_EQ(MSqvcrash_async_mobject_read_uint16(&mobj, MSqvcrash_async_byteorder_direct(), last, 0, &half),
              QVCRASH_EINVAL);
    MSqvcrash_async_mobject_free(&mobj);
}

TEST(QVCrashAsyncMObject, BadRangesGiveCodesNotFaults) {
    TwoPages mem;
    mem.dropSecondPage();
    qvcrash_async_mobject_t mobj;

    // The tail is unmapped: a partial object is shorter, a full one fails.
    EXPECT_EQ(MSqvcrash_async_mobject_init(&mobj, kSelf, mem.at(16), 2 * mem.page(), true), QVCRASH_ENOMEM);
    ASSERT_EQ(MSqvcrash_async_mobject_init(&mobj, kSelf, mem.at(16), 2 * mem.page(), false), QVCRASH_ESUCCESS);
    EXPECT_EQ(MSqvcrash_async_mobject_length(&mobj), mem.page() - 16);
    EXPECT_EQ(qvcrash_async_mobject_remap_address(&mobj, mem.at(mem.page()), 0, 1), nullptr);
    MSqvcrash_async_mobject_free(&mobj);

    // Nothing mappable at all.
    EXPECT_EQ(MSqvcrash_async_mobject_init(&mobj, kSelf, mem.at(mem.page()), 8, false), QVCRASH_ENOMEM);
    EXPECT_EQ(MSqvcrash_async_mobject_init(&mobj, kSelf, 16, 64, false), QVCRASH_ENOMEM);
    // A range running off the end of the address space.
    EXPECT_EQ(MSqvcrash_async_mobject_init(&mobj, kSelf, UINT64_MAX - 8, 64, false), QVCRASH_ENOMEM);

    // Unreadable (but mapped) memory is refused the same way.
    void* guard = ::mmap(nullptr, mem.page(), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_EQ(MSqvcrash_async_mobject_init(&mobj, kSelf, reinterpret_cast<uintptr_t>(guard), 8, false), QVCRASH_ENOMEM);
    ::munmap(guard, mem.page());
}

TEST(QVCrashAsyncMObject, StringsAreReadAcrossPagesAndStopAtUnmappedMemory) {
    TwoPages mem;
    qvcrash_async_macho_t image{};
    image.task = kSelf;

    // Longer than the first 4096-byte copy: starts 4000 bytes before the first page's end and
    // ends 200 bytes into the second.
    const size_t start = mem.page() - 4000;
    mem.base()[mem.page() + 200] = '\0';
    qvcrash_async_macho_string_t s;
    ASSERT_EQ(qvcrash_async_macho_string_init(&s, &image, mem.at(start)), QVCRASH_ESUCCESS);
    EXPECT_FALSE(s.mapped);
    uint64_t length = 0;
    ASSERT_EQ(qvcrash_async_macho_string_get_length(&s, &length), QVCRASH_ESUCCESS);
    EXPECT_EQ(length, 4200u);
    const char* p = nullptr;
    ASSERT_EQ(qvcrash_async_macho_string_get_pointer(&s, &p), QVCRASH_ESUCCESS);
    EXPECT_EQ(std::strlen(p), 4200u);
    EXPECT_EQ(std::memcmp(p, mem.base() + start, 4200), 0);
    qvcrash_async_macho_string_free(&s);

    // Without a terminator before unmapped memory the string cannot be read.
    mem.base()[mem.page() + 200] = 'x';
    mem.dropSecondPage();
    ASSERT_EQ(qvcrash_async_macho_string_init(&s, &image, mem.at(mem.page() - 20)), QVCRASH_ESUCCESS);
    EXPECT_EQ(qvcrash_async_macho_string_get_length(&s, &length), QVCRASH_EINVAL);
    EXPECT_EQ(qvcrash_async_macho_string_get_pointer(&s, &p), QVCRASH_EINVAL);
    qvcrash_async_macho_string_free(&s);
}

// The page cache reads whole blocks once, across block edges, and an unreadable block is a code,
// kept, never a fault; what it holds is the copy made when the block was first read.
TEST(QVCrashAsyncMObject, PageCacheReadsBlocksOnceAndGivesCodesForUnreadableOnes) {
    TwoPages pages;
    static qvcrash_async_page_cache_t cache;
    MSqvcrash_async_page_cache_init(&cache, kSelf);
    const size_t page = pages.page();
    char buf[16] = {};
    ASSERT_EQ(MSqvcrash_async_page_cache_read(&cache, pages.at(0), 3, buf, 4), QVCRASH_ESUCCESS);
    EXPECT_EQ(std::memcmp(buf, pages.base() + 3, 4), 0);
    // Across the two pages.
    ASSERT_EQ(MSqvcrash_async_page_cache_read(&cache, pages.at(page - 6), 0, buf, 12), QVCRASH_ESUCCESS);
    EXPECT_EQ(std::memcmp(buf, pages.base() + page - 6, 12), 0);
    // A cached block is a copy.
    pages.base()[3] = '#';
    ASSERT_EQ(MSqvcrash_async_page_cache_read(&cache, pages.at(3), 0, buf, 1), QVCRASH_ESUCCESS);
    EXPECT_NE(buf[0], '#');

    // The second page made unreadable: a fresh cache reads the first, fails on the second.
    pages.dropSecondPage();
    MSqvcrash_async_page_cache_init(&cache, kSelf);
    EXPECT_EQ(MSqvcrash_async_page_cache_read(&cache, pages.at(page - 4), 0, buf, 8), QVCRASH_EACCESS);
    EXPECT_EQ(MSqvcrash_async_page_cache_read(&cache, pages.at(page + 8), 0, buf, 8), QVCRASH_EACCESS);
    EXPECT_EQ(MSqvcrash_async_page_cache_read(&cache, pages.at(0), 0, buf, 8), QVCRASH_ESUCCESS);
    EXPECT_EQ(MSqvcrash_async_page_cache_read(&cache, 0x10, 0, buf, 8), QVCRASH_ENOTFOUND);
    EXPECT_EQ(MSqvcrash_async_page_cache_read(&cache, UINT64_MAX - 2, 0, buf, 8), QVCRASH_ENOMEM);
}
