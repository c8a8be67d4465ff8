#pragma once
// QuorvaneModel: the sync model. One process-wide instance (sharedQuorvaneModel) owns the sync
// state, the handles of the local contact store and the helpers every step of a sync run shares:
// the tolerant comparisons, the string and date helpers, the label converters and the display
// texts.
//
// Its operations are grouped by topic, each topic in its own source file
// (QuorvaneModelEquality.cpp, QuorvaneModelStrings.cpp, ...). The stored settings are one private
// table (SyncSettings) read through getters and changed only through setters, which store them.
// New state belongs in classes of their own that the model composes (history store, strategy, run
// log, ...); the model keeps its named operations as thin entry points to them.
//
// The class declares its operations first, topic by topic (a "=====" heading names each topic and
// its source file), then, privately, the state behind them under the same topics.
//
// Everything runs on the main thread.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <string>
#include <utility>
#include <vector>

#include "gdata/GDataEntryContact.h"
#include "gdata/GDataFeedContact.h"
#include "gdata/GDataFeedContactGroup.h"
#include "oauth2/QNOAuth2Authentication.h"
#include "oauth2/QNOAuth2WindowController.h"
#include "gdata/service/GDataServiceGoogleContact.h"
#include "platform/contacts/ABAddressBook.h"
#include "platform/contacts/CNContact.h"
#include "platform/contacts/ACAccountStore.h"
#include "platform/contacts/CNContactStore.h"
#include "platform/contacts/CNSaveRequest.h"
#include "platform/foundation/Calendar.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Strings.h"
#include "platform/store/UserDefaults.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/web/WebView.h"
#include "sync/AppleSourceInfo.h"
#include "sync/FieldValues.h"
#include "sync/GoogleContactCache.h"
#include "sync/NSCachedAppleContact.h"
#include "sync/NSContactSourceRecord_QV.h"
#include "sync/NSContainerInfo.h"
#include "sync/NSSyncRecord.h"
#include "sync/GoogleBatchWriter.h"
#include "sync/GoogleFeedFetch.h"
#include "sync/RunLog.h"
#include "sync/SyncHistory.h"
#include "sync/LocalContactAsRead.h"
#include "sync/SyncSettings.h"
#include "sync/SyncLock.h"
#include "sync/SyncStore.h"
#include "sync/SyncStrategy.h"
#include "sync/SyncTypes.h"

namespace quorvane {

// Errors of the model's own tools.
inline constexpr const char* kQuorvaneModelErrorDomain = "com.quorvane.QuorvaneModel";
inline constexpr int64_t kQuorvaneModelErrorNoContainer = 1;        // no account given, or one without identifier
inline constexpr int64_t kQuorvaneModelErrorHistoryNotCleared = 2;  // the sync history could not be cleared
inline constexpr int64_t kQuorvaneModelErrorEntriesRemain = 3;      // entries the provider did not delete
inline constexpr int64_t kQuorvaneModelErrorNoLocalWrite = 4;      // no local contact of a run could be written
inline constexpr int64_t kQuorvaneModelErrorAccountRefused = 5;    // the local account may not be synced as asked
inline constexpr int64_t kQuorvaneModelErrorHistoryUnreadable = 6;  // the sync store exists but cannot be read
inline constexpr int64_t kQuorvaneModelErrorHistoryNotSaved = 7;    // a run's writes were done, its history not saved
inline constexpr int64_t kQuorvaneModelErrorSignInNotSaved = 8;    // a new sign-in could not be stored (the old one stays)
inline constexpr int64_t kQuorvaneModelErrorSettingsUnusable = 9;   // the settings file cannot be read, holds a
                                                                     // value no setting takes, or is gone
inline constexpr int64_t kQuorvaneModelErrorHistoryClearNotConfirmed = 10;  // a clear would lose deletions not yet carried

class QuorvaneModel;
class PairingIndex;
class SyncRun;
struct SyncRunOptions;
using QuorvaneModelPtr = std::shared_ptr<QuorvaneModel>;

class QuorvaneModel : public std::enable_shared_from_this<QuorvaneModel> {
public:
    // Where the model's handles come from; an unset member takes the process's standard one.
    struct Environment {
        std::shared_ptr<platform::UserDefaults> userDefaults;    // standardUserDefaults()
        std::shared_ptr<platform::CNContactStore> contactStore;  // the standard store file
        std::shared_ptr<platform::ABAddressBook> addressBook;    // sharedAddressBook(), or one on contactStore's file
        std::shared_ptr<const platform::TimeZone> timeZone;      // the process's default zone
        // The folder of the profile's own data (the sync store, SyncStore::pathInFolder); empty:
        // the application's folder under the XDG data folder.
        std::filesystem::path dataFolder;
        // The keychain item of the signed-in authorization and the application's registration
        // with the provider; empty: kKeychainItemName, kOAuth2ClientID and kOAuth2ClientSecret.
        std::string keychainItemName;
        std::string clientID;
        std::string clientSecret;
        // How long a command waits for the profile's sign-in lock that another command holds;
        // nullopt: as long as a refresh may hold it (kQNOAuth2RefreshDeadline and its margin).
        std::optional<double> signInLockWait;
    };

    // The shared instance, made with the standard environment on the first call.
    static QuorvaneModelPtr sharedQuorvaneModel();
    // Whether the shared instance has been made (asking makes none).
    static bool hasSharedQuorvaneModel();

    // A model on the given handles (tests use their own store, defaults and zone).
    explicit QuorvaneModel(Environment environment = {});
    QuorvaneModel(const QuorvaneModel&) = delete;
    QuorvaneModel& operator=(const QuorvaneModel&) = delete;

    // ===== The contact store and the run's mode =====
    platform::CNContactStore& contactStore() const { return *mContactStore; }
    // The mode of the current run (the history and the texts read it).
    SyncMode syncMode() const { return mSyncMode; }
    void setSyncMode(SyncMode mode) { mSyncMode = mode; }

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

    // ===== Strings (QuorvaneModelStrings.cpp) =====
    // The longest prefix of at most maxLength UTF-16 units that keeps surrogate pairs whole; the
    // string itself when it is not longer; nil for nil. A negative maximum counts as 0.
    std::optional<std::string> truncateString(const std::optional<std::string>& s, int32_t maxLength);
    // The (original, kept) lengths in characters (code points) of the values truncateString cut
    // since the last call; empties them.
    std::vector<std::pair<size_t, size_t>> takeTruncatedValues() { return std::exchange(mTruncatedValues, {}); }
    std::optional<std::string> truncateStringToDefaultMaxGoogleLength(const std::optional<std::string>& s);
    static constexpr int32_t kDefaultMaxGoogleLength = 1024;
    // Trimmed at both ends of whitespace, newline and control characters; nil for nil.
    std::optional<std::string> trimWhitespaceFromString(const std::optional<std::string>& s);
    // trimWhitespaceFromString of each, in order (empty results stay).
    std::vector<std::string> trimWhitespaceFromStringArray(const std::vector<std::string>& strings);
    // Every run of newline characters replaced by one blank; nil for nil.
    std::optional<std::string> removeCarriageReturnsFromString(const std::optional<std::string>& s);

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
    // The address-book records of local contacts, read many at a time, by identifier: the record,
    // or nil for a contact the store did not hold when it was read.
    using StoredRecordDates = std::unordered_map<std::string, std::optional<platform::ABRecord>>;
    // The records the two date getters below read one at a time for these contacts (those fetched
    // without their dates), read kMaxIdentifiersPerFetch at a time. A part that cannot be read is
    // left out: its contacts are read one at a time when asked about, as without this read.
    StoredRecordDates getStoredRecordDatesWithAppleContacts(const std::vector<platform::CNContactPtr>& contacts);
    // The contact's "modificationDate" when it was fetched, else the modification date of its
    // address-book record (from STORED when it holds the contact); nil when neither is known.
    std::optional<platform::Date> getModificationDateWithAppleContact(const platform::CNContactPtr& contact,
                                                                      const StoredRecordDates* stored = nullptr);
    // The contact's "creationDate" when it was fetched, else its address-book record's (from
    // STORED when it holds the contact).
    std::optional<platform::Date> getCreationDateWithAppleContact(const platform::CNContactPtr& contact,
                                                                  const StoredRecordDates* stored = nullptr);

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

    // Google rels, labels and protocols back to local labels and service names. Each is the
    // inverse of its forward converter: forward(reverse(x)) == x for every rel the forward
    // converter gives and for custom labels (kept as they are). A rel the forward converter never
    // gives becomes its word after "#" as a custom label; nil for neither rel nor label (the
    // forward converter gives its default rel for that). Custom labels that spell a local
    // standard label or a word the forward converter turns into a rel ("car" for a phone) cannot
    // come back as the same label: they come back as that rel.
    std::optional<std::string> convertToAppleEmailLabelWithGoogleLabel(const GmailLabelInfo& info);
    std::optional<std::string> convertToApplePhoneLabelWithGoogleLabel(const GmailLabelInfo& info);
    std::optional<std::string> convertToAppleAddressLabelWithGoogleLabel(const GmailLabelInfo& info);
    std::optional<std::string> convertToAppleIMLabelWithGoogleLabel(const GmailLabelInfo& info);
    std::optional<std::string> convertToAppleURLLabelWithGoogleLabel(const GmailLabelInfo& info);
    std::optional<std::string> convertToAppleRelationLabelWithGoogleLabel(const GmailLabelInfo& info);
    std::optional<std::string> convertToAppleEventLabelWithGoogleLabel(const GmailLabelInfo& info);
    // A Google IM protocol to the local service name ("" for nil or empty; unknown ones unchanged).
    std::string convertToAppleIMProtocolWithGoogleProtocol(const std::optional<std::string>& protocol);
    // A Google user-defined field's key to the local social-profile service (unknown keys unchanged).
    std::string convertToAppleSocialProfileServiceWithGoogleLabel(const std::optional<std::string>& key);

    // ===== Values the conversions write (QuorvaneModelWrittenValues.cpp) =====
    // What a conversion writes of each field, in order: values that carry something. Not written:
    // a blank e-mail address, phone number or web address; an IM address or social profile (Google:
    // user-defined field) without a user name; a date that names no valid month and day; a postal
    // address with no part the other side keeps (street, city, region, post code, country, or a
    // country code the country-code setting lets through); phone numbers beyond the count Google
    // keeps. Both conversions write exactly these lists and the comparison compares exactly
    // these, so a value that is never written is never a difference (and never updates a pair
    // again on each run). The local contact must carry the field's key.
    std::vector<platform::CNLabeledValue<std::string>> getWrittenAppleEmails(const platform::CNContact& contact);
    std::vector<platform::CNLabeledValue<platform::CNPhoneNumber>> getWrittenApplePhones(const platform::CNContact& contact);
    std::vector<platform::CNLabeledValue<platform::CNPostalAddress>> getWrittenApplePostalAddresses(
        const platform::CNContact& contact);
    std::vector<platform::CNLabeledValue<std::string>> getWrittenAppleURLs(const platform::CNContact& contact);
    std::vector<platform::CNLabeledValue<platform::CNInstantMessageAddress>> getWrittenAppleIMAddresses(
        const platform::CNContact& contact);
    std::vector<platform::CNLabeledValue<platform::DateComponents>> getWrittenAppleDates(const platform::CNContact& contact);
    std::vector<platform::CNLabeledValue<platform::CNSocialProfile>> getWrittenAppleSocialProfiles(
        const platform::CNContact& contact);
    std::optional<platform::DateComponents> getWrittenAppleBirthday(const platform::CNContact& contact);
    std::vector<std::shared_ptr<GDataEmail>> getWrittenGoogleEmails(const GDataEntryContact& contact);
    std::vector<std::shared_ptr<GDataPhoneNumber>> getWrittenGooglePhones(const GDataEntryContact& contact);
    std::vector<std::shared_ptr<GDataContactWebsiteLink>> getWrittenGoogleURLs(const GDataEntryContact& contact);
    std::vector<std::shared_ptr<GDataIM>> getWrittenGoogleIMAddresses(const GDataEntryContact& contact);
    std::vector<std::shared_ptr<GDataContactEvent>> getWrittenGoogleEvents(const GDataEntryContact& contact);
    std::vector<std::shared_ptr<GDataContactUserDefinedField>> getWrittenGoogleUserDefinedFields(
        const GDataEntryContact& contact);
    // (Postal addresses: getValidPostalAddressesWithGoogleContact.)
    // A phonetic name is written only beside its name part: nil when the part is nil or empty.
    static std::optional<std::string> getWrittenPhoneticName(const std::optional<std::string>& part,
                                                             const std::optional<std::string>& phonetic);
    // The day a date names: year (unset for none or the no-year year), month and day; nil when the
    // components name no valid month and day.
    std::optional<platform::DateComponents> getDayWithDateComponents(const std::optional<platform::DateComponents>& components);
    // The day of the Google birthday, read in UTC (it is stored as a day); nil when it gives none.
    std::optional<platform::DateComponents> getDayWithGoogleBirthday(const GDataEntryContact& contact);
    // The day of an event's start as written; nil when it gives none.
    std::optional<platform::DateComponents> getDayWithGoogleEvent(const GDataContactEvent& event);

    // ===== Google to local conversion (QuorvaneModelGoogleToLocal.cpp; the fields: ContactFieldTable) =====
    // Writes the Google contact into the local contact field by field, the reverse of
    // updateGoogleContact: names with their phonetic readings, nickname, the organisation (each
    // of name, title and department from the first Google organisation that has it), note,
    // birthday (a day; no year for a year-less one), events by their day, e-mail addresses, phone
    // numbers, postal addresses (with the country code the country-code setting lets through),
    // web addresses, relations, IM addresses (unknown services kept as they are) and the
    // user-defined fields as social profiles (not in an Exchange account, which keeps none).
    // Without the record's merge flag, or for a new contact, single fields are written even when
    // empty; with it only non-empty Google values are. Lists go through the local-side merges,
    // within an Exchange account's limits; with merging, a list the contact was read without is
    // left as it is (its stored values cannot be kept without reading them). The local photo is
    // removed only without merging, with photo sync on, when Google has no photo now and
    // googleHadPhoto (the history shows Google had one). Group memberships are not written here:
    // see getAppleGroupNamesWithGoogleContact. Appends the run log line.
    void updateAppleContact(const platform::CNMutableContactPtr& apple, const std::shared_ptr<GDataEntryContact>& google,
                            const NSSyncRecordPtr& record, bool googleHadPhoto);
    // Marks the record as creating a contact and converts into a new empty local contact.
    platform::CNMutableContactPtr createAppleContactWithGoogleContact(const std::shared_ptr<GDataEntryContact>& google,
                                                                      const NSSyncRecordPtr& record);
    // The local group names the contact must be in after the write: its Google groups without My
    // Contacts, with the merge flag (of an existing contact) joined with its current local groups,
    // plus the auto-add group when that setting is on; each name once ignoring case. nil when the
    // synced local account keeps no groups (its memberships are left alone).
    std::optional<std::vector<std::string>> getAppleGroupNamesWithGoogleContact(
        const std::shared_ptr<GDataEntryContact>& google, const NSSyncRecordPtr& record,
        const std::optional<std::vector<std::string>>& currentAppleGroupNames);

    // ===== Writing the local side of a run (QuorvaneModelApplyLocal.cpp) =====
    // Writes the local side of every planned record given: records going Google to
    // local are written with updateAppleContact (existing contacts, read again in full) or
    // createAppleContactWithGoogleContact (into the synced account, or the default one when all
    // accounts are synced), with their group memberships where the account keeps groups; records
    // planned as deletions of a local contact whose Google partner is gone delete it. Nothing else
    // is deleted, and read-only contacts are never written (their records fail). Local groups the
    // records need are created first. Changes are saved in requests of at most
    // kMaxLocalSaveOperations operations; a request that fails is retried record by record, so one
    // bad contact fails only its own record (mAppleUpdateFailed). An existing contact is written
    // (or deleted) only while it holds what the run read, checked in the transaction that writes
    // it: one edited since is left for the next run (mAppleChangedDuringSync). Each written record keeps the
    // written contact in mMutableAppleContact. Runs in slices on the main run loop, calls progress
    // after each slice with the records done and the total, and finished exactly once: with an
    // error only when records were to be written and none could be.
    using LocalApplyProgress = std::function<void(size_t done, size_t total)>;
    using LocalApplyFinished = std::function<void(const std::optional<platform::Error>& error)>;
    void performSynchronization_Step1(const std::vector<NSSyncRecordPtr>& records, LocalApplyProgress progress,
                                      LocalApplyFinished finished);
    static constexpr size_t kMaxLocalSaveOperations = 500;
    static constexpr size_t kLocalRecordsPerSlice = 100;

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

    // ===== Contact store access (QuorvaneModelStore.cpp, QuorvaneModelContainers.cpp) =====
    // Settings this topic reads: contactSourceMode() (ContactSourceMode) and customContainerID()
    // (the container of mode 1), in the settings block below.
    // The signed-in Google authorization; nullptr when nobody is signed in.
    const std::shared_ptr<QNOAuth2Authentication>& auth() const { return mAuth; }
    // The synced container (nullptr when none, or all accounts are synced) and its source record,
    // as updateSelectedContainerWithError found them.
    const platform::CNContainerPtr& selectedContainer() const { return mSelectedContainer; }
    const NSContactSourceRecord_QVPtr& currentSourceRecord() const { return mCurrentSourceRecord; }

    // Every container of the store, in store order.
    platform::Result<std::vector<platform::CNContainerPtr>> getAppleContainersWithError();
    // The container with that identifier; nullptr for nil, when there is none, or on failure.
    platform::CNContainerPtr getContainerWithIdentifier(const std::optional<std::string>& identifier);
    // Recomputes mSelectedContainer, mFacebookContainerID, mCurrentSourceRecord and the account
    // flags. When the containers cannot be read it fails, and the selection is the one of no
    // container at all.
    platform::Result<void> updateSelectedContainerWithError();
    // The container synced in automatic mode: an iCloud one at once, else the last local, the
    // last non-Google CardDAV, the last of another type, the last Google CardDAV one, in that
    // preference; Facebook and read-only containers are never chosen. nullptr when none fits.
    platform::CNContainerPtr getAutoSelectedContainer();
    platform::CNContainerPtr getAutoSelectedContainerWithContainers(const std::vector<platform::CNContainerPtr>& containers);
    // Whether the user should be asked to pick the Mac account (automatic mode only).
    bool shouldPromptToSelectDeviceAccount();
    AppleSourceInfo getAppleSourceInfo();
    // The keys fetched for a key set (0 to 7; any other value is the contact card's descriptor).
    std::vector<platform::CNKeyDescriptor> getContactKeysWithKeySet(ContactKeySet keySet);
    // One fetch of the store, retried once when the enumeration fails.
    platform::Result<std::vector<platform::CNContactPtr>> doGetAppleContactsMatchingPredicate(
        const platform::CNPredicatePtr& predicate, ContactKeySet keySet);
    // The fetch through the cache of full contacts (key sets 2 to 5); the plain fetch otherwise.
    // Fails with the first error of its fetches, or when a fetch of identifiers keeps giving back
    // a different number of contacts.
    platform::Result<std::vector<platform::CNContactPtr>> getAppleContactsMatchingPredicate(
        const platform::CNPredicatePtr& predicate, ContactKeySet keySet);
    // Contacts of the container; every contact for nullptr or a container without identifier.
    platform::Result<std::vector<platform::CNContactPtr>> getAppleContactsInContainer(
        const platform::CNContainerPtr& container, ContactKeySet keySet);
    // The identifier of every local contact, of every account, without reading the contacts.
    platform::Result<std::vector<std::string>> getEveryAppleContactIdentifier();
    platform::Result<std::vector<platform::CNContactPtr>> getAppleContactsInSelectedContainerWithKeySet(
        ContactKeySet keySet);
    // Groups of the container; every group for nullptr or a container without identifier.
    platform::Result<std::vector<platform::CNGroupPtr>> getAppleGroupsInContainer(const platform::CNContainerPtr& container);
    platform::Result<std::vector<platform::CNGroupPtr>> getAppleGroupsInSelectedContainerWithError();
    // Contacts of the group through the cache; empty for nullptr or a group without identifier.
    platform::Result<std::vector<platform::CNContactPtr>> getAppleContactsInGroup(const platform::CNGroupPtr& group,
                                                                                  ContactKeySet keySet);
    // The longest identifier list of one fetch.
    static constexpr size_t kMaxIdentifiersPerFetch = 2000;

    // ===== Containers and the contact cache (QuorvaneModelContainers.cpp) =====
    // The account behind a CardDAV container, by its server name; NO for nil, other types, or
    // an account that cannot be read.
    bool isFacebookContainer(const platform::CNContainerPtr& container);
    bool isGoogleContainer(const platform::CNContainerPtr& container);
    bool isICloudContainer(const platform::CNContainerPtr& container);
    bool isYahooContainer(const platform::CNContainerPtr& container);
    // Its identifier equals mFacebookContainerID.
    bool isFacebookContainer_Fast(const platform::CNContainerPtr& container);
    bool isExchangeContainer(const platform::CNContainerPtr& container);
    // The account grants "DAV::read" but not "DAV::write" in one of its home entries.
    bool isReadOnlyContainer(const platform::CNContainerPtr& container);
    // The account's "userName"; nil when it has none or cannot be read.
    std::optional<std::string> getUsernameFromContainer(const platform::CNContainerPtr& container);
    // The signed-in Google user's e-mail; "" when nobody is signed in.
    std::string getUsername();
    int32_t getNumAccountsExcludingFacebookAndGoogle();
    int32_t getContainerAccountTypeWithContainer(const platform::CNContainerPtr& container);
    NSContainerInfoPtr getContainerInfoWithContainer(const platform::CNContainerPtr& container);
    NSContactSourceRecord_QVPtr getContactSourceRecordWithContainer(const platform::CNContainerPtr& container);
    NSContactSourceRecord_QVPtr getEmptyContactSourceRecord();
    NSContactSourceRecord_QVPtr getContactSourceRecordWithContactSourceMode(int32_t mode,
                                                                            const std::optional<std::string>& customSourceID);
    // imageData when fetched and set, else thumbnailImageData when fetched, else nil.
    std::optional<platform::Bytes> getAppleContactImageData(const platform::CNContactPtr& contact);
    // The photoDigest of the contact's photo as the run read it; nullopt when not known.
    std::optional<uint64_t> applePhotoDigestAsRead(const platform::CNContactPtr& contact);
    // What the run read of the record's local contact (or of none, for one it makes), for the
    // check in the transaction that writes it: its fields, its photo and the synced account.
    LocalContactAsRead localContactAsRead(const NSSyncRecord& record);
    // The cached full copy of the contact for the key set while its modification date is current.
    platform::CNContactPtr getCachedAppleContactWithPartialContact(const platform::CNContactPtr& contact,
                                                                   ContactKeySet keySet);
    // Keeps a copy of the contact without its photo's bytes (their size and digest beside it), and
    // returns that copy.
    platform::CNContactPtr storeCachedAppleContactWithContact(const platform::CNContactPtr& contact, ContactKeySet keySet);
    // mAccountStore, made at first use.
    platform::ACAccountStore& accountStore();

    // ===== Contact comparison (QuorvaneModelComparison.cpp, QuorvaneModelContactHelpers.cpp; the fields: ContactFieldTable) =====
    // Whether the contact has any name part, nickname, organisation, job title, department or e-mail.
    bool appleContactHasName(const platform::CNContactPtr& contact);
    bool googleContactHasName(const std::shared_ptr<GDataEntryContact>& contact);
    // The group names the planned records need on Google (for records going local to Google)
    // and locally (for records going Google to local), each name once ignoring case.
    std::vector<std::string> getRequiredGoogleGroupNamesForSync(const std::vector<NSSyncRecordPtr>& records);
    std::vector<std::string> getRequiredAppleGroupNamesForSync(const std::vector<NSSyncRecordPtr>& records);
    // The contact's structured postal addresses that hold any street, city, region, post code or
    // country name, or a country code isValidCountryCode accepts: the ones the conversions write.
    std::vector<std::shared_ptr<GDataStructuredPostalAddress>> getValidPostalAddressesWithGoogleContact(
        const std::shared_ptr<GDataEntryContact>& contact);
    // The list comparisons: false when the local contact was fetched without the list's key.
    bool contactPostalAddressesDifferWithAppleContact(const platform::CNContactPtr& apple,
                                                      const std::shared_ptr<GDataEntryContact>& google);
    bool contactIMAddressesDifferWithAppleContact(const platform::CNContactPtr& apple,
                                                  const std::shared_ptr<GDataEntryContact>& google);
    // Also false when the stored contact lives in an Exchange account (it keeps no profiles there).
    bool contactSocialProfilesDifferWithAppleContact(const platform::CNContactPtr& apple,
                                                     const platform::CNContactPtr& actualApple,
                                                     const std::shared_ptr<GDataEntryContact>& google);
    // Whether a paired local and Google contact differ. `apple` is the contact as fetched for the
    // comparison (with every key read here), `actualApple` its stored form (for the account tests),
    // appleGroupNames the names of its local groups. *difference receives the ContactDifference of
    // the first field that differs, or ContactDifferenceNone.
    // The comparison's code when the Google contact's name parts, read from its values without
    // making any object (GoogleContactCache::readValues), differ from the local contact's: the
    // name is the comparison's first row. nullopt when they agree (the rest needs the whole entry).
    std::optional<int32_t> nameDifferenceSeenInSummary(const platform::CNContactPtr& apple, const GDataEntryContact& google);
    bool contactsDifferWithAppleContact(const platform::CNContactPtr& apple, const platform::CNContactPtr& actualApple,
                                        const std::shared_ptr<GDataEntryContact>& google,
                                        const std::optional<std::vector<std::string>>& appleGroupNames,
                                        int32_t* difference);

    // The Google contact's group names in membership order: titles without "System Group: ", blank
    // names skipped, each name once ignoring case, "My Contacts" left out when asked.
    std::vector<std::string> getGoogleContactGroupNamesWithContact(const std::shared_ptr<GDataEntryContact>& contact,
                                                                   bool ignoringMyContacts);
    // The same of memberships already read.
    std::vector<std::string> googleGroupNamesOfMemberships(const std::vector<GoogleContactCache::Values::Membership>& groups,
                                                           bool ignoringMyContacts);
    // mGroupMembershipByPerson of the identifier; nil for nil or an unknown identifier.
    std::optional<std::vector<std::string>> getAppleContactGroupNamesWithAppleContactID(
        const std::optional<std::string>& identifier);
    // The stored group hash (groupNamesHash): stable across runs, versions and locales; 0 for nil.
    uint64_t getGroupHashWithGroups(const std::optional<std::vector<std::string>>& groups);
    // Whether the Google contact is in My Contacts (true when the groups feed has no such group).
    bool belongsToMyContacts(const std::shared_ptr<GDataEntryContact>& contact);
    // The street of a local address on one line, trimmed.
    std::optional<std::string> getAppleStreetAddressWithPostalAddress(const platform::CNPostalAddress& address);
    // Post box, street and neighbourhood on one line each, repeats and lines contained in a longer
    // one dropped, joined by ", "; nil when none remain.
    std::optional<std::string> getGoogleStreetAddressWithPostalAddress(
        const std::shared_ptr<GDataStructuredPostalAddress>& address);
    // Whether the selected local account keeps groups: not when a read-only or the Facebook
    // account is synced, all accounts are synced, there is no source record, or the account is
    // Exchange, Google or of no known type. The contact itself is not read.
    bool appleContactSupportsGroups(const platform::CNContactPtr& contact);
    bool selectedAppleAccountSupportsGroups();
    // Whether the text is a two-letter ISO country code (any case); always false while the
    // country-code setting (mSyncCountryCodes) is off.
    bool isValidCountryCode(const std::optional<std::string>& code);

    // ===== Account classification and the group filter (QuorvaneModelAccounts.cpp) =====

    // Each empties its dictionary, then marks the contacts of the matching containers: the
    // selected container when there is one, else every container. The Exchange and Google
    // CardDAV ones read nothing while the selection holds no such account (mUsingExchange,
    // mUsingGoogleCardDAV). The read-only one always walks every container, selected or not.
    // A container or contact fetch that fails leaves the contacts it would have marked unmarked.
    void updateExchangeContactDict();
    void updateGoogleCardDAVContactDict();
    void updateFacebookContactDict();
    void updateReadOnlyContactDict();
    // Whether the dictionary marks the contact; false for nil.
    bool isExchangeContact(const platform::CNContactPtr& contact);
    bool isGoogleCardDAVContact(const platform::CNContactPtr& contact);
    bool isFacebookContact(const platform::CNContactPtr& contact);
    bool isReadOnlyContactWithContact(const platform::CNContactPtr& contact);
    // Whether contacts created locally in this run land in an Exchange account: the current
    // source is an Exchange account, or all accounts are synced and the default container is an
    // Exchange one.
    bool isExchangeDestinationForNewContacts();
    // The group names the group filter offers, each once ignoring case in the first form met:
    // the chosen names, the Google group titles (system groups without "System Group: "), then
    // the local groups of the selected container (the selection is refreshed first); sorted
    // ignoring case.
    std::vector<std::string> getGroupFilterCandidateList();

    // ===== Merge of new values (QuorvaneModelMerge.cpp) =====
    // Rebuild one multi-valued field of the destination from the source side's converted values.
    // With mergeContacts, destination values that no new value equals survive; without it the
    // new values replace the field. Equality is tolerant (stringsEqualWithString1, phone numbers
    // by phoneNumbersEqualWithString1, dates by the day); labels and rels are never compared.
    //
    // Google side: the field ends as the kept existing values, in their order, followed by every
    // new value, so an existing value equal to a new one is replaced by it (with its rel, label
    // and primary flag).
    void mergeNewGoogleEmailsWithGoogleContact(const std::shared_ptr<GDataEntryContact>& contact,
                                               const std::vector<std::shared_ptr<GDataEmail>>& newEmails,
                                               bool mergeContacts);
    // Appending stops once the contact holds kMaxGooglePhoneNumbers numbers.
    void mergeNewGooglePhonesWithGoogleContact(const std::shared_ptr<GDataEntryContact>& contact,
                                               const std::vector<std::shared_ptr<GDataPhoneNumber>>& newPhones,
                                               bool mergeContacts);
    static constexpr size_t kMaxGooglePhoneNumbers = 450;
    // Equal: the same city or the same post code, and the same street text.
    void mergeNewGoogleAddressesWithGoogleContact(
        const std::shared_ptr<GDataEntryContact>& contact,
        const std::vector<std::shared_ptr<GDataStructuredPostalAddress>>& newAddresses, bool mergeContacts);
    void mergeNewGoogleURLsWithGoogleContact(const std::shared_ptr<GDataEntryContact>& contact,
                                             const std::vector<std::shared_ptr<GDataContactWebsiteLink>>& newURLs,
                                             bool mergeContacts);
    void mergeNewGoogleRelationsWithGoogleContact(const std::shared_ptr<GDataEntryContact>& contact,
                                                  const std::vector<std::shared_ptr<GDataContactRelation>>& newRelations,
                                                  bool mergeContacts);
    // Equal: the same address and the same protocol.
    void mergeNewGoogleIMAddressesWithGoogleContact(const std::shared_ptr<GDataEntryContact>& contact,
                                                    const std::vector<std::shared_ptr<GDataIM>>& newIMAddresses,
                                                    bool mergeContacts);
    // Equal: start dates on the same day.
    void mergeNewGoogleEventsWithGoogleContact(const std::shared_ptr<GDataEntryContact>& contact,
                                               const std::vector<std::shared_ptr<GDataContactEvent>>& newEvents,
                                               bool mergeContacts);
    // Equal: the same key and the same value.
    void mergeNewGoogleUserDefinedFieldsWithGoogleContact(
        const std::shared_ptr<GDataEntryContact>& contact,
        const std::vector<std::shared_ptr<GDataContactUserDefinedField>>& newUserDefinedFields, bool mergeContacts);

    // Local side: with mergeContacts, each existing value (blank ones skipped) that no new value
    // equals is appended to the caller's array of new values; then, for an Exchange destination,
    // the array loses its first values until it is within the account's limit for the field;
    // then the array becomes the contact's property. The caller's array is changed too.
    void mergeNewAppleEmailsWithAppleContact(const platform::CNMutableContactPtr& contact,
                                             std::vector<platform::CNLabeledValue<std::string>>& newEmailAddresses,
                                             bool mergeContacts, bool exchangeDestination);
    void mergeNewApplePhonesWithAppleContact(const platform::CNMutableContactPtr& contact,
                                             std::vector<platform::CNLabeledValue<platform::CNPhoneNumber>>& newPhoneNumbers,
                                             bool mergeContacts, bool exchangeDestination);
    void mergeNewAppleAddressesWithAppleContact(
        const platform::CNMutableContactPtr& contact,
        std::vector<platform::CNLabeledValue<platform::CNPostalAddress>>& newPostalAddresses, bool mergeContacts,
        bool exchangeDestination);
    void mergeNewAppleURLsWithAppleContact(const platform::CNMutableContactPtr& contact,
                                           std::vector<platform::CNLabeledValue<std::string>>& newURLAddresses,
                                           bool mergeContacts, bool exchangeDestination);
    void mergeNewAppleRelationsWithAppleContact(
        const platform::CNMutableContactPtr& contact,
        std::vector<platform::CNLabeledValue<platform::CNContactRelation>>& newRelations, bool mergeContacts,
        bool exchangeDestination);
    void mergeNewAppleIMAddressesWithAppleContact(
        const platform::CNMutableContactPtr& contact,
        std::vector<platform::CNLabeledValue<platform::CNInstantMessageAddress>>& newIMAddresses, bool mergeContacts,
        bool exchangeDestination);
    void mergeNewAppleEventsWithAppleContact(const platform::CNMutableContactPtr& contact,
                                             std::vector<platform::CNLabeledValue<platform::DateComponents>>& newEvents,
                                             bool mergeContacts, bool exchangeDestination);
    // An Exchange account keeps no social profiles, so there is no limit to apply.
    void mergeNewAppleSocialProfilesWithAppleContact(
        const platform::CNMutableContactPtr& contact,
        std::vector<platform::CNLabeledValue<platform::CNSocialProfile>>& newSocialProfiles, bool mergeContacts);
    // A merge judged against what the last run left on each side (FieldValues.h): while a merge
    // base is set, the merges above drop a value the other side removed since, add a value only
    // when it was added since, and leave one the sides held apart where it is; the conversions
    // ask singleFieldFate for each single-valued field. Set by the conversions for a merged
    // record that carries a base (NSSyncRecord::mFieldBase), and cleared after.
    void setFieldMergeBase(const FieldMergeBase* base) { mFieldMergeBase = base; }
    const FieldMergeBase* fieldMergeBase() const { return mFieldMergeBase; }
    SingleFate singleFieldFate(bool sourceLocal, MergeField field, std::optional<uint32_t> source,
                               std::optional<uint32_t> destination) const {
        return mFieldMergeBase ? mFieldMergeBase->single(sourceLocal, field, source, destination) : SingleFate::Default;
    }
    // The digests of what each side holds (QuorvaneModelFieldValues.cpp), and of the values the
    // merges compare, by the same rules. The local contact carries every key.
    FieldValues localFieldValues(const platform::CNContact& contact);
    FieldValues googleFieldValues(const GDataEntryContact& contact);
    std::optional<uint32_t> localSingleKey(MergeField field, const platform::CNContact& contact);
    std::optional<uint32_t> googleSingleKey(MergeField field, const GDataEntryContact& contact);
    // A group name's digest; nullopt for My Contacts, which a merge does not judge.
    std::optional<uint32_t> groupNameKey(const std::string& name);
    // The group names a merge writes from the source side's names into the destination's, each
    // name one side holds alone as FieldMergeBase judges it (names compared ignoring case).
    std::vector<std::string> mergedGroupNames(const FieldMergeBase& base, bool sourceLocal,
                                              const std::vector<std::string>& source,
                                              const std::vector<std::string>& destination);
    // How many values of each field an Exchange account keeps.
    static constexpr size_t kExchangeMaxEmailAddresses = 3;
    static constexpr size_t kExchangeMaxPhoneNumbers = 12;
    static constexpr size_t kExchangeMaxPostalAddresses = 3;
    static constexpr size_t kExchangeMaxURLAddresses = 1;
    static constexpr size_t kExchangeMaxRelations = 3;
    static constexpr size_t kExchangeMaxIMAddresses = 3;
    static constexpr size_t kExchangeMaxDates = 1;

    // ===== Local to Google conversion (QuorvaneModelConversion.cpp; the fields: ContactFieldTable) =====
    // Set by the conversion when a converted contact (or a newly created one) has a photo to upload.
    bool hasABPhotosToSubmit() const { return mHasABPhotosToSubmit; }
    void notePhotoToSubmit(bool forNewRecord) {
        mHasABPhotosToSubmit = true;
        if (forNewRecord) mHasABPhotosToSubmitForNewRecord = true;
    }

    // Writes the local contact into the Google entry, field by field. `apple` is the contact as
    // fetched for the comparison (every key read here), `actualApple` its stored form (asked only
    // whether its account keeps groups), appleGroupNames the names of its local groups. Without the
    // record's merge flag, or for a new contact, single fields are written even when empty; with
    // it only non-empty local values are written. Lists go through the Google-side merges.
    void updateGoogleContact(const std::shared_ptr<GDataEntryContact>& google, const platform::CNContactPtr& apple,
                             const platform::CNContactPtr& actualApple, const NSSyncRecordPtr& record,
                             const std::optional<std::vector<std::string>>& appleGroupNames);
    // Marks the record as creating a contact and converts into a new empty entry.
    std::shared_ptr<GDataEntryContact> createGoogleContactWithAppleContact(
        const platform::CNContactPtr& apple, const platform::CNContactPtr& actualApple, const NSSyncRecordPtr& record,
        const std::optional<std::vector<std::string>>& appleGroupNames);
    // The memberships of the local groups of the selected container that could be read ("System
    // Group: " removed, each name once ignoring case). A group whose contacts cannot be read is
    // skipped and the store's error kept in `unread`: the rest is still worth using.
    LocalGroupMembership getGroupMembershipByPersonWithError();
    // Reads the memberships again (getGroupMembershipByPersonWithError) as the ones the run uses;
    // fails when a group could not be read (the memberships read are used all the same).
    platform::Result<void> updateGroupMembershipByPersonWithError();
    // A new Google group for a local group name; nullptr for a blank name, the name of a system
    // group, or a name the groups feed already holds (ignoring case).
    std::shared_ptr<GDataEntryContactGroup> createGoogleGroupWithABGroupName(const std::optional<std::string>& name);
    // Appends "<account>: Created|Updated <description>[ (<reason>)]" to the run log; nothing for a
    // record without description. The account is Google's when updatedGoogle, else the local one.
    void addToLogWithSyncRecord(const NSSyncRecordPtr& record, bool createdNewContact, bool updatedGoogle);
    static constexpr int32_t kMaxGoogleEmailPhoneLength = 1000;
    static constexpr int32_t kMaxGoogleNoteLength = 130000;

    // ===== Sync history and strategy (QuorvaneModelHistory.cpp) =====
    // The history lives in the profile's SyncStore (opened at first use) and is indexed by
    // syncHistory(). Lookups of the run's contacts by identifier (nullptr when absent):
    using GoogleContactLookup = std::function<std::shared_ptr<GDataEntryContact>(const std::string& googleID)>;
    using AppleContactLookup = std::function<platform::CNContactPtr(const std::string& appleID)>;

    // The store, opened at the first call that can.
    platform::Result<SyncStore*> syncStore();
    const SyncHistory& syncHistory() const { return mSyncHistory; }
    SyncHistory& syncHistoryForUpdate() { return mSyncHistory; }

    // Opens the store and reads it whole: a store that exists but cannot be read is never taken
    // for an empty history. The error (kQuorvaneModelErrorHistoryUnreadable) names the file and
    // the two ways on; a store that does not exist yet is made, empty.
    platform::Result<void> checkSyncStore();
    // Clears the history when the Google user or the local selection changed, loads it and logs
    // the counts; fails as checkSyncStore when the history cannot be read.
    platform::Result<void> fetchSyncHistory();
    // The history load of a run: fetchSyncHistory, where a clear that is due is saved before
    // anything is loaded (and the run stops, kQuorvaneModelErrorHistoryNotCleared, when it cannot
    // be), and only then are the current user and container noted as the previous ones. With
    // writeNothing (a plan) the clear is made in memory alone and nothing is noted. A clear for a
    // changed local selection that would forget deletions not yet carried (a pair one of whose
    // contacts is gone) is refused (kQuorvaneModelErrorHistoryClearNotConfirmed) unless confirmed;
    // a plan says so in `note` instead. A change from one container to another keeps the history
    // (each record names its container), is noted in a plan, and is refused the same way when the
    // history of the container before holds deletions not yet carried (they would come back in
    // the new one). The selection is judged against historyLocalAccounts(), and noted with the
    // store's next save.
    struct HistoryLoad {
        std::optional<std::string> note;
    };
    platform::Result<HistoryLoad> loadSyncHistoryForRun(bool writeNothing, bool clearConfirmed);
    // 0 keep, 1 the Google user changed, 2 the selection changed between all accounts and one
    // container. Only a change from a known previous one counts: an empty user name is no user,
    // and a user or selection never noted is no change. Writes nothing (notePreviousAccounts does).
    int32_t shouldClearSyncHistory();
    // The local accounts the sync history belongs to: as the store noted them, else (a store an
    // earlier release wrote) as its records name them, the current selection when they hold its
    // own; nullopt for a store without either. The account is named as it is now, else as noted.
    struct HistoryLocalAccounts {
        std::string containerID;  // "" for all accounts
        std::string name;         // "all accounts", or the account's name
        bool derived = false;     // read from the records
    };
    platform::Result<std::optional<HistoryLocalAccounts>> historyLocalAccounts();
    // The selection the history belongs to ("" for all accounts); the settings' previous one when
    // the store knows none; nullopt when neither does.
    std::optional<std::string> previousLocalSelection();
    // The Google user the store noted for the history; nullopt when it noted none.
    std::optional<std::string> historyGoogleUser();
    // The accounts automatic choice of the local account meets when there are more than one (it
    // then takes none, and a run is refused), each as "\"name\" (identifier)"; empty otherwise.
    std::vector<std::string> automaticChoiceRefusal();
    // How a selection is named in what the user reads: "all accounts" for none, else the quoted name.
    static std::string describeContainer(const platform::CNContainerPtr& container);
    // Notes the current user (when someone is signed in) and the selected container (all
    // accounts: "") as the previous ones, in the settings and (staged for the store's next save)
    // in the sync store; false when the settings file could not be written.
    bool notePreviousAccounts();
    // The pairs of the previous selection's history one of whose contacts is gone (deletions the
    // next run would carry); 0 when deletions are not synced or the local contacts cannot be read.
    // localOnly: only those whose local contact is gone (their Google contact would be copied into
    // another account).
    size_t deletionsNotYetCarried(bool localOnly = false);
    // The settings file can be used for a run: it can be read, each value is one its setting
    // takes, and it is there when the profile has synced before (its history is not empty).
    // Otherwise kQuorvaneModelErrorSettingsUnusable, naming the file and the key.
    platform::Result<void> checkSettings();
    // Loads every record and rebuilds the indexes; on a store that cannot be read, loads none and
    // fails as checkSyncStore.
    platform::Result<void> doFetchSyncHistory();
    void updateSyncHistoryDict();
    // Rebuilds the remembered pairs of contacts present now (the planner's Google contacts by id
    // and local contacts of the synced account by id).
    void updatePairedContactsDict(const GoogleContactLookup& googleContactDict,
                                  const AppleContactLookup& existingAppleContactDict);
    // The same over the contacts preparePairingDicts indexed.
    void updatePairedContactsDict();
    bool hasSyncHistoryRecordWithAppleContact(const platform::CNContactPtr& contact);
    bool hasSyncHistoryRecordWithGoogleRecord(const std::shared_ptr<GDataEntryContact>& contact);
    // Whether the local store holds a contact of that identifier, in whichever account: the run's
    // contacts first, then, read once per run for every local contact the history names, the
    // store (a store that cannot be read then holds them all: nothing is taken for deleted).
    bool appleContactExistsInStore(const std::string& identifier);
    // The strategy of a pair, or of one contact whose partner is not there (either may be nil).
    SyncStrategyInfo getSyncStrategyWithAppleContact(const platform::CNContactPtr& apple,
                                                     const std::shared_ptr<GDataEntryContact>& google);
    // A cached size of 0 or more as it is; else the byte length of the contact's photo (0 for
    // none). A contact from the cache carries no image bytes: its size comes from the cache.
    int32_t getPhotoSizeWithAppleContact(const platform::CNContactPtr& contact, int32_t cachedSize);
    // Whether a planned record moves its photo.
    bool shouldSyncPhotosWithAppleContact(const platform::CNContactPtr& apple,
                                          const std::shared_ptr<GDataEntryContact>& google, int32_t syncAction,
                                          bool photoVerifiedNotChanged_Apple, bool photoVerifiedNotChanged_Google);
    // Writes the history of a run's records (what the executor did to each) and sweeps records of
    // contacts gone from both sides (not when the store's contacts or containers cannot be read),
    // then saves. Fails when the store cannot be opened or the save failed: the run must report it.
    // Gives the names of the pairs an earlier version's history left holding values on one side only.
    platform::Result<std::vector<std::string>> serializeSyncData(const std::vector<NSSyncRecordPtr>& records,
                                             const GoogleContactLookup& googleContactDict);
    bool shouldRemoveSyncHistoryRecordsAssociatedWithSyncRecord(const NSSyncRecordPtr& record);
    // Deletes (staged) the records of both contacts of the record.
    void removeSyncHistoryRecordsAssociatedWithSyncRecord(const NSSyncRecordPtr& record);
    // Delete records and save; fails when the store cannot be opened or saved. The indexes are
    // not rebuilt.
    platform::Result<void> clearSyncHistory();
    platform::Result<void> clearSyncHistoryWithGoogleContacts(const std::vector<std::shared_ptr<GDataEntryContact>>& contacts);
    platform::Result<void> clearSyncHistoryWithAppleContactIDs(const std::vector<std::string>& identifiers);
    // A record is valid when it names no container or a valid one, and its Google contact is in
    // the run's feed or its local contact is in the store.
    bool isValidSyncHistoryRecord(const SyncHistoryRecord& record, const std::set<std::string>& validAppleContainerIDs,
                                  const std::unordered_set<std::string>& allAppleContactIDs,
                                  const GoogleContactLookup& googleContactDict);
    // The identifiers of every container with one.
    platform::Result<std::set<std::string>> getValidAppleContainerIDDictWithError();
    // The runs recorded so far, oldest first.
    void fetchSyncLogRecords();
    const std::vector<SyncLogRecord>& syncLogRecords() const { return mSyncLogRecords; }
    // Records a run (keeping the newest SyncStore::kLogsKept); its number in the store.
    platform::Result<int64_t> saveSyncLogRecord(SyncLogRecord record);
    // A run's log record as far as the model knows it: started then, ended now, the run's mode and
    // automatic flag, both account names, the outcome and error given, and the log text so far.
    SyncLogRecord newSyncLogRecord(platform::Date startDate, std::string result, std::optional<std::string> error);
    // A new record planned by this model (its texts ask this model, never the shared one).
    NSSyncRecordPtr newSyncRecord();

    // ===== Run log, progress and per-contact tests (QuorvaneModelRunLog.cpp) =====
    // Where the log and progress go; nothing is shown or printed without a sink.
    void setRunLogSink(RunLog::Sink sink) { mRunLog.setSink(std::move(sink)); }
    const RunLog& runLog() const { return mRunLog; }
    const std::string& log() const { return mRunLog.text(); }
    // Appends the text to the log, makes it the progress line, empties the sub-progress line.
    void setProgressWithString(const std::string& text);
    void setSubProgressWithString(const std::string& text);
    void setProgressBarValue(float value);
    void clearLog();
    // Appends the text and a line feed; nil is ignored.
    void appendStringToLog(const std::optional<std::string>& text);

    // Runs the pending local save request (true when there is none); a failure is logged
    // ("Failed to Execute Save Request with Following Error: ...") and kept in syncErrors(). The
    // request is dropped either way and the time noted as the last local change.
    bool executeSaveRequest();
    // Add a deletion to the pending request (made on demand); nil is ignored.
    void saveDeletedAppleContactByAddingToSaveRequest(const platform::CNMutableContactPtr& contact);
    void saveDeletedAppleGroupByAddingToSaveRequest(const platform::CNMutableGroupPtr& group);
    // The number of changes waiting in the pending request.
    size_t pendingSaveRequestCount() const { return mPendingSaveRequest ? mPendingSaveRequest->operations().size() : 0; }
    // The errors of the run so far.
    const std::vector<platform::Error>& syncErrors() const { return mSyncErrors; }
    void clearSyncErrors() { mSyncErrors.clear(); }

    // Whether the authorization was refused: code 403, or 400 with a "json" dictionary whose
    // "error" is "invalid_grant".
    static bool isGoogleAuthenticationError(const std::optional<platform::Error>& error);
    // The contact as the comparisons read it: its full copy (key set 5) through the cache; the
    // contact itself when that cannot be fetched.
    platform::CNContactPtr getAppleReferenceContactWithAppleContact(const platform::CNContactPtr& contact);
    // The Google contact belongs to no group.
    bool isOtherContact(const std::shared_ptr<GDataEntryContact>& contact);
    // Contacts paired earlier in this run.
    bool isGoogleContactAlreadyMatched(const std::shared_ptr<GDataEntryContact>& contact);
    bool isAppleContactAlreadyMatched(const platform::CNContactPtr& contact);
    void setGoogleContactAlreadyMatched(const std::string& googleID) { mGoogleRecordsAlreadyMatched.insert(googleID); }
    void setAppleContactAlreadyMatched(const std::string& appleID) { mAppleRecordsAlreadyMatched.insert(appleID); }
    void clearAlreadyMatched();
    // The group filter is on and names at least one group.
    bool isGroupFilterActive();
    // The force-update setting is on and the run is not automatic.
    bool forceUpdateAllContacts();
    bool isAutomaticSync() const { return mAutomaticSync; }
    void setAutomaticSync(bool automatic) { mAutomaticSync = automatic; }
    // The synced container is the Facebook one.
    bool isSyncingFacebook();
    // The local account check before a run; fails (with the reason logged) when the run must not
    // start: the containers cannot be read (the store's error), or, as kQuorvaneModelErrorAccountRefused,
    // the chosen container is gone, automatic mode finds no container to sync, or the chosen
    // container is read-only.
    platform::Result<void> checkForContactAccountErrorsWithSelectedSyncMode(int32_t syncMode, bool autoSync);

    // ===== The Google feeds of a run (QuorvaneModelFeeds.cpp, GoogleFeedFetch) =====

    using FeedFetchCompletion = std::function<void(std::optional<platform::Error> error)>;
    // Download the groups feed into mGroupFeed, or the contacts feed into mContactFeed (only the
    // changes when the last whole download was of the same user); each calls back once. The groups
    // begin a download of both: their fetch forgets why the last download was not whole.
    void fetchGroupFeedWithCompletion(FeedFetchCompletion completion);
    // A whole list that changed while it was read is downloaded again, up to kWholeListAttempts
    // times in all (`attempt` counts them).
    static constexpr int kWholeListAttempts = 3;
    void fetchContactFeedWithCompletion(FeedFetchCompletion completion, int attempt = 1);
    // Both, groups first; then `finished`, or `failed` with the first error.
    void fetchAllGroupsAndContactsWithFinishedSelector(std::function<void()> finished,
                                                       std::function<void(const platform::Error&)> failed);
    // The current feeds as the download stage hands them on (the last download, or the ones set).
    GoogleFeeds googleFeeds() const;
    // Takes the feeds as the current ones, as if downloaded (tests and benchmarks plan over given
    // feeds).
    void setGoogleFeeds(GoogleFeeds feeds);
    // The groups feed as read again after the run made groups: the conversions name those.
    void setGroupFeed(std::shared_ptr<GDataFeedContactGroup> feed) { mGroupFeed = std::move(feed); }
    // Both feeds were downloaded whole: only then may a contact missing from Google count as deleted.
    bool googleFeedsComplete() const { return mGroupFeed && mContactFeed && mGroupFeedComplete && mContactFeedComplete; }
    // A contacts feed was downloaded and is not whole: the history must not be swept after it.
    bool googleContactFeedCutShort() const { return mContactFeed && !mContactFeedComplete; }
    // The last whole contact list is kept beside the sync store (GoogleContactCache): a download
    // asks only for the changes since, and the contacts it did not get are summaries of the kept
    // list. A summary is for pairing and planning only: whatever is compared field by field,
    // written locally or sent to Google is the whole entry, which this gives (the entry itself
    // when it is whole; nullptr when the kept bytes are damaged, and the kept list is then
    // dropped, so that the next run downloads the whole list). A lean copy is never made whole:
    // nullptr, and the caller leaves the contact alone.
    std::shared_ptr<GDataEntryContact> wholeGoogleContact(const std::shared_ptr<GDataEntryContact>& contact);
    bool isSummaryGoogleContact(const std::shared_ptr<GDataEntryContact>& contact) const;
    // Google's answer to a confirmed write of the run, kept for the kept list (whole answers only).
    void keepGoogleAnswer(const std::shared_ptr<GDataEntryContact>& answer);
    // After a run that wrote to Google: the kept list takes the answers to its writes, then the
    // changes since the second it is dated at are downloaded (the answers, held already, passed
    // over unread; what others changed meanwhile merged in), so that it is dated after the run's
    // own writes and the next run downloads only what changed since. Nothing is lost when this
    // cannot be done: the kept list then stays dated as it was, and the next run downloads the
    // rest. `done` runs once.
    void refreshKeptGoogleList(std::function<void()> done);
    // A write of the run found a contact changed on Google since the list was read (409/412): the
    // list held may lack that change for good (a provider clock that stepped back dates it
    // earlier than the list), so it is let go and the next run downloads the whole list.
    void dropKeptListAfterConflict();
    // Google's answer to a write takes the place of the contact it answers in the downloaded
    // list, so that the run holds one entry per contact; gives the answer.
    std::shared_ptr<GDataEntryContact> takeGoogleAnswer(const std::shared_ptr<GDataEntryContact>& answer);
    // Once a run will no longer send, compare or write locally a whole Google contact, a lean
    // copy (GoogleContactCache::leanCopy) takes its place in the downloaded list and is given
    // back: what the photo transfers and the history read, no more. The contact itself when it is
    // a summary or lean already, or when there is no kept list to know its digest. A list that
    // holds lean copies is no base for the next download: that one starts from the kept list.
    std::shared_ptr<GDataEntryContact> leanGoogleContact(const std::shared_ptr<GDataEntryContact>& contact);
    // The content digest of the entry: the kept one of a summary or of an entry whose ETag the
    // kept list holds, else read from the entry (ContentDigest.h).
    uint64_t googleContentDigestOfContact(const GDataEntryContact& contact) const;
    // Where the profile's sync store and kept list live.
    std::filesystem::path dataFolder() const;

    // ===== Pairing (QuorvaneModelPairing.cpp, PairingIndex) =====
    // Every Google contact this engine makes carries the identifier of the local contact it was
    // made from, in an extended property of this name, so that an entry whose creation was never
    // confirmed (its answer lost, the run stopped) is found and paired instead of made again.
    static constexpr const char* kLocalRecordPropertyName = "quorvane-local-record";
    static void tagWithLocalRecord(GDataEntryContact& entry, const std::string& localID);
    static std::optional<std::string> localRecordOfGoogleContact(const GDataEntryContact& entry);
    // The local contacts of the selected account the run pairs: read with the key set (every
    // field for a run); none kept when they cannot be read.
    platform::Result<void> loadExistingAppleContactsWithKeySet(ContactKeySet keySet);
    const std::vector<platform::CNContactPtr>& existingAppleContacts() const { return mExistingAppleContacts; }
    // The Google contacts that share their hash name with another (preparePairingDicts).
    const std::vector<std::shared_ptr<GDataEntryContact>>& googleDuplicatesDetected() const {
        return mGoogleDuplicatesDetected;
    }
    // When a creation is carried out by the provider after the run that sent it gave up, and the
    // next run made the contact again, two Google contacts carry one local record. Of such
    // copies one is kept: the one paired in this run, else the one the history keeps a pair of,
    // else the first in the feed. Answers the kept copy for another copy; nullptr for a contact
    // that has none or is the kept one.
    std::shared_ptr<GDataEntryContact> keptCopyOfGoogleContact(const std::shared_ptr<GDataEntryContact>& contact);
    // The group filter's Google groups, as getSelectedGroupURLDict finds them now.
    void updateSelectedGroupURLDict() { mSelectedGroupURLDict = getSelectedGroupURLDict(); }
    PairingIndex& pairingIndex();
    void resetPairingIndex();
    // Lets go of what only pairing reads (the dictionaries and the index over both sides) once a
    // run is planned: the records hold what the rest of the run needs.
    void releasePairingState();
    // From mContactFeed and mExistingAppleContacts: the contact dictionaries, the hash names and
    // the duplicates; empties the already-matched sets and drops the index. The remembered pairs
    // come from the sync history (updatePairedContactsDict).
    void preparePairingDicts();

    // "given middle family prefix suffix organisation" (nil parts as ""); "" when all six are blank.
    static std::string getContactHashNameWithFirstNameString(
        const std::optional<std::string>& firstName, const std::optional<std::string>& middleName,
        const std::optional<std::string>& lastName, const std::optional<std::string>& prefix,
        const std::optional<std::string>& suffix, const std::optional<std::string>& organization);
    std::string getAppleContactHashName(const platform::CNContactPtr& contact);
    std::string getGoogleContactHashName(const std::shared_ptr<GDataEntryContact>& contact);
    // Whether the history pairs the contact with another one of the other side (a nil contact of
    // the other side counts as another).
    bool alreadyPairedWithAnotherAppleContactWithGoogleContact(const std::shared_ptr<GDataEntryContact>& google,
                                                               const platform::CNContactPtr& apple);
    bool alreadyPairedWithAnotherGoogleContactWithAppleContact(const platform::CNContactPtr& apple,
                                                               const std::shared_ptr<GDataEntryContact>& google);
    // The partner: the history's pair (unless already paired in this run), else the one contact
    // of the same hash name, else the scan's choice by names or organisation, e-mail address, then
    // phone number (grouped Google contacts before Other ones). Null when none.
    std::shared_ptr<GDataEntryContact> getBestGoogleContactMatchWithAppleContact(const platform::CNContactPtr& apple);
    platform::CNContactPtr getBestAppleContactMatchWithGoogleContact(const std::shared_ptr<GDataEntryContact>& google);
    // The identifiers of the Google groups whose title (without "System Group: ") the filter names.
    std::unordered_set<std::string> getSelectedGroupURLDict();
    // The ignore-new-contacts setting applied to a contact that found no partner.
    bool shouldIgnoreNewAppleContact(const platform::CNContactPtr& contact);
    bool shouldIgnoreNewGoogleContact(const std::shared_ptr<GDataEntryContact>& contact);
    // Whether the contact passes the group filter (everyone does while it is not active).
    bool appleContactHasMatchingGroups(const platform::CNContactPtr& contact);
    bool googleContactHasMatchingGroups(const std::shared_ptr<GDataEntryContact>& contact);

    // ===== The sync run (SyncRun, SyncPlanner) =====
    // The run in progress or the last one; a new run replaces it (the old one must have ended).
    const std::shared_ptr<SyncRun>& syncRun() const { return mSyncRun; }
    // Starts a run on the main run loop; `finished` runs once when it ends. Null when a run is
    // still going, or, for a run that writes, when the sync locks cannot be taken: the run holds
    // them until it ends (taking them here unless lockSyncData already did).
    std::shared_ptr<SyncRun> startSyncRun(const SyncRunOptions& options, std::function<void(SyncRun&)> finished);
    // One writing run per profile at a time, across processes (SyncLock, beside the sync store;
    // delete-all takes it too); and, of all the profiles, one at a time writes the local contact
    // store they share (a SyncLock beside that store, taken second): a run reads the store, plans
    // and writes it, and no other profile's run may read or write it in between. Held: this model
    // holds both now; otherwise who holds the one it lacks (the profile's lock, once taken, is
    // kept); an error when a lock file cannot be made. Held until unlockSyncData, the end of a
    // writing run, or the model's end.
    // A command that writes the provider alone (deleting every Google contact) leaves the local
    // store's lock out (localStore false).
    enum class DataLock { Held, ProfileBusy, LocalStoreBusy };
    platform::Result<DataLock> lockSyncData(bool localStore = true);
    // The local store's lock file, beside the store.
    static std::filesystem::path localStoreLockPath(const std::filesystem::path& storeFile) {
        return storeFile.string() + ".lock";
    }
    void unlockSyncData() {
        mLocalStoreLock.reset();
        mSyncLock.reset();
    }
    bool holdsSyncDataLock() const { return mSyncLock && mLocalStoreLock; }

    // ===== Start-up and settings (QuorvaneModelSettings.cpp) =====
    // The application's registration with the provider (the sign-in and the stored authorization).
    static constexpr const char* kOAuth2ClientID =
        "1000000000000-quorvane000000000000000000000000.apps.googleusercontent.com";
    static constexpr const char* kOAuth2ClientSecret = "quorvane-client-secret-0";
    // The keychain item that holds the signed-in authorization.
    static constexpr const char* kKeychainItemName = "Quorvane";

    // Lets the shared instance go; the next sharedQuorvaneModel() makes a new one, which reads
    // the settings and the keychain again.
    static void shutdown();
    ~QuorvaneModel();

    float pauseBetweenGmailRequests() const { return mPauseBetweenGmailRequests; }

    // Settings: one table of key, default and value (SyncSettings), loaded from the user defaults at
    // start-up, each value stored under its key by its setter. The getters read the table.
    int32_t selectedManualSyncMode() const { return mSettings->intValue(Setting::SelectedManualSyncMode); }  // SyncMode
    int32_t selectedAutoSyncMode() const { return mSettings->intValue(Setting::SelectedAutoSyncMode); }  // AutoSyncMode
    bool syncPhotosSetting() const { return mSettings->boolValue(Setting::SyncPhotosSetting); }
    bool mergeContacts_2Way() const { return mSettings->boolValue(Setting::MergeContacts_2Way); }
    bool mergeContacts_1Way() const { return mSettings->boolValue(Setting::MergeContacts_1Way); }
    bool ignoreOtherContacts() const { return mSettings->boolValue(Setting::IgnoreOtherContacts); }
    bool forceUpdateContacts() const { return mSettings->boolValue(Setting::ForceUpdateContacts); }
    bool syncDeletedContacts() const { return mSettings->boolValue(Setting::SyncDeletedContacts); }
    bool detectGoogleDuplicates() const { return mSettings->boolValue(Setting::DetectGoogleDuplicates); }
    bool batchGoogleContacts() const { return mSettings->boolValue(Setting::BatchGoogleContacts); }
    bool syncCountryCodes() const { return mSettings->boolValue(Setting::SyncCountryCodes); }
    bool welcomeMessageShown() const { return mSettings->boolValue(Setting::WelcomeMessageShown); }
    bool showContactAccountWarnings() const { return mSettings->boolValue(Setting::ShowContactAccountWarnings); }
    bool showLeaveAReviewPrompt() const { return mSettings->boolValue(Setting::ShowLeaveAReviewPrompt); }
    bool tellAFriendMessageShown() const { return mSettings->boolValue(Setting::TellAFriendMessageShown); }
    bool likeUsOnFacebookMessageShown() const { return mSettings->boolValue(Setting::LikeUsOnFacebookMessageShown); }
    int32_t contactSourceMode() const { return mSettings->intValue(Setting::ContactSourceMode); }  // ContactSourceMode
    std::optional<std::string> customContainerID() const { return mSettings->textValue(Setting::CustomContainerID); }
    std::optional<std::string> previousContainerID() const { return mSettings->textValue(Setting::PreviousContainerID); }
    std::optional<std::string> previousGmailUsername() const { return mSettings->textValue(Setting::PreviousGmailUsername); }
    int32_t selectedLanguage() const { return mSettings->intValue(Setting::SelectedLanguage); }  // AppLanguage
    float autoSyncUpdateInterval_Minutes() const { return mSettings->floatValue(Setting::AutoSyncUpdateInterval_Minutes); }
    bool confirmPendingDeletions() const { return mSettings->boolValue(Setting::ConfirmPendingDeletions); }
    bool useBlackAndWhiteIcon() const { return mSettings->boolValue(Setting::UseBlackAndWhiteIcon); }
    bool attachAppToMenuBar() const { return mSettings->boolValue(Setting::AttachAppToMenuBar); }
    bool showSyncTypeAlert() const { return mSettings->boolValue(Setting::ShowSyncTypeAlert); }
    bool showICloudTip() const { return mSettings->boolValue(Setting::ShowICloudTip); }
    bool showGoogleAccountTip() const { return mSettings->boolValue(Setting::ShowGoogleAccountTip); }
    std::optional<std::string> originalAppVersion() const { return mSettings->textValue(Setting::OriginalAppVersion); }
    bool showEditSyncActionsAlert() const { return mSettings->boolValue(Setting::ShowEditSyncActionsAlert); }
    bool filterByGroups() const { return mSettings->boolValue(Setting::FilterByGroups); }
    // IgnoreNewContactsMode
    int32_t ignoreNewContactsSetting() const { return mSettings->intValue(Setting::IgnoreNewContactsSetting); }
    bool ignoreEmptyContacts() const { return mSettings->boolValue(Setting::IgnoreEmptyContacts); }
    bool autoAddContactsToGroup() const { return mSettings->boolValue(Setting::AutoAddContactsToGroup); }
    // getDefaultAutoAddToGroupName() when never set
    std::optional<std::string> autoAddToGroupName() const { return mSettings->textValue(Setting::AutoAddToGroupName); }
    bool skipSyncConfirmationAlert() const { return mSettings->boolValue(Setting::SkipSyncConfirmationAlert); }
    bool hasSentInitalLaunchAnswerEvent() const { return mSettings->boolValue(Setting::HasSentInitalLaunchAnswerEvent); }
    bool showManualSyncAlert() const { return mSettings->boolValue(Setting::ShowManualSyncAlert); }
    bool hasShownSkipSyncConfirmationTip() const { return mSettings->boolValue(Setting::HasShownSkipSyncConfirmationTip); }
    // 1970-01-01 when never set
    std::optional<platform::Date> lastICloudTipDate() const { return mSettings->dateValue(Setting::LastICloudTipDate); }
    // 1970-01-01 when never set
    std::optional<platform::Date> lastGoogleAccountTipDate() const { return mSettings->dateValue(Setting::LastGoogleAccountTipDate); }
    // 1970-01-01 when never set
    std::optional<platform::Date> lastLeaveReviewPromptDate() const { return mSettings->dateValue(Setting::LastLeaveReviewPromptDate); }
    // 1970-01-01 when never set
    std::optional<platform::Date> autoSyncLastUpdate() const { return mSettings->dateValue(Setting::AutoSyncLastUpdate); }
    // nil when never set
    std::optional<platform::Date> lastCompletedSyncDate() const { return mSettings->dateValue(Setting::LastCompletedSyncDate); }
    // The group filter: the chosen group names (each once ignoring case, in the letter case first
    // chosen) and the same names lower-cased.
    const std::set<std::string>& selectedGroupSet() const { return mSettings->selectedGroupSet(); }
    const std::set<std::string>& selectedGroupSet_Lower() const { return mSettings->selectedGroupSet_Lower(); }
    const SyncSettings& settings() const { return *mSettings; }

    // The setters: the property and its user-defaults key at once (nil removes the key).
    void setSelectedManualSyncMode(int32_t v);
    void setSelectedAutoSyncMode(int32_t v);
    void setSyncPhotosSetting(bool v);
    void setMergeContacts_2Way(bool v);
    void setMergeContacts_1Way(bool v);
    void setIgnoreOtherContacts(bool v);
    void setForceUpdateContacts(bool v);
    void setSyncDeletedContacts(bool v);
    void setDetectGoogleDuplicates(bool v);
    void setBatchGoogleContacts(bool v);
    void setSyncCountryCodes(bool v);
    void setWelcomeMessageShown(bool v);
    void setShowContactAccountWarnings(bool v);
    void setShowLeaveAReviewPrompt(bool v);
    void setTellAFriendMessageShown(bool v);
    void setLikeUsOnFacebookMessageShown(bool v);
    void setContactSourceMode(int32_t v);
    void setCustomContainerID(std::optional<std::string> v);
    void setPreviousContainerID(std::optional<std::string> v);
    void setPreviousGmailUsername(std::optional<std::string> v);
    void setSelectedLanguage(int32_t v);
    void setAutoSyncUpdateInterval_Minutes(float v);
    void setConfirmPendingDeletions(bool v);
    void setUseBlackAndWhiteIcon(bool v);
    void setAttachAppToMenuBar(bool v);
    void setShowSyncTypeAlert(bool v);
    void setShowICloudTip(bool v);
    void setShowGoogleAccountTip(bool v);
    void setOriginalAppVersion(std::optional<std::string> v);
    void setShowEditSyncActionsAlert(bool v);
    void setFilterByGroups(bool v);
    void setIgnoreNewContactsSetting(int32_t v);
    void setIgnoreEmptyContacts(bool v);
    void setAutoAddContactsToGroup(bool v);
    void setAutoAddToGroupName(std::optional<std::string> v);
    void setSkipSyncConfirmationAlert(bool v);
    void setHasSentInitalLaunchAnswerEvent(bool v);
    void setShowManualSyncAlert(bool v);
    void setHasShownSkipSyncConfirmationTip(bool v);
    void setLastICloudTipDate(std::optional<platform::Date> v);
    void setLastGoogleAccountTipDate(std::optional<platform::Date> v);
    void setLastLeaveReviewPromptDate(std::optional<platform::Date> v);
    void setAutoSyncLastUpdate(std::optional<platform::Date> v);
    void setLastCompletedSyncDate(std::optional<platform::Date> v);
    // The group filter from the names in order (later names that differ only in letter case are
    // dropped); stored as that list.
    void setSelectedGroupStrings(const std::vector<std::string>& names);

    // "Modified by: <application display name>".
    std::string getDefaultAutoAddToGroupName();
    // The contact store announced a change: notes the time.
    void onAddressBookChangedExternally(const platform::Notification& notification);

    // ===== Delete-all tools (QuorvaneModelDeleteAll.cpp) =====
    // The end of a deletion: nullopt when it went through, else the first error.
    using DeleteFinished = std::function<void(const std::optional<platform::Error>& error)>;
    // Deletes every contact and group of the local account in steps: history first, then the
    // groups, then the contacts, 15 per step, saved every 1000 and at the end. Returns at once; the
    // end calls `finished`. Refused (finished with kQuorvaneModelErrorNoContainer) for no account
    // or one without identifier; nothing is deleted when the contacts or the history cannot be
    // read or cleared.
    void deleteContactsFromContainer(const platform::CNContainerPtr& container, DeleteFinished finished);
    // The data folders of the other profiles. They sync the same local store, so a local deletion
    // forgets their pairs of the deleted contacts too, before anything is deleted: else their next
    // sync would read the emptied account as deletions and carry them to their own Google
    // accounts. The caller holds their sync locks while the deletion runs.
    void setOtherProfileDataFolders(std::vector<std::filesystem::path> folders) {
        mOtherProfileDataFolders = std::move(folders);
    }
    std::optional<platform::Error> forgetAppleContactsInOtherProfiles(const std::vector<std::string>& identifiers);
    void deleteContactsFromContainer_Step1(const platform::CNContainerPtr& container);
    void deleteContactsFromContainer_Step2();
    void deleteContactsFromContainer_Finish_Begin();
    void deleteContactsFromContainer_Finish();

    // Deletes every contact and every user group of the signed-in Google account: downloads both
    // feeds, forgets the history of every contact, then deletes the contacts and the groups in
    // batches (system groups stay). Returns at once; the end calls `finished`, or `failed` with
    // the download's error, the error that stopped the deletion (authorization, network), or
    // kQuorvaneModelErrorEntriesRemain with "remaining" (the count) in its user info when entries
    // were not deleted or the feed was not downloaded whole. Nothing is deleted when the history
    // cannot be cleared.
    void deleteGmailContactsWithFinishedSelector(std::function<void()> finished,
                                                 std::function<void(const platform::Error&)> failed);
    void deleteGmailContacts_Step1();
    void deleteGmail_onFetchAllDone();
    void deleteGmail_onFetchAllFailed(const platform::Error& error);
    void deleteGmailContacts_Step2();
    void deleteGmailContacts_Step3();
    void deleteGmailContacts_Step4();
    // Ends the Google deletion after the request in flight; it then fails with the entries left.
    void cancelDeleteGmailContacts();
    // Deletes the entries on Google in batch feeds (100 a request when batching is on, else 1; at
    // most two requests in flight, mPauseBetweenGmailRequests apart; what was not confirmed sent
    // again, 10 rounds in all), with "Deleted %d of %d" and the bar moving from min to max; system
    // groups are left out when deleting groups. Confirmed deletions go to
    // mEntriesSuccessfullyDeletedSet; then onFinished, whatever went.
    void deleteEntries(const std::vector<std::shared_ptr<GDataEntryBase>>& entries, std::function<void()> onFinished,
                       float progressBarMin, float progressBarMax, bool deletingGroups);
    // Runs the step on the main run loop after the delay, unless the model is gone by then.
    void afterDelay(double seconds, std::function<void()> step);

    // ===== Sign-in (QuorvaneModelSignIn.cpp) =====
    // The scope the sign-in asks for: the provider's contacts scope.
    static constexpr const char* kGoogleContactsScope = "https://www.googleapis.com/auth/contacts";
    using SignInSucceeded = std::function<void()>;
    using SignInFailed = std::function<void(const platform::Error& error)>;
    // Shows the provider's sign-in page in the page view (nullptr: the user's browser, answering
    // on a loopback listener). The end calls windowController(), and then one of the two
    // callbacks; a cancelled sign-in calls neither. The sign-in in place stays, stored and valid,
    // until the new one is stored: only then is its token revoked (lastRevocation()).
    void signIntoGoogleWithWindow(std::shared_ptr<platform::WebView> window, SignInSucceeded successSelector,
                                  SignInFailed failureSelector);
    void cancelSigningIn();
    // The end of the sign-in: success stores the authorization in the keychain item (holding the
    // profile's sign-in lock), keeps it as mAuth once the item holds it, and revokes the one the
    // item held before; failure says why in the run log and leaves the sign-in before as it was.
    void windowController(const std::shared_ptr<QNOAuth2WindowController>& controller,
                          const std::shared_ptr<QNOAuth2Authentication>& auth,
                          const std::optional<platform::Error>& error);
    // What a failed sign-in says: the error's "data" as UTF-8 text, else its "error", else its
    // description.
    static std::string signInFailureMessage(const platform::Error& error);
    // A revocation asked of the provider and how it ended.
    struct GoogleRevocation {
        std::shared_ptr<QNSessionFetcher> fetcher;  // stopping it ends the wait (no end is told)
        bool ended = false;
        std::optional<platform::Error> error;  // how it failed, once ended
    };
    // Removes the keychain item (holding the profile's sign-in lock, so that no refresh of
    // another command stores it again), forgets the authorization and asks the provider to revoke
    // the refresh token the item held. Answers the revocation (nullptr when there was nothing to
    // revoke).
    std::shared_ptr<GoogleRevocation> signOutFromGoogle();
    // Removes the keychain item and forgets the authorization without asking the provider to
    // revoke it.
    void forgetGoogleAuthorization();
    // After the provider refused the sign-in: revokes it and forgets it, removing the keychain
    // item only while it holds the refused refresh token. False when another process has stored
    // a newer sign-in meanwhile, which stays.
    bool forgetRefusedGoogleAuthorization();
    // The lock file refreshes, sign-ins and sign-outs of the profile whose data is there take.
    static std::filesystem::path signInLockPath(const std::filesystem::path& dataFolder);
    // The revocation of the sign-in a new one replaced (nullptr when none was).
    const std::shared_ptr<GoogleRevocation>& lastRevocation() const { return mLastRevocation; }

    // The contacts service, made at the first call with next links followed and fetcher retries
    // off; every call sets mAuth as its authorizer.
    std::shared_ptr<GDataServiceGoogleContact> getGoogleContactService();

    // Reads every setting from mUserDefaults (start-up); a key absent or unreadable keeps its default.
    void loadSettings();
    // Expires when the model goes: what a queued step or a callback checks before it uses the model.
    std::weak_ptr<int> aliveMarker() const { return mAliveMarker; }
    // For the command's end, when the process is about to exit: the contacts of both sides, the
    // dictionaries over them, the history and the finished run (its plan) are handed to the exit, which drops them at once,
    // rather than freed block by block (a tenth of a steady run's work at 10,000 contacts a side).
    // Nothing of them holds a file, a connection or an unsaved change; the stores, the lock and
    // the run log stay with the model and close with it. A sanitizer build frees them as usual,
    // so that its leak check still sees every block.
    void leaveRunDataToProcessExit();

private:
    // The contact's address-book record: from STORED when it holds the contact, else read now.
    std::optional<platform::ABRecord> storeRecordOfAppleContact(const platform::CNContactPtr& contact,
                                                                const StoredRecordDates* stored);
    // Tests read and set the state behind the operations through this one door
    // (tests/sync/QuorvaneModelInternals.h).
    friend struct QuorvaneModelTestAccess;

    // The steps of performSynchronization_Step1 and the state they share (QuorvaneModelApplyLocal.cpp).
    struct LocalApplyState;
    void performSynchronization_Step1_Groups(const std::shared_ptr<LocalApplyState>& state);
    void performSynchronization_Step1_Slice(const std::shared_ptr<LocalApplyState>& state);
    void performSynchronization_Step1_Flush(LocalApplyState& state);
    // Marks a record not written because its local contact was edited since the run read it.
    void leftChangedLocally(NSSyncRecord& record);

    // The state behind the operations, in the order of the topics above. Declared before the
    // lifetime marker below, so it is destroyed after it: a callback that outlives the model
    // finds it gone before any of this is.

    // --- The contact store and the run's mode ---
    std::shared_ptr<platform::UserDefaults> mUserDefaults;
    std::shared_ptr<platform::CNContactStore> mContactStore;
    std::shared_ptr<platform::ABAddressBook> mAddressBookRef;
    const platform::Calendar mGregorianCalendar;

    // --- Tolerant equality ---
    // Built on first use: "().-" plus blanks and tabs.
    std::optional<platform::CharacterSet> mDecorativePhoneNumberCharacterSet;

    // --- Strings ---
    // Built on first use.
    std::optional<platform::CharacterSet> mWhitespaceCharacterSet;
    std::optional<platform::CharacterSet> mCarriageReturnCharacterSet;

    // --- Contact store access ---
    std::shared_ptr<QNOAuth2Authentication> mAuth;
    // The accounts the containers belong to; made on mContactStore's file at first use.
    std::unique_ptr<platform::ACAccountStore> mAccountStore;
    // Set by updateSelectedContainerWithError.
    platform::CNContainerPtr mSelectedContainer;       // nullptr when none, or all accounts are synced
    std::optional<std::string> mFacebookContainerID;   // the first Facebook container
    NSContactSourceRecord_QVPtr mCurrentSourceRecord;  // the record of mSelectedContainer
    int32_t mNumABGoogleAccounts = 0;
    bool mUsingiCloud = false;
    bool mUsingExchange = false;
    bool mUsingGoogleCardDAV = false;
    bool mDefaultContainerIsExchange = false;
    bool mHasExchangeAccount = false;
    // The selected container's identifier and whether its account is read-only or Facebook's, as
    // read by selectedAppleAccountSupportsGroups for that selection.
    std::optional<std::pair<std::string, bool>> mSelectedContainerLocked;
    // Group identifier to the identifier of its container (filled while an Exchange account exists).
    std::map<std::string, std::string> mGroupContainerIDDict;
    // Contact identifier to its fully fetched copies, at most one per key set.
    std::map<std::string, std::vector<NSCachedAppleContactPtr>> mCachedAppleContactDict;

    const FieldMergeBase* mFieldMergeBase = nullptr;  // of the conversion under way
    // --- Contact comparison ---
    // The downloaded Google groups feed; nil before the first download.
    std::shared_ptr<GDataFeedContactGroup> mGroupFeed;
    // Local contact identifier -> the names of the local groups that hold the contact.
    std::unordered_map<std::string, std::vector<std::string>> mGroupMembershipByPerson;
    // The platform's ISO country codes, lower-cased; built on first use.
    std::optional<std::set<std::string>> mISOCountryCodeDict;

    // --- Account classification and the group filter ---
    // Local contact identifier -> true, rebuilt at each planning pass (before pairing) and kept
    // until the next: contacts of Exchange containers, of Google CardDAV containers, of the
    // Facebook container, and of read-only containers together with the Facebook container's.
    std::map<std::string, bool> mExchangeContactDict;
    std::map<std::string, bool> mGoogleCardDAVContactDict;
    std::map<std::string, bool> mFacebookContactDict;
    std::map<std::string, bool> mReadOnlyContactDict;

    // --- Local to Google conversion ---
    bool mHasABPhotosToSubmit = false;
    bool mHasABPhotosToSubmitForNewRecord = false;

    // --- The Google feeds of a run ---
    // The last downloaded contacts feed (mGroupFeed holds the groups feed), whether each is whole
    // (see GoogleFeedFetch) and, when not, why; the user the contacts feed belongs to, so that the
    // next run of the same user fetches only the changes.
    std::shared_ptr<GDataFeedContact> mContactFeed;
    bool mGroupFeedComplete = false;
    bool mContactFeedComplete = false;
    bool mContactFeedIncremental = false;
    std::string mFeedIncompleteReason;
    // Adds why a download is not the whole list to mFeedIncompleteReason.
    void noteFeedIncomplete(const std::string& reason);
    std::optional<std::string> mContactFeedUsername;
    bool mContactFeedHoldsLeanCopies = false;
    // The feed fetch in flight, if any.
    GDataServiceTicketPtr mFeedTicket;
    // The kept contact list of the signed-in account (nullptr until a download needs it).
    std::shared_ptr<GoogleContactCache> mGoogleContactCache;
    // A kept contact could not be read: the next download is of the whole list, even in this
    // process (the list in memory reads from the same damaged bytes).
    bool mKeptListUnreadable = false;
    // The kept list holds exactly the last whole download (so the answers to the run's writes
    // may be kept in it).
    bool mKeptListHoldsDownload = false;
    // Drops the kept list after a kept contact could not be read (the file now, the list in
    // memory at the next download), so that the next run downloads the whole list.
    void dropUnreadableKeptList();

    // --- Pairing ---
    // Prepared before pairing (preSynchronize_Step2_Begin) and read by it; identifiers of either side.
    // The Google contacts of mContactFeed by identifier (entries without one left out).
    std::unordered_map<std::string, std::shared_ptr<GDataEntryContact>> mGoogleContactDict;
    // The local contacts of the selected account, in fetch order and by identifier.
    std::vector<platform::CNContactPtr> mExistingAppleContacts;
    std::unordered_map<std::string, platform::CNContactPtr> mExistingAppleContactDict;
    // Of the local contacts the history names outside the selected account, those the store
    // holds (appleContactExistsInStore); read at the first question of a run.
    std::optional<std::unordered_set<std::string>> mHistoryContactsOutsideSelection;
    // Hash name -> the identifier of the one contact that holds it. A hash name held by several
    // Google contacts is left out (those contacts are in mGoogleDuplicatesDetected); so is one
    // held by several local contacts.
    std::unordered_map<std::string, std::string> mGoogleContactRecordIDsByHashName;
    std::unordered_map<std::string, std::string> mAppleContactRecordIDsByHashName;
    std::vector<std::shared_ptr<GDataEntryContact>> mGoogleDuplicatesDetected;
    // Local identifier -> the first Google contact of mContactFeed tagged as made from that local
    // contact (localRecordOfGoogleContact).
    std::unordered_map<std::string, std::shared_ptr<GDataEntryContact>> mGoogleContactsByLocalRecord;
    // Local identifier -> every Google contact tagged with it, in feed order, when more than one is.
    std::unordered_map<std::string, std::vector<std::shared_ptr<GDataEntryContact>>> mGoogleCopiesByLocalRecord;
    // Identifiers of the Google groups that pass the group filter.
    std::unordered_set<std::string> mSelectedGroupURLDict;
    // The scan's index over mContactFeed and mExistingAppleContacts; built at the first query
    // after resetPairingIndex (which preparing a run calls).
    std::unique_ptr<PairingIndex> mPairingIndex;

    // --- The sync run ---
    std::shared_ptr<SyncRun> mSyncRun;

    // --- Start-up and settings ---
    // This model's item and registration (from its environment).
    std::string mKeychainItemName;
    std::string mClientID;
    std::string mClientSecret;
    // Run state made at start-up.
    platform::CNMutableContactPtr mDummyContact;
    float mPauseBetweenGmailRequests = 0.15f;  // seconds between Google batch requests
    // The run log's date format: the current locale's pattern for "MM/dd/yy hh:mm:ssa".
    struct DateFormatter {
        std::string dateFormat;
        // The date in dateFormat, in the process's default time zone.
        std::string stringFromDate(platform::Date date) const;
    };
    DateFormatter mDateFormatter;
    // When the contact store last announced a change (onAddressBookChangedExternally); nil before.
    std::optional<platform::Date> mLastAddressBookChangeDate;

    // --- Delete-all tools ---
    // The state of the deletion in progress.
    struct DeleteAllState {
        std::vector<platform::CNContactPtr> mContactsToDelete;
        int32_t mCurrentContactIdx = 0;        // the next contact to delete, and the count so far
        int32_t mNumDeletionsPendingSave = 0;  // queued since the last save
        DeleteFinished mFinished;
    };
    // The state of the Google deletion in progress.
    struct DeleteGmailState {
        std::function<void()> mDeleteGmailDoneSelector;
        std::function<void(const platform::Error&)> mDeleteGmailFailedSelector;
        std::set<std::string> mEntriesSuccessfullyDeletedSet;  // identifiers
        size_t mEntriesDeleted = 0;                            // confirmed by the provider
        std::optional<platform::Error> mStoppedBy;             // what stopped a batch deletion
        std::shared_ptr<GoogleBatchWriter> mWriter;            // the batch deletion in flight
        bool mCancelled = false;
    };
    std::unique_ptr<DeleteAllState> mDeleteAll;
    std::unique_ptr<DeleteGmailState> mDeleteGmail;

    // --- Sign-in ---
    std::shared_ptr<QNOAuth2WindowController> mSignInController;  // the sign-in in progress
    std::shared_ptr<GoogleRevocation> mLastRevocation;
    // Makes the authorization the signed-in one (nullptr: nobody), kept stored as it changes.
    void setGoogleAuthorization(std::shared_ptr<QNOAuth2Authentication> auth);
    // The profile's sign-in lock (signInLockPath()), which refreshes, sign-ins and sign-outs take to
    // change the stored sign-in one at a time; waits signInLockWait() for it, saying so.
    // Answers what lets it go; nullptr when it could not be had (the caller goes on: the stored
    // sign-in is only ever replaced while it holds what the writer read).
    std::shared_ptr<void> waitForSignInLock();
    // Says in the run's progress that a command waits for the sign-in lock.
    void sayWaitingForSignInLock(double seconds);
    // How long a command waits for the sign-in lock another holds (Environment::signInLockWait).
    double signInLockWait() const;
    // This model, for what the authorization calls back while the model lives.
    std::shared_ptr<QuorvaneModel*> mSignInSelf;
    std::shared_ptr<GoogleRevocation> revokeGoogleAuthorization(const std::shared_ptr<QNOAuth2Authentication>& auth);
    // The refresh token the keychain item holds now.
    std::optional<std::string> storedRefreshToken() const;
    SignInSucceeded mSignInSucceeded;
    SignInFailed mSignInFailed;
    std::shared_ptr<GDataServiceGoogleContact> mGoogleContactService;

    // --- Lifetime, settings, the history and the current run ---
    // The observation of CNContactStoreDidChangeNotification, and what lets a change announced on
    // another thread find out on the main thread whether the model is still there.
    platform::NotificationCenter::TokenPtr mAddressBookObserver;
    std::shared_ptr<int> mAliveMarker;

    // The stored settings; every change goes through a setter, which stores it.
    std::unique_ptr<SyncSettings> mSettings;

    // The profile's folder, its store (opened at first use) and the history loaded from it.
    std::filesystem::path mDataFolder;
    std::optional<double> mSignInLockWait;  // Environment::signInLockWait
    std::unique_ptr<SyncStore> mSyncStore;
    std::unique_ptr<SyncLock> mSyncLock;  // while this model may write the profile's data
    std::unique_ptr<SyncLock> mLocalStoreLock;  // and the local contact store
    std::vector<std::filesystem::path> mOtherProfileDataFolders;  // setOtherProfileDataFolders
    SyncHistory mSyncHistory;
    std::vector<SyncLogRecord> mSyncLogRecords;

    // The run log and the state of the current run.
    RunLog mRunLog;
    std::unique_ptr<platform::CNSaveRequest> mPendingSaveRequest;
    SyncMode mSyncMode = SyncModeTwoWay;
    std::vector<std::pair<size_t, size_t>> mTruncatedValues;
    std::vector<platform::Error> mSyncErrors;
    std::unordered_set<std::string> mGoogleRecordsAlreadyMatched;
    std::unordered_set<std::string> mAppleRecordsAlreadyMatched;
    bool mAutomaticSync = false;
};

}  // namespace quorvane
