#include "platform/ui/Window.h"

#include "platform/foundation/Log.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane::platform {

namespace {

bool onMainThread() { return QV_ASSERT(RunLoop::isMainThread(), "windows are used on the main thread"); }

}  // namespace

void Window::setContentViewController(std::shared_ptr<ViewController> controller) {
    if (!onMainThread()) return;
    content_ = std::move(controller);
    if (visible_ && content_) content_->viewWillAppear(false);
}

void Window::makeKeyAndOrderFront() {
    if (!onMainThread() || visible_) return;
    // The view appears as the window comes up: the controller hears it before.
    if (content_) content_->viewWillAppear(false);
    visible_ = true;
}

void Window::orderOut() {
    if (!onMainThread()) return;
    visible_ = false;
}

}  // namespace quorvane::platform
