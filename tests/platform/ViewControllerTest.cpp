// View controllers in windows: when their views appear. (Replacing the will-appear operation is
// shown by the analytics page-view tests.)

#include <gtest/gtest.h>

#include <thread>

#include "platform/foundation/Log.h"
#include "platform/ui/Window.h"

using namespace quorvane::platform;

namespace {

constexpr ClassInfo kListInfo{"ListViewController", &ViewController::kClassInfo};

// Counts its own appearances, then runs the base's operation, as applications write them.
struct ListViewController : ViewController {
    int appearances = 0;
    const ClassInfo& classInfo() const override { return kListInfo; }
    void viewWillAppear(bool animated) override {
        ++appearances;
        ViewController::viewWillAppear(animated);
    }
};

}  // namespace

TEST(ViewController, TheContentAppearsWhenTheWindowComesUpOrChangesWhileUp) {
    auto first = std::make_shared<ListViewController>();
    auto second = std::make_shared<ListViewController>();
    Window window;
    window.setContentViewController(first);
    EXPECT_EQ(first->appearances, 0);  // not on screen yet
    window.makeKeyAndOrderFront();
    window.makeKeyAndOrderFront();
    EXPECT_EQ(first->appearances, 1);
    window.orderOut();
    window.makeKeyAndOrderFront();
    EXPECT_EQ(first->appearances, 2);
    window.setContentViewController(second);
    EXPECT_EQ(second->appearances, 1);
    EXPECT_EQ(first->appearances, 2);

    // Windows belong to the main thread: elsewhere nothing appears and the misuse is reported.
    const auto failures = AssertionHandler::count();
    window.orderOut();
    std::thread([&] { window.makeKeyAndOrderFront(); }).join();
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(second->appearances, 1);
    EXPECT_EQ(AssertionHandler::count(), failures + 1);

    // Only the operations the class has are in its table.
    EXPECT_EQ(ViewController::instanceMethod("viewDidVanish"), nullptr);
    EXPECT_EQ(ViewController::setInstanceMethod("viewDidVanish", ViewController::instanceMethod("viewWillAppear")), nullptr);
}
