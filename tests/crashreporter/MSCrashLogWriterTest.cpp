// The walked test functions keep their frame pointers and their calls (no tail calls) in optimised
// builds too.
#pragma GCC optimize("no-omit-frame-pointer", "no-optimize-sibling-calls")

#include <gtest/gtest.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crashreporter/capture/MSCrashLogWriter.h"
#include "crashreporter/capture/MSCrashReporter.h"
#include "crashreporter/report/QVCrashReport.pb-c.h"
#include "platform/crash/Threads.h"
#include "platform/crash/UncaughtException.h"
#include "tests/crashreporter/CrashChild.h"
#include "tests/crashreporter/MainImage.h"
#include "tests/crashreporter/StackSymbols.h"

using namespace quorvane;
using quorvane::test::mainImage;
using quorvane::test::MainImage;
using quorvane::test::readAll;
using quorvane::test::runInChild;
using quorvane::test::symbolAt;
namespace fs = std::filesystem;

// A thread parked in a known function (see the thread state tests).
extern "C" void qvtest_thread_parked_caller(std::atomic<int>* ready, std::atomic<int>* release);

extern "C" [[gnu::noinline]] void qvtest_report_deep(int depth, std::atomic<int>* ready, std::atomic<int>* release) {
    if (depth == 0) {
        qvtest_thread_parked_caller(ready, release);
    } else {
        qvtest_report_deep(depth - 1, ready, release);
    }
    asm volatile("");
}

extern "C" [[gnu::noinline]] void qvtest_report_crash_level3(int value) {
    volatile int* bad = reinterpret_cast<volatile int*>(uintptr_t(0x10));
    *bad = value;
    asm volatile("");
}
extern "C" [[gnu::noinline]] void qvtest_report_crash_level2(int value) {
    qvtest_report_crash_level3(value + 1);
    asm volatile("");
}
extern "C" [[gnu::noinline]] void qvtest_report_crash_level1(int value) {
    qvtest_report_crash_level2(value + 1);
    asm volatile("");
}

namespace {

// ---- reading reports back ----

using Report = test::UnpackedReport;

// Checks the framing and unpacks the message with the generated code.
void loadReport(const std::string& path, Report& report) {
    const bool unpacked = report.unpack(readAll(path));
    ASSERT_GT(report.bytes.size(), 8u) << path;
    ASSERT_EQ(report.bytes.substr(0, 7), "qvcrash");
    ASSERT_EQ(report.bytes[7], '\x01');
    ASSERT_TRUE(unpacked) << "the report does not unpack";
}

// The fields of one encoded message in the order they appear; length-delimited values keep
// their bytes. Empty when the encoding is malformed.
struct RawField {
    uint32_t number;
    std::string value;
};

bool readVarint(const std::string& s, size_t& at, uint64_t& out) {
    out = 0;
    for (int shift = 0; shift < 70 && at < s.size(); shift += 7) {
        const auto byte = static_cast<uint8_t>(s[at++]);
        out |= static_cast<uint64_t>(byte & 0x7f) << shift;
        if (!(byte & 0x80)) return true;
    }
    return false;
}

std::vector<RawField> rawFields(const std::string& s) {
    std::vector<RawField> fields;
    size_t at = 0;
    while (at < s.size()) {
        uint64_t key = 0, v = 0;
        if (!readVarint(s, at, key)) return {};
        RawField f{static_cast<uint32_t>(key >> 3), {}};
        switch (key & 7) {
            case 0:
                if (!readVarint(s, at, v)) return {};
                break;
            case 1: at += 8; break;
            case 5: at += 4; break;
            case 2:
                if (!readVarint(s, at, v) || at + v > s.size()) return {};
                f.value = s.substr(at, v);
                at += v;
                break;
            default: return {};
        }
        if (at > s.size()) return {};
        fields.push_back(std::move(f));
    }
    return fields;
}

// Field numbers in order with runs of the same number folded into one.
std::vector<uint32_t> fieldOrder(const std::vector<RawField>& fields) {
    std::vector<uint32_t> order;
    for (const auto& f : fields) {
        if (order.empty() || order.back() != f.number) order.push_back(f.number);
    }
    return order;
}

// ---- what the report should hold, found independently ----

std::string executablePath() { return fs::read_symlink("/proc/self/exe").string(); }

std::string trimmedFile(const char* path) {
    std::string s = readAll(path);
    while (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

// The names of the first frames (symbol lookups are slow in a large test program).
std::vector<std::string> frameNames(const Qvcrash__CrashReport__Thread* thread, size_t limit = 3) {
    std::vector<std::string> names;
    for (size_t i = 0; i < thread->n_frames && i < limit; ++i) names.push_back(symbolAt(thread->frames[i]->pc));
    return names;
}

std::shared_ptr<MSCrashReporter> writerReporter(const std::string& identifier) {
    return MSCrashReporter::initWithApplicationIdentifier(identifier, "42", std::string("1.2"));
}

// Sends the child's standard error to a file for the parent to read.
void redirectStderr(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
        ::dup2(fd, 2);
        ::close(fd);
    }
}

std::string stderrPath(const char* name) {
    return (fs::temp_directory_path() / ("qv-writer-" + std::to_string(::getpid()) + "-" + name)).string();
}

}  // namespace

// ---- a real crash ----

TEST(MSCrashLogWriter, CrashWritesACompleteReportOfEveryThread) {
    auto reporter = writerReporter("writer.app");
    const std::string errPath = stderrPath("crash");
    const int64_t before = test::realtimeSeconds();

    auto child = runInChild([&errPath] {
        redirectStderr(errPath);
        auto reporter = writerReporter("writer.app");
        if (!reporter->enableCrashReporter()) return 2;

        // A thread parked in a known function, and one parked 600 calls deep.
        static std::atomic<int> ready1{0}, ready2{0}, release{0};
        std::thread parked([] { qvtest_thread_parked_caller(&ready1, &release); });
        std::thread deep([] { qvtest_report_deep(600, &ready2, &release); });
        while (ready1.load() == 0 || ready2.load() == 0) std::this_thread::yield();  // the child's alarm bounds this
        qvtest_report_crash_level1(1);
        parked.join();
        deep.join();
        return 3;
    });
    const int64_t after = test::realtimeSeconds();
    ASSERT_TRUE(child.signaled) << child.describe();
    EXPECT_EQ(child.signal, SIGSEGV);

    Report report;
    ASSERT_NO_FATAL_FAILURE(loadReport(reporter->crashReportPath(), report));
    const Qvcrash__CrashReport* r = report.message;
    struct stat st {};
    ASSERT_EQ(::stat(reporter->crashReportPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // The writer's fixed order: report info, system, machine, application, process, threads,
    // images, signal.
    auto top = rawFields(report.bytes.substr(8));
    EXPECT_EQ(fieldOrder(top), (std::vector<uint32_t>{9, 1, 8, 2, 7, 3, 4, 6}));

    // Report info.
    ASSERT_NE(r->report_info, nullptr);
    EXPECT_FALSE(r->report_info->user_requested);
    ASSERT_TRUE(r->report_info->has_uuid);
    EXPECT_EQ(r->report_info->uuid.len, 16u);

    // System.
    ASSERT_NE(r->system_info, nullptr);
    EXPECT_TRUE(r->system_info->has_operating_system);
    EXPECT_EQ(r->system_info->operating_system, QVCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__LINUX);
    EXPECT_EQ(r->system_info->architecture, QVCRASH__ARCHITECTURE__X86_64);
    EXPECT_GE(r->system_info->timestamp, before);
    EXPECT_LE(r->system_info->timestamp, after);
    struct utsname uts {};
    ::uname(&uts);
    const std::string release = uts.release;
    const std::string version = r->system_info->os_version;
    EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 2) << version;
    EXPECT_EQ(release.rfind(version.substr(0, version.rfind('.')), 0), 0u) << version << " vs " << release;
    ASSERT_NE(r->system_info->os_build, nullptr);
    EXPECT_EQ(std::string(r->system_info->os_build), trimmedFile("/proc/sys/kernel/version"));

    // Machine.
    ASSERT_NE(r->machine_info, nullptr);
    ASSERT_NE(r->machine_info->processor, nullptr);
    EXPECT_EQ(r->machine_info->processor->encoding,
              QVCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH);
    EXPECT_EQ(r->machine_info->processor->type, 0x1000007u);
    EXPECT_EQ(r->machine_info->processor->subtype, 3u);
    EXPECT_EQ(r->machine_info->logical_processor_count, static_cast<uint32_t>(::sysconf(_SC_NPROCESSORS_CONF)));
    EXPECT_GE(r->machine_info->processor_count, 1u);
    EXPECT_LE(r->machine_info->processor_count, r->machine_info->logical_processor_count);

    // Application.
    ASSERT_NE(r->application_info, nullptr);
    EXPECT_STREQ(r->application_info->identifier, "writer.app");
    EXPECT_STREQ(r->application_info->version, "42");
    EXPECT_STREQ(r->application_info->marketing_version, "1.2");

    // Process: the child, whose parent is this process.
    ASSERT_NE(r->process_info, nullptr);
    EXPECT_NE(r->process_info->process_id, static_cast<uint32_t>(::getpid()));
    EXPECT_EQ(r->process_info->parent_process_id, static_cast<uint32_t>(::getpid()));
    ASSERT_NE(r->process_info->process_name, nullptr);
    EXPECT_EQ(std::string("quorvane_crashreporter_tests").rfind(r->process_info->process_name, 0), 0u);
    ASSERT_NE(r->process_info->parent_process_name, nullptr);
    EXPECT_STREQ(r->process_info->parent_process_name, r->process_info->process_name);
    ASSERT_NE(r->process_info->process_path, nullptr);
    EXPECT_EQ(std::string(r->process_info->process_path), executablePath());
    EXPECT_TRUE(r->process_info->native);
    ASSERT_TRUE(r->process_info->has_start_time);
    EXPECT_GE(static_cast<int64_t>(r->process_info->start_time), before - 2);
    EXPECT_LE(static_cast<int64_t>(r->process_info->start_time), after);

    // Threads: the crashed one and the two parked ones, numbered in order.
    ASSERT_EQ(r->n_threads, 3u);
    size_t crashedCount = 0;
    for (size_t i = 0; i < r->n_threads; ++i) {
        EXPECT_EQ(r->threads[i]->thread_number, i);
        if (r->threads[i]->crashed) {
            ++crashedCount;
        } else {
            EXPECT_EQ(r->threads[i]->n_registers, 0u) << "only the crashed thread has registers";
        }
    }
    EXPECT_EQ(crashedCount, 1u);

    const Qvcrash__CrashReport__Thread* crashed = report.crashedThread();
    ASSERT_NE(crashed, nullptr);
    // The crashing thread is the child's main thread, listed first.
    EXPECT_EQ(crashed->thread_number, 0u);
    auto names = frameNames(crashed);
    ASSERT_GE(names.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 3),
              (std::vector<std::string>{"qvtest_report_crash_level3", "qvtest_report_crash_level2",
                                        "qvtest_report_crash_level1"}));
    // Registers of the first frame: every x86-64 register by name, in register-number order, before
    // the frames.
    ASSERT_EQ(crashed->n_registers, 21u);
    EXPECT_STREQ(crashed->registers[0]->name, "rip");
    EXPECT_STREQ(crashed->registers[1]->name, "rbp");
    EXPECT_STREQ(crashed->registers[2]->name, "rsp");
    EXPECT_STREQ(crashed->registers[20]->name, "gs");
    EXPECT_EQ(crashed->registers[0]->value, crashed->frames[0]->pc);
    for (const auto& f : top) {
        if (f.number != 3) continue;
        auto threadFields = rawFields(f.value);
        auto order = fieldOrder(threadFields);
        bool isCrashed = false;
        for (const auto& tf : threadFields) {
            if (tf.number == 3) isCrashed = true;  // present in every thread; value checked below
        }
        ASSERT_TRUE(isCrashed);
        if (order.size() == 4) EXPECT_EQ(order, (std::vector<uint32_t>{1, 3, 4, 2}));
        else EXPECT_EQ(order, (std::vector<uint32_t>{1, 3, 2}));
    }

    // The parked threads: one waits in the known function; the deep one is cut at 512 frames.
    bool sawParked = false, sawDeep = false;
    for (size_t i = 0; i < r->n_threads; ++i) {
        const auto* t = r->threads[i];
        if (t->crashed) continue;
        auto tn = frameNames(t);
        ASSERT_GE(tn.size(), 2u);
        EXPECT_EQ(tn[0], "qvtest_thread_parked");
        EXPECT_EQ(tn[1], "qvtest_thread_parked_caller");
        if (t->n_frames == 512) {
            sawDeep = true;
            EXPECT_EQ(tn[2], "qvtest_report_deep");
            EXPECT_EQ(symbolAt(t->frames[511]->pc), "qvtest_report_deep");
        } else {
            sawParked = true;
            EXPECT_LT(t->n_frames, 512u);
        }
    }
    EXPECT_TRUE(sawParked);
    EXPECT_TRUE(sawDeep);
    std::string err = readAll(errPath);
    ::unlink(errPath.c_str());
    EXPECT_NE(err.find("Terminated stack walking early"), std::string::npos) << err;

    // Images: this test program (the child's is the same file at the same place), with its build
    // id as its UUID, and the C library.
    ASSERT_GE(r->n_binary_images, 2u);
    const MainImage main = mainImage();
    ASSERT_FALSE(main.buildId.empty());
    bool sawMain = false, sawLibc = false;
    for (size_t i = 0; i < r->n_binary_images; ++i) {
        const auto* image = r->binary_images[i];
        ASSERT_NE(image->name, nullptr);
        ASSERT_NE(image->code_type, nullptr);
        EXPECT_GT(image->size, 0u);
        if (std::string(image->name) == executablePath()) {
            sawMain = true;
            EXPECT_EQ(image->base_address, main.base);
            ASSERT_TRUE(image->has_uuid);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(image->uuid.data), image->uuid.len), main.buildId);
            EXPECT_EQ(image->code_type->encoding, QVCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH);
            EXPECT_EQ(image->code_type->type, 0x1000007u);
            EXPECT_EQ(image->code_type->subtype, 3u);
            // The crashing frames lie inside it.
            EXPECT_GE(crashed->frames[0]->pc, image->base_address);
            EXPECT_LT(crashed->frames[0]->pc, image->base_address + image->size);
        }
        if (std::string(image->name).find("libc.so") != std::string::npos) sawLibc = true;
    }
    EXPECT_TRUE(sawMain);
    EXPECT_TRUE(sawLibc);

    // No uncaught exception; the signal.
    EXPECT_EQ(r->exception, nullptr);
    ASSERT_NE(r->signal, nullptr);
    EXPECT_STREQ(r->signal->name, "SIGSEGV");
    EXPECT_STREQ(r->signal->code, "SEGV_MAPERR");
    EXPECT_EQ(r->signal->address, 0x10u);
    EXPECT_EQ(r->signal->mach_exception, nullptr);

    ASSERT_TRUE(reporter->purgePendingCrashReport());
}

TEST(MSCrashLogWriter, UncaughtExceptionIsWrittenWithItsFramesBeforeTheSignal) {
    auto reporter = writerReporter("exception-writer.app");
    auto child = runInChild([] {
        // With standard error closed the report file would get descriptor 2, and the engine's
        // diagnostics (abort's signal code has no name) would land inside the report.
        ::close(2);
        auto reporter = writerReporter("exception-writer.app");
        if (!reporter->enableCrashReporter()) return 2;
        platform::crash::UncaughtException exception{"std::runtime_error", "no more contacts", {0x1234, 0xabcdef}};
        platform::crash::uncaughtExceptionHandler()(exception);
        return 3;
    });
    ASSERT_TRUE(child.signaled) << child.describe();
    EXPECT_EQ(child.signal, SIGABRT);

    Report report;
    ASSERT_NO_FATAL_FAILURE(loadReport(reporter->crashReportPath(), report));
    const Qvcrash__CrashReport* r = report.message;
    EXPECT_EQ(fieldOrder(rawFields(report.bytes.substr(8))), (std::vector<uint32_t>{9, 1, 8, 2, 7, 3, 4, 5, 6}));
    ASSERT_NE(r->exception, nullptr);
    EXPECT_STREQ(r->exception->name, "std::runtime_error");
    EXPECT_STREQ(r->exception->reason, "no more contacts");
    ASSERT_EQ(r->exception->n_frames, 2u);
    EXPECT_EQ(r->exception->frames[0]->pc, 0x1234u);
    EXPECT_EQ(r->exception->frames[1]->pc, 0xabcdefu);
    EXPECT_EQ(r->exception->frames[0]->symbol, nullptr);
    EXPECT_STREQ(r->signal->name, "SIGABRT");
    EXPECT_STREQ(r->signal->code, "SI_TKILL");
    EXPECT_EQ(r->signal->address, 0u) << "the address of a sent signal is the sender's id";
    // The only thread is the crashed one.
    ASSERT_EQ(r->n_threads, 1u);
    EXPECT_TRUE(r->threads[0]->crashed);
    EXPECT_EQ(r->threads[0]->thread_number, 0u);
}

TEST(MSCrashLogWriter, ThreadThatCannotBeStoppedIsListedWithoutItsStack) {
    auto reporter = writerReporter("stubborn.app");
    auto child = runInChild([] {
        ::close(2);
        auto reporter = writerReporter("stubborn.app");
        if (!reporter->enableCrashReporter()) return 2;
        static std::atomic<int> ready{0}, release{0};
        std::thread stubborn([] {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, platform::crash::suspendSignal());
            pthread_sigmask(SIG_BLOCK, &set, nullptr);
            qvtest_thread_parked_caller(&ready, &release);
        });
        while (ready.load() == 0) std::this_thread::yield();
        qvtest_report_crash_level1(1);
        stubborn.join();
        return 3;
    });
    ASSERT_TRUE(child.signaled) << child.describe();
    EXPECT_EQ(child.signal, SIGSEGV);

    Report report;
    ASSERT_NO_FATAL_FAILURE(loadReport(reporter->crashReportPath(), report));
    ASSERT_EQ(report.message->n_threads, 2u);
    for (size_t i = 0; i < 2; ++i) {
        const auto* t = report.message->threads[i];
        if (t->crashed) {
            EXPECT_EQ(frameNames(t, 1), std::vector<std::string>{"qvtest_report_crash_level3"});
        } else {
            EXPECT_EQ(t->n_frames, 0u);
        }
    }
}

// ---- the writer called directly ----

namespace {

struct MemoryFile {
    int fd = ::memfd_create("qvcrash-writer", 0);
    qvcrash_async_file_t file{};
    explicit MemoryFile(uint64_t limit = 0) { MSqvcrash_async_file_init(&file, fd, limit); }
    ~MemoryFile() { ::close(fd); }
    std::string contents() {
        MSqvcrash_async_file_flush(&file);
        std::string out;
        char buf[4096];
        ssize_t n;
        off_t at = 0;
        while ((n = ::pread(fd, buf, sizeof(buf), at)) > 0) {
            out.append(buf, static_cast<size_t>(n));
            at += n;
        }
        return out;
    }
};

std::string hex(const std::string& s) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// A nested message type unpacked on its own.
template <typename T>
T* unpackAs(const ProtobufCMessageDescriptor* descriptor, size_t len, const uint8_t* data) {
    return reinterpret_cast<T*>(protobuf_c_message_unpack(descriptor, nullptr, len, data));
}

// Packs one field and checks the size it reports, with and without a file.
std::string packed(uint32_t field, qvcrash_protobuf_type_t type, const void* value) {
    MemoryFile mem;
    size_t measured = MSqvcrash_writer_pack(nullptr, field, type, value);
    size_t written = MSqvcrash_writer_pack(&mem.file, field, type, value);
    std::string bytes = mem.contents();
    EXPECT_EQ(measured, written);
    EXPECT_EQ(written, bytes.size());
    return hex(bytes);
}

}  // namespace

TEST(MSCrashLogWriter, EveryFieldTypeIsEncodedInTheStandardWireFormat) {
    int32_t i32 = -1;
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_INT32, &i32), "08ffffffffffffffffff01");  // sign-extended
    i32 = 150;
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_INT32, &i32), "089601");
    i32 = -1;
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_SINT32, &i32), "0801");
    i32 = std::numeric_limits<int32_t>::min();
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_SINT32, &i32), "08ffffffff0f");
    i32 = -2;
    EXPECT_EQ(packed(2, QVCRASH_PROTOBUF_TYPE_SFIXED32, &i32), "15feffffff");
    int64_t i64 = std::numeric_limits<int64_t>::min();
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_SINT64, &i64), "08ffffffffffffffffff01");
    i64 = -1;
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_INT64, &i64), "08ffffffffffffffffff01");
    EXPECT_EQ(packed(3, QVCRASH_PROTOBUF_TYPE_SFIXED64, &i64), "19ffffffffffffffff");
    uint32_t u32 = std::numeric_limits<uint32_t>::max();
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_UINT32, &u32), "08ffffffff0f");
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_ENUM, &u32), "08ffffffff0f");
    u32 = 0x01020304;
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_FIXED32, &u32), "0d04030201");
    uint64_t u64 = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_UINT64, &u64), "08ffffffffffffffffff01");
    u64 = 0x0102030405060708;
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_FIXED64, &u64), "090807060504030201");
    float f = 1.5f;
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_FLOAT, &f), "0d0000c03f");
    double d = -2.0;
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_DOUBLE, &d), "0900000000000000c0");
    bool b = true;
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_BOOL, &b), "0801");
    b = false;
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_BOOL, &b), "0800");
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_STRING, "ab"), "0a026162");
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_STRING, ""), "0a00");
    EXPECT_EQ(packed(1, QVCRASH_PROTOBUF_TYPE_STRING, nullptr), "0a00");  // a missing string cannot fault
    const uint8_t raw[] = {0, 0xff, 0};
    qvcrash_protobuf_bytes_t bytes = {sizeof(raw), raw};
    EXPECT_EQ(packed(4, QVCRASH_PROTOBUF_TYPE_BYTES, &bytes), "220300ff00");
    u32 = 300;  // an embedded message: key and length only
    EXPECT_EQ(packed(2, QVCRASH_PROTOBUF_TYPE_MESSAGE, &u32), "12ac02");
    // The largest field number takes a five-byte key.
    u32 = 0;
    EXPECT_EQ(packed((1u << 29) - 1, QVCRASH_PROTOBUF_TYPE_UINT32, &u32), "f8ffffff0f00");
}

TEST(MSCrashLogWriter, UnknownFieldTypeAbortsTheProcess) {
    auto child = runInChild([] {
        ::close(2);
        uint32_t v = 0;
        MSqvcrash_writer_pack(nullptr, 1, static_cast<qvcrash_protobuf_type_t>(17), &v);
        return 0;
    });
    ASSERT_TRUE(child.signaled) << child.describe();
    EXPECT_EQ(child.signal, SIGABRT);
}

TEST(MSCrashLogWriter, EncodedMessagesRoundTripThroughTheGeneratedDecoder) {
    // A binary image with edge values: the largest and smallest numbers, a name long enough for a
    // two-byte length and not ASCII, a UUID with zero bytes, and a nested processor.
    MemoryFile mem;
    const std::string name = std::string(300, 'x') + "/é.so";
    const uint8_t uuid[20] = {0, 1, 0xff, 0, 0x80, 0x7f};
    uint64_t size = std::numeric_limits<uint64_t>::max(), base = 0;
    MSqvcrash_writer_pack(&mem.file, 2, QVCRASH_PROTOBUF_TYPE_UINT64, &size);
    MSqvcrash_writer_pack(&mem.file, 1, QVCRASH_PROTOBUF_TYPE_UINT64, &base);
    MSqvcrash_writer_pack(&mem.file, 3, QVCRASH_PROTOBUF_TYPE_STRING, name.c_str());
    qvcrash_protobuf_bytes_t uuidBytes = {sizeof(uuid), uuid};
    MSqvcrash_writer_pack(&mem.file, 4, QVCRASH_PROTOBUF_TYPE_BYTES, &uuidBytes);
    uint32_t encoding = 1;
    uint64_t type = std::numeric_limits<uint64_t>::max(), subtype = 0x80;
    const uint32_t processorLength =
        static_cast<uint32_t>(MSqvcrash_writer_pack(nullptr, 1, QVCRASH_PROTOBUF_TYPE_ENUM, &encoding) +
                              MSqvcrash_writer_pack(nullptr, 2, QVCRASH_PROTOBUF_TYPE_UINT64, &type) +
                              MSqvcrash_writer_pack(nullptr, 3, QVCRASH_PROTOBUF_TYPE_UINT64, &subtype));
    MSqvcrash_writer_pack(&mem.file, 5, QVCRASH_PROTOBUF_TYPE_MESSAGE, &processorLength);
    MSqvcrash_writer_pack(&mem.file, 1, QVCRASH_PROTOBUF_TYPE_ENUM, &encoding);
    MSqvcrash_writer_pack(&mem.file, 2, QVCRASH_PROTOBUF_TYPE_UINT64, &type);
    MSqvcrash_writer_pack(&mem.file, 3, QVCRASH_PROTOBUF_TYPE_UINT64, &subtype);
    std::string bytes = mem.contents();

    auto* image = unpackAs<Qvcrash__CrashReport__BinaryImage>(&qvcrash__crash_report__binary_image__descriptor, bytes.size(),
                                                               reinterpret_cast<const uint8_t*>(bytes.data()));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->size, size);
    EXPECT_EQ(image->base_address, 0u);
    EXPECT_EQ(std::string(image->name), name);
    ASSERT_TRUE(image->has_uuid);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image->uuid.data), image->uuid.len),
              std::string(reinterpret_cast<const char*>(uuid), sizeof(uuid)));
    ASSERT_NE(image->code_type, nullptr);
    EXPECT_EQ(image->code_type->encoding, QVCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH);
    EXPECT_EQ(image->code_type->type, type);
    EXPECT_EQ(image->code_type->subtype, 0x80u);
    protobuf_c_message_free_unpacked(&image->base, nullptr);

    // Negative and zero timestamps, an empty required string, 32-bit extremes and both bools.
    for (int64_t timestamp : {std::numeric_limits<int64_t>::min(), int64_t(-1), int64_t(0)}) {
        MemoryFile sys;
        uint32_t os = 3, arch = 6;
        MSqvcrash_writer_pack(&sys.file, 1, QVCRASH_PROTOBUF_TYPE_ENUM, &os);
        MSqvcrash_writer_pack(&sys.file, 2, QVCRASH_PROTOBUF_TYPE_STRING, "");
        MSqvcrash_writer_pack(&sys.file, 3, QVCRASH_PROTOBUF_TYPE_ENUM, &arch);
        MSqvcrash_writer_pack(&sys.file, 4, QVCRASH_PROTOBUF_TYPE_INT64, &timestamp);
        std::string s = sys.contents();
        auto* info = unpackAs<Qvcrash__CrashReport__SystemInfo>(&qvcrash__crash_report__system_info__descriptor, s.size(),
                                                                 reinterpret_cast<const uint8_t*>(s.data()));
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->timestamp, timestamp);
        EXPECT_STREQ(info->os_version, "");
        EXPECT_EQ(info->os_build, nullptr);
        EXPECT_EQ(info->architecture, QVCRASH__ARCHITECTURE__ARCHITECTURE_UNKNOWN);
        protobuf_c_message_free_unpacked(&info->base, nullptr);
    }
    for (bool native : {true, false}) {
        MemoryFile proc;
        uint32_t pid = std::numeric_limits<uint32_t>::max(), ppid = 0;
        uint64_t start = std::numeric_limits<uint64_t>::max();
        MSqvcrash_writer_pack(&proc.file, 2, QVCRASH_PROTOBUF_TYPE_UINT32, &pid);
        MSqvcrash_writer_pack(&proc.file, 5, QVCRASH_PROTOBUF_TYPE_UINT32, &ppid);
        MSqvcrash_writer_pack(&proc.file, 6, QVCRASH_PROTOBUF_TYPE_BOOL, &native);
        MSqvcrash_writer_pack(&proc.file, 7, QVCRASH_PROTOBUF_TYPE_UINT64, &start);
        std::string s = proc.contents();
        auto* info = unpackAs<Qvcrash__CrashReport__ProcessInfo>(&qvcrash__crash_report__process_info__descriptor, s.size(),
                                                                  reinterpret_cast<const uint8_t*>(s.data()));
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->process_id, pid);
        EXPECT_EQ(info->parent_process_id, 0u);
        EXPECT_EQ(static_cast<bool>(info->native), native);
        EXPECT_EQ(info->start_time, start);
        EXPECT_EQ(info->process_name, nullptr);
        protobuf_c_message_free_unpacked(&info->base, nullptr);
    }
}

namespace {

struct DirectWrite {
    qvcrash_error_t result = QVCRASH_EUNKNOWN;
    qvcrash_log_writer_t* writer = nullptr;
    qvcrash_async_file_t* file = nullptr;
    qvcrash_log_signal_info_t* siginfo = nullptr;
};

}  // namespace

TEST(MSCrashLogWriter, UnnamedSignalAndCodeAreWrittenByNumberAndTheCallingThreadRunsOn) {
    qvcrash_log_writer_t writer;
    ASSERT_EQ(MSqvcrash_log_writer_init(&writer, "direct.app", "7", nullptr, 0, true), QVCRASH_ESUCCESS);
    MemoryFile mem;
    qvcrash_log_bsd_info_t bsd = {77, -999, reinterpret_cast<void*>(uintptr_t(0xdead))};
    qvcrash_log_signal_info_t siginfo = {&bsd};

    // Written from the calling thread with its captured state, as a live report is.
    DirectWrite direct{QVCRASH_EUNKNOWN, &writer, &mem.file, &siginfo};
    qvcrash_error_t err = MSqvcrash_async_thread_state_current(
        [](qvcrash_async_thread_state_t* state, void* context) {
            auto* d = static_cast<DirectWrite*>(context);
            d->result = MSqvcrash_log_writer_write(d->writer, MSpl_mach_thread_self(), MSqvcrash_shared_image_list(),
                                                   d->file, d->siginfo, state);
            return d->result;
        },
        &direct);
    ASSERT_EQ(err, QVCRASH_ESUCCESS);
    Report report;
    const bool unpacked = report.unpack(mem.contents());
    ASSERT_EQ(report.bytes.substr(0, 8), std::string("qvcrash\x01", 8));
    ASSERT_TRUE(unpacked);
    const Qvcrash__CrashReport* r = report.message;
    EXPECT_STREQ(r->signal->name, "#77");
    EXPECT_STREQ(r->signal->code, "#-999");
    EXPECT_EQ(r->signal->address, 0xdeadu);
    EXPECT_TRUE(r->report_info->user_requested);
    EXPECT_EQ(r->application_info->marketing_version, nullptr);
    // Every thread of this process is there; the calling one is the crashed one.
    const Qvcrash__CrashReport__Thread* crashed = report.crashedThread();
    ASSERT_NE(crashed, nullptr);
    ASSERT_GE(crashed->n_frames, 1u);
    EXPECT_EQ(crashed->n_registers, 21u);
    MSqvcrash_log_writer_free(&writer);

    // The calling thread with no state of its own cannot be the crashed thread.
    qvcrash_log_writer_t other;
    MSqvcrash_log_writer_init(&other, "direct.app", "7", nullptr, 0, false);
    MemoryFile none;
    EXPECT_EQ(MSqvcrash_log_writer_write(&other, MSpl_mach_thread_self(), MSqvcrash_shared_image_list(), &none.file,
                                         &siginfo, nullptr),
              QVCRASH_EINVAL);
    EXPECT_EQ(none.contents(), "");
    MSqvcrash_log_writer_free(&other);
}

namespace {

// A report of this process written from the calling thread into a file with the given limit.
std::pair<qvcrash_error_t, std::string> writeWithLimit(uint64_t limit) {
    qvcrash_log_writer_t writer;
    MSqvcrash_log_writer_init(&writer, "limit.app", "1", nullptr, 0, false);
    MemoryFile mem(limit);
    qvcrash_log_bsd_info_t bsd = {SIGSEGV, SEGV_MAPERR, nullptr};
    qvcrash_log_signal_info_t siginfo = {&bsd};
    DirectWrite direct{QVCRASH_EUNKNOWN, &writer, &mem.file, &siginfo};
    MSqvcrash_async_thread_state_current(
        [](qvcrash_async_thread_state_t* state, void* context) {
            auto* d = static_cast<DirectWrite*>(context);
            d->result = MSqvcrash_log_writer_write(d->writer, MSpl_mach_thread_self(), MSqvcrash_shared_image_list(),
                                                   d->file, d->siginfo, state);
            return d->result;
        },
        &direct);
    MSqvcrash_log_writer_free(&writer);
    return {direct.result, mem.contents()};
}

}  // namespace

TEST(MSCrashLogWriter, ReportLargerThanTheLimitShedsTheDeepestFramesOfOtherThreads) {
    static std::atomic<int> ready{0}, release{0};
    std::thread deep([] { qvtest_report_deep(600, &ready, &release); });
    while (ready.load() == 0) std::this_thread::yield();

    auto [fullResult, full] = writeWithLimit(0);
    ASSERT_EQ(fullResult, QVCRASH_ESUCCESS);
    Report whole;
    ASSERT_TRUE(whole.unpack(full));
    const size_t crashedFrames = whole.crashedThread()->n_frames;

    // Limits that the report can be cut to fit, and one that not even the crashed thread, the
    // images and the signal fit: that one is reported as an output error, never as written.
    const struct {
        uint64_t limit;
        qvcrash_error_t result;
    } cases[] = {{full.size() - 100, QVCRASH_ESUCCESS}, {full.size() / 2, QVCRASH_ESUCCESS}, {400, QVCRASH_OUTPUT_ERR}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        auto [result, bytes] = writeWithLimit(c.limit);
        EXPECT_EQ(result, c.result);
        EXPECT_LE(bytes.size(), c.limit);
        auto* r = qvcrash__crash_report__unpack(nullptr, bytes.size() - 8, reinterpret_cast<const uint8_t*>(bytes.data()) + 8);
        if (c.result != QVCRASH_ESUCCESS) {
            EXPECT_EQ(r, nullptr);
            continue;
        }
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->n_threads, whole.message->n_threads);
        EXPECT_EQ(r->n_binary_images, whole.message->n_binary_images);
        ASSERT_NE(r->signal, nullptr);
        for (size_t i = 0; i < r->n_threads; ++i) {
            const auto* t = r->threads[i];
            if (t->crashed) {
                EXPECT_EQ(t->n_frames, crashedFrames);
                EXPECT_EQ(t->n_registers, 21u);
            } else {
                EXPECT_LT(t->n_frames, 512u);
                EXPECT_LE(t->n_frames, whole.message->threads[i]->n_frames);
            }
        }
        qvcrash__crash_report__free_unpacked(r, nullptr);
    }

    release.store(1);
    ::syscall(SYS_futex, reinterpret_cast<int*>(&release), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
    deep.join();
}
