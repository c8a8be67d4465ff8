#pragma once
// The process's heap, as a long run sees it.

namespace quorvane::platform {

// Gives back to the system the pages of memory the process let go of. A large list is parsed on a
// worker thread, whose malloc arena the main thread does not allocate from: what was freed there
// would otherwise stay with the process while the main thread's arena grows, and a large run would
// end holding both arenas' high-water marks.
void returnFreedMemory();

}  // namespace quorvane::platform
