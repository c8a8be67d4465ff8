// View controllers in windows: when their views appear, and the base class's method table that
// the process can change while it runs.

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

std::vector<std::string> gReplaced;
ViewController::Implementation gFormer = nullptr;
void recordingWillAppear(ViewController& self, std::string_view operation, bool flag) {
    gReplaced.push_back(std::string(self.className()) + " " + std::string(operation) + (flag ? " yes" : " no"));
    gFormer(self, operation, flag);
}

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
}

TEST(ViewController, TheWillAppearImplementationIsLookedUpByNameAndReplaceable) {
    EXPECT_EQ(ViewController::instanceMethod("viewDidVanish"), nullptr);
    EXPECT_EQ(ViewController::setInstanceMethod("viewDidVanish", recordingWillAppear), nullptr);
    gFormer = ViewController::setInstanceMethod(ViewController::kViewWillAppear, recordingWillAppear);
    ASSERT_NE(gFormer, nullptr);
    EXPECT_EQ(ViewController::instanceMethod(ViewController::kViewWillAppear), recordingWillAppear);

    ListViewController list;
    ViewController plain;
    list.viewWillAppear(true);  // an override reaches the replacement through the base
    plain.viewWillAppear(false);
    EXPECT_EQ(list.appearances, 1);
    EXPECT_EQ(gReplaced, (std::vector<std::string>{"ListViewController viewWillAppear yes",
                                                   "NSViewController viewWillAppear no"}));
    EXPECT_EQ(ViewController::setInstanceMethod(ViewController::kViewWillAppear, gFormer), recordingWillAppear);
}
