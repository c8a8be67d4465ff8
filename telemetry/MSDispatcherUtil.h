#pragma once

#include <functional>

namespace quorvane {

class MSDispatcherUtil {
public:
    // Queues the block on the main run loop and returns at once, also on the main thread.
    static void performBlockOnMainThread(std::function<void()> block);
};

}  // namespace quorvane
