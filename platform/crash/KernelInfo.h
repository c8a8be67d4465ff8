#pragma once
// Kernel facts by name, the way the capture engine asks for them: "kern.osrelease",
// "kernel.hostname", "vm.overcommit_memory". On Linux these are the files under /proc/sys:
// the first component "kern" stands for "kernel", every dot for a folder. Not for crash time.
//
// The machine facts the engine's report names in its own terms come from their Linux sources:
//   "hw.model"            the firmware's product name (DMI, or the device tree's model)
//   "hw.cputype"          the build's architecture as the report numbers it (x86-64: 16777223)
//   "hw.cpusubtype"       its subtype (x86-64: 3, all models; ARM64: 0)
//   "hw.logicalcpu_max"   configured logical processors
//   "hw.physicalcpu_max"  distinct cores in /proc/cpuinfo (the logical count when it names none)
//   "kern.osversion"      the kernel's build string (/proc/sys/kernel/version)

#include <cstdint>
#include <string>

namespace quorvane::platform::crash {

// The variable's value without its trailing line feed; false with errno in *err on failure
// (ENOENT for an unknown name).
bool readKernelVariable(const std::string& name, std::string& value, int* err = nullptr);

// The file under /proc/sys that holds a named variable.
std::string kernelVariablePath(const std::string& name);

}  // namespace quorvane::platform::crash
