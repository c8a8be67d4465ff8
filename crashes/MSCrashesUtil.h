#pragma once
// The folders of crash reporting under the SDK's storage root. The first call of each accessor in
// a process (or after resetDirectory) also creates its folder.

#include <string>

namespace quorvane {

class MSCrashesUtil {
public:
    static std::string crashesDir();             // "crashes"
    static std::string logBufferDir();           // "crasheslogbuffer"
    static std::string wrapperExceptionsDir();   // "crasheswrapperexceptions"
    // The next calls create the folders again.
    static void resetDirectory();
};

}  // namespace quorvane
