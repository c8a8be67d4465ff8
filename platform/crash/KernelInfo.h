#pragma once
// Kernel facts by name, the way the capture engine asks for them: "kern.osrelease",
// "kernel.hostname", "vm.overcommit_memory". On Linux these are the files under /proc/sys:
// the first component "kern" stands for "kernel", every dot for a folder. Not for crash time.

#include <cstdint>
#include <string>

namespace quorvane::platform::crash {

// The variable's value without its trailing line feed; false with errno in *err on failure
// (ENOENT for an unknown name).
bool readKernelVariable(const std::string& name, std::string& value, int* err = nullptr);

// The file under /proc/sys that holds a named variable.
std::string kernelVariablePath(const std::string& name);

}  // namespace quorvane::platform::crash
