#pragma once
// The application section of a decoded crash report.

#include <optional>
#include <string>

namespace quorvane {

class MSCrashReportApplicationInfo {
public:
    static MSCrashReportApplicationInfo initWithApplicationIdentifier(std::string applicationIdentifier,
                                                                      std::string applicationVersion,
                                                                      std::optional<std::string> applicationMarketingVersion) {
        return MSCrashReportApplicationInfo(std::move(applicationIdentifier), std::move(applicationVersion),
                                            std::move(applicationMarketingVersion));
    }
    MSCrashReportApplicationInfo(std::string applicationIdentifier, std::string applicationVersion,
                                 std::optional<std::string> applicationMarketingVersion)
        : applicationIdentifier_(std::move(applicationIdentifier)),
          applicationVersion_(std::move(applicationVersion)),
          applicationMarketingVersion_(std::move(applicationMarketingVersion)) {}

    // The bundle identifier.
    const std::string& applicationIdentifier() const { return applicationIdentifier_; }
    // The bundle version.
    const std::string& applicationVersion() const { return applicationVersion_; }
    // The short, user-facing version, when known.
    const std::optional<std::string>& applicationMarketingVersion() const { return applicationMarketingVersion_; }

private:
    std::string applicationIdentifier_;
    std::string applicationVersion_;
    std::optional<std::string> applicationMarketingVersion_;
};

}  // namespace quorvane
