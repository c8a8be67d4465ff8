#include "platform/foundation/Memory.h"

#include <malloc.h>

namespace quorvane::platform {

void returnFreedMemory() { malloc_trim(0); }

void releaseInBulk(const std::function<void()>& release) {
    // 64 * sizeof(size_t) / 4 is glibc's own default.
    constexpr int kDefaultFastBlockLimit = 64 * int(sizeof(size_t)) / 4;
    mallopt(M_MXFAST, 0);
    release();
    mallopt(M_MXFAST, kDefaultFastBlockLimit);
}

}  // namespace quorvane::platform
