#pragma once
// Named kernel variables ("kern.osrelease", ...). Not for crash time.

#include <cstdint>

namespace quorvane {

// A newly allocated C string (the caller frees it), or null with errno kept for the caller's message.
char* MSqvcrash_sysctlbyname_copy_string(const char* name);
// The variable as a 32-bit integer; false with errno kept on failure (EINVAL when it is no integer).
bool MSqvcrash_sysctlbyname_int32(const char* name, int32_t* result);

}  // namespace quorvane
