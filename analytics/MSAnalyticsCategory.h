#pragma once
// Automatic page views.
//
// Once activated, every view controller reports a page view each time its view is about to
// appear: the base view controller's will-appear operation is replaced, for the rest of the
// process, by one that runs the former operation and then, while automatic page tracking is on
// (MSAnalytics::setAutoPageTrackingEnabled), tracks a page named after the controller's class:
// the last "."-separated part of the name, less a trailing "ViewController" ("SettingsViewController"
// is "Settings"). The framework's container controllers (tab, split and page controllers, by exact
// class name) are never reported. A page that appears while the service is not available is kept
// as the missed page view, replacing an earlier one, and is tracked whenever the service's enabled
// state is next applied as enabled.

#include <optional>
#include <string>

namespace quorvane {

class MSAnalyticsCategory {
public:
    // Installs the replacement (once per process; later calls change nothing).
    static void activateCategory();
    // The last page that appeared while the service was not available; none once a page is
    // tracked directly.
    static std::optional<std::string> missedPageViewName();
};

}  // namespace quorvane
