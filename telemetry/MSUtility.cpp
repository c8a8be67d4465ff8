#include "telemetry/MSUtility.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <utility>

#include "platform/foundation/BundleInfo.h"
#include "platform/foundation/Calendar.h"
#include "platform/foundation/Crypto.h"
#include "platform/foundation/ForkSafeMutex.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/runloop/Application.h"
#include "platform/runloop/RunLoop.h"
#include "telemetry/MSLogger.h"

namespace fs = std::filesystem;

namespace quorvane {

namespace {

platform::ForkSafeMutex& fileLock() {
    static auto& m = *new platform::ForkSafeMutex;
    return m;
}

std::string pad(int64_t v, int width) {
    std::string s = std::to_string(v < 0 ? -v : v);
    if (int(s.size()) < width) s.insert(0, size_t(width) - s.size(), '0');
    return v < 0 ? "-" + s : s;
}

fs::path rootLocked() {
    // Kept for the whole process: channel workers still write files while the process exits.
    static const fs::path& root = *new fs::path([] {
        fs::path p = platform::Paths::dataHome() / platform::BundleInfo::identifier() / "com.dedozirav.revazezar";
        platform::Paths::ensureDirectory(p);
        return p;
    }());
    return root;
}

}  // namespace

std::string MSUtility::dateToISO8601(platform::Date date) {
    static const platform::Calendar& calendar = *new platform::Calendar(platform::TimeZone::universal());
    const double t = date.timeIntervalSinceReferenceDate();
    const double totalMs = std::floor(t * 1000.0);
    const double seconds = std::floor(totalMs / 1000.0);
    const int64_t ms = int64_t(totalMs - seconds * 1000.0);
    auto c = calendar.components(platform::Date(seconds));
    if (!c) return "";
    return pad(c->year, 4) + "-" + pad(c->month, 2) + "-" + pad(c->day, 2) + "T" + pad(c->hour, 2) + ":" +
           pad(c->minute, 2) + ":" + pad(c->second, 2) + "." + pad(ms, 3) + "Z";
}

bool MSUtility::isAppExtension() {
    static const bool extension = [] {
        std::error_code ec;
        return fs::read_symlink("/proc/self/exe", ec).string().find(".appex/") != std::string::npos;
    }();
    return extension;
}

MSApplicationState MSUtility::applicationState() {
    if (isAppExtension() || !platform::RunLoop::isMainThread()) return MSApplicationState::Unknown;
    return platform::Application::shared().isHidden() ? MSApplicationState::Background : MSApplicationState::Active;
}

fs::path MSUtility::storageRoot() {
    std::lock_guard lock(fileLock());
    return rootLocked();
}

fs::path MSUtility::fullURLForPathComponent(std::string_view component) {
    std::lock_guard lock(fileLock());
    return rootLocked() / component;
}

bool MSUtility::fileExistsForPathComponent(std::string_view component) {
    std::lock_guard lock(fileLock());
    std::error_code ec;
    return fs::exists(rootLocked() / component, ec);
}

std::optional<fs::path> MSUtility::createFileAtPathComponent(const std::optional<std::string>& component,
                                                             const std::optional<platform::Bytes>& data,
                                                             bool atomically, bool forceOverwrite) {
    if (!component) return std::nullopt;
    std::lock_guard lock(fileLock());
    const fs::path path = rootLocked() / *component;
    std::error_code ec;
    if (!forceOverwrite && fs::exists(path, ec)) return path;
    fs::create_directories(path.parent_path(), ec);
    const std::string_view bytes = data ? std::string_view(reinterpret_cast<const char*>(data->data()), data->size())
                                        : std::string_view();
    std::string error;
    bool ok;
    if (atomically) {
        auto written = platform::writeFileAtomically(path, bytes, 0600);
        ok = written.ok();
        if (!ok) error = written.error().localizedDescription();
    } else {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        ok = bool(out.write(bytes.data(), std::streamsize(bytes.size())));
        if (!ok) error = "the file could not be written";
    }
    if (!ok) {
        MSLogError(kMSLogTag, "Couldn't create file at " + path.string() + ": " + error);
        return std::nullopt;
    }
    return path;
}

std::optional<platform::Bytes> MSUtility::loadDataForPathComponent(std::string_view component) {
    std::lock_guard lock(fileLock());
    std::string bytes;
    if (!platform::readFile(rootLocked() / component, bytes)) return std::nullopt;
    return platform::Bytes(bytes.begin(), bytes.end());
}

namespace {
bool removeLogged(const fs::path& path, bool recursive) {
    std::error_code ec;
    bool removed = recursive ? fs::remove_all(path, ec) > 0 : fs::remove(path, ec);
    if (!removed) {
        const std::string why = ec ? ec.message() : "No such file or directory";
        MSLogDebug(kMSLogTag, "Couldn't remove item at " + path.string() + ": " + why);
    }
    return removed && !ec;
}
}  // namespace

bool MSUtility::deleteItemForPathComponent(std::string_view component) {
    std::lock_guard lock(fileLock());
    return removeLogged(rootLocked() / component, true);
}

bool MSUtility::deleteFileAtURL(const fs::path& url) {
    std::lock_guard lock(fileLock());
    return removeLogged(url, false);
}

std::optional<std::vector<fs::path>> MSUtility::contentsOfDirectory(std::string_view component) {
    if (component.empty()) return std::nullopt;
    std::lock_guard lock(fileLock());
    std::error_code ec;
    std::vector<fs::path> out;
    for (fs::directory_iterator it(rootLocked() / component, ec), end; !ec && it != end; it.increment(ec))
        out.push_back(it->path());
    if (ec) {
        MSLogDebug(kMSLogTag, "Couldn't get contents of directory " + std::string(component) + ": " + ec.message());
        return std::nullopt;
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::optional<fs::path> MSUtility::createDirectoryForPathComponent(std::string_view component) {
    std::lock_guard lock(fileLock());
    const fs::path path = rootLocked() / component;
    if (!platform::Paths::ensureDirectory(path)) {
        MSLogError(kMSLogTag, "Couldn't create directory at " + path.string());
        return std::nullopt;
    }
    return path;
}

std::optional<std::string> MSUtility::targetKeyFromTargetToken(std::string_view token) {
    const std::string key(token.substr(0, token.find('-')));
    if (key.empty()) return std::nullopt;
    return key;
}

std::optional<std::string> MSUtility::targetTokenProblem(std::string_view token) {
    if (token.empty()) return "it is empty";
    for (size_t i = 0; i < token.size(); ++i) {
        const auto c = uint8_t(token[i]);
        const char* what = c >= 0x80              ? "a non-ASCII byte"
                           : c < 0x20 || c == 0x7f ? "a control character"
                           : c == ' '              ? "a space"
                           : c == ',' ? "a comma"
                                      : nullptr;
        if (what) return std::string("it holds ") + what + " at position " + std::to_string(i + 1);
    }
    if (!targetKeyFromTargetToken(token)) return "it has no target key before its first \"-\"";
    return std::nullopt;
}

std::string MSUtility::sha256(std::string_view text) { return platform::sha256Hex(text); }

std::map<std::string, std::string> MSUtility::validateProperties(const platform::Value& properties,
                                                                 std::string_view logName, std::string_view logType) {
    const std::string type(logType), name(logName);
    std::map<std::string, std::string> valid;
    if (!properties.isDictionary()) return valid;
    for (const auto& [rawKey, rawValue] : properties.asDictionary()) {
        if (valid.size() >= size_t(kMSMaxPropertiesPerLog)) {
            MSLogWarning(kMSLogTag, type + " '" + name + "' : properties cannot contain more than " +
                                        std::to_string(kMSMaxPropertiesPerLog) + " items. Skipping other properties.");
            break;
        }
        if (!rawValue.isString()) continue;
        if (rawKey.empty()) {
            MSLogWarning(kMSLogTag,
                         type + " '" + name + "' : a property key cannot be null or empty. Property will be skipped.");
            continue;
        }
        std::string key = rawKey;
        if (platform::utf16Length(key) > size_t(kMSMaxPropertyKeyLength)) {
            MSLogWarning(kMSLogTag, type + " '" + name + "' : property " + key +
                                        " : property key length cannot be longer than " +
                                        std::to_string(kMSMaxPropertyKeyLength) +
                                        " characters. Property key will be truncated.");
            const std::string uncut = std::exchange(key, platform::utf16Prefix(key, kMSMaxPropertyKeyLength));
            if (valid.count(key)) {
                MSLogWarning(kMSLogTag, type + " '" + name + "' : property " + uncut +
                                            " : its key cut to " + std::to_string(kMSMaxPropertyKeyLength) +
                                            " characters is that of another property. Property will be skipped.");
                continue;
            }
        }
        std::string value = rawValue.asString();
        if (platform::utf16Length(value) > size_t(kMSMaxPropertyValueLength)) {
            MSLogWarning(kMSLogTag, type + " '" + name + "' : property '" + key +
                                        "' : property value cannot be longer than " +
                                        std::to_string(kMSMaxPropertyValueLength) +
                                        " characters. Property value will be truncated.");
            value = platform::utf16Prefix(value, kMSMaxPropertyValueLength);
        }
        valid[key] = value;
    }
    return valid;
}

}  // namespace quorvane
