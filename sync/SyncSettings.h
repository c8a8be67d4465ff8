#pragma once
// SyncSettings: the model's stored settings as one private table of key, default and value.
//
// Each row names its user-defaults key, the kind of its value and its default; load() reads every
// row from the user defaults (a key that is absent, or holds an object the row cannot read, keeps
// the default), and every set stores the row's new value under its key at once (nil removes the
// key). There is no other way to change a value, so no write can skip storing.
//
// A new setting adds a Setting, a row in the table of SyncSettings.cpp, and a getter and setter on
// the model.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Value.h"
#include "platform/store/UserDefaults.h"

namespace quorvane {

enum class Setting : size_t {
    SelectedManualSyncMode,      // int (SyncMode)
    SelectedAutoSyncMode,        // int (AutoSyncMode)
    SyncPhotosSetting,           // bool
    MergeContacts_2Way,          // bool
    MergeContacts_1Way,          // bool
    IgnoreOtherContacts,         // bool
    ForceUpdateContacts,         // bool
    SyncDeletedContacts,         // bool
    DetectGoogleDuplicates,      // bool
    BatchGoogleContacts,         // bool
    SyncCountryCodes,            // bool
    WelcomeMessageShown,         // bool
    ShowContactAccountWarnings,  // bool
    ShowLeaveAReviewPrompt,      // bool
    TellAFriendMessageShown,     // bool
    LikeUsOnFacebookMessageShown,  // bool
    ContactSourceMode,           // int (ContactSourceMode)
    CustomContainerID,           // text
    PreviousContainerID,         // text
    PreviousGmailUsername,       // text
    SelectedLanguage,            // int (AppLanguage)
    AutoSyncUpdateInterval_Minutes,  // float
    ConfirmPendingDeletions,     // bool
    UseBlackAndWhiteIcon,        // bool
    AttachAppToMenuBar,          // bool
    ShowSyncTypeAlert,           // bool
    ShowICloudTip,               // bool
    ShowGoogleAccountTip,        // bool
    OriginalAppVersion,          // text
    ShowEditSyncActionsAlert,    // bool
    FilterByGroups,              // bool
    IgnoreNewContactsSetting,    // int (IgnoreNewContactsMode)
    IgnoreEmptyContacts,         // bool
    AutoAddContactsToGroup,      // bool
    AutoAddToGroupName,          // text; its default is given to the constructor
    SkipSyncConfirmationAlert,   // bool
    HasSentInitalLaunchAnswerEvent,  // bool
    ShowManualSyncAlert,         // bool
    HasShownSkipSyncConfirmationTip,  // bool
    LastICloudTipDate,           // date, 1970-01-01 by default
    LastGoogleAccountTipDate,    // date, 1970-01-01 by default
    LastLeaveReviewPromptDate,   // date, 1970-01-01 by default
    AutoSyncLastUpdate,          // date, 1970-01-01 by default
    LastCompletedSyncDate,       // date, nil by default
    SelectedGroupStrings,        // list of texts (the group filter)
    Count
};

class SyncSettings {
public:
    enum class Kind { Bool, Int, Float, Text, Date, TextList };

    // The table on these user defaults; the values are the defaults until load().
    SyncSettings(std::shared_ptr<platform::UserDefaults> defaults, std::string defaultAutoAddToGroupName);

    // Reads every row from the user defaults. A stored value the row cannot take (of another
    // kind, or out of the row's range) leaves the row at its default and is noted in problems().
    void load();

    // A stored value that load() could not take, by key, with what the key takes.
    struct Problem {
        std::string key;
        std::string stored;    // the value as the file holds it (JSON)
        std::string expected;  // "true or false", "a whole number from 0 to 2", ...
    };
    const std::vector<Problem>& problems() const { return mProblems; }

    // Whether the row takes the value as stored (of its kind, within its range); nullopt when it
    // does, else what it takes. What converts as a number does is taken: booleans stored as
    // numbers or as the texts true/false/yes/no, numbers as their decimal text, a text as a number.
    static std::optional<std::string> checkValue(Setting setting, const platform::Value& value);

    // The row's user-defaults key and kind.
    static const char* keyOf(Setting setting);
    static Kind kindOf(Setting setting);

    // The current values. Asking a row for a kind it does not hold is a programming error and
    // gives the kind's empty value.
    bool boolValue(Setting setting) const;
    int32_t intValue(Setting setting) const;
    float floatValue(Setting setting) const;
    std::optional<std::string> textValue(Setting setting) const;
    std::optional<platform::Date> dateValue(Setting setting) const;
    // The group filter: the names (each once ignoring case, in the letter case first met) and the
    // same names lower-cased.
    const std::set<std::string>& selectedGroupSet() const { return mSelectedGroupSet; }
    const std::set<std::string>& selectedGroupSet_Lower() const { return mSelectedGroupSet_Lower; }

    // Each sets the row and stores it under its key at once.
    void setBool(Setting setting, bool value);
    void setInt(Setting setting, int32_t value);
    // Not-a-number and infinities have no form in the file: the value is kept, the key removed.
    void setFloat(Setting setting, float value);
    void setText(Setting setting, std::optional<std::string> value);  // nil removes the key
    void setDate(Setting setting, std::optional<platform::Date> value);  // nil removes the key
    // Later names that differ only in letter case are dropped; stored as the remaining list.
    void setTextList(Setting setting, const std::vector<std::string>& names);

private:
    struct Row {
        platform::Value defaultValue;  // Null for nil
        platform::Value value;         // Null for nil; a Double for a float row
    };
    const Row& row(Setting setting) const { return mRows[static_cast<size_t>(setting)]; }
    void store(Setting setting);
    void rebuildGroupSets();

    std::shared_ptr<platform::UserDefaults> mDefaults;
    std::vector<Row> mRows;
    std::vector<Problem> mProblems;
    std::set<std::string> mSelectedGroupSet;
    std::set<std::string> mSelectedGroupSet_Lower;
};

}  // namespace quorvane
