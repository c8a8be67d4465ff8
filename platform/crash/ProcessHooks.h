#pragma once
// What the capture engine needs to hear of a running process that Linux never announces: a new
// thread, and an image loaded or unloaded. The macOS loader calls back on every image added or
// removed; Linux has no such callbacks and no notice of new threads at all. So pthread_create,
// dlopen and dlclose are interposed here (a program that links this file defines them; they
// call the C library's own through the loader's next-symbol lookup):
//   - every thread started through pthread_create runs the thread start hook first, on itself,
//     before its own start routine;
//   - after every dlopen and dlclose that succeeds, the image hook runs on the calling thread.
// Loads the C library makes for itself (name service modules, character set converters) go
// through its internal entry points and are not seen. A dlopen that searches by bare name is
// made on behalf of the program rather than of the library that asked, so the search uses the
// program's run path. Not for crash time.

namespace quorvane::platform::crash {

using ThreadStartHook = void (*)();
using ImageChangeHook = void (*)();

// One hook of each kind per process; setting replaces the previous one, null removes it.
void setThreadStartHook(ThreadStartHook hook);
void setImageChangeHook(ImageChangeHook hook);

}  // namespace quorvane::platform::crash
