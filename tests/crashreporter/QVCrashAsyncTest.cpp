#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <cstdint>
#include <string>
#include <thread>

#include "crashreporter/capture/QVCrashAsync.h"

using namespace quorvane;

namespace {

std::string fmt(const char* format, auto... args) {
    char buf[128];
    size_t n = qvcrash_async_format(buf, sizeof(buf), format, args...);
    EXPECT_EQ(n, std::strlen(buf));
    return buf;
}

// Captures what is written to a descriptor while alive, through a pipe.
class CaptureFd {
public:
    explicit CaptureFd(int fd) : fd_(fd) {
        EXPECT_EQ(::pipe(pipe_), 0);
        saved_ = ::dup(fd);
        ::dup2(pipe_[1], fd);
    }
    std::string finish() {
        ::dup2(saved_, fd_);
        ::close(saved_);
        ::close(pipe_[1]);
        std::string out;
        char buf[256];
        ssize_t n;
        while ((n = ::read(pipe_[0], buf, sizeof(buf))) > 0) out.append(buf, size_t(n));
        ::close(pipe_[0]);
        return out;
    }

private:
    int fd_;
    int saved_;
    int pipe_[2];
};

std::string readAll(int fd) {
    std::string out;
    ::lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof(buf))) > 0) out.append(buf, size_t(n));
    return out;
}

int tempFile() {
    char path[] = "/tmp/qv-async-file-XXXXXX";
    int fd = ::mkstemp(path);
    ::unlink(path);
    return fd;
}

}  // namespace

TEST(QVCrashAsync, ErrorTexts) {
    EXPECT_STREQ(qvcrash_async_strerror(QVCRASH_ESUCCESS), "No error");
    EXPECT_STREQ(qvcrash_async_strerror(QVCRASH_OUTPUT_ERR), "Output file can not be opened (or written to)");
    EXPECT_STREQ(qvcrash_async_strerror(QVCRASH_ENOTFOUND), "Not found");
    EXPECT_STREQ(qvcrash_async_strerror(QVCRASH_EINVALID_DATA), "The input data is in an unknown or invalid format.");
    EXPECT_STREQ(qvcrash_async_strerror(static_cast<qvcrash_error_t>(10)), "Unhandled error code");
}

TEST(QVCrashAsync, FormatsNumbersAndStringsWithoutAllocation) {
    EXPECT_EQ(fmt("%d|%i|%u", -42, 7, 4000000000u), "-42|7|4000000000");
    EXPECT_EQ(fmt("%lld", LLONG_MIN), "-9223372036854775808");
    EXPECT_EQ(fmt("%llu", ULLONG_MAX), "18446744073709551615");
    EXPECT_EQ(fmt("%jd %zu %ld", intmax_t(-1), size_t(12), long(-3)), "-1 12 -3");
    EXPECT_EQ(fmt("%x %X %o", 255u, 255u, 8u), "ff FF 10");
    EXPECT_EQ(fmt("%p", reinterpret_cast<void*>(0x1234)), "0x1234");
    EXPECT_EQ(fmt("%s and %s", "text", static_cast<const char*>(nullptr)), "text and (null)");
    EXPECT_EQ(fmt("[%5d|%-4d|%05d|%02x]", 42, 7, -42, 5u), "[   42|7   |-0042|05]");
    EXPECT_EQ(fmt("100%% %c", 'x'), "100% x");
    EXPECT_EQ(fmt("%hhd %hu", 300, 70000), "44 4464");

    // Cut to the buffer, always terminated.
    char small[6];
    EXPECT_EQ(qvcrash_async_format(small, sizeof(small), "%s", "abcdefgh"), 5u);
    EXPECT_STREQ(small, "abcde");
}

TEST(QVCrashAsync, DebugLogLineGoesToStandardErrorAndIsCut) {
    CaptureFd capture(STDERR_FILENO);
    qvcrash_async_debug_log("some_function", 77, "value %d: %s", 5, "ok");
    qvcrash_async_debug_log("f", 1, "%s", std::string(300, 'x').c_str());
    std::string out = capture.finish();
    std::string expected = "[QVCrashReport] some_function:77: value 5: ok\n[QVCrashReport] f:1: " + std::string(127, 'x') + "\n";
    EXPECT_EQ(out, expected);
}

TEST(QVCrashAsync, WritenWritesEverything) {
    int fd = tempFile();
    ASSERT_GE(fd, 0);
    std::string data(100000, 'q');
    EXPECT_EQ(qvcrash_async_writen(fd, data.data(), data.size()), ssize_t(data.size()));
    EXPECT_EQ(qvcrash_async_writen(fd, data.data(), 0), 0);
    EXPECT_EQ(readAll(fd), data);
    ::close(fd);
    EXPECT_EQ(qvcrash_async_writen(fd, "x", 1), -1);
}

TEST(QVCrashAsync, FileBuffersSmallWritesAndPassesLargeOnes) {
    int fd = tempFile();
    ASSERT_GE(fd, 0);
    qvcrash_async_file_t file;
    MSqvcrash_async_file_init(&file, fd, 0);
    EXPECT_TRUE(MSqvcrash_async_file_write(&file, "abc", 3));
    EXPECT_EQ(readAll(fd), "");  // still buffered
    EXPECT_TRUE(MSqvcrash_async_file_flush(&file));
    EXPECT_EQ(readAll(fd), "abc");

    // More than the buffer holds, with an empty buffer, goes straight to the descriptor.
    std::string big(300, 'b');
    EXPECT_TRUE(MSqvcrash_async_file_write(&file, big.data(), big.size()));
    EXPECT_EQ(file.buflen, 0u);
    EXPECT_EQ(readAll(fd), "abc" + big);

    // A write that does not fit behind buffered bytes flushes them first, in order.
    EXPECT_TRUE(MSqvcrash_async_file_write(&file, "12", 2));
    std::string fill(255, 'f');
    EXPECT_TRUE(MSqvcrash_async_file_write(&file, fill.data(), fill.size()));
    EXPECT_EQ(readAll(fd), "abc" + big + "12");
    EXPECT_TRUE(MSqvcrash_async_file_flush(&file));
    EXPECT_EQ(readAll(fd), "abc" + big + "12" + fill);
    EXPECT_TRUE(MSqvcrash_async_file_close(&file));

    // Writing to a closed descriptor fails at flush time.
    MSqvcrash_async_file_init(&file, fd, 0);
    EXPECT_TRUE(MSqvcrash_async_file_write(&file, "x", 1));
    CaptureFd capture(STDERR_FILENO);
    EXPECT_FALSE(MSqvcrash_async_file_flush(&file));
    EXPECT_NE(capture.finish().find("Error occured writing to crash log: Bad file descriptor"), std::string::npos);
}

TEST(QVCrashAsync, FileLimitRejectsWholeWritesThatDoNotFit) {
    int fd = tempFile();
    ASSERT_GE(fd, 0);
    qvcrash_async_file_t file;
    MSqvcrash_async_file_init(&file, fd, 262144);
    std::string chunk(1000, 'c');
    for (int i = 0; i < 262; ++i) ASSERT_TRUE(MSqvcrash_async_file_write(&file, chunk.data(), chunk.size()));
    EXPECT_EQ(file.total_bytes, 262000u);
    std::string two(200, 'x'), one(100, 'y');
    EXPECT_FALSE(MSqvcrash_async_file_write(&file, two.data(), two.size()));
    EXPECT_EQ(file.total_bytes, 262000u);
    EXPECT_TRUE(MSqvcrash_async_file_write(&file, one.data(), one.size()));
    EXPECT_TRUE(MSqvcrash_async_file_close(&file));
}

TEST(QVCrashAsync, AddressOffsetsStayInTheAddressSpace) {
    uint64_t out = 99;
    EXPECT_FALSE(MSqvcrash_async_address_apply_offset(0, -1, &out));
    EXPECT_EQ(out, 99u);
    EXPECT_FALSE(MSqvcrash_async_address_apply_offset(UINT64_MAX, 1, &out));
    EXPECT_FALSE(MSqvcrash_async_address_apply_offset(5, INT64_MIN, &out));
    EXPECT_TRUE(MSqvcrash_async_address_apply_offset(UINT64_MAX - 1, 1, &out));
    EXPECT_EQ(out, UINT64_MAX);
    EXPECT_TRUE(MSqvcrash_async_address_apply_offset(10, -10, nullptr));
    EXPECT_TRUE(MSqvcrash_async_address_apply_offset(uint64_t(1) << 63, INT64_MIN, &out));
    EXPECT_EQ(out, 0u);
}

TEST(QVCrashAsync, TaskReadsReturnCodesInsteadOfFaulting) {
    const qvcrash_task_t self = quorvane::platform::crash::taskSelf();
    uint64_t value = 0x1122334455667788ULL;
    uint64_t copy = 0;
    auto base = reinterpret_cast<uint64_t>(&value);
    EXPECT_EQ(MSqvcrash_async_task_memcpy(self, base + 4, -4, &copy, sizeof(copy)), QVCRASH_ESUCCESS);
    EXPECT_EQ(copy, value);

    uint16_t v16;
    uint32_t v32;
    uint64_t v64;
    uint8_t v8;
    EXPECT_EQ(MSqvcrash_async_task_read_uint8(self, base, 0, &v8), QVCRASH_ESUCCESS);
    EXPECT_EQ(v8, 0x88);
    EXPECT_EQ(MSqvcrash_async_task_read_uint16(self, MSqvcrash_async_byteorder_direct(), base, 0, &v16), QVCRASH_ESUCCESS);
    EXPECT_EQ(v16, 0x7788);
    EXPECT_EQ(MSqvcrash_async_task_read_uint32(self, MSqvcrash_async_byteorder_swapped(), base, 0, &v32), QVCRASH_ESUCCESS);
    EXPECT_EQ(v32, 0x88776655u);
    EXPECT_EQ(MSqvcrash_async_task_read_uint64(self, MSqvcrash_async_byteorder_swapped(), base, 0, &v64), QVCRASH_ESUCCESS);
    EXPECT_EQ(v64, 0x8877665544332211ULL);

    const size_t page = size_t(::sysconf(_SC_PAGESIZE));
    // Unmapped memory: not found.
    void* gone = ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(gone, MAP_FAILED);
    ASSERT_EQ(::munmap(gone, page), 0);
    EXPECT_EQ(MSqvcrash_async_task_memcpy(self, reinterpret_cast<uint64_t>(gone), 0, &copy, 8), QVCRASH_ENOTFOUND);
    EXPECT_EQ(MSqvcrash_async_task_memcpy(self, 0x10, 0, &copy, 8), QVCRASH_ENOTFOUND);

    // Mapped but unreadable: access denied. Also when only the tail of the range is unreadable.
    auto* two = static_cast<char*>(::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(two, MAP_FAILED);
    ASSERT_EQ(::mprotect(two + page, page, PROT_NONE), 0);
    char buf[16];
    EXPECT_EQ(MSqvcrash_async_task_memcpy(self, reinterpret_cast<uint64_t>(two + page), 0, buf, 8), QVCRASH_EACCESS);
    EXPECT_EQ(MSqvcrash_async_task_memcpy(self, reinterpret_cast<uint64_t>(two + page - 8), 0, buf, 16), QVCRASH_EACCESS);
    EXPECT_EQ(MSqvcrash_async_task_memcpy(self, reinterpret_cast<uint64_t>(two + page - 8), 0, buf, 8), QVCRASH_ESUCCESS);
    ::munmap(two, 2 * page);

    // Mappings named by paths longer than the reading buffer do not confuse the lookup.
    {
        std::string dir = std::filesystem::temp_directory_path().string();
        for (int i = 0; i < 4; ++i) {
            dir += "/" + std::string(200, char('a' + i)) + " 0-ffffffffffffffff r";
            std::filesystem::create_directory(dir);
        }
        std::string file = dir + "/mapped";
        std::FILE* f = std::fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("contents", f);
        std::fclose(f);
        void* blocked = ::mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        int fd = ::open(file.c_str(), O_RDONLY);
        void* named = ::mmap(nullptr, 2 * page, PROT_READ, MAP_PRIVATE, fd, 0);
        ASSERT_NE(blocked, MAP_FAILED);
        ASSERT_NE(named, MAP_FAILED);
        EXPECT_EQ(MSqvcrash_async_task_memcpy(self, reinterpret_cast<uint64_t>(named), 0, buf, 8), QVCRASH_ESUCCESS);
        EXPECT_EQ(std::string(buf, 8), "contents");
        EXPECT_EQ(MSqvcrash_async_task_memcpy(self, reinterpret_cast<uint64_t>(blocked), 0, buf, 8), QVCRASH_EACCESS);
        // A mapped, readable page past the end of the file: bytes that are not there.
        EXPECT_EQ(MSqvcrash_async_task_memcpy(self, reinterpret_cast<uint64_t>(named), int64_t(page), buf, 8),
                  QVCRASH_ENOTFOUND);
        ::munmap(named, 2 * page);
        ::munmap(blocked, page);
        ::close(fd);
        std::filesystem::remove_all(std::filesystem::temp_directory_path() / (std::string(200, 'a') + " 0-ffffffffffffffff r"));
    }

    // An offset that leaves the address space.
    EXPECT_EQ(MSqvcrash_async_task_memcpy(self, 0, -1, &copy, 8), QVCRASH_ENOMEM);
    EXPECT_EQ(MSqvcrash_async_task_memcpy(self, UINT64_MAX - 2, 0, &copy, 8), QVCRASH_ENOMEM);
}

TEST(QVCrashAsync, StringAndMemoryHelpers) {
    EXPECT_EQ(qvcrash_async_strcmp("abc", "abc"), 0);
    EXPECT_LT(qvcrash_async_strcmp("abc", "abd"), 0);
    EXPECT_GT(qvcrash_async_strcmp("abc", "ab"), 0);
    EXPECT_GT(qvcrash_async_strcmp("\xff", "a"), 0);  // unsigned bytes
    EXPECT_EQ(qvcrash_async_strncmp("abcX", "abcY", 3), 0);
    EXPECT_LT(qvcrash_async_strncmp("abcX", "abcY", 4), 0);
    EXPECT_EQ(qvcrash_async_strncmp("a", "a", 10), 0);
    EXPECT_EQ(qvcrash_async_strncmp("x", "y", 0), 0);

    char buf[8] = "1234567";
    qvcrash_async_memset(buf, 'z', 3);
    EXPECT_STREQ(buf, "zzz4567");
    qvcrash_async_memcpy(buf + 3, "ab", 2);
    EXPECT_STREQ(buf, "zzzab67");
    qvcrash_async_memcpy(buf, "nothing", 0);
    EXPECT_STREQ(buf, "zzzab67");
}

TEST(QVCrashAsync, ThreadSelfIsTheKernelThread) {
    qvcrash_thread_t mine = MSpl_mach_thread_self();
    EXPECT_EQ(mine, ::gettid());
    qvcrash_thread_t other = 0;
    std::thread([&] { other = MSpl_mach_thread_self(); }).join();
    EXPECT_NE(other, 0);
    EXPECT_NE(other, mine);
}

TEST(QVCrashAsync, Utf8ScanStopsAtTheFirstInvalidByte) {
    auto scan = [](const std::string& s, size_t max) {
        return MSqvcrash_async_utf8_valid_length(reinterpret_cast<const uint8_t*>(s.data()), max);
    };
    EXPECT_EQ(scan("ab\x80", 3), 2u);
    EXPECT_EQ(scan("\xEF\xBB\xBFok", 5), 5u);
    EXPECT_EQ(scan("\xEF\xBB\xBF", 2), 0u);          // a BOM needs three bytes within the maximum
    EXPECT_EQ(scan("a\xC3\xA9z", 4), 4u);            // é
    EXPECT_EQ(scan("a\xE2\x82\xAC", 4), 4u);         // €
    EXPECT_EQ(scan("\xF0\x9F\x98\x80!", 5), 5u);     // four-byte sequence
    EXPECT_EQ(scan("a\xE2\x82\xAC", 3), 1u);         // continuation beyond the maximum
    EXPECT_EQ(scan("a\xC3", 2), 1u);
    EXPECT_EQ(scan("a\xC3z", 3), 1u);                // bad continuation
    EXPECT_EQ(scan(std::string("ab\0cd", 5), 5), 2u);  // NUL ends the scan
    EXPECT_EQ(scan(std::string("\xC3\0", 2), 2), 0u);  // NUL is no continuation
    EXPECT_EQ(scan("\xFF" "abc", 4), 0u);
    EXPECT_EQ(MSqvcrash_async_utf8_valid_length_cstr("h\xC3\xA9llo\xFF"), 6u);
}
