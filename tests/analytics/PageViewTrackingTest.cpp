// Automatic page views: real view controllers appearing in a window on the main thread, their
// page logs arriving at the fake ingestion server.

#include <gtest/gtest.h>

#include "AnalyticsTestSupport.h"
#include "analytics/MSAnalyticsCategory.h"
#include "platform/runloop/RunLoop.h"
#include "platform/ui/Window.h"

using namespace quorvane;
using namespace quorvane::test;
using platform::ClassInfo;
using platform::ViewController;

namespace {

// A controller class as an application defines one: its class record, and an override of the
// will-appear operation that calls the base's.
template <const ClassInfo& Info, class Base = ViewController>
struct Controller : Base {
    const ClassInfo& classInfo() const override { return Info; }
    void viewWillAppear(bool animated) override { Base::viewWillAppear(animated); }
};

constexpr ClassInfo kSettings{"SettingsViewController", &ViewController::kClassInfo};
constexpr ClassInfo kBare{"ViewController", &ViewController::kClassInfo};
constexpr ClassInfo kQualified{"App.MainViewController", &ViewController::kClassInfo};
constexpr ClassInfo kPlain{"Inspector", &ViewController::kClassInfo};
constexpr ClassInfo kTab{"NSTabViewController", &ViewController::kClassInfo};
constexpr ClassInfo kMyTab{"MyTabViewController", &kTab};
constexpr ClassInfo kSplit{"NSSplitViewController", &ViewController::kClassInfo};
constexpr ClassInfo kPage{"NSPageController", &ViewController::kClassInfo};
constexpr ClassInfo kOnboarding{"OnboardingViewController", &ViewController::kClassInfo};
constexpr ClassInfo kHistory{"HistoryViewController", &ViewController::kClassInfo};
using TabViewController = Controller<kTab>;

// The application's own will-appear implementation, in place before page tracking replaces it:
// records which controllers it ran for.
std::vector<std::string> gFormerRan;
ViewController::Implementation gBaseWillAppear = nullptr;
void applicationWillAppear(ViewController& self, std::string_view operation, bool animated) {
    gFormerRan.emplace_back(self.className());
    gBaseWillAppear(self, operation, animated);
}

void activatePageTracking() {
    static std::once_flag once;
    std::call_once(once, [] {
        gBaseWillAppear = ViewController::setInstanceMethod(ViewController::kViewWillAppear, applicationWillAppear);
    });
    gFormerRan.clear();
    MSAnalyticsCategory::activateCategory();
}

// Shows each controller as the content of one window on screen.
void show(platform::Window& window, const std::vector<std::shared_ptr<ViewController>>& controllers) {
    window.makeKeyAndOrderFront();
    for (const auto& c : controllers) window.setContentViewController(c);
}

// Runs what the main queue holds now.
void drainMainQueue() {
    bool reached = false;
    platform::RunLoop::main()->post([&] { reached = true; });
    ASSERT_TRUE(platform::RunLoop::main()->runUntil([&] { return reached; }, 60));
}

// The page names that arrived up to and including a page tracked now as a marker.
std::vector<std::string> pagesUpTo(AnalyticsFixture& f, const std::string& marker) {
    MSAnalytics::trackPage(marker);
    f.flush();
    EXPECT_TRUE(f.waitForNamed(marker));
    std::vector<std::string> names;
    for (const auto& log : f.accepted("page")) names.push_back(log["name"].asString());
    return names;
}

}  // namespace

TEST(PageViewTracking, ControllersArriveAsPagesNamedAfterTheirClassAndContainersNever) {
    AnalyticsFixture f;
    ASSERT_TRUE(f.start());
    activatePageTracking();
    const auto installed = ViewController::instanceMethod(ViewController::kViewWillAppear);
    MSAnalyticsCategory::activateCategory();  // a second activation installs nothing more
    EXPECT_EQ(ViewController::instanceMethod(ViewController::kViewWillAppear), installed);
    MSAnalytics::setAutoPageTrackingEnabled(true);

    platform::Window window;
    show(window, {std::make_shared<Controller<kSettings>>(), std::make_shared<Controller<kBare>>(),
                  std::make_shared<Controller<kQualified>>(), std::make_shared<Controller<kPlain>>(),
                  std::make_shared<TabViewController>(), std::make_shared<Controller<kMyTab, TabViewController>>(),
                  std::make_shared<Controller<kSplit>>(), std::make_shared<Controller<kPage>>()});
    EXPECT_EQ(gFormerRan, (std::vector<std::string>{"SettingsViewController", "ViewController", "App.MainViewController",
                                                    "Inspector", "NSTabViewController", "MyTabViewController",
                                                    "NSSplitViewController", "NSPageController"}));
    EXPECT_EQ(pagesUpTo(f, "end"), (std::vector<std::string>{"Settings", "ViewController", "Main", "Inspector", "MyTab", "end"}));
    EXPECT_FALSE(MSAnalyticsCategory::missedPageViewName());
}

TEST(PageViewTracking, WithAutomaticTrackingOffControllersStillAppearAndNoPageIsSent) {
    AnalyticsFixture f;
    ASSERT_TRUE(f.start());
    activatePageTracking();
    const auto missedBefore = MSAnalyticsCategory::missedPageViewName();
    platform::Window window;
    show(window, {std::make_shared<Controller<kSettings>>()});
    EXPECT_EQ(gFormerRan, std::vector<std::string>{"SettingsViewController"});
    EXPECT_EQ(pagesUpTo(f, "end"), std::vector<std::string>{"end"});
    EXPECT_EQ(MSAnalyticsCategory::missedPageViewName(), missedBefore);
}

TEST(PageViewTracking, APageMissedWhileTheServiceIsUnavailableIsReplayedAtEachEnabling) {
    AnalyticsFixture f;
    activatePageTracking();
    MSAnalytics::setAutoPageTrackingEnabled(true);
    platform::Window window;
    {
        SDKLogCapture log(MSLogLevel::Error);  // no complaint about the service not being started
        show(window, {std::make_shared<Controller<kSettings>>(), std::make_shared<Controller<kOnboarding>>()});
        EXPECT_TRUE(log.texts().empty());
    }
    EXPECT_EQ(MSAnalyticsCategory::missedPageViewName(), "Onboarding");  // the last one only

    ASSERT_TRUE(f.start());
    drainMainQueue();
    EXPECT_EQ(pagesUpTo(f, "started"), (std::vector<std::string>{"Onboarding", "started"}));
    EXPECT_EQ(MSAnalyticsCategory::missedPageViewName(), "Onboarding");  // kept for a later enabling

    MSServiceAbstract::setEnabledForSharedInstance(*f.analytics, false);
    window.setContentViewController(std::make_shared<Controller<kHistory>>());
    EXPECT_EQ(MSAnalyticsCategory::missedPageViewName(), "History");
    MSServiceAbstract::setEnabledForSharedInstance(*f.analytics, true);
    drainMainQueue();
    EXPECT_EQ(pagesUpTo(f, "enabled"), (std::vector<std::string>{"Onboarding", "started", "History", "enabled"}));

    // A page tracked directly forgets the missed one.
    window.setContentViewController(std::make_shared<Controller<kSettings>>());
    EXPECT_FALSE(MSAnalyticsCategory::missedPageViewName());
}
