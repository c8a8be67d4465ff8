#include "analytics/MSAnalyticsCategory.h"

#include <array>
#include <atomic>
#include <mutex>

#include "analytics/MSAnalytics.h"
#include "platform/foundation/ForkSafeMutex.h"
#include "platform/ui/ViewController.h"

namespace quorvane {

namespace {

using platform::ViewController;

constexpr std::array<std::string_view, 3> kExcludedControllers = {"NSTabViewController", "NSSplitViewController",
                                                                   "NSPageController"};
constexpr std::string_view kViewControllerSuffix = "ViewController";

// The will-appear implementation that was in place before ours.
std::atomic<ViewController::Implementation> gFormerViewWillAppear{nullptr};

struct MissedPageView {
    platform::ForkSafeMutex mutex;
    std::optional<std::string> name;
};
MissedPageView& missed() {
    static auto* m = new MissedPageView();  // kept through exit: a late appearance may still write it
    return *m;
}

std::string pageNameForClassName(std::string_view className) {
    if (auto dot = className.rfind('.'); dot != std::string_view::npos) className.remove_prefix(dot + 1);
    if (className.size() > kViewControllerSuffix.size() && className.ends_with(kViewControllerSuffix))
        className.remove_suffix(kViewControllerSuffix.size());
    return std::string(className);
}

// The replacement: the former implementation first, then the page view.
void msViewWillAppear(ViewController& self, std::string_view operation, bool animated) {
    if (auto former = gFormerViewWillAppear.load()) former(self, operation, animated);
    if (!MSAnalytics::isAutoPageTrackingEnabled()) return;
    const std::string_view className = self.className();
    for (auto excluded : kExcludedControllers)
        if (className == excluded) return;
    std::string name = pageNameForClassName(className);
    if (MSAnalytics::sharedInstance()->isAvailable()) {
        {
            std::lock_guard lock(missed().mutex);
            missed().name.reset();
        }
        MSAnalytics::trackPage(name);
    } else {
        std::lock_guard lock(missed().mutex);
        missed().name = std::move(name);
    }
}

void swizzleViewWillAppear() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Known before ours is in place, so that no appearance runs ours without it.
        gFormerViewWillAppear = ViewController::instanceMethod(ViewController::kViewWillAppear);
        gFormerViewWillAppear = ViewController::setInstanceMethod(ViewController::kViewWillAppear, msViewWillAppear);
    });
}

}  // namespace

void MSAnalyticsCategory::activateCategory() { swizzleViewWillAppear(); }

std::optional<std::string> MSAnalyticsCategory::missedPageViewName() {
    std::lock_guard lock(missed().mutex);
    return missed().name;
}

}  // namespace quorvane
