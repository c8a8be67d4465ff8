// config get|set: the profile's provider keys (contacts-root, client-id, ...) and the sync
// settings under their stored keys (syncDeletions, mergeContacts_2Way, ...).

#include <cerrno>
#include <climits>
#include <cmath>
#include <ctime>

#include "app/Command.h"
#include "app/Telemetry.h"
#include "platform/foundation/Strings.h"
#include "platform/net/URL.h"
#include "sync/QuorvaneModel.h"
#include "telemetry/MSHttpIngestion.h"

namespace quorvane::app {

namespace {

using Kind = SyncSettings::Kind;

std::optional<Setting> settingForKey(const std::string& key) {
    for (size_t i = 0; i < size_t(Setting::Count); ++i)
        if (key == SyncSettings::keyOf(Setting(i))) return Setting(i);
    return std::nullopt;
}

std::string dateText(const std::optional<platform::Date>& date) {
    if (!date) return "";
    std::time_t t = std::time_t(date->timeIntervalSince1970());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char out[32];
    std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return out;
}

std::string settingText(const SyncSettings& settings, Setting s) {
    switch (SyncSettings::kindOf(s)) {
        case Kind::Bool: return settings.boolValue(s) ? "true" : "false";
        case Kind::Int: return std::to_string(settings.intValue(s));
        case Kind::Float: {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%g", double(settings.floatValue(s)));
            return buffer;
        }
        case Kind::Text: return settings.textValue(s).value_or("");
        case Kind::Date: return dateText(settings.dateValue(s));
        case Kind::TextList: {
            std::string out;
            for (const auto& name : settings.selectedGroupSet()) out += (out.empty() ? "" : ",") + name;
            return out;
        }
    }
    return "";
}

// The stored form of a value typed on the command line; nullopt when it does not read as the kind.
std::optional<platform::Value> settingValue(Kind kind, const std::string& text) {
    std::string lower = platform::lowercase(text);
    char* end = nullptr;
    switch (kind) {
        case Kind::Bool:
            if (lower == "true" || lower == "yes" || lower == "on" || lower == "1") return platform::Value(true);
            if (lower == "false" || lower == "no" || lower == "off" || lower == "0") return platform::Value(false);
            return std::nullopt;
        case Kind::Int: {
            errno = 0;
            long long v = std::strtoll(text.c_str(), &end, 10);
            if (text.empty() || *end || errno || v < INT32_MIN || v > INT32_MAX) return std::nullopt;
            return platform::Value(int64_t(v));
        }
        case Kind::Float: {
            double v = std::strtod(text.c_str(), &end);
            if (text.empty() || *end || !std::isfinite(v)) return std::nullopt;
            return platform::Value(v);
        }
        case Kind::Text: return text.empty() ? platform::Value() : platform::Value(text);
        case Kind::TextList: {
            platform::Value list = platform::Value::array();
            size_t start = 0;
            while (start <= text.size() && !text.empty()) {
                size_t comma = text.find(',', start);
                std::string name = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                if (!name.empty()) list.append(platform::Value(name));
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
            return list;
        }
        case Kind::Date: return std::nullopt;
    }
    return std::nullopt;
}

std::string providerText(const ProviderConfiguration& p, const Profile::ProviderKey& k) {
    if (k.text) return p.*(k.text);
    if (k.endpoint) return p.endpoints.*(k.endpoint);
    return p.caFile.value_or("");
}

bool isTelemetryKey(const std::string& key) { return key == kTelemetryAppSecretKey || key == kTelemetryURLKey; }

std::string telemetryText(const platform::UserDefaults& defaults, const std::string& key) {
    auto value = defaults.stringForKey(key).value_or("");
    if (key == kTelemetryURLKey && value.empty()) return MSRevAzezarIngestion::kDefaultBaseURL;
    return value;
}

}  // namespace

int commandConfig(Session& session, const std::vector<std::string>& args) {
    Console& console = session.console();
    const std::string verb = args.empty() ? "" : args[0];
    if ((verb != "get" || args.size() > 2) && (verb != "set" || args.size() != 3)) {
        console.error("usage: quorvane config get [KEY] | config set KEY VALUE");
        return kExitUsage;
    }
    const Profile& profile = session.profile();
    auto defaults = profile.userDefaults();

    if (verb == "get") {
        std::optional<std::string> only = args.size() == 2 ? std::optional<std::string>(args[1]) : std::nullopt;
        if (only && !Profile::providerKey(*only) && !settingForKey(*only) && !isTelemetryKey(*only)) {
            console.error("no setting \"" + *only + "\"");
            return kExitUsage;
        }
        // The provider as the profile sees it; unreadable, its keys show what was set.
        auto provider = profile.provider();
        if (!provider && (!only || Profile::providerKey(*only)))
            console.note("provider: " + provider.error().localizedDescription());
        for (const auto& k : Profile::providerKeys()) {
            if (only && *only != k.key) continue;
            std::string value = provider ? providerText(*provider, k) : defaults->stringForKey(k.key).value_or("");
            // The secret is the application's, but it is no one's business on a screen.
            if (k.text == &ProviderConfiguration::clientSecret && !value.empty() && !only) value = "(set)";
            console.out(only ? value : std::string(k.key) + " = " + value);
        }
        for (const char* key : {kTelemetryAppSecretKey, kTelemetryURLKey}) {
            if (only && *only != key) continue;
            std::string value = telemetryText(*defaults, key);
            if (key == std::string(kTelemetryAppSecretKey) && !value.empty() && !only) value = "(set)";
            console.out(only ? value : std::string(key) + " = " + value);
        }
        if (only && isTelemetryKey(*only)) return kExitOK;
        auto model = session.model();
        for (size_t i = 0; i < size_t(Setting::Count); ++i) {
            const char* key = SyncSettings::keyOf(Setting(i));
            if (only && *only != key) continue;
            std::string value = settingText(model->settings(), Setting(i));
            console.out(only ? value : std::string(key) + " = " + value);
        }
        return kExitOK;
    }

    const std::string& key = args[1];
    const std::string& text = args[2];
    if (const auto* k = Profile::providerKey(key)) {
        if (auto checked = text.empty() ? platform::Result<void>() : Profile::checkProviderValue(*k, text); !checked) {
            console.error(checked.error().localizedDescription());
            return kExitUsage;
        }
        if (text.empty()) defaults->removeObjectForKey(key);
        else defaults->setObject(platform::Value(text), key);
        return defaults->synchronize() ? kExitOK : kExitOther;
    }
    if (isTelemetryKey(key)) {
        auto url = platform::URL::URLWithString(text);
        if (key == kTelemetryURLKey && !text.empty() &&
            !(url && platform::asciiEqualsIgnoringCase(url->scheme(), "https") && url->host())) {
            console.error(std::string(kTelemetryURLKey) + " must be an https address: \"" + text + "\"");
            return kExitUsage;
        }
        if (text.empty()) defaults->removeObjectForKey(key);
        else defaults->setObject(platform::Value(text), key);
        return defaults->synchronize() ? kExitOK : kExitOther;
    }
    auto setting = settingForKey(key);
    if (!setting) {
        console.error("no setting \"" + key + "\"");
        return kExitUsage;
    }
    Kind kind = SyncSettings::kindOf(*setting);
    auto value = settingValue(kind, text);
    if (!value) {
        console.error(kind == Kind::Date ? "\"" + key + "\" is kept by the program itself"
                                         : "\"" + text + "\" is no value for " + key);
        return kExitUsage;
    }
    if (auto expected = value->isNull() ? std::nullopt : SyncSettings::checkValue(*setting, *value)) {
        console.error("\"" + text + "\" is no value for " + key + ": it takes " + *expected);
        return kExitUsage;
    }
    if (value->isNull()) defaults->removeObjectForKey(key);
    else defaults->setObject(*value, key);
    return defaults->synchronize() ? kExitOK : kExitOther;
}

}  // namespace quorvane::app
