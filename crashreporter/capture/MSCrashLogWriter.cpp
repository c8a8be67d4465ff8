#include "crashreporter/capture/MSCrashLogWriter.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "crashreporter/capture/MSCrashHostInfo.h"
#include "crashreporter/capture/MSCrashProcessInfo.h"
#include "crashreporter/capture/MSCrashSysctl.h"
#include "crashreporter/capture/QVCrashAsyncDwarfUnwind.h"
#include "crashreporter/capture/QVCrashAsyncSymbols.h"
#include "crashreporter/capture/QVCrashFrameWalker.h"
#include "crashreporter/capture/QVCrashReportFormat.h"
#include "crashreporter/capture/QVCrashSignals.h"
#include "platform/crash/Threads.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/UUID.h"

namespace quorvane {

namespace {

namespace crash = platform::crash;

using namespace qvcrash::format;

// Build ids are usually 20 bytes (SHA-1), sometimes 16 or 8.
constexpr size_t kMaxImageUUIDLength = 64;

// ---- wire encoding ----

enum : uint32_t { kWireVarint = 0, kWireFixed64 = 1, kWireLengthDelimited = 2, kWireFixed32 = 5 };

size_t varint64(uint8_t* out, uint64_t value) {
    size_t n = 0;
    while (value >= 0x80) {
        out[n++] = static_cast<uint8_t>(value | 0x80);
        value >>= 7;
    }
    out[n++] = static_cast<uint8_t>(value);
    return n;
}

size_t varint32(uint8_t* out, uint32_t value) { return varint64(out, value); }

size_t fixed32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
    return 4;
}

size_t fixed64(uint8_t* out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
    return 8;
}

uint32_t wireTypeOf(qvcrash_protobuf_type_t type) {
    switch (type) {
        case QVCRASH_PROTOBUF_TYPE_SFIXED32:
        case QVCRASH_PROTOBUF_TYPE_FIXED32:
        case QVCRASH_PROTOBUF_TYPE_FLOAT:
            return kWireFixed32;
        case QVCRASH_PROTOBUF_TYPE_SFIXED64:
        case QVCRASH_PROTOBUF_TYPE_FIXED64:
        case QVCRASH_PROTOBUF_TYPE_DOUBLE:
            return kWireFixed64;
        case QVCRASH_PROTOBUF_TYPE_STRING:
        case QVCRASH_PROTOBUF_TYPE_BYTES:
        case QVCRASH_PROTOBUF_TYPE_MESSAGE:
            return kWireLengthDelimited;
        default:
            return kWireVarint;
    }
}

void emit(qvcrash_async_file_t* file, const void* data, size_t len) {
    if (file != nullptr && len > 0) MSqvcrash_async_file_write(file, data, len);
}

// ---- the writer's pieces; each returns the bytes it writes (or would write, with no file) ----

using embedded_writer_fn = size_t (*)(qvcrash_async_file_t* file, const void* context);

// Key and length of an embedded message, then its content.
size_t pack_embedded(qvcrash_async_file_t* file, uint32_t field_id, embedded_writer_fn writer, const void* context) {
    const uint32_t size = static_cast<uint32_t>(writer(nullptr, context));
    size_t rv = MSqvcrash_writer_pack(file, field_id, QVCRASH_PROTOBUF_TYPE_MESSAGE, &size);
    if (file != nullptr) writer(file, context);
    return rv + size;
}

size_t pack_string(qvcrash_async_file_t* file, uint32_t field_id, const char* value) {
    return MSqvcrash_writer_pack(file, field_id, QVCRASH_PROTOBUF_TYPE_STRING, value);
}

size_t pack_uint64(qvcrash_async_file_t* file, uint32_t field_id, uint64_t value) {
    return MSqvcrash_writer_pack(file, field_id, QVCRASH_PROTOBUF_TYPE_UINT64, &value);
}

size_t pack_uint32(qvcrash_async_file_t* file, uint32_t field_id, uint32_t value) {
    return MSqvcrash_writer_pack(file, field_id, QVCRASH_PROTOBUF_TYPE_UINT32, &value);
}

size_t pack_enum(qvcrash_async_file_t* file, uint32_t field_id, uint32_t value) {
    return MSqvcrash_writer_pack(file, field_id, QVCRASH_PROTOBUF_TYPE_ENUM, &value);
}

size_t pack_bool(qvcrash_async_file_t* file, uint32_t field_id, bool value) {
    return MSqvcrash_writer_pack(file, field_id, QVCRASH_PROTOBUF_TYPE_BOOL, &value);
}

size_t pack_bytes(qvcrash_async_file_t* file, uint32_t field_id, const void* data, uint64_t len) {
    qvcrash_protobuf_bytes_t bytes = {len, data};
    return MSqvcrash_writer_pack(file, field_id, QVCRASH_PROTOBUF_TYPE_BYTES, &bytes);
}

// -- report info, system, machine, application, process --

size_t write_report_info(qvcrash_async_file_t* file, const void* context) {
    const auto* writer = static_cast<const qvcrash_log_writer_t*>(context);
    size_t rv = pack_bool(file, kReportInfoUserRequested, writer->user_requested);
    rv += pack_bytes(file, kReportInfoUUID, writer->uuid, sizeof(writer->uuid));
    return rv;
}

struct system_info_context {
    const qvcrash_log_writer_t* writer;
    int64_t timestamp;
};

size_t write_system_info(qvcrash_async_file_t* file, const void* context) {
    const auto* ctx = static_cast<const system_info_context*>(context);
    const qvcrash_log_writer_t* writer = ctx->writer;
    size_t rv = pack_enum(file, kSystemOS, kOperatingSystemLinux);
    // The version is required: a version that could not be read is written empty.
    rv += pack_string(file, kSystemOSVersion, writer->system_info.version ? writer->system_info.version : "");
    if (writer->system_info.build != nullptr) rv += pack_string(file, kSystemOSBuild, writer->system_info.build);
#if defined(__x86_64__)
    rv += pack_enum(file, kSystemArchitecture, kArchitectureX86_64);
#else
    rv += pack_enum(file, kSystemArchitecture, kArchitectureUnknown);
#endif
    rv += MSqvcrash_writer_pack(file, kSystemTimestamp, QVCRASH_PROTOBUF_TYPE_INT64, &ctx->timestamp);
    return rv;
}

struct processor_context {
    uint32_t encoding;
    uint64_t type;
    uint64_t subtype;
};

size_t write_processor(qvcrash_async_file_t* file, const void* context) {
    const auto* p = static_cast<const processor_context*>(context);
    size_t rv = pack_enum(file, kProcessorEncoding, p->encoding);
    rv += pack_uint64(file, kProcessorType, p->type);
    rv += pack_uint64(file, kProcessorSubtype, p->subtype);
    return rv;
}

size_t write_machine_info(qvcrash_async_file_t* file, const void* context) {
    const auto* writer = static_cast<const qvcrash_log_writer_t*>(context);
    size_t rv = 0;
    if (writer->machine_info.model != nullptr) rv += pack_string(file, kMachineModel, writer->machine_info.model);
    processor_context processor = {kTypeEncodingMach, writer->machine_info.cpu_type, writer->machine_info.cpu_subtype};
    rv += pack_embedded(file, kMachineProcessor, write_processor, &processor);
    rv += pack_uint32(file, kMachineProcessorCount, writer->machine_info.processor_count);
    rv += pack_uint32(file, kMachineLogicalProcessorCount, writer->machine_info.logical_processor_count);
    return rv;
}

size_t write_application_info(qvcrash_async_file_t* file, const void* context) {
    const auto* writer = static_cast<const qvcrash_log_writer_t*>(context);
    size_t rv = pack_string(file, kApplicationIdentifier, writer->application_info.app_identifier);
    rv += pack_string(file, kApplicationVersion, writer->application_info.app_version);
    if (writer->application_info.app_marketing_version != nullptr) {
        rv += pack_string(file, kApplicationMarketingVersion, writer->application_info.app_marketing_version);
    }
    return rv;
}

size_t write_process_info(qvcrash_async_file_t* file, const void* context) {
    const auto* writer = static_cast<const qvcrash_log_writer_t*>(context);
    const auto& p = writer->process_info;
    size_t rv = 0;
    if (p.process_name != nullptr) rv += pack_string(file, kProcessName, p.process_name);
    rv += pack_uint32(file, kProcessID, p.process_id);
    if (p.process_path != nullptr) rv += pack_string(file, kProcessPath, p.process_path);
    if (p.parent_process_name != nullptr) rv += pack_string(file, kProcessParentName, p.parent_process_name);
    rv += pack_uint32(file, kProcessParentID, p.parent_process_id);
    rv += pack_bool(file, kProcessNative, p.native);
    rv += pack_uint64(file, kProcessStartTime, p.start_time);
    return rv;
}

// -- threads and frames --

// One frame: its instruction address and, when a symbol was found, the symbol.
struct frame_context {
    uint64_t pc;
    bool has_symbol;
    uint64_t symbol_start;
    char symbol_name[256];
};

size_t write_symbol(qvcrash_async_file_t* file, const void* context) {
    const auto* f = static_cast<const frame_context*>(context);
    size_t rv = pack_string(file, kSymbolName, f->symbol_name);
    rv += pack_uint64(file, kSymbolStartAddress, f->symbol_start);
    return rv;
}

size_t write_thread_frame(qvcrash_async_file_t* file, const void* context) {
    const auto* f = static_cast<const frame_context*>(context);
    size_t rv = pack_uint64(file, kFramePC, f->pc);
    if (f->has_symbol) rv += pack_embedded(file, kFrameSymbol, write_symbol, f);
    return rv;
}

void found_symbol(uint64_t address, const char* name, void* context) {
    auto* f = static_cast<frame_context*>(context);
    f->has_symbol = true;
    f->symbol_start = address;
    size_t i = 0;
    for (; i < sizeof(f->symbol_name) - 1 && name[i] != '\0'; ++i) f->symbol_name[i] = name[i];
    f->symbol_name[i] = '\0';
}

// The frame at pc, with its symbol when the strategy asks for one. A return address is looked up
// one byte earlier, inside the call: a call that ends a function is followed by the next one.
void make_frame(frame_context* frame, uint64_t pc, bool return_address, uint32_t strategy,
                qvcrash_async_symbol_cache_t* symbol_cache, qvcrash_async_image_list_t* image_list, bool log) {
    frame->pc = pc;
    frame->has_symbol = false;
    if (strategy == 0 || image_list == nullptr) return;
    const uint64_t lookup = return_address && pc > 0 ? pc - 1 : pc;
    MSqvcrash_nasync_image_list_set_reading(image_list, true);
    if (qvcrash_async_macho_t* image = MSqvcrash_nasync_image_list_find_image_for_address(image_list, lookup)) {
        qvcrash_error_t err = MSqvcrash_async_symbol_cache_find(symbol_cache, image, strategy, lookup, found_symbol, frame);
        // No symbol holding the address (a static function of a stripped library) is no failure.
        if (err != QVCRASH_ESUCCESS && err != QVCRASH_ENOTFOUND && log) {
            QVCRASH_DEBUG("Symbol lookup for 0x%llx failed: %d", (unsigned long long)pc, (int)err);
        }
    }
    MSqvcrash_nasync_image_list_set_reading(image_list, false);
}

struct register_context {
    const char* name;
    uint64_t value;
};

size_t write_register(qvcrash_async_file_t* file, const void* context) {
    const auto* r = static_cast<const register_context*>(context);
    size_t rv = pack_string(file, kRegisterName, r->name);
    rv += pack_uint64(file, kRegisterValue, r->value);
    return rv;
}

struct thread_context {
    uint32_t number;
    bool crashed;
    qvcrash_thread_t thread;
    // The thread's state when given (the calling thread), else null: read from the thread.
    const qvcrash_async_thread_state_t* state;
    // False for a thread that could not be suspended: its registers and stack are not read
    // while it runs, so both passes see the same message.
    bool readable;
    qvcrash_async_image_list_t* image_list;
    uint32_t symbolication_strategy;
    // Frames to write: kQVCrashReportMaxFrames, or fewer when the report must shrink to fit.
    uint32_t max_frames;
    // When set, a sizing pass records here how the message grows with its frames.
    struct thread_measure* measure;
    qvcrash_async_symbol_cache_t* symbol_cache;  // the report's symbol-lookup context
};

// How a thread's message grows with its frames, learnt in a sizing pass: the bytes of the
// message without frames, the number of frames, and the bytes of the first k * kMeasureStep
// frames for every k. A report that must shrink cuts threads to a multiple of the step.
constexpr uint32_t kMeasureStep = 16;
constexpr uint32_t kMeasureSteps = kQVCrashReportMaxFrames / kMeasureStep + 1;
struct thread_measure {
    uint32_t base;
    uint32_t frames;
    uint32_t frame_bytes;  // of all frames
    uint32_t step_bytes[kMeasureSteps];
};

size_t write_thread(qvcrash_async_file_t* file, const void* context) {
    const auto* t = static_cast<const thread_context*>(context);
    size_t rv = pack_uint32(file, kThreadNumber, t->number);
    rv += pack_bool(file, kThreadCrashed, t->crashed);

    if (file == nullptr && t->measure != nullptr) {
        qvcrash_async_memset(t->measure, 0, sizeof(*t->measure));
        t->measure->base = static_cast<uint32_t>(rv);
    }
    qvframe_cursor_t cursor;
    if (t->state != nullptr) {
        MSqvframe_cursor_init(&cursor, crash::taskSelf(), t->state, t->image_list);
    } else {
        qvcrash_error_t err = t->readable
                                  ? MSqvframe_cursor_thread_init(&cursor, crash::taskSelf(), t->thread, t->image_list)
                                  : QVCRASH_EINTERNAL;
        if (err != QVCRASH_ESUCCESS) {
            if (file != nullptr) {
                QVCRASH_DEBUG("An error occured initializing the frame cursor: %s", qvcrash_async_strerror(err));
            }
            return rv;
        }
    }

    thread_measure* m = file == nullptr ? t->measure : nullptr;
    size_t frames_from = rv;
    uint32_t frame_count = 0;
    qvframe_error_t ferr;
    while ((ferr = MSqvframe_cursor_next(&cursor)) == QVFRAME_ESUCCESS) {
        if (frame_count == t->max_frames) break;  // more frames than the thread may carry
        if (frame_count == 0 && t->crashed) {
            const size_t count = MSqvframe_cursor_get_regcount(&cursor);
            for (size_t i = 0; i < count; ++i) {
                const auto regnum = static_cast<qvcrash_regnum_t>(i);
                register_context reg = {MSqvframe_cursor_get_regname(&cursor, regnum), 0};
                qvframe_error_t rerr = MSqvframe_cursor_get_reg(&cursor, regnum, &reg.value);
                if (rerr != QVFRAME_ESUCCESS) {
                    if (file != nullptr) {
                        QVCRASH_DEBUG("Could not fetch register %i value: %s", static_cast<int>(i),
                                      MSqvframe_strerror(rerr));
                    }
                    reg.value = 0;
                }
                rv += pack_embedded(file, kThreadRegisters, write_register, &reg);
            }
            frames_from = rv;
        }
        uint64_t pc = 0;
        qvframe_error_t perr = MSqvframe_cursor_get_reg(&cursor, QVCRASH_REG_IP, &pc);
        if (perr != QVFRAME_ESUCCESS) {
            if (file != nullptr) QVCRASH_DEBUG("Could not retrieve frame PC register: %s", MSqvframe_strerror(perr));
            break;
        }
        frame_context frame;
        make_frame(&frame, pc, cursor.frame.ip_is_return_address, t->symbolication_strategy, t->symbol_cache, t->image_list,
                   file != nullptr);
        rv += pack_embedded(file, kThreadFrames, write_thread_frame, &frame);
        ++frame_count;
        if (m != nullptr && frame_count % kMeasureStep == 0) {
            m->step_bytes[frame_count / kMeasureStep] = static_cast<uint32_t>(rv - frames_from);
        }
    }
    if (m != nullptr) {
        m->base = static_cast<uint32_t>(frames_from);
        m->frames = frame_count;
        m->frame_bytes = static_cast<uint32_t>(rv - frames_from);
    }
    if (ferr != QVFRAME_ENOFRAME && file != nullptr) {
        if (ferr == QVFRAME_ESUCCESS && frame_count < kQVCrashReportMaxFrames) {
            QVCRASH_DEBUG("Left out the frames past %u to keep the report within its size limit",
                          static_cast<unsigned>(frame_count));
        } else {
            QVCRASH_DEBUG("Terminated stack walking early: %s",
                          ferr == QVFRAME_ESUCCESS ? "More frames than a report keeps" : MSqvframe_strerror(ferr));
        }
    }
    MSqvframe_cursor_free(&cursor);
    return rv;
}

size_t varint_size(uint64_t value) {
    size_t n = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++n;
    }
    return n;
}

// The bytes a thread's field takes in the report with at most cap frames (a multiple of the step).
uint64_t thread_field_size(const thread_measure& m, uint32_t cap) {
    const uint64_t frames = cap >= m.frames ? m.frame_bytes : m.step_bytes[cap / kMeasureStep];
    const uint64_t message = m.base + frames;
    return 1 + varint_size(message) + message;  // key of field 3, length, message
}

// Sizing passes share one table of thread measures; a second write running at the same time
// (a live report during a crash) goes without fitting.
thread_measure gMeasures[kQVCrashReportMaxThreads];
std::atomic<bool> gMeasuresBusy{false};

// -- images --

// The image's machine in the format's CPU type numbering.
processor_context image_code_type(const qvcrash_async_macho_t* image) {
    const uint32_t machine = MSqvcrash_async_macho_cpu_type(image);
    switch (machine) {
        case EM_X86_64: return {kTypeEncodingMach, QVCRASH_CPU_TYPE_X86_64, 3};
        case EM_386: return {kTypeEncodingMach, QVCRASH_CPU_TYPE_X86, 3};
        case EM_AARCH64: return {kTypeEncodingMach, 0x100000C, 0};
        case EM_ARM: return {kTypeEncodingMach, 12, 0};
        default: return {kTypeEncodingUnknown, machine, MSqvcrash_async_macho_cpu_subtype(image)};
    }
}

size_t write_binary_image(qvcrash_async_file_t* file, const void* context) {
    const auto* image = static_cast<const qvcrash_async_macho_t*>(context);
    size_t rv = pack_uint64(file, kImageSize, image->text_size);
    rv += pack_uint64(file, kImageBaseAddress, image->header_addr);
    rv += pack_string(file, kImageName, image->name);
    uint8_t uuid[kMaxImageUUIDLength];
    size_t uuid_length = 0;
    if (MSqvcrash_async_macho_find_uuid(image, uuid, sizeof(uuid), &uuid_length) == QVCRASH_ESUCCESS) {
        rv += pack_bytes(file, kImageUUID, uuid, uuid_length);
    }
    processor_context code_type = image_code_type(image);
    rv += pack_embedded(file, kImageCodeType, write_processor, &code_type);
    return rv;
}

// -- exception and signal --

struct exception_context {
    const qvcrash_log_writer_t* writer;
    qvcrash_async_image_list_t* image_list;
    qvcrash_async_symbol_cache_t* symbol_cache;
};

size_t write_exception(qvcrash_async_file_t* file, const void* context) {
    const auto* writer = static_cast<const exception_context*>(context)->writer;
    const auto& e = writer->uncaught_exception;
    size_t rv = pack_string(file, kExceptionName, e.name);
    rv += pack_string(file, kExceptionReason, e.reason);
    const size_t count = e.callstack_count < kQVCrashReportMaxFrames ? e.callstack_count : kQVCrashReportMaxFrames;
    for (size_t i = 0; i < count; ++i) {
        frame_context frame;
        const auto* ec = static_cast<const exception_context*>(context);
        make_frame(&frame, e.callstack[i], true, writer->symbolication_strategy, ec->symbol_cache, ec->image_list,
                   file != nullptr);
        rv += pack_embedded(file, kExceptionFrames, write_thread_frame, &frame);
    }
    return rv;
}

size_t write_signal(qvcrash_async_file_t* file, const void* context) {
    const auto* bsd = static_cast<const qvcrash_log_bsd_info_t*>(context);
    char name_buf[32];
    char code_buf[32];

    const char* name = qvcrash_signal_name(bsd->signo);
    if (name == nullptr) {
        if (file != nullptr) QVCRASH_DEBUG("Warning -- unhandled signal number (signo=%d). This is a bug.", bsd->signo);
        qvcrash_async_format(name_buf, sizeof(name_buf), "#%d", bsd->signo);
        name = name_buf;
    }
    const char* code = qvcrash_signal_code_name(bsd->signo, bsd->code);
    if (code == nullptr) {
        if (file != nullptr) {
            QVCRASH_DEBUG("Warning -- unhandled signal sicode (signo=%d, code=%d). This is a bug.", bsd->signo,
                          bsd->code);
        }
        qvcrash_async_format(code_buf, sizeof(code_buf), "#%d", bsd->code);
        code = code_buf;
    }
    size_t rv = pack_string(file, kSignalName, name);
    rv += pack_string(file, kSignalCode, code);
    rv += pack_uint64(file, kSignalAddress, reinterpret_cast<uintptr_t>(bsd->address));
    return rv;
}

// -- the threads of one write --

// What a write knows of the task's threads.
struct thread_set {
    const qvcrash_thread_t* threads;
    const bool* suspended;
    size_t count;
    qvcrash_thread_t self;
    qvcrash_thread_t crashed;
    const qvcrash_async_thread_state_t* current_state;
    qvcrash_async_image_list_t* image_list;
    uint32_t strategy;
    qvcrash_async_symbol_cache_t* symbol_cache;
};

struct frame_caps {
    uint32_t other;    // frames kept per thread that did not crash
    uint32_t crashed;  // frames kept of the crashed thread
    // The sizing pass holds gMeasures for the written threads, in order: their sizes need no
    // second walk. The writer gives the table back when done.
    bool measured;
};

// The message of the i-th listed thread; false when it is not written (the calling thread,
// when it has no state of its own).
bool thread_at(const thread_set& set, size_t i, uint32_t number, const frame_caps& caps, thread_measure* measure,
               thread_context* out) {
    const bool is_self = set.threads[i] == set.self;
    if (is_self && set.current_state == nullptr) return false;
    const bool crashed = set.threads[i] == set.crashed;
    *out = {number,
            crashed,
            set.threads[i],
            is_self ? set.current_state : nullptr,
            is_self || set.suspended[i],
            set.image_list,
            set.strategy,
            crashed ? caps.crashed : caps.other,
            measure,
            set.symbol_cache};
    return true;
}

// Puts wanted into the listed threads when it is missing, in place of the last one that is
// neither wanted nor keep.
void ensure_listed(qvcrash_thread_t* threads, size_t count, qvcrash_thread_t wanted, qvcrash_thread_t keep) {
    if (count == 0) return;
    for (size_t i = 0; i < count; ++i) {
        if (threads[i] == wanted) return;
    }
    for (size_t i = count; i-- > 0;) {
        if (threads[i] != keep) {
            threads[i] = wanted;
            return;
        }
    }
}

size_t write_images(qvcrash_async_file_t* file, qvcrash_async_image_list_t* image_list) {
    if (image_list == nullptr) return 0;
    size_t rv = 0;
    MSqvcrash_nasync_image_list_set_reading(image_list, true);
    for (qvcrash_async_macho_t* image = MSqvcrash_nasync_image_list_next(image_list, nullptr); image != nullptr;
         image = MSqvcrash_nasync_image_list_next(image_list, image)) {
        rv += pack_embedded(file, kReportBinaryImages, write_binary_image, image);
    }
    MSqvcrash_nasync_image_list_set_reading(image_list, false);
    return rv;
}

// The frames each thread may keep so that the report fits in budget bytes. The crashed thread,
// the images and the signal stay whole; the other threads lose their deepest frames first, all
// cut to one common depth, and only when every other thread is down to none does the crashed
// thread lose frames too. A report that cannot be made to fit is written whole (and its writes
// past the limit dropped and reported).
frame_caps fit_frames(const qvcrash_log_writer_t* writer, const thread_set& set, const system_info_context* system,
                      const exception_context* exception, const qvcrash_log_signal_info_t* siginfo, uint64_t budget) {
    frame_caps caps = {kQVCrashReportMaxFrames, kQVCrashReportMaxFrames, false};
    bool expected = false;
    if (!gMeasuresBusy.compare_exchange_strong(expected, true, std::memory_order_acquire)) return caps;
    caps.measured = true;

    uint64_t fixed = kQVCrashReportHeaderLength;
    fixed += pack_embedded(nullptr, kReportReportInfo, write_report_info, writer);
    fixed += pack_embedded(nullptr, kReportSystemInfo, write_system_info, system);
    fixed += pack_embedded(nullptr, kReportMachineInfo, write_machine_info, writer);
    fixed += pack_embedded(nullptr, kReportApplicationInfo, write_application_info, writer);
    fixed += pack_embedded(nullptr, kReportProcessInfo, write_process_info, writer);
    fixed += write_images(nullptr, set.image_list);
    if (writer->uncaught_exception.has_exception) {
        fixed += pack_embedded(nullptr, kReportException, write_exception, exception);
    }
    fixed += pack_embedded(nullptr, kReportSignal, write_signal, siginfo->bsd_info);

    size_t measured = 0;
    size_t crashed_index = kQVCrashReportMaxThreads;
    for (size_t i = 0; i < set.count; ++i) {
        thread_context thread;
        if (!thread_at(set, i, static_cast<uint32_t>(measured), caps, &gMeasures[measured], &thread)) continue;
        write_thread(nullptr, &thread);
        if (thread.crashed) crashed_index = measured;
        ++measured;
    }

    auto report_size = [&](const frame_caps& c) {
        uint64_t size = fixed;
        for (size_t i = 0; i < measured; ++i) {
            size += thread_field_size(gMeasures[i], i == crashed_index ? c.crashed : c.other);
        }
        return size;
    };
    if (report_size(caps) > budget) {
        caps.other = kQVCrashReportMaxFrames - kMeasureStep;
        while (caps.other > 0 && report_size(caps) > budget) caps.other -= kMeasureStep;
        while (caps.crashed > kMeasureStep && report_size(caps) > budget) caps.crashed -= kMeasureStep;
        QVCRASH_DEBUG("The report is cut to fit %llu bytes: at most %u frames per thread, %u of the crashed one",
                      static_cast<unsigned long long>(budget), static_cast<unsigned>(caps.other),
                      static_cast<unsigned>(caps.crashed));
    }
    return caps;
}

char* copyString(const char* s) { return s ? ::strdup(s) : nullptr; }

char* copyString(const std::string& s) { return ::strdup(s.c_str()); }

char* readExecutablePath() {
    for (size_t size = 256; size <= 65536; size *= 2) {
        char* buf = static_cast<char*>(std::malloc(size));
        if (buf == nullptr) return nullptr;
        ssize_t n = ::readlink("/proc/self/exe", buf, size);
        if (n < 0) {
            std::free(buf);
            return nullptr;
        }
        if (static_cast<size_t>(n) < size) {
            buf[n] = '\0';
            return buf;
        }
        std::free(buf);  // cut: try a larger buffer
    }
    return nullptr;
}

}  // namespace

size_t MSqvcrash_writer_pack(qvcrash_async_file_t* file, uint32_t field_id, qvcrash_protobuf_type_t field_type,
                             const void* value) {
    if (field_type > QVCRASH_PROTOBUF_TYPE_MESSAGE) {
        QVCRASH_DEBUG("Unhandled field type %d", static_cast<int>(field_type));
        std::abort();
    }

    // The key: a 32-bit varint for field numbers below 2^29, a 64-bit one above.
    uint8_t scratch[10];
    size_t rv;
    const uint64_t key = (static_cast<uint64_t>(field_id) << 3) | wireTypeOf(field_type);
    rv = field_id < (1u << 29) ? varint32(scratch, static_cast<uint32_t>(key)) : varint64(scratch, key);
    emit(file, scratch, rv);

    size_t n = 0;
    switch (field_type) {
        case QVCRASH_PROTOBUF_TYPE_INT32: {
            const int32_t v = *static_cast<const int32_t*>(value);
            // A negative value is sign-extended to ten bytes.
            n = v < 0 ? varint64(scratch, static_cast<uint64_t>(static_cast<int64_t>(v)))
                      : varint32(scratch, static_cast<uint32_t>(v));
            break;
        }
        case QVCRASH_PROTOBUF_TYPE_SINT32: {
            const int32_t v = *static_cast<const int32_t*>(value);
            n = varint32(scratch, (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31));
            break;
        }
        case QVCRASH_PROTOBUF_TYPE_SINT64: {
            const int64_t v = *static_cast<const int64_t*>(value);
            n = varint64(scratch, (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63));
            break;
        }
        case QVCRASH_PROTOBUF_TYPE_INT64:
            n = varint64(scratch, static_cast<uint64_t>(*static_cast<const int64_t*>(value)));
            break;
        case QVCRASH_PROTOBUF_TYPE_UINT64:
            n = varint64(scratch, *static_cast<const uint64_t*>(value));
            break;
        case QVCRASH_PROTOBUF_TYPE_UINT32:
        case QVCRASH_PROTOBUF_TYPE_ENUM:
            n = varint32(scratch, *static_cast<const uint32_t*>(value));
            break;
        case QVCRASH_PROTOBUF_TYPE_SFIXED32:
        case QVCRASH_PROTOBUF_TYPE_FIXED32:
        case QVCRASH_PROTOBUF_TYPE_FLOAT: {
            uint32_t bits;
            qvcrash_async_memcpy(&bits, value, sizeof(bits));
            n = fixed32(scratch, bits);
            break;
        }
        case QVCRASH_PROTOBUF_TYPE_SFIXED64:
        case QVCRASH_PROTOBUF_TYPE_FIXED64:
        case QVCRASH_PROTOBUF_TYPE_DOUBLE: {
            uint64_t bits;
            qvcrash_async_memcpy(&bits, value, sizeof(bits));
            n = fixed64(scratch, bits);
            break;
        }
        case QVCRASH_PROTOBUF_TYPE_BOOL:
            scratch[0] = *static_cast<const bool*>(value) ? 1 : 0;
            n = 1;
            break;
        case QVCRASH_PROTOBUF_TYPE_STRING: {
            const char* s = value ? static_cast<const char*>(value) : "";
            const size_t len = qvcrash_async_strlen(s);
            n = varint64(scratch, len);
            emit(file, scratch, n);
            emit(file, s, len);
            return rv + n + len;
        }
        case QVCRASH_PROTOBUF_TYPE_BYTES: {
            const auto* bytes = static_cast<const qvcrash_protobuf_bytes_t*>(value);
            n = varint64(scratch, bytes->len);
            emit(file, scratch, n);
            emit(file, bytes->data, bytes->len);
            return rv + n + bytes->len;
        }
        case QVCRASH_PROTOBUF_TYPE_MESSAGE:
            n = varint32(scratch, *static_cast<const uint32_t*>(value));
            break;
    }
    emit(file, scratch, n);
    return rv + n;
}

qvcrash_error_t MSqvcrash_log_writer_init(qvcrash_log_writer_t* writer, const char* app_identifier,
                                          const char* app_version, const char* app_marketing_version,
                                          uint32_t symbolication_strategy, bool user_requested) {
    std::memset(writer, 0, sizeof(*writer));
    writer->symbolication_strategy = symbolication_strategy;
    writer->user_requested = user_requested;

    platform::UUID uuid;
    std::memcpy(writer->uuid, uuid.bytes().data(), sizeof(writer->uuid));

    writer->application_info.app_identifier = copyString(app_identifier ? app_identifier : "");
    writer->application_info.app_version = copyString(app_version ? app_version : "");
    writer->application_info.app_marketing_version = copyString(app_marketing_version);

    // The process.
    auto process = MSCrashProcessInfo::currentProcessInfo();
    if (!process) {
        QVCRASH_DEBUG("Could not retreive process info for target");
        std::atomic_thread_fence(std::memory_order_seq_cst);
        return QVCRASH_ESUCCESS;
    }
    auto& p = writer->process_info;
    p.process_id = static_cast<uint32_t>(process->processID());
    if (process->processName()) p.process_name = copyString(*process->processName());
    p.start_time = static_cast<uint64_t>(process->startTime().tv_sec);
    p.process_path = readExecutablePath();
    p.parent_process_id = static_cast<uint32_t>(process->parentProcessID());
    auto parent = MSCrashProcessInfo::initWithProcessID(process->parentProcessID());
    if (parent && parent->processName()) {
        p.parent_process_name = copyString(*parent->processName());
    } else {
        QVCRASH_DEBUG("Could not retreive parent process name: %s", qvcrash_async_errno_text(errno ? errno : ESRCH));
    }

    // The machine.
    auto& m = writer->machine_info;
    m.model = MSqvcrash_sysctlbyname_copy_string("hw.model");
    if (m.model == nullptr) QVCRASH_DEBUG("Could not retrive hw.model: %s", qvcrash_async_errno_text(errno));
    int32_t value = 0;
    if (MSqvcrash_sysctlbyname_int32("hw.cputype", &value)) {
        m.cpu_type = static_cast<uint32_t>(value);
    } else {
        QVCRASH_DEBUG("Could not retrive hw.cputype: %s", qvcrash_async_errno_text(errno));
    }
    if (MSqvcrash_sysctlbyname_int32("hw.cpusubtype", &value)) {
        m.cpu_subtype = static_cast<uint32_t>(value);
    } else {
        QVCRASH_DEBUG("Could not retrive hw.cpusubtype: %s", qvcrash_async_errno_text(errno));
    }
    if (MSqvcrash_sysctlbyname_int32("hw.physicalcpu_max", &value)) {
        m.processor_count = static_cast<uint32_t>(value);
    } else {
        QVCRASH_DEBUG("Could not retrive hw.physicalcpu_max: %s", qvcrash_async_errno_text(errno));
    }
    if (MSqvcrash_sysctlbyname_int32("hw.logicalcpu_max", &value)) {
        m.logical_processor_count = static_cast<uint32_t>(value);
    } else {
        QVCRASH_DEBUG("Could not retrive hw.logicalcpu_max: %s", qvcrash_async_errno_text(errno));
    }

    // Native unless the kernel says otherwise (Linux has no such variable: always native).
    p.native = !(MSqvcrash_sysctlbyname_int32("sysctl.proc_native", &value) && value == 0);

    // The system.
    writer->system_info.build = MSqvcrash_sysctlbyname_copy_string("kern.osversion");
    if (writer->system_info.build == nullptr) {
        QVCRASH_DEBUG("Could not retrive kern.osversion: %s", qvcrash_async_errno_text(errno));
    }
    if (auto host = MSCrashHostInfo::currentHostInfo()) {
        const QVCrashHostInfoVersion v = host->darwinVersion();
        char version[96];
        qvcrash_async_format(version, sizeof(version), "%d.%d.%d", static_cast<int>(v.major),
                             static_cast<int>(v.minor), static_cast<int>(v.revision));
        writer->system_info.version = copyString(version);
    } else {
        QVCRASH_DEBUG("Could not retrieve system major version with Gestalt");
    }

    // A signal handler on another thread must see the filled writer.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return QVCRASH_ESUCCESS;
}

void MSqvcrash_log_writer_set_exception(qvcrash_log_writer_t* writer, const std::string& name,
                                        const std::string& reason, const std::vector<uint64_t>& returnAddresses) {
    if (!QV_ASSERT(!writer->uncaught_exception.has_exception, "writer->uncaught_exception.has_exception == false")) {
        return;
    }
    writer->uncaught_exception.has_exception = true;
    writer->uncaught_exception.name = ::strdup(name.c_str());
    writer->uncaught_exception.reason = ::strdup(reason.c_str());
    if (!returnAddresses.empty()) {
        auto* addresses = static_cast<uint64_t*>(std::malloc(returnAddresses.size() * sizeof(uint64_t)));
        if (addresses) {
            for (size_t i = 0; i < returnAddresses.size(); ++i) addresses[i] = returnAddresses[i];
            writer->uncaught_exception.callstack = addresses;
            writer->uncaught_exception.callstack_count = returnAddresses.size();
        }
    }
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

qvcrash_error_t MSqvcrash_log_writer_write(qvcrash_log_writer_t* writer, qvcrash_thread_t crashed_thread,
                                           qvcrash_async_image_list_t* image_list, qvcrash_async_file_t* file,
                                           qvcrash_log_signal_info_t* siginfo,
                                           const qvcrash_async_thread_state_t* current_state,
                                           qvcrash_other_threads_t others) {
    const qvcrash_thread_t self = MSpl_mach_thread_self();
    if (self == crashed_thread && current_state == nullptr) {
        QVCRASH_DEBUG("Assertion failed: MSpl_mach_thread_self() != crashed_thread || current_state != ((void*)0)");
        return QVCRASH_EINVAL;
    }
    if (siginfo == nullptr || siginfo->bsd_info == nullptr) {
        QVCRASH_DEBUG("Assertion failed: siginfo->bsd_info != ((void*)0)");
        return QVCRASH_EINVAL;
    }

    // Every other thread stops for the whole write, so both passes over a thread see the same
    // stack. A thread that cannot be stopped is listed without its stack.
    qvcrash_thread_t threads[kQVCrashReportMaxThreads];
    bool suspended[kQVCrashReportMaxThreads];
    size_t total = 0;
    size_t thread_count = 0;
    bool complete = true;
    if (crash::listThreads(crash::taskSelf(), threads, kQVCrashReportMaxThreads, &total) != crash::kKernSuccess) {
        QVCRASH_DEBUG("Fetching thread list failed");
        complete = false;
    } else {
        thread_count = total < kQVCrashReportMaxThreads ? total : kQVCrashReportMaxThreads;
        if (total > thread_count) {
            QVCRASH_DEBUG("Only %u of %u threads fit the report", static_cast<unsigned>(thread_count),
                          static_cast<unsigned>(total));
            // The crashed thread and the calling one are always among those listed.
            ensure_listed(threads, thread_count, crashed_thread, self);
            if (current_state != nullptr) ensure_listed(threads, thread_count, self, crashed_thread);
        }
    }
    crash::suspendThreads(threads, thread_count, suspended);
    for (size_t i = 0; i < thread_count; ++i) {
        if (threads[i] != self && !suspended[i]) QVCRASH_DEBUG("Could not suspend thread %d", static_cast<int>(threads[i]));
    }
    // The threads the report has no room for, and any started since the listing, stop too: none
    // may end the process (_exit included) while the report is written.
    const uint32_t parking = complete ? crash::parkUnlistedThreads(threads, thread_count) : 0;
    // One symbol-lookup context for every frame of the report, sizing pass included.
    qvcrash_async_symbol_cache_t symbol_cache;
    MSqvcrash_async_symbol_cache_init(&symbol_cache);
    thread_set set = {threads, suspended, thread_count, self, crashed_thread, current_state, image_list,
                      writer->symbolication_strategy, &symbol_cache};

    system_info_context system = {writer, 0};
    struct timespec now {};
    if (::clock_gettime(CLOCK_REALTIME, &now) == 0) {
        system.timestamp = static_cast<int64_t>(now.tv_sec);
    } else {
        QVCRASH_DEBUG("Failed to fetch timestamp: %s", qvcrash_async_errno_text(errno));
    }
    exception_context exception = {writer, image_list, &symbol_cache};

    // A report that would pass the file's limit sheds frames first.
    frame_caps caps = {kQVCrashReportMaxFrames, kQVCrashReportMaxFrames, false};
    if (file->limit_bytes != 0) {
        const uint64_t budget = file->limit_bytes > file->total_bytes ? file->limit_bytes - file->total_bytes : 0;
        caps = fit_frames(writer, set, &system, &exception, siginfo, budget);
    }

    // The framing.
    MSqvcrash_async_file_write(file, kQVCrashReportFileMagic, kQVCrashReportFileMagicLength);
    MSqvcrash_async_file_write(file, &kQVCrashReportFileVersion, 1);

    pack_embedded(file, kReportReportInfo, write_report_info, writer);
    pack_embedded(file, kReportSystemInfo, write_system_info, &system);
    pack_embedded(file, kReportMachineInfo, write_machine_info, writer);
    pack_embedded(file, kReportApplicationInfo, write_application_info, writer);
    pack_embedded(file, kReportProcessInfo, write_process_info, writer);

    uint32_t written = 0;
    for (size_t i = 0; i < thread_count; ++i) {
        thread_context thread;
        if (!thread_at(set, i, written, caps, nullptr, &thread)) continue;
        if (caps.measured) {
            // Sized by the sizing pass: the key, the length, then the one walk that writes.
            const thread_measure& m = gMeasures[written];
            const uint32_t cap = thread.max_frames;
            const uint32_t size = m.base + (cap >= m.frames ? m.frame_bytes : m.step_bytes[cap / kMeasureStep]);
            MSqvcrash_writer_pack(file, kReportThreads, QVCRASH_PROTOBUF_TYPE_MESSAGE, &size);
            write_thread(file, &thread);
        } else {
            pack_embedded(file, kReportThreads, write_thread, &thread);
        }
        ++written;
    }
    if (caps.measured) gMeasuresBusy.store(false, std::memory_order_release);

    write_images(file, image_list);
    if (writer->uncaught_exception.has_exception) pack_embedded(file, kReportException, write_exception, &exception);
    pack_embedded(file, kReportSignal, write_signal, siginfo->bsd_info);
    MSqvcrash_async_symbol_cache_free(&symbol_cache);

    for (size_t i = 0; others == qvcrash_other_threads_t::resume && i < thread_count; ++i) {
        if (suspended[i] && crash::resumeThread(threads[i]) != crash::kKernSuccess) {
            QVCRASH_DEBUG("Could not resume thread %d", static_cast<int>(threads[i]));
        }
    }
    if (others == qvcrash_other_threads_t::resume) crash::releaseParkedThreads(parking);
    if (!complete) return QVCRASH_EINTERNAL;
    if (file->write_failed) {
        QVCRASH_DEBUG("The report is incomplete: some of its bytes could not be written");
        return QVCRASH_OUTPUT_ERR;
    }
    return QVCRASH_ESUCCESS;
}

qvcrash_error_t MSqvcrash_log_writer_close(qvcrash_log_writer_t*) { return QVCRASH_ESUCCESS; }

void MSqvcrash_log_writer_free(qvcrash_log_writer_t* writer) {
    std::free(writer->system_info.version);
    std::free(writer->system_info.build);
    writer->system_info = {};
    std::free(writer->machine_info.model);
    writer->machine_info = {};
    std::free(writer->application_info.app_identifier);
    std::free(writer->application_info.app_version);
    std::free(writer->application_info.app_marketing_version);
    writer->application_info = {};
    std::free(writer->process_info.process_name);
    std::free(writer->process_info.process_path);
    std::free(writer->process_info.parent_process_name);
    writer->process_info = {};
    if (writer->uncaught_exception.has_exception) {
        std::free(writer->uncaught_exception.name);
        std::free(writer->uncaught_exception.reason);
        std::free(writer->uncaught_exception.callstack);
    }
    writer->uncaught_exception = {};
}

namespace {

// A child forked (without exec) from the process that enabled the reporter crashes: the writer
// was filled for the parent. The report is this process's: its id, its parent, an id of its own
// (siblings crashing too would otherwise share one), and images read in this process.
void adopt_forked_process(qvcrash_log_writer_t* writer, uint32_t pid) {
    auto& p = writer->process_info;
    if (p.process_id == pid) return;
    const uint32_t parent = static_cast<uint32_t>(::syscall(SYS_getppid));
    // The enabling process runs this program too; any other parent is not known here. (This
    // writer is never freed: the process ends with this crash.)
    p.parent_process_name = parent == p.process_id ? p.process_name : nullptr;
    p.parent_process_id = parent;
    p.process_id = pid;
    uint8_t fresh[sizeof(writer->uuid)] = {};
    if (::syscall(SYS_getrandom, fresh, sizeof(fresh), GRND_NONBLOCK) != static_cast<long>(sizeof(fresh))) {
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        qvcrash_async_memcpy(fresh, writer->uuid, sizeof(fresh));
        for (size_t i = 0; i < 4; ++i) fresh[i] ^= static_cast<uint8_t>(pid >> (8 * i));
        for (size_t i = 0; i < 8; ++i) fresh[4 + i] ^= static_cast<uint8_t>(static_cast<uint64_t>(now.tv_nsec) >> (8 * i));
    }
    fresh[6] = static_cast<uint8_t>((fresh[6] & 0x0F) | 0x40);  // version 4
    fresh[8] = static_cast<uint8_t>((fresh[8] & 0x3F) | 0x80);  // RFC 4122 variant
    qvcrash_async_memcpy(writer->uuid, fresh, sizeof(fresh));
    MSqvcrash_async_image_list_adopt_task(MSqvcrash_shared_image_list(), static_cast<qvcrash_task_t>(pid));
}

}  // namespace

int qvcrash_place_report(const char* from, const char* path, int pid, char* buffer, size_t capacity) {
    int err = qvcrash_async_rename_noreplace(from, path);
    // A name is tried only while it fits: a cut one could be another report's.
    for (unsigned n = 1; err == EEXIST && n <= 10000; ++n) {
        if (qvcrash_async_format(buffer, capacity, "%s.%d.%u", path, pid, n) + 1 >= capacity) return ENAMETOOLONG;
        err = qvcrash_async_rename_noreplace(from, buffer);
    }
    return err;
}

namespace {

// The report's size limit: the format's, or the process's file size limit when that is lower
// (the sizing pass then makes the report fit it).
uint64_t report_size_limit() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < kQVCrashReportMaxSize) {
        return limit.rlim_cur > 0 ? limit.rlim_cur : 1;
    }
    return kQVCrashReportMaxSize;
}

// The partial file of this crash, made anew: whatever stood at the name (a partial file of an
// earlier process of this id, a link, a FIFO) is taken away rather than written through or
// waited on. The folder is made again when it is gone. -1 when it cannot be opened.
int open_partial_file(qvcrash_handler_context_t* context) {
    ::unlink(context->partial_path);
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(context->partial_path, flags, 0644);
    if (fd < 0 && errno == ENOENT &&
        qvcrash_async_make_parent_folders(context->partial_path, context->placed_path, context->path_capacity)) {
        fd = ::open(context->partial_path, flags, 0644);
    }
    if (fd < 0) return -1;
    // With standard error closed the file could be descriptor 2, where the engine's diagnostic
    // lines would end up inside the report: move it above the standard descriptors.
    if (fd <= 2) {
        int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (moved >= 0) {
            ::close(fd);
            fd = moved;
        }
    }
    // Held while this process lives: a start tells a partial file being written from one left by a
    // process that is gone by it, whichever process id namespace either lives in.
    qvcrash_async_lock_file(fd);
    return fd;
}

}  // namespace

qvcrash_error_t qvcrash_write_report(qvcrash_handler_context_t* context, qvcrash_thread_t crashed_thread,
                                     const ucontext_t* current_state, qvcrash_log_signal_info_t* siginfo) {
    // This process's id now, not the enabling process's: raw, as a forked child's cached one may
    // not be the truth.
    const int pid = static_cast<int>(::syscall(SYS_getpid));
    adopt_forked_process(&context->writer, static_cast<uint32_t>(pid));
    if (qvcrash_async_format(context->partial_path, context->path_capacity, "%s.%d.partial", context->path, pid) + 1 >=
        context->path_capacity) {
        QVCRASH_DEBUG("The report's file name is too long");
        return QVCRASH_EINTERNAL;
    }
    const int fd = open_partial_file(context);
    if (fd < 0) {
        QVCRASH_DEBUG("Could not open the crashlog output file: %s", qvcrash_async_errno_text(errno));
        return QVCRASH_EINTERNAL;
    }
    // A write past the file size limit fails instead of ending the process with SIGXFSZ: the
    // process ends with its own signal.
    struct sigaction ignore, previous_xfsz;
    qvcrash_async_memset(&ignore, 0, sizeof(ignore));
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    const bool xfsz_saved = ::sigaction(SIGXFSZ, &ignore, &previous_xfsz) == 0;

    qvcrash_async_file_t file;
    MSqvcrash_async_file_init(&file, fd, report_size_limit());

    qvcrash_async_thread_state_t state;
    const qvcrash_async_thread_state_t* statep = nullptr;
    if (current_state != nullptr) {
        MSqvcrash_async_thread_state_mcontext_init(&state, &current_state->uc_mcontext);
        statep = &state;
    }
    // The other threads stay stopped: resumed, one of them could end the process (return from
    // main, call exit) before the last bytes reach the file, and the crash would be lost.
    qvcrash_error_t err = MSqvcrash_log_writer_write(&context->writer, crashed_thread, MSqvcrash_shared_image_list(),
                                                     &file, siginfo, statep, qvcrash_other_threads_t::keep_stopped);
    MSqvcrash_log_writer_close(&context->writer);

    const bool flushed = MSqvcrash_async_file_flush(&file);
    if (xfsz_saved) ::sigaction(SIGXFSZ, &previous_xfsz, nullptr);
    // Only a report written whole takes a name the next start looks for: a cut one would be
    // taken for a damaged report and lost.
    if (!flushed || file.write_failed) {
        QVCRASH_DEBUG("%s", flushed ? "The report could not be written whole" : "Failed to flush output file");
        ::unlink(context->partial_path);
        ::close(fd);
        return QVCRASH_EINTERNAL;
    }
    // Put into place while still open (and so locked), never under another's name.
    const int placed = qvcrash_place_report(context->partial_path, context->path, pid, context->placed_path,
                                            context->path_capacity);
    if (placed != 0) QVCRASH_DEBUG("Could not move the report into place: %s", qvcrash_async_errno_text(placed));
    if (!MSqvcrash_async_file_close(&file)) {
        QVCRASH_DEBUG("Failed to close output file");
        return QVCRASH_EINTERNAL;
    }
    if (placed != 0) return QVCRASH_EINTERNAL;
    return err;
}

}  // namespace quorvane
