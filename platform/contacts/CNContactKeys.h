#pragma once
// The names by which contact properties are fetched, and the standard labels and service
// names of labeled values.
//
// A fetch names the keys it wants; a contact answers only those (reading another one is a
// contract failure). Keys are plain strings, and a key descriptor stands for a set of keys
// (one key, or a named set such as the contact card's required keys).

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::platform {

// Contact property keys.
inline constexpr const char* CNContactIdentifierKey = "identifier";
inline constexpr const char* CNContactNamePrefixKey = "namePrefix";
inline constexpr const char* CNContactGivenNameKey = "givenName";
inline constexpr const char* CNContactMiddleNameKey = "middleName";
inline constexpr const char* CNContactFamilyNameKey = "familyName";
inline constexpr const char* CNContactPreviousFamilyNameKey = "previousFamilyName";
inline constexpr const char* CNContactNameSuffixKey = "nameSuffix";
inline constexpr const char* CNContactNicknameKey = "nickname";
inline constexpr const char* CNContactPhoneticGivenNameKey = "phoneticGivenName";
inline constexpr const char* CNContactPhoneticMiddleNameKey = "phoneticMiddleName";
inline constexpr const char* CNContactPhoneticFamilyNameKey = "phoneticFamilyName";
inline constexpr const char* CNContactOrganizationNameKey = "organizationName";
inline constexpr const char* CNContactDepartmentNameKey = "departmentName";
inline constexpr const char* CNContactJobTitleKey = "jobTitle";
inline constexpr const char* CNContactNoteKey = "note";
inline constexpr const char* CNContactBirthdayKey = "birthday";
inline constexpr const char* CNContactNonGregorianBirthdayKey = "nonGregorianBirthday";
inline constexpr const char* CNContactDatesKey = "dates";
inline constexpr const char* CNContactPhoneNumbersKey = "phoneNumbers";
inline constexpr const char* CNContactEmailAddressesKey = "emailAddresses";
inline constexpr const char* CNContactPostalAddressesKey = "postalAddresses";
inline constexpr const char* CNContactUrlAddressesKey = "urlAddresses";
inline constexpr const char* CNContactRelationsKey = "contactRelations";
inline constexpr const char* CNContactInstantMessageAddressesKey = "instantMessageAddresses";
inline constexpr const char* CNContactSocialProfilesKey = "socialProfiles";
inline constexpr const char* CNContactImageDataKey = "imageData";
inline constexpr const char* CNContactThumbnailImageDataKey = "thumbnailImageData";
inline constexpr const char* CNContactImageDataAvailableKey = "imageDataAvailable";
// The store's own keys of the two record dates.
inline constexpr const char* CNContactCreationDateKey = "creationDate";
inline constexpr const char* CNContactModificationDateKey = "modificationDate";

// Every contact key the store knows, in a fixed order.
inline constexpr const char* kCNContactKeyOrder[] = {
    CNContactIdentifierKey, CNContactNamePrefixKey, CNContactGivenNameKey, CNContactMiddleNameKey,
    CNContactFamilyNameKey, CNContactPreviousFamilyNameKey, CNContactNameSuffixKey, CNContactNicknameKey,
    CNContactPhoneticGivenNameKey, CNContactPhoneticMiddleNameKey, CNContactPhoneticFamilyNameKey,
    CNContactOrganizationNameKey, CNContactDepartmentNameKey, CNContactJobTitleKey, CNContactNoteKey,
    CNContactBirthdayKey, CNContactNonGregorianBirthdayKey, CNContactDatesKey, CNContactPhoneNumbersKey,
    CNContactEmailAddressesKey, CNContactPostalAddressesKey, CNContactUrlAddressesKey, CNContactRelationsKey,
    CNContactInstantMessageAddressesKey, CNContactSocialProfilesKey, CNContactImageDataKey,
    CNContactThumbnailImageDataKey, CNContactImageDataAvailableKey, CNContactCreationDateKey,
    CNContactModificationDateKey};
inline constexpr int kCNContactKeyCount = int(sizeof(kCNContactKeyOrder) / sizeof(kCNContactKeyOrder[0]));
static_assert(kCNContactKeyCount <= 32, "the available keys of a contact are one 32-bit mask");

// The same keys as views, their lengths known when the program is compiled (a key looked up at
// run time is then compared by length first, with no strlen of every known key).
inline constexpr auto kCNContactKeyViews = [] {
    struct Views {
        std::string_view key[kCNContactKeyCount];
    } views{};
    for (int i = 0; i < kCNContactKeyCount; ++i) views.key[i] = kCNContactKeyOrder[i];
    return views;
}();

// The known keys by a hash of their length and two of their characters, in a table of 64
// slots (open addressing), so that a key looked up at run time is compared with one known key,
// seldom two, rather than with each in turn.
constexpr unsigned CNContactKeyHash(std::string_view key) {
    return key.empty() ? 0u : (unsigned(key.size()) * 2u + unsigned(key[0]) * 3u + unsigned(key[key.size() - 1]) * 23u) & 63u;
}
inline constexpr auto kCNContactKeySlots = [] {
    struct Slots {
        signed char index[64];
    } slots{};
    for (auto& i : slots.index) i = -1;
    for (int i = 0; i < kCNContactKeyCount; ++i) {
        unsigned at = CNContactKeyHash(kCNContactKeyViews.key[i]);
        while (slots.index[at] >= 0) at = (at + 1) & 63u;
        slots.index[at] = static_cast<signed char>(i);
    }
    return slots;
}();

// The position of a known key in that order; -1 for any other key.
constexpr int CNContactKeyIndex(std::string_view key) {
    for (unsigned at = CNContactKeyHash(key);; at = (at + 1) & 63u) {
        const int i = kCNContactKeySlots.index[at];
        if (i < 0) return -1;
        if (kCNContactKeyViews.key[i] == key) return i;
    }
}

const std::vector<std::string>& CNContactAllKeys();
bool CNContactIsKnownKey(const std::string& key);

// One key, or a named set of keys.
class CNKeyDescriptor {
public:
    CNKeyDescriptor(const char* key) : name_(key), keys_{key} {}
    CNKeyDescriptor(std::string key) : name_(key), keys_{std::move(key)} {}
    CNKeyDescriptor(std::string name, std::vector<std::string> keys) : name_(std::move(name)), keys_(std::move(keys)) {}

    const std::string& name() const { return name_; }
    const std::vector<std::string>& keys() const { return keys_; }
    bool operator==(const CNKeyDescriptor&) const = default;

private:
    std::string name_;
    std::vector<std::string> keys_;
};

// Generic labels.
inline constexpr const char* CNLabelHome = "_$<Home>$_";
inline constexpr const char* CNLabelWork = "_$<Work>$_";
inline constexpr const char* CNLabelOther = "_$<Other>$_";
inline constexpr const char* CNLabelEmailiCloud = "_$<iCloud>$_";
inline constexpr const char* CNLabelURLAddressHomePage = "_$<HomePage>$_";
inline constexpr const char* CNLabelDateAnniversary = "_$<Anniversary>$_";
// Phone number labels.
inline constexpr const char* CNLabelPhoneNumberiPhone = "_$<iPhone>$_";
inline constexpr const char* CNLabelPhoneNumberMobile = "_$<Mobile>$_";
inline constexpr const char* CNLabelPhoneNumberMain = "_$<Main>$_";
inline constexpr const char* CNLabelPhoneNumberHomeFax = "_$<HomeFAX>$_";
inline constexpr const char* CNLabelPhoneNumberWorkFax = "_$<WorkFAX>$_";
inline constexpr const char* CNLabelPhoneNumberOtherFax = "_$<OtherFAX>$_";
inline constexpr const char* CNLabelPhoneNumberPager = "_$<Pager>$_";
// Relation labels.
inline constexpr const char* CNLabelContactRelationFather = "_$<Father>$_";
inline constexpr const char* CNLabelContactRelationMother = "_$<Mother>$_";
inline constexpr const char* CNLabelContactRelationParent = "_$<Parent>$_";
inline constexpr const char* CNLabelContactRelationBrother = "_$<Brother>$_";
inline constexpr const char* CNLabelContactRelationSister = "_$<Sister>$_";
inline constexpr const char* CNLabelContactRelationChild = "_$<Child>$_";
inline constexpr const char* CNLabelContactRelationFriend = "_$<Friend>$_";
inline constexpr const char* CNLabelContactRelationSpouse = "_$<Spouse>$_";
inline constexpr const char* CNLabelContactRelationPartner = "_$<Partner>$_";
inline constexpr const char* CNLabelContactRelationAssistant = "_$<Assistant>$_";
inline constexpr const char* CNLabelContactRelationManager = "_$<Manager>$_";

// Instant-messaging services.
inline constexpr const char* CNInstantMessageServiceAIM = "AIM";
inline constexpr const char* CNInstantMessageServiceFacebook = "Facebook";
inline constexpr const char* CNInstantMessageServiceGaduGadu = "GaduGadu";
inline constexpr const char* CNInstantMessageServiceGoogleTalk = "GoogleTalk";
inline constexpr const char* CNInstantMessageServiceICQ = "ICQ";
inline constexpr const char* CNInstantMessageServiceJabber = "Jabber";
inline constexpr const char* CNInstantMessageServiceMSN = "MSN";
inline constexpr const char* CNInstantMessageServiceQQ = "QQ";
inline constexpr const char* CNInstantMessageServiceSkype = "Skype";
inline constexpr const char* CNInstantMessageServiceYahoo = "Yahoo";

// Social-profile services.
inline constexpr const char* CNSocialProfileServiceFacebook = "Facebook";
inline constexpr const char* CNSocialProfileServiceFlickr = "Flickr";
inline constexpr const char* CNSocialProfileServiceLinkedIn = "LinkedIn";
inline constexpr const char* CNSocialProfileServiceMySpace = "MySpace";
inline constexpr const char* CNSocialProfileServiceSinaWeibo = "SinaWeibo";
inline constexpr const char* CNSocialProfileServiceTencentWeibo = "TencentWeibo";
inline constexpr const char* CNSocialProfileServiceTwitter = "Twitter";
inline constexpr const char* CNSocialProfileServiceYelp = "Yelp";
inline constexpr const char* CNSocialProfileServiceGameCenter = "GameCenter";

// The notification the store posts after each successful save.
inline constexpr const char* CNContactStoreDidChangeNotification = "CNContactStoreDidChangeNotification";

// Error domain and codes of the store.
inline constexpr const char* CNErrorDomain = "CNErrorDomain";
enum CNErrorCode : int64_t {
    CNErrorCodeCommunicationError = 1,      // the database could not be opened, read or written
    CNErrorCodeRecordDoesNotExist = 200,    // a request names a contact, group or container that is gone
    CNErrorCodeInsertedRecordAlreadyExists = 201,
    CNErrorCodeNoContainer = 202,           // a contact or group was added with no container to hold it
    CNErrorCodeRecordChanged = 203,         // a conditional change found the contact changed since it was read
    CNErrorCodeTextNotUTF8 = 300,           // a value the store keeps as JSON is not UTF-8
};
// userInfo key: the identifiers of the records a failed request named.
inline constexpr const char* CNErrorUserInfoAffectedRecordIdentifiersKey = "CNAffectedRecordIdentifiers";

}  // namespace quorvane::platform
