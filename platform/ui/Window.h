#pragma once
// A window that shows the view of one view controller, its content. Used on the main thread.
//
// The content's view appears when the window comes on screen, and when a new content controller
// is set while the window is on screen: each time, the controller hears viewWillAppear first.

#include <memory>

#include "platform/ui/ViewController.h"

namespace quorvane::platform {

class Window {
public:
    void setContentViewController(std::shared_ptr<ViewController> controller);
    const std::shared_ptr<ViewController>& contentViewController() const { return content_; }

    // Brings the window on screen; nothing when it is already there.
    void makeKeyAndOrderFront();
    // Takes it off screen.
    void orderOut();
    bool isVisible() const { return visible_; }

private:
    std::shared_ptr<ViewController> content_;
    bool visible_ = false;
};

}  // namespace quorvane::platform
