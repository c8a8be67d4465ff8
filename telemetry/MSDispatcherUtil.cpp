#include "telemetry/MSDispatcherUtil.h"

#include "platform/runloop/RunLoop.h"

namespace quorvane {

void MSDispatcherUtil::performBlockOnMainThread(std::function<void()> block) {
    platform::RunLoop::main()->post(std::move(block));
}

}  // namespace quorvane
