#pragma once
// A contact as the store gives it: only the properties whose keys the fetch asked for are
// available. Reading any other property is a contract failure (reported through QV_ASSERT) and
// gives an empty value. CNMutableContact is the editable form; its setters make the property
// available and mark it changed, and an update writes only the changed properties, so a
// partly fetched contact never clears what it did not read.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/contacts/CNContactKeys.h"
#include "platform/contacts/CNLabeledValue.h"
#include "platform/contacts/CNPredicate.h"
#include "platform/foundation/Calendar.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Value.h"

namespace quorvane::platform {

class CNMutableContact;

// Every property of a contact, as stored.
struct CNContactFields {
    std::string identifier;
    std::string namePrefix, givenName, middleName, familyName, previousFamilyName, nameSuffix, nickname;
    std::string phoneticGivenName, phoneticMiddleName, phoneticFamilyName;
    std::string organizationName, departmentName, jobTitle;
    std::string note;
    std::optional<DateComponents> birthday;
    std::optional<CNNonGregorianDate> nonGregorianBirthday;
    std::vector<CNLabeledValue<DateComponents>> dates;
    std::vector<CNLabeledValue<CNPhoneNumber>> phoneNumbers;
    std::vector<CNLabeledValue<std::string>> emailAddresses;
    std::vector<CNLabeledValue<CNPostalAddress>> postalAddresses;
    std::vector<CNLabeledValue<std::string>> urlAddresses;
    std::vector<CNLabeledValue<CNContactRelation>> contactRelations;
    std::vector<CNLabeledValue<CNInstantMessageAddress>> instantMessageAddresses;
    std::vector<CNLabeledValue<CNSocialProfile>> socialProfiles;
    std::optional<Bytes> imageData;
    std::optional<Bytes> thumbnailImageData;
    bool imageDataAvailable = false;
    std::optional<Date> creationDate;
    std::optional<Date> modificationDate;
    // The keys whose stored value could not be read (not JSON, a byte that is not UTF-8): each
    // reads as empty, which it is not. A contact with any is not to be written from or over.
    std::vector<std::string> unreadableKeys;
};

// A known key, its position found when the program is compiled, so that reading a property
// costs one bit test.
struct CNContactKnownKey {
    consteval CNContactKnownKey(const char* key) : name(key), index(CNContactKeyIndex(key)) {
        if (index < 0) throw "not a contact key";
    }
    const char* name;
    int index;
};

class CNContact {
public:
    // A contact with the given fields, of which the given keys are available (the identifier always is).
    CNContact(CNContactFields fields, std::set<std::string> availableKeys);
    // The same with a key set shared between contacts (as a fetch gives them).
    using KeySet = std::shared_ptr<const std::set<std::string>>;
    CNContact(CNContactFields fields, KeySet availableKeys);
    // A contact whose fields are all empty, of which the given keys are available: the store
    // reads a fetched contact's values straight into it.
    explicit CNContact(KeySet availableKeys);
    virtual ~CNContact() = default;

    const std::string& identifier() const { return f_.identifier; }

    bool isKeyAvailable(std::string_view key) const;
    bool areKeysAvailable(const std::vector<CNKeyDescriptor>& keys) const;
    const std::set<std::string>& availableKeys() const { return *available_; }

    const std::string& namePrefix() const { return need(CNContactNamePrefixKey, f_.namePrefix); }
    const std::string& givenName() const { return need(CNContactGivenNameKey, f_.givenName); }
    const std::string& middleName() const { return need(CNContactMiddleNameKey, f_.middleName); }
    const std::string& familyName() const { return need(CNContactFamilyNameKey, f_.familyName); }
    const std::string& previousFamilyName() const { return need(CNContactPreviousFamilyNameKey, f_.previousFamilyName); }
    const std::string& nameSuffix() const { return need(CNContactNameSuffixKey, f_.nameSuffix); }
    const std::string& nickname() const { return need(CNContactNicknameKey, f_.nickname); }
    const std::string& phoneticGivenName() const { return need(CNContactPhoneticGivenNameKey, f_.phoneticGivenName); }
    const std::string& phoneticMiddleName() const { return need(CNContactPhoneticMiddleNameKey, f_.phoneticMiddleName); }
    const std::string& phoneticFamilyName() const { return need(CNContactPhoneticFamilyNameKey, f_.phoneticFamilyName); }
    const std::string& organizationName() const { return need(CNContactOrganizationNameKey, f_.organizationName); }
    const std::string& departmentName() const { return need(CNContactDepartmentNameKey, f_.departmentName); }
    const std::string& jobTitle() const { return need(CNContactJobTitleKey, f_.jobTitle); }
    const std::string& note() const { return need(CNContactNoteKey, f_.note); }
    const std::optional<DateComponents>& birthday() const { return need(CNContactBirthdayKey, f_.birthday); }
    const std::optional<CNNonGregorianDate>& nonGregorianBirthday() const {
        return need(CNContactNonGregorianBirthdayKey, f_.nonGregorianBirthday);
    }
    const std::vector<CNLabeledValue<DateComponents>>& dates() const { return need(CNContactDatesKey, f_.dates); }
    const std::vector<CNLabeledValue<CNPhoneNumber>>& phoneNumbers() const { return need(CNContactPhoneNumbersKey, f_.phoneNumbers); }
    const std::vector<CNLabeledValue<std::string>>& emailAddresses() const {
        return need(CNContactEmailAddressesKey, f_.emailAddresses);
    }
    const std::vector<CNLabeledValue<CNPostalAddress>>& postalAddresses() const {
        return need(CNContactPostalAddressesKey, f_.postalAddresses);
    }
    const std::vector<CNLabeledValue<std::string>>& urlAddresses() const { return need(CNContactUrlAddressesKey, f_.urlAddresses); }
    const std::vector<CNLabeledValue<CNContactRelation>>& contactRelations() const {
        return need(CNContactRelationsKey, f_.contactRelations);
    }
    const std::vector<CNLabeledValue<CNInstantMessageAddress>>& instantMessageAddresses() const {
        return need(CNContactInstantMessageAddressesKey, f_.instantMessageAddresses);
    }
    const std::vector<CNLabeledValue<CNSocialProfile>>& socialProfiles() const {
        return need(CNContactSocialProfilesKey, f_.socialProfiles);
    }
    // nullopt when the contact has no image.
    const std::optional<Bytes>& imageData() const { return need(CNContactImageDataKey, f_.imageData); }
    // The image as the store keeps it for small displays; nullopt when the contact has no image.
    const std::optional<Bytes>& thumbnailImageData() const { return need(CNContactThumbnailImageDataKey, f_.thumbnailImageData); }
    bool imageDataAvailable() const { return need(CNContactImageDataAvailableKey, f_.imageDataAvailable); }
    // The record dates, under the keys "creationDate" and "modificationDate".
    const std::optional<Date>& creationDate() const { return need(CNContactCreationDateKey, f_.creationDate); }
    const std::optional<Date>& modificationDate() const { return need(CNContactModificationDateKey, f_.modificationDate); }

    // An immutable copy with the same available keys.
    std::shared_ptr<CNContact> copy() const;
    // An editable copy with the same identifier and available keys and nothing marked changed.
    std::shared_ptr<CNMutableContact> mutableCopy() const;
    // A copy without the image and thumbnail bytes (their keys no longer available), for keeping
    // many contacts in memory; imageDataAvailable stays.
    std::shared_ptr<CNContact> copyWithoutImageData() const;

    // The keys whose stored value could not be read (CNContactFields::unreadableKeys).
    const std::vector<std::string>& unreadableKeys() const { return f_.unreadableKeys; }

    // Everything, whether available or not (for the store).
    const CNContactFields& fields() const { return f_; }

    static CNPredicatePtr predicateForContactsWithIdentifiers(std::vector<std::string> identifiers);
    static CNPredicatePtr predicateForContactsInContainerWithIdentifier(std::string containerIdentifier);
    static CNPredicatePtr predicateForContactsInGroupWithIdentifier(std::string groupIdentifier);

protected:
    friend class CNContactStore;  // fills a fetched contact's fields in place

    template <typename T>
    const T& need(CNContactKnownKey key, const T& value) const {
        if (availableMask_ & (1u << key.index)) return value;
        reportUnfetched(key.name);
        static const T empty{};
        return empty;
    }
    void reportUnfetched(const char* key) const;

    void makeAvailable(const char* key);

    CNContactFields f_;
    KeySet available_;  // always holds the identifier key
    uint32_t availableMask_ = 0;  // the known keys of available_, one bit per position in kCNContactKeyOrder

private:
    void computeAvailableMask();
};

class CNMutableContact : public CNContact {
public:
    // A new contact with a new identifier; every key is available and empty.
    CNMutableContact();
    CNMutableContact(CNContactFields fields, std::set<std::string> availableKeys)
        : CNContact(std::move(fields), std::move(availableKeys)) {}
    CNMutableContact(CNContactFields fields, KeySet availableKeys) : CNContact(std::move(fields), std::move(availableKeys)) {}
    explicit CNMutableContact(KeySet availableKeys) : CNContact(std::move(availableKeys)) {}

    void setNamePrefix(std::string v) { set(CNContactNamePrefixKey, f_.namePrefix, std::move(v)); }
    void setGivenName(std::string v) { set(CNContactGivenNameKey, f_.givenName, std::move(v)); }
    void setMiddleName(std::string v) { set(CNContactMiddleNameKey, f_.middleName, std::move(v)); }
    void setFamilyName(std::string v) { set(CNContactFamilyNameKey, f_.familyName, std::move(v)); }
    void setPreviousFamilyName(std::string v) { set(CNContactPreviousFamilyNameKey, f_.previousFamilyName, std::move(v)); }
    void setNameSuffix(std::string v) { set(CNContactNameSuffixKey, f_.nameSuffix, std::move(v)); }
    void setNickname(std::string v) { set(CNContactNicknameKey, f_.nickname, std::move(v)); }
    void setPhoneticGivenName(std::string v) { set(CNContactPhoneticGivenNameKey, f_.phoneticGivenName, std::move(v)); }
    void setPhoneticMiddleName(std::string v) { set(CNContactPhoneticMiddleNameKey, f_.phoneticMiddleName, std::move(v)); }
    void setPhoneticFamilyName(std::string v) { set(CNContactPhoneticFamilyNameKey, f_.phoneticFamilyName, std::move(v)); }
    void setOrganizationName(std::string v) { set(CNContactOrganizationNameKey, f_.organizationName, std::move(v)); }
    void setDepartmentName(std::string v) { set(CNContactDepartmentNameKey, f_.departmentName, std::move(v)); }
    void setJobTitle(std::string v) { set(CNContactJobTitleKey, f_.jobTitle, std::move(v)); }
    void setNote(std::string v) { set(CNContactNoteKey, f_.note, std::move(v)); }
    void setBirthday(std::optional<DateComponents> v) { set(CNContactBirthdayKey, f_.birthday, std::move(v)); }
    void setNonGregorianBirthday(std::optional<CNNonGregorianDate> v) {
        set(CNContactNonGregorianBirthdayKey, f_.nonGregorianBirthday, std::move(v));
    }
    void setDates(std::vector<CNLabeledValue<DateComponents>> v) { set(CNContactDatesKey, f_.dates, std::move(v)); }
    void setPhoneNumbers(std::vector<CNLabeledValue<CNPhoneNumber>> v) { set(CNContactPhoneNumbersKey, f_.phoneNumbers, std::move(v)); }
    void setEmailAddresses(std::vector<CNLabeledValue<std::string>> v) {
        set(CNContactEmailAddressesKey, f_.emailAddresses, std::move(v));
    }
    void setPostalAddresses(std::vector<CNLabeledValue<CNPostalAddress>> v) {
        set(CNContactPostalAddressesKey, f_.postalAddresses, std::move(v));
    }
    void setUrlAddresses(std::vector<CNLabeledValue<std::string>> v) { set(CNContactUrlAddressesKey, f_.urlAddresses, std::move(v)); }
    void setContactRelations(std::vector<CNLabeledValue<CNContactRelation>> v) {
        set(CNContactRelationsKey, f_.contactRelations, std::move(v));
    }
    void setInstantMessageAddresses(std::vector<CNLabeledValue<CNInstantMessageAddress>> v) {
        set(CNContactInstantMessageAddressesKey, f_.instantMessageAddresses, std::move(v));
    }
    void setSocialProfiles(std::vector<CNLabeledValue<CNSocialProfile>> v) {
        set(CNContactSocialProfilesKey, f_.socialProfiles, std::move(v));
    }
    // nullopt (or empty bytes) removes the image; the thumbnail follows at the next fetch.
    void setImageData(std::optional<Bytes> v);

    // The keys set since this object was made (what an update writes).
    const std::set<std::string>& changedKeys() const { return changed_; }

private:
    template <typename T>
    void set(const char* key, T& field, T value) {
        field = std::move(value);
        makeAvailable(key);
        changed_.insert(key);
    }
    std::set<std::string> changed_;
};

using CNContactPtr = std::shared_ptr<CNContact>;
using CNMutableContactPtr = std::shared_ptr<CNMutableContact>;

// Makes the identifier of a new contact or group.
std::string CNNewRecordIdentifier(const char* suffix);

}  // namespace quorvane::platform
