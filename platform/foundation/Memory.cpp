#include "platform/foundation/Memory.h"

#include <malloc.h>

namespace quorvane::platform {

void returnFreedMemory() { malloc_trim(0); }

}  // namespace quorvane::platform
