#include "fetcher/QNSessionUserAgent.h"

#include <sys/utsname.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "platform/foundation/BundleInfo.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

namespace {

constexpr const char* kUserAgentIDKey = "QNUserAgentID";
constexpr const char* kShortVersionKey = "CFBundleShortVersionString";
constexpr const char* kBundleVersionKey = "CFBundleVersion";

bool isForbidden(char32_t cp) {
    static const platform::CharacterSet forbidden =
        platform::CharacterSet::whitespaceAndNewline()
            .united(platform::CharacterSet::withCharacters(U"()<>@;:\\\"/[]?={}"))
            // Control characters are no more legal in a header than separators.
            .united(platform::CharacterSet([](char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }));
    return forbidden.contains(cp);
}

std::string processName() {
    std::string name = program_invocation_short_name ? program_invocation_short_name : "";
    if (name.empty()) {
        std::string comm;
        if (platform::readFile("/proc/self/comm", comm)) name = platform::trimWhitespace(comm);
    }
    return name;
}

// Up to three dot-separated numbers at the start of the text, missing ones as 0; nullopt
// when the text does not start with a digit.
std::optional<std::string> leadingVersion(std::string_view text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    int64_t parts[3] = {0, 0, 0};
    size_t i = 0;
    for (int part = 0; part < 3; ++part) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') break;
        int64_t n = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            if (n < 100000000) n = n * 10 + (text[i] - '0');
            ++i;
        }
        parts[part] = n;
        if (i >= text.size() || text[i] != '.') break;
        ++i;
    }
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]);
}

std::optional<std::string> osReleaseVersionID(const std::string& contents) {
    for (const auto& line : platform::split(contents, "\n")) {
        std::string l = platform::trimWhitespace(line);
        if (!platform::hasPrefix(l, "VERSION_ID=")) continue;
        std::string v = l.substr(11);
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            v = v.substr(1, v.size() - 2);
        if (!v.empty()) return v;
    }
    return std::nullopt;
}

std::mutex& identifierLock() {
    static std::mutex m;
    return m;
}

}  // namespace

QNSessionBundle QNSessionBundle::mainBundle() {
    QNSessionBundle b;
    b.bundleIdentifier = platform::BundleInfo::identifier();
    auto info = [](const char* key, std::optional<std::string> fallback) -> std::optional<std::string> {
        if (auto v = platform::BundleInfo::infoValue(key)) return v;
        return fallback;
    };
    if (auto v = info(kUserAgentIDKey, std::nullopt)) b.infoDictionary[kUserAgentIDKey] = *v;
    if (auto v = info(kShortVersionKey, platform::BundleInfo::version())) b.infoDictionary[kShortVersionKey] = *v;
    if (auto v = info(kBundleVersionKey, platform::BundleInfo::buildVersion())) b.infoDictionary[kBundleVersionKey] = *v;
    return b;
}

std::optional<std::string> QNSessionBundle::objectForInfoDictionaryKey(const std::string& key) const {
    auto it = infoDictionary.find(key);
    if (it == infoDictionary.end()) return std::nullopt;
    return it->second;
}

std::string QNSessionCleanedUserAgentToken(const std::optional<std::string>& text) {
    if (!text) return "";
    std::string out;
    out.reserve(text->size());
    for (char32_t cp : platform::codePoints(*text)) {
        if (cp == U' ' || cp == U',') {
            out.push_back('_');
        } else if (!isForbidden(cp)) {
            platform::appendUTF8(out, cp);
        }
    }
    return out;
}

namespace detail {
std::string QNSessionSystemVersionStringFrom(const std::optional<std::string>& kernelRelease,
                                             const std::optional<std::string>& osRelease) {
    std::optional<std::string> version;
    if (kernelRelease) version = leadingVersion(*kernelRelease);
    if (!version && osRelease) version = osReleaseVersionID(*osRelease);
    if (!version || version->empty()) version = "10.?.?";
    return "MacOSX/" + *version;
}
}  // namespace detail

std::string QNSessionSystemVersionString() {
    static const std::string value = [] {
        std::optional<std::string> release;
        struct utsname u {};
        if (::uname(&u) == 0) release = std::string(u.release);
        std::optional<std::string> osRelease;
        std::string contents;
        if (platform::readFile("/etc/os-release", contents) || platform::readFile("/usr/lib/os-release", contents))
            osRelease = contents;
        return detail::QNSessionSystemVersionStringFrom(release, osRelease);
    }();
    return value;
}

std::string QNSessionApplicationIdentifier(const QNSessionBundle* bundle) {
    std::lock_guard lock(identifierLock());
    static std::unordered_map<std::string, std::string> cache;

    QNSessionBundle main;
    if (!bundle) {
        main = QNSessionBundle::mainBundle();
        bundle = &main;
    }
    std::string key = bundle->bundleIdentifier.value_or("");
    if (auto it = cache.find(key); it != cache.end()) return it->second;

    std::string identifier;
    if (auto id = bundle->objectForInfoDictionaryKey(kUserAgentIDKey); id && !id->empty()) identifier = *id;
    else if (!key.empty()) identifier = key;
    else identifier = "proc_" + processName();
    std::string result = QNSessionCleanedUserAgentToken(identifier);

    std::string version = bundle->objectForInfoDictionaryKey(kShortVersionKey).value_or("");
    if (version.empty()) version = bundle->objectForInfoDictionaryKey(kBundleVersionKey).value_or("");
    version = QNSessionCleanedUserAgentToken(version);
    if (!version.empty()) result += "/" + version;

    cache.emplace(std::move(key), result);
    return result;
}

std::string QNSessionStandardUserAgentString(const QNSessionBundle* bundle) {
    return QNSessionApplicationIdentifier(bundle) + " " + QNSessionSystemVersionString();
}

}  // namespace quorvane
