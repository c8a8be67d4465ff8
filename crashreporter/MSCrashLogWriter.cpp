#include "crashreporter/MSCrashLogWriter.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/foundation/Log.h"
#include "platform/foundation/UUID.h"

namespace quorvane {

qvcrash_error_t MSqvcrash_log_writer_init(qvcrash_log_writer_t* writer, const char* app_identifier,
                                          const char* app_version, const char* app_marketing_version,
                                          uint32_t symbolication_strategy, bool user_requested) {
    std::memset(writer, 0, sizeof(*writer));
    writer->symbolication_strategy = symbolication_strategy;
    writer->user_requested = user_requested;

    platform::UUID uuid;
    std::memcpy(writer->uuid, uuid.bytes().data(), sizeof(writer->uuid));

    writer->application_info.app_identifier = ::strdup(app_identifier);
    writer->application_info.app_version = ::strdup(app_version);
    if (app_marketing_version) writer->application_info.app_marketing_version = ::strdup(app_marketing_version);

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

void MSqvcrash_log_writer_free(qvcrash_log_writer_t* writer) {
    std::free(writer->application_info.app_identifier);
    std::free(writer->application_info.app_version);
    std::free(writer->application_info.app_marketing_version);
    writer->application_info = {};
    if (writer->uncaught_exception.has_exception) {
        std::free(writer->uncaught_exception.name);
        std::free(writer->uncaught_exception.reason);
        std::free(writer->uncaught_exception.callstack);
    }
    writer->uncaught_exception = {};
}

qvcrash_error_t qvcrash_write_report(qvcrash_handler_context_t* context, qvcrash_thread_t crashed_thread,
                                     const ucontext_t* current_state, qvcrash_log_signal_info_t* siginfo) {
    // The report encoder does not exist yet. Writing nothing beats leaving an empty or
    // half-written file that the next start would take for a report.
    QVCRASH_DEBUG("Crash report writing is not available: %s", qvcrash_async_strerror(QVCRASH_ENOTSUP));
    return QVCRASH_ENOTSUP;
}

}  // namespace quorvane
