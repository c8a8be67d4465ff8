#pragma once
// QuorvaneModel: the sync model. One process-wide instance (sharedQuorvaneModel) owns the sync
// state, the handles of the local contact store and the helpers every step of a sync run shares:
// the tolerant comparisons, the string and date helpers, the label converters and the display
// texts.
//
// The model's state is its public m... fields, as the sync steps and the windows read and set
// them directly. Its operations are grouped by topic, each topic in its own source file
// (QuorvaneModelEquality.cpp, QuorvaneModelStrings.cpp, ...). A new topic adds its fields to
// the field block of its heading below and its operations to a new heading and a new
// QuorvaneModel<Topic>.cpp; nothing else needs to change.
//
// Everything runs on the main thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gdata/GDataEntryContact.h"
#include "platform/contacts/ABAddressBook.h"
#include "platform/contacts/CNContact.h"
#include "platform/contacts/CNContactStore.h"
#include "platform/foundation/Calendar.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Strings.h"
#include "platform/store/UserDefaults.h"
#include "sync/SyncTypes.h"

namespace quorvane {

class QuorvaneModel;
using QuorvaneModelPtr = std::shared_ptr<QuorvaneModel>;

class QuorvaneModel {
public:
    // Where the model's handles come from; an unset member takes the process's standard one.
    struct Environment {
        std::shared_ptr<platform::UserDefaults> userDefaults;    // standardUserDefaults()
        std::shared_ptr<platform::CNContactStore> contactStore;  // the standard store file
        std::shared_ptr<platform::ABAddressBook> addressBook;    // sharedAddressBook(), or one on contactStore's file
        std::shared_ptr<const platform::TimeZone> timeZone;      // the process's default zone
    };

    // The shared instance, made with the standard environment on the first call.
    static QuorvaneModelPtr sharedQuorvaneModel();

    // A model on the given handles (tests use their own store, defaults and zone).
    explicit QuorvaneModel(Environment environment = {});
    QuorvaneModel(const QuorvaneModel&) = delete;
    QuorvaneModel& operator=(const QuorvaneModel&) = delete;

    // ===== Platform handles =====
    std::shared_ptr<platform::UserDefaults> mUserDefaults;
    std::shared_ptr<platform::CNContactStore> mContactStore;
    std::shared_ptr<platform::ABAddressBook> mAddressBookRef;
    std::shared_ptr<const platform::Calendar> mGregorianCalendar;

    // ===== Run state =====
    SyncMode mSyncMode = SyncModeTwoWay;  // the mode of the current run

    // ===== Tolerant equality (QuorvaneModelEquality.cpp) =====
    // Nil, empty and blank strings are equal; otherwise equal when of the same UTF-16 length and
    // equal ignoring case. No trimming: a trailing blank on one side makes the strings differ.
    bool stringsDifferWithString1(const std::optional<std::string>& s1, const std::optional<std::string>& s2);
    bool stringsEqualWithString1(const std::optional<std::string>& s1, const std::optional<std::string>& s2);
    // Nil, empty, or nothing left after trimWhitespaceFromString.
    bool stringEffectivelyEmptyWithString(const std::optional<std::string>& s);
    // Equal after removing "().-", blanks and tabs from both; a leading "+" or a letter counts.
    bool phoneNumbersEqualWithString1(const std::optional<std::string>& s1, const std::optional<std::string>& s2);
    // Array 1 then array 2, each name whose lower-cased form was not seen yet, in its first-seen form.
    std::vector<std::string> combineStringArraysWithArray1(const std::vector<std::string>& a1,
                                                           const std::vector<std::string>& a2);
    // date2 - date1 in seconds; 0 when either is nil.
    float getDateDifferenceWithDate1(const std::optional<platform::Date>& d1, const std::optional<platform::Date>& d2);

    // Built on first use: "().-" plus blanks and tabs.
    std::optional<platform::CharacterSet> mDecorativePhoneNumberCharacterSet;

    // ===== Strings (QuorvaneModelStrings.cpp) =====
    // The longest prefix of at most maxLength UTF-16 units that keeps surrogate pairs whole; the
    // string itself when it is not longer; nil for nil. A negative maximum counts as 0.
    std::optional<std::string> truncateString(const std::optional<std::string>& s, int32_t maxLength);
    std::optional<std::string> truncateStringToDefaultMaxGoogleLength(const std::optional<std::string>& s);
    static constexpr int32_t kDefaultMaxGoogleLength = 1024;
    // Trimmed at both ends of whitespace, newline and control characters; nil for nil.
    std::optional<std::string> trimWhitespaceFromString(const std::optional<std::string>& s);
    // trimWhitespaceFromString of each, in order (empty results stay).
    std::vector<std::string> trimWhitespaceFromStringArray(const std::vector<std::string>& strings);
    // Every run of newline characters replaced by one blank; nil for nil.
    std::optional<std::string> removeCarriageReturnsFromString(const std::optional<std::string>& s);

    // Built on first use.
    std::optional<platform::CharacterSet> mWhitespaceCharacterSet;
    std::optional<platform::CharacterSet> mCarriageReturnCharacterSet;

    // ===== Dates (QuorvaneModelDates.cpp) =====
    // The year, month and day of the date in mGregorianCalendar; nil for nil.
    std::optional<platform::DateComponents> getGregorianDateComponentsWithDate(const std::optional<platform::Date>& date);
    // The date of the components in mGregorianCalendar, with year 1604 (the year that stands for
    // no year) when the year is unset and hour 12 when the hour is unset; nil for nil.
    std::optional<platform::Date> convertAppleDateComponentsToGoogleDate(
        const std::optional<platform::DateComponents>& components);
    // Whether two dates name different days: exactly one nil; or years that differ (an unset year
    // and 1604 both mean none), or months or days that differ.
    bool datesDifferIgnoringTimeWithDateComponentsA(const std::optional<platform::DateComponents>& a,
                                                    const std::optional<platform::DateComponents>& b);
    static constexpr int64_t kNoYear = 1604;
    // The contact's "modificationDate" when it was fetched, else the modification date of its
    // address-book record; nil when neither is known.
    std::optional<platform::Date> getModificationDateWithAppleContact(const platform::CNContactPtr& contact);

    // ===== Label converters (QuorvaneModelLabels.cpp) =====
    // Mac labels to the Google rel or custom label of the field.
    GmailLabelInfo convertToGoogleEmailLabelWithAppleLabel(const std::optional<std::string>& label);
    GmailLabelInfo convertToGooglePhoneLabelWithAppleLabel(const std::optional<std::string>& label);
    GmailLabelInfo convertToGoogleAddressLabelWithAppleLabel(const std::optional<std::string>& label);
    GmailLabelInfo convertToGoogleIMLabelWithAppleLabel(const std::optional<std::string>& label);
    GmailLabelInfo convertToGoogleURLLabelWithAppleLabel(const std::optional<std::string>& label);
    GmailLabelInfo convertToGoogleRelationLabelWithAppleLabel(const std::optional<std::string>& label);
    GmailLabelInfo convertToGoogleEventLabelWithAppleLabel(const std::optional<std::string>& label);
    // A Mac IM service name to the Google protocol ("" for nil or empty; unknown names unchanged).
    std::string convertToGoogleIMProtocolWithAppleProtocol(const std::optional<std::string>& service);
    // A Mac social-profile service name to the Google name ("" for nil, empty and "Other").
    std::string convertToGoogleSocialProfileLabelWithAppleLabel(const std::optional<std::string>& service);

    // ===== Display texts (QuorvaneModelDescriptions.cpp) =====
    // The display name of a contact from its parts: prefix, given, middle and family names and
    // suffix; without any of them the nickname, then the organisation, then the e-mail address;
    // "" when all are blank. Names are given-name first: the platform has no other name order,
    // so forceFirstNameFirst changes nothing today.
    static std::string getContactDescriptionWithFirstName(
        const std::optional<std::string>& firstName, const std::optional<std::string>& middleName,
        const std::optional<std::string>& lastName, const std::optional<std::string>& prefix,
        const std::optional<std::string>& suffix, const std::optional<std::string>& nickName,
        const std::optional<std::string>& emailString, const std::optional<std::string>& organization,
        bool forceFirstNameFirst);
    // The Mac contact's display name ("" for nil). Keys the contact was fetched without count as empty.
    static std::string getDescriptionWithAppleContact(const platform::CNContactPtr& contact);
    // The Google contact's display name ("" for nil): its name parts, else its full name, else its
    // title, else nickname, organisation and e-mail address as for a Mac contact.
    static std::string getDescriptionWithGoogleContact(const std::shared_ptr<GDataEntryContact>& contact,
                                                       bool forceFirstNameFirst);
    // The key by which sync records are sorted: family, given and middle name, lower-cased;
    // the lower-cased display name when the contact has none of them.
    static std::string getSortStringWithAppleContact(const platform::CNContactPtr& contact,
                                                     const std::string& description);
    static std::string getSortStringWithGoogleContact(const std::shared_ptr<GDataEntryContact>& contact,
                                                      const std::string& description);
    // The orgName of the first organisation; nil for an empty list.
    static std::optional<std::string> getOrganizationStringWithOrganizations(
        const std::vector<std::shared_ptr<GDataOrganization>>& organizations);
    // 0 "Don't Update", 1 and 2 "<from> -> <to>" with the account names, else "Delete Contact".
    std::string getSyncActionDescriptionForSyncAction(int32_t syncAction);
    // The names of the two sides as the texts show them.
    std::string getAppleAccountName();
    std::string getGoogleAccountName();
};

}  // namespace quorvane
