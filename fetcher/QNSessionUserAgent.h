#pragma once
// "User-Agent" values of the fetcher family: "<application>/<version> MacOSX/<system version>".
//
// The application part comes from a bundle's identity (the main bundle: BundleInfo); the
// system part is the running kernel's release as three numbers (uname), e.g. "MacOSX/6.1.0".
// Every function may be called from any thread.

#include <map>
#include <optional>
#include <string>

namespace quorvane {

// What the user-agent functions read of a bundle: its identifier and a few Info values
// ("QNUserAgentID", "CFBundleShortVersionString", "CFBundleVersion").
struct QNSessionBundle {
    std::optional<std::string> bundleIdentifier;
    std::map<std::string, std::string> infoDictionary;

    // The application's own: BundleInfo's identifier and versions; an Info value set through
    // BundleInfo::setInfoValue takes the place of the compiled-in one.
    static QNSessionBundle mainBundle();
    std::optional<std::string> objectForInfoDictionaryKey(const std::string& key) const;
};

// The text as a legal user-agent token: spaces and commas become "_"; white space, line
// breaks, control characters and the HTTP separators ()<>@;:\"/[]?={} are deleted.
// nullopt gives "".
std::string QNSessionCleanedUserAgentToken(const std::optional<std::string>& text);

// "MacOSX/" and the system version, made once per process.
std::string QNSessionSystemVersionString();

// The cleaned "QNUserAgentID" Info value, else the bundle identifier, else "proc_" and the
// process name; then "/" and the cleaned short version (or bundle version) when there is one.
// nullptr: the main bundle. Cached per bundle identifier for the life of the process.
std::string QNSessionApplicationIdentifier(const QNSessionBundle* bundle = nullptr);

// Application identifier, one space, system version string.
std::string QNSessionStandardUserAgentString(const QNSessionBundle* bundle = nullptr);

namespace detail {
// The system version string from the kernel release (uname's "6.1.0-18-amd64") or, when that
// has no leading number, the contents of /etc/os-release (its VERSION_ID); "MacOSX/10.?.?"
// when neither gives a version.
std::string QNSessionSystemVersionStringFrom(const std::optional<std::string>& kernelRelease,
                                             const std::optional<std::string>& osRelease);
}  // namespace detail

}  // namespace quorvane
