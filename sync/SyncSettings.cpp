#include "sync/SyncSettings.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "platform/foundation/Strings.h"
#include "sync/SyncTypes.h"

namespace quorvane {

namespace {

using platform::Date;
using platform::UserDefaults;
using platform::Value;
using Kind = SyncSettings::Kind;

struct RowDefinition {
    Setting setting;
    const char* key;
    Kind kind;
    Value defaultValue;
    // The values an int row takes, where they are a list of choices.
    std::optional<std::pair<int32_t, int32_t>> range = std::nullopt;
};

// The date of the tip and prompt settings that were never set.
constexpr Date kNeverDate = Date::fromUnix(0);

// The table, in the order of Setting. AutoAddToGroupName's default comes from the constructor.
const std::vector<RowDefinition>& definitions() {
    static const std::vector<RowDefinition> table = {
        {Setting::SelectedManualSyncMode, "selectedManualSyncMode", Kind::Int, Value(0), std::pair(0, 3)},
        {Setting::SelectedAutoSyncMode, "selectedAutoSyncMode", Kind::Int, Value(0)},
        {Setting::SyncPhotosSetting, "syncPhotosSetting", Kind::Bool, Value(true)},
        {Setting::MergeContacts_2Way, "mergeContacts_2Way", Kind::Bool, Value(true)},
        {Setting::MergeContacts_1Way, "mergeContacts_1Way", Kind::Bool, Value(true)},
        {Setting::IgnoreOtherContacts, "ignoreOtherContacts", Kind::Bool, Value(true)},
        {Setting::ForceUpdateContacts, "forceUpdateContacts", Kind::Bool, Value(false)},
        {Setting::SyncDeletedContacts, "syncDeletions", Kind::Bool, Value(true)},
        {Setting::DetectGoogleDuplicates, "detectGoogleDuplicates_v2", Kind::Bool, Value(true)},
        {Setting::BatchGoogleContacts, "batchGoogleContacts", Kind::Bool, Value(true)},
        {Setting::SyncCountryCodes, "syncCountryCodes_v2", Kind::Bool, Value(true)},
        {Setting::WelcomeMessageShown, "welcomeShown_v2", Kind::Bool, Value(false)},
        {Setting::ShowContactAccountWarnings, "showContactAccountWarnings", Kind::Bool, Value(true)},
        {Setting::ShowLeaveAReviewPrompt, "showLeaveReviewPrompt_v13", Kind::Bool, Value(true)},
        {Setting::TellAFriendMessageShown, "tellAFriendMessageShown", Kind::Bool, Value(false)},
        {Setting::LikeUsOnFacebookMessageShown, "likeUsOnFacebookMessageShown", Kind::Bool, Value(false)},
        {Setting::ContactSourceMode, "contactSourceMode", Kind::Int, Value(int(ContactSourceModeAutoSelect)),
         std::pair(int32_t(ContactSourceModeAutoSelect), int32_t(ContactSourceModeAllAccounts))},
        {Setting::CustomContainerID, "customContainerID", Kind::Text, Value()},
        {Setting::PreviousContainerID, "previousContainerID", Kind::Text, Value()},
        {Setting::PreviousGmailUsername, "previousGmailUsername", Kind::Text, Value()},
        {Setting::SelectedLanguage, "selectedLanguage_v3", Kind::Int, Value(0)},
        {Setting::AutoSyncUpdateInterval_Minutes, "autoUpdateInterval", Kind::Float, Value(5.0)},
        {Setting::ConfirmPendingDeletions, "confirmPendingDeletions", Kind::Bool, Value(true)},
        {Setting::UseBlackAndWhiteIcon, "useBlackAndWhiteIcon", Kind::Bool, Value(false)},
        {Setting::AttachAppToMenuBar, "attachAppToMenuBar", Kind::Bool, Value(true)},
        {Setting::ShowSyncTypeAlert, "showSyncTypeAlert", Kind::Bool, Value(true)},
        {Setting::ShowICloudTip, "showICloudTip", Kind::Bool, Value(true)},
        {Setting::ShowGoogleAccountTip, "showGoogleAccountTip", Kind::Bool, Value(true)},
        {Setting::OriginalAppVersion, "originalAppVersion", Kind::Text, Value()},
        {Setting::ShowEditSyncActionsAlert, "showEditSyncActionsAlert", Kind::Bool, Value(true)},
        {Setting::FilterByGroups, "filterByGroups_v1", Kind::Bool, Value(false)},
        {Setting::IgnoreNewContactsSetting, "ignoreNewContactsSettings", Kind::Int, Value(0), std::pair(0, 4)},
        {Setting::IgnoreEmptyContacts, "ignoreEmptyContacts", Kind::Bool, Value(true)},
        {Setting::AutoAddContactsToGroup, "autoAddContactsToGroup", Kind::Bool, Value(false)},
        {Setting::AutoAddToGroupName, "autoAddToGroupName", Kind::Text, Value()},
        {Setting::SkipSyncConfirmationAlert, "skipSyncConfirmationAlert", Kind::Bool, Value(false)},
        {Setting::HasSentInitalLaunchAnswerEvent, "hasSentInitialLaunchAnswerEvent", Kind::Bool, Value(false)},
        {Setting::ShowManualSyncAlert, "showManualSyncAlert", Kind::Bool, Value(true)},
        {Setting::HasShownSkipSyncConfirmationTip, "hasShownSkipSyncConfirmationTip", Kind::Bool, Value(false)},
        {Setting::LastICloudTipDate, "lastICloudTipDate", Kind::Date, Value(kNeverDate)},
        {Setting::LastGoogleAccountTipDate, "lastGoogleAccountTipDate", Kind::Date, Value(kNeverDate)},
        {Setting::LastLeaveReviewPromptDate, "lastLeaveReviewPromptDate", Kind::Date, Value(kNeverDate)},
        {Setting::AutoSyncLastUpdate, "autoSyncLastUpdate", Kind::Date, Value(kNeverDate)},
        {Setting::LastCompletedSyncDate, "lastCompletedSyncDate", Kind::Date, Value()},
        {Setting::SelectedGroupStrings, "selectedGroupStrings_v1", Kind::TextList, Value::array()},
    };
    return table;
}

const RowDefinition& definition(Setting setting) { return definitions()[static_cast<size_t>(setting)]; }

// A stored object converts the way a number object does: booleans, numbers and number texts
// ("YES" and "true" count as true).
Value readBool(const UserDefaults& defaults, const char* key, const Value& fallback) {
    return defaults.objectForKey(key) ? Value(defaults.boolForKey(key)) : fallback;
}

Value readInt(const UserDefaults& defaults, const char* key, const Value& fallback) {
    auto stored = defaults.objectForKey(key);
    if (!stored) return fallback;
    // A text like "2.5" reads as 2, as a number would; values beyond 32 bits are held at the ends.
    double value = stored->isString() ? defaults.doubleForKey(key) : double(defaults.integerForKey(key));
    if (!(value == value)) return Value(0);
    value = std::clamp(value, double(std::numeric_limits<int32_t>::min()), double(std::numeric_limits<int32_t>::max()));
    return Value(int64_t(int32_t(value)));
}

Value readFloat(const UserDefaults& defaults, const char* key, const Value& fallback) {
    return defaults.objectForKey(key) ? Value(double(float(defaults.doubleForKey(key)))) : fallback;
}

// A stored text (a number reads as its decimal text). An object of any other kind is no text, and
// the setting keeps its default rather than holding something the rest of the model cannot read.
Value readText(const UserDefaults& defaults, const char* key, const Value& fallback) {
    if (auto text = defaults.stringForKey(key)) return Value(*text);
    return fallback;
}

// A stored date; an object of another kind keeps the default, as for texts.
Value readDate(const UserDefaults& defaults, const char* key, const Value& fallback) {
    auto stored = defaults.objectForKey(key);
    if (stored && stored->isDate()) return Value(stored->asDate());
    return fallback;
}

// A stored list keeps its texts (other objects in it are dropped); anything else is no list.
Value readTextList(const UserDefaults& defaults, const char* key, const Value& fallback) {
    auto names = defaults.arrayForKey(key);
    if (!names) return fallback;
    Value::Array texts;
    for (const Value& name : *names) {
        if (name.isString()) texts.push_back(name);
    }
    return Value(std::move(texts));
}

// The number a value stands for: a number, or a text that is one; nullopt for anything else.
std::optional<double> numberOf(const Value& v) {
    if (v.isInt() || v.isDouble()) return std::isfinite(v.asDouble()) ? std::optional<double>(v.asDouble()) : std::nullopt;
    if (!v.isString()) return std::nullopt;
    const std::string& text = v.asString();
    char* end = nullptr;
    const double d = std::strtod(text.c_str(), &end);
    if (text.empty() || *end || !std::isfinite(d)) return std::nullopt;
    return d;
}

}  // namespace

std::optional<std::string> SyncSettings::checkValue(Setting setting, const Value& v) {
    const RowDefinition& row = definition(setting);
    switch (row.kind) {
        case Kind::Bool: {
            if (v.isBool() || numberOf(v)) return std::nullopt;
            if (v.isString()) {
                const std::string text = platform::lowercase(v.asString());
                for (const char* word : {"true", "false", "yes", "no"})
                    if (text == word) return std::nullopt;
            }
            return "true or false";
        }
        case Kind::Int: {
            // A number converts as its integer part, as when it is read.
            const auto n = numberOf(v);
            if (row.range) {
                if (n && std::trunc(*n) >= row.range->first && std::trunc(*n) <= row.range->second) return std::nullopt;
                return "a whole number from " + std::to_string(row.range->first) + " to " +
                       std::to_string(row.range->second);
            }
            return n ? std::nullopt : std::optional<std::string>("a number");
        }
        case Kind::Float: return numberOf(v) ? std::nullopt : std::optional<std::string>("a number");
        case Kind::Text: return v.isString() || v.isInt() || v.isDouble() ? std::nullopt : std::optional<std::string>("a text");
        case Kind::Date: return v.isDate() ? std::nullopt : std::optional<std::string>("a date");
        case Kind::TextList: return v.isArray() ? std::nullopt : std::optional<std::string>("a list of texts");
    }
    return std::nullopt;
}

SyncSettings::SyncSettings(std::shared_ptr<UserDefaults> defaults, std::string defaultAutoAddToGroupName)
    : mDefaults(std::move(defaults)) {
    mRows.reserve(definitions().size());
    for (const auto& s : definitions()) {
        Value def = s.setting == Setting::AutoAddToGroupName ? Value(defaultAutoAddToGroupName) : s.defaultValue;
        mRows.push_back(Row{def, def});
    }
    rebuildGroupSets();
}

const char* SyncSettings::keyOf(Setting setting) { return definition(setting).key; }

SyncSettings::Kind SyncSettings::kindOf(Setting setting) { return definition(setting).kind; }

void SyncSettings::load() {
    const UserDefaults& d = *mDefaults;
    mProblems.clear();
    for (const auto& s : definitions()) {
        Row& r = mRows[static_cast<size_t>(s.setting)];
        if (auto stored = d.objectForKey(s.key)) {
            if (auto expected = checkValue(s.setting, *stored)) {
                mProblems.push_back({s.key, stored->toJSON(false), *expected});
                r.value = r.defaultValue;
                continue;
            }
        }
        switch (s.kind) {
            case Kind::Bool: r.value = readBool(d, s.key, r.defaultValue); break;
            case Kind::Int: r.value = readInt(d, s.key, r.defaultValue); break;
            case Kind::Float: r.value = readFloat(d, s.key, r.defaultValue); break;
            case Kind::Text: r.value = readText(d, s.key, r.defaultValue); break;
            case Kind::Date: r.value = readDate(d, s.key, r.defaultValue); break;
            case Kind::TextList: r.value = readTextList(d, s.key, r.defaultValue); break;
        }
    }
    // The group filter: names that differ only in letter case enter once, as first seen.
    rebuildGroupSets();
}

bool SyncSettings::boolValue(Setting setting) const { return row(setting).value.asBool(false); }

int32_t SyncSettings::intValue(Setting setting) const { return int32_t(row(setting).value.asInt(0)); }

float SyncSettings::floatValue(Setting setting) const { return float(row(setting).value.asDouble(0)); }

std::optional<std::string> SyncSettings::textValue(Setting setting) const { return row(setting).value.stringValue(); }

std::optional<Date> SyncSettings::dateValue(Setting setting) const {
    const Value& v = row(setting).value;
    if (!v.isDate()) return std::nullopt;
    return v.asDate();
}

void SyncSettings::store(Setting setting) {
    const Value& v = row(setting).value;
    const char* key = keyOf(setting);
    if (v.isNull() || (v.isDouble() && !std::isfinite(v.asDouble()))) mDefaults->removeObjectForKey(key);
    else mDefaults->setObject(v, key);
}

void SyncSettings::setBool(Setting setting, bool value) {
    mRows[static_cast<size_t>(setting)].value = Value(value);
    store(setting);
}

void SyncSettings::setInt(Setting setting, int32_t value) {
    mRows[static_cast<size_t>(setting)].value = Value(int64_t(value));
    store(setting);
}

void SyncSettings::setFloat(Setting setting, float value) {
    mRows[static_cast<size_t>(setting)].value = Value(double(value));
    store(setting);
}

void SyncSettings::setText(Setting setting, std::optional<std::string> value) {
    mRows[static_cast<size_t>(setting)].value = value ? Value(std::move(*value)) : Value();
    store(setting);
}

void SyncSettings::setDate(Setting setting, std::optional<Date> value) {
    mRows[static_cast<size_t>(setting)].value = value ? Value(*value) : Value();
    store(setting);
}

void SyncSettings::setTextList(Setting setting, const std::vector<std::string>& names) {
    std::set<std::string> seen;
    Value::Array stored;
    for (const auto& name : names) {
        if (!seen.insert(platform::lowercase(name)).second) continue;
        stored.emplace_back(name);
    }
    mRows[static_cast<size_t>(setting)].value = Value(std::move(stored));
    if (setting == Setting::SelectedGroupStrings) rebuildGroupSets();
    store(setting);
}

void SyncSettings::rebuildGroupSets() {
    mSelectedGroupSet.clear();
    mSelectedGroupSet_Lower.clear();
    const Value& names = row(Setting::SelectedGroupStrings).value;
    if (!names.isArray()) return;
    for (const Value& name : names.asArray()) {
        if (!name.isString()) continue;
        std::string lower = platform::lowercase(name.asString());
        if (mSelectedGroupSet_Lower.count(lower)) continue;
        mSelectedGroupSet.insert(name.asString());
        mSelectedGroupSet_Lower.insert(std::move(lower));
    }
}

}  // namespace quorvane
