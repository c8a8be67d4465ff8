#include "platform/net/URLSessionConfiguration.h"

#include <atomic>

namespace quorvane::platform {

namespace {
std::atomic<TimeInterval> gDefaultResourceTimeout{7 * 24 * 3600};
}  // namespace

TimeInterval URLSessionConfiguration::defaultTimeoutIntervalForResource() { return gDefaultResourceTimeout.load(); }

void URLSessionConfiguration::setDefaultTimeoutIntervalForResource(TimeInterval t) { gDefaultResourceTimeout.store(t); }

URLSessionConfiguration URLSessionConfiguration::defaultSessionConfiguration() {
    URLSessionConfiguration c;
    c.kind_ = Kind::Default;
    c.cookieStorage_ = platform::HTTPCookieStorage::sharedHTTPCookieStorage();
    return c;
}

URLSessionConfiguration URLSessionConfiguration::ephemeralSessionConfiguration() {
    URLSessionConfiguration c;
    c.kind_ = Kind::Ephemeral;
    c.cookieStorage_ = std::make_shared<platform::HTTPCookieStorage>();
    return c;
}

URLSessionConfiguration URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(std::string identifier) {
    URLSessionConfiguration c;
    c.kind_ = Kind::Background;
    c.identifier_ = std::move(identifier);
    c.cookieStorage_ = platform::HTTPCookieStorage::sharedHTTPCookieStorage();
    return c;
}

}  // namespace quorvane::platform
