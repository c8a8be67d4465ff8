#include "crashes/MSCrashesCXXExceptionWrapperException.h"

#include <cxxabi.h>

#include <cstdlib>

#include "crashes/MSCrashes.h"

namespace quorvane {

MSCrashesCXXExceptionWrapperException::MSCrashesCXXExceptionWrapperException(
    const MSCrashesUncaughtCXXExceptionInfo* info)
    : info_(info) {
    const char* typeName = info && info->exceptionTypeName ? info->exceptionTypeName : "";
    int status = 0;
    char* demangled = abi::__cxa_demangle(typeName, nullptr, nullptr, &status);
    name = status == 0 && demangled ? demangled : typeName;
    std::free(demangled);
    reason = info && info->exceptionMessage ? info->exceptionMessage : "";
    if (info && info->exceptionFrames) {
        callStackReturnAddresses.assign(info->exceptionFrames, info->exceptionFrames + info->exceptionFramesCount);
    }
}

void uncaughtCXXExceptionHandler(const MSCrashesUncaughtCXXExceptionInfo* info) {
    MSCrashes::handOverUncaughtExceptionAndAbort(MSCrashesCXXExceptionWrapperException(info));
}

}  // namespace quorvane
