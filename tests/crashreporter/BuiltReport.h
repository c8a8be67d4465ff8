#pragma once
// A crash report built from the generated message types and decoded, for tests that need a
// report with exactly chosen values: one with the required sections; tests add threads, frames
// and images and set further sections before decode() (or bytes(), the file, which the formatter
// benchmark builds its report with too).

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "crashreporter/report/MSCrashReport.h"
#include "crashreporter/report/QVCrashReport.pb-c.h"

namespace quorvane::test {

struct BuiltReport {
    Qvcrash__CrashReport report = QVCRASH__CRASH_REPORT__INIT;
    Qvcrash__CrashReport__SystemInfo system = QVCRASH__CRASH_REPORT__SYSTEM_INFO__INIT;
    Qvcrash__CrashReport__ApplicationInfo application = QVCRASH__CRASH_REPORT__APPLICATION_INFO__INIT;
    Qvcrash__CrashReport__Signal signal = QVCRASH__CRASH_REPORT__SIGNAL__INIT;
    Qvcrash__CrashReport__ProcessInfo process = QVCRASH__CRASH_REPORT__PROCESS_INFO__INIT;
    Qvcrash__CrashReport__Exception exception = QVCRASH__CRASH_REPORT__EXCEPTION__INIT;
    // Not attached until a test points the report at them.
    Qvcrash__CrashReport__MachineInfo machine = QVCRASH__CRASH_REPORT__MACHINE_INFO__INIT;
    Qvcrash__CrashReport__Processor machineProcessor = QVCRASH__CRASH_REPORT__PROCESSOR__INIT;
    Qvcrash__CrashReport__ReportInfo reportInfo = QVCRASH__CRASH_REPORT__REPORT_INFO__INIT;
    std::deque<Qvcrash__CrashReport__Thread> threads;
    std::deque<Qvcrash__CrashReport__Thread__StackFrame> frames;
    std::deque<Qvcrash__CrashReport__Symbol> symbols;
    std::deque<Qvcrash__CrashReport__Thread__RegisterValue> registers;
    std::deque<Qvcrash__CrashReport__BinaryImage> images;
    std::deque<Qvcrash__CrashReport__Processor> processors;
    std::deque<std::vector<void*>> lists;

    BuiltReport() {
        system.os_version = const_cast<char*>("6.1.0");
        system.architecture = QVCRASH__ARCHITECTURE__X86_64;
        system.timestamp = 1700000000;
        application.identifier = const_cast<char*>("built.app");
        application.version = const_cast<char*>("7");
        signal.name = const_cast<char*>("SIGSEGV");
        signal.code = const_cast<char*>("SEGV_MAPERR");
        signal.address = 0x10;
        process.process_name = const_cast<char*>("tool");
        process.process_id = 4242;
        process.process_path = const_cast<char*>("/home/alice/bin/tool");
        process.parent_process_id = 0;
        process.has_start_time = 1;
        process.start_time = 1699999990;
        report.system_info = &system;
        report.application_info = &application;
        report.signal = &signal;
        report.process_info = &process;
    }
    BuiltReport(const BuiltReport&) = delete;

    Qvcrash__CrashReport__Thread__StackFrame* frame(uint64_t pc, const char* symbol = nullptr, uint64_t start = 0) {
        auto& f = frames.emplace_back();
        qvcrash__crash_report__thread__stack_frame__init(&f);
        f.pc = pc;
        if (symbol) {
            auto& s = symbols.emplace_back();
            qvcrash__crash_report__symbol__init(&s);
            s.name = const_cast<char*>(symbol);
            s.start_address = start;
            f.symbol = &s;
        }
        return &f;
    }
    template <class T>
    T** list(std::vector<T*> items) {
        auto& l = lists.emplace_back(items.begin(), items.end());
        return reinterpret_cast<T**>(l.data());
    }
    void thread(uint32_t number, bool crashed, std::vector<Qvcrash__CrashReport__Thread__StackFrame*> fs,
                std::vector<std::pair<const char*, uint64_t>> regs = {}) {
        auto& t = threads.emplace_back();
        qvcrash__crash_report__thread__init(&t);
        t.thread_number = number;
        t.crashed = crashed;
        t.n_frames = fs.size();
        t.frames = list(fs);
        std::vector<Qvcrash__CrashReport__Thread__RegisterValue*> rs;
        for (auto [name, value] : regs) {
            auto& r = registers.emplace_back();
            qvcrash__crash_report__thread__register_value__init(&r);
            r.name = const_cast<char*>(name);
            r.value = value;
            rs.push_back(&r);
        }
        t.n_registers = rs.size();
        t.registers = list(rs);
    }
    // encoding < 0: no code type.
    void image(uint64_t base, uint64_t size, const char* name, int encoding = 1, uint64_t type = 16777223,
               uint64_t subtype = 3) {
        auto& i = images.emplace_back();
        qvcrash__crash_report__binary_image__init(&i);
        i.base_address = base;
        i.size = size;
        i.name = const_cast<char*>(name);
        if (encoding >= 0) {
            auto& p = processors.emplace_back();
            qvcrash__crash_report__processor__init(&p);
            p.has_encoding = 1;
            p.encoding = static_cast<Qvcrash__CrashReport__Processor__TypeEncoding>(encoding);
            p.type = type;
            p.subtype = subtype;
            i.code_type = &p;
        }
    }
    // The report file: the threads and images added so far, packed after the file header.
    platform::Bytes bytes() {
        std::vector<Qvcrash__CrashReport__Thread*> ts;
        for (auto& t : threads) ts.push_back(&t);
        std::vector<Qvcrash__CrashReport__BinaryImage*> is;
        for (auto& i : images) is.push_back(&i);
        report.n_threads = ts.size();
        report.threads = list(ts);
        report.n_binary_images = is.size();
        report.binary_images = list(is);
        platform::Bytes out(8 + qvcrash__crash_report__get_packed_size(&report));
        std::memcpy(out.data(), "qvcrash\x01", 8);
        qvcrash__crash_report__pack(&report, out.data() + 8);
        return out;
    }
    std::unique_ptr<MSCrashReport> decode() {
        platform::Error error;
        auto result = MSCrashReport::initWithData(bytes());
        if (!result) error = result.error();
        auto decoded = std::move(result).valueOr(nullptr);
        EXPECT_NE(decoded, nullptr) << error.userInfo[platform::Error::kLocalizedDescriptionKey].asString();
        return decoded;
    }
};

}  // namespace quorvane::test
