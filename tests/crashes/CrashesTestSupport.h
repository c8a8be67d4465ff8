#pragma once
// Sample crash-reporting logs with every field set, shared by the record and fixture tests.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "crashes/MSErrorLogs.h"
#include "tests/telemetry/TelemetryTestSupport.h"

namespace quorvane::test {

inline std::shared_ptr<MSStackFrame> sampleFrame(std::string address, bool full = false) {
    auto f = std::make_shared<MSStackFrame>();
    f->setAddress(std::move(address));
    if (full) {
        f->setCode("main + 20");
        f->setClassName("Sync");
        f->setMethodName("run");
        f->setLineNumber(17);
        f->setFileName("Sync.cpp");
    }
    return f;
}

inline std::shared_ptr<MSException> sampleException(std::string innermostMessage = "inner") {
    auto innermost = std::make_shared<MSException>();
    innermost->type = "std::bad_alloc";
    innermost->message = std::move(innermostMessage);
    auto inner = std::make_shared<MSException>();
    inner->type = "std::system_error";
    inner->innerExceptions = std::vector{innermost};
    auto e = std::make_shared<MSException>();
    e->type = "std::runtime_error";
    e->message = "sync failed";
    e->stackTrace = "at Sync.run";
    e->wrapperSdkName = "wrapper";
    e->frames = std::vector{sampleFrame("0x0000000000401000", true)};
    e->innerExceptions = std::vector{inner};
    return e;
}

inline std::shared_ptr<MSBinary> sampleBinary(std::string start, uint64_t variant = 3) {
    auto b = std::make_shared<MSBinary>();
    b->setBinaryId("0123456789abcdef0123456789abcdef01234567");
    b->setStartAddress(start);
    b->setEndAddress("0x0000000000401fff");
    b->setName("quorvane");
    b->setPath("/home/USER/bin/quorvane");
    b->setArchitecture("x86_64");
    b->setPrimaryArchitectureId(16777223);
    b->setArchitectureVariantId(variant);
    return b;
}

inline std::shared_ptr<MSAppleErrorLog> sampleAppleErrorLog() {
    auto log = stamped(std::make_shared<MSAppleErrorLog>());
    log->properties = std::map<std::string, std::string>{{"build", "ci"}};
    log->errorId = "2B5E4A8C-1D3F-4E6A-8B9C-0D1E2F3A4B5C";
    log->processId = 4242;
    log->processName = "quorvane";
    log->parentProcessId = 1;
    log->parentProcessName = "systemd";
    log->errorThreadId = 0;
    log->errorThreadName = "main";
    log->fatal = true;
    log->appLaunchTimestamp = platform::Date(786297500.5);
    log->architecture = "x86_64";
    log->primaryArchitectureId = 16777223;
    log->architectureVariantId = 3;
    log->applicationPath = "/home/USER/bin/quorvane";
    log->osExceptionType = "SIGSEGV";
    log->osExceptionCode = "SEGV_MAPERR";
    log->osExceptionAddress = "0x10";
    log->exceptionType = "std::runtime_error";
    log->exceptionReason = "sync failed";
    log->selectorRegisterValue = "run";
    auto thread = std::make_shared<MSThread>();
    thread->threadId = 0;
    thread->name = "main";
    thread->frames->push_back(sampleFrame("0x0000000000401000", true));
    thread->frames->push_back(sampleFrame("0x0000000000401010"));
    thread->exception = sampleException();
    log->threads = std::vector{thread, std::make_shared<MSThread>()};
    log->binaries = std::vector{sampleBinary("0x0000000000400000"), sampleBinary("0x0000000000500000", 8)};
    log->registers = std::map<std::string, std::string>{{"rip", "0x0000000000401000"}, {"rsp", "0x00007ffd00000000"}};
    log->exception = sampleException();
    return log;
}

// One log of each archivable crash-reporting log class, under its fixture name.
inline std::vector<std::pair<std::string, std::shared_ptr<MSAbstractLog>>> sampleCrashesLogs() {
    registerCrashesClasses();
    auto handled = stamped(std::make_shared<MSHandledErrorLog>());
    handled->properties = std::map<std::string, std::string>{{"screen", "groups"}};
    handled->errorId = "7C9D0E1F-2A3B-4C5D-8E6F-708192A3B4C5";
    handled->exception = sampleException();
    auto attachment = stamped(MSErrorAttachmentLog::attachmentWithBinary(
        platform::Bytes{0, 1, 2, 0xff}, std::string("dump.bin"), std::string("application/octet-stream")));
    attachment->attachmentId = "0F1E2D3C-4B5A-4968-8776-A5B4C3D2E1F0";
    attachment->errorId = handled->errorId;
    return {{"apple-error-log", sampleAppleErrorLog()},
            {"handled-error-log", handled},
            {"error-attachment-log", attachment}};
}

}  // namespace quorvane::test
