#include "crashes/MSCrashesUtil.h"

#include <mutex>

#include "telemetry/MSUtility.h"

namespace quorvane {

namespace {

constexpr const char* kCrashesDir = "crashes";
constexpr const char* kLogBufferDir = "crasheslogbuffer";
constexpr const char* kWrapperExceptionsDir = "crasheswrapperexceptions";

// One flag per folder: set once the folder was created in this process.
std::mutex gMutex;
bool gCreated[3] = {false, false, false};

std::string folder(int index, const char* name) {
    std::lock_guard lock(gMutex);
    if (!gCreated[index]) MSUtility::createDirectoryForPathComponent(name);
    gCreated[index] = true;
    return name;
}

}  // namespace

std::string MSCrashesUtil::crashesDir() { return folder(0, kCrashesDir); }
std::string MSCrashesUtil::logBufferDir() { return folder(1, kLogBufferDir); }
std::string MSCrashesUtil::wrapperExceptionsDir() { return folder(2, kWrapperExceptionsDir); }

void MSCrashesUtil::resetDirectory() {
    std::lock_guard lock(gMutex);
    for (auto& created : gCreated) created = false;
}

}  // namespace quorvane
