#pragma once
// The contact fields the sync carries, one row per field: its local contact keys, its conversion
// to Google, its conversion to local and its comparison with the code a difference gets. The
// three field-by-field operations of QuorvaneModel (updateGoogleContact, updateAppleContact and
// contactsDifferWithAppleContact) walk these rows in order, so a field has its three forms side
// by side in ContactFieldTable.cpp and cannot be carried one way and forgotten the other.
//
// Every key of a local contact is either carried by exactly one row or listed, with the reason,
// among the keys no row carries; the tests walk the contact's key list to hold that.
//
// The table is static: walking it allocates nothing, and each row is one call through a plain
// function pointer, so the comparison of a pair costs what its fields cost.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/contacts/CNContact.h"
#include "sync/FieldValues.h"
#include "sync/SyncTypes.h"

namespace quorvane {

class QuorvaneModel;
class GDataEntryContact;
class NSSyncRecord;
class GDataEmail;
class GDataPhoneNumber;
class GDataStructuredPostalAddress;
class GDataContactWebsiteLink;
class GDataContactRelation;
class GDataIM;
class GDataContactEvent;
class GDataContactUserDefinedField;

// A local contact written into a Google entry.
struct ContactFieldToGoogle {
    QuorvaneModel& model;
    const std::shared_ptr<GDataEntryContact>& google;  // changed in place
    const platform::CNContact& apple;                  // carries every key it is read by
    const NSSyncRecord& record;
    bool merge;    // the record's merge flag: lists merge, and the note is written only when real
    bool created;  // the Google contact is new
    bool replace;  // not merge, or created: single fields are written even when empty
};

// A Google entry written into a local contact.
struct ContactFieldToLocal {
    QuorvaneModel& model;
    const platform::CNMutableContactPtr& apple;  // changed in place
    const std::shared_ptr<GDataEntryContact>& google;
    bool merge;
    bool created;
    bool replace;
    bool exchange;        // the contact is (or goes) in an Exchange account, with its list limits
    bool googleHadPhoto;  // the history shows Google had a photo

    // Merging keeps the stored values of a list, which it must have read to keep.
    bool writesList(const char* key) const { return !merge || apple->isKeyAvailable(key); }
};

// A local contact compared with a Google entry.
struct ContactFieldCompare {
    QuorvaneModel& model;
    const platform::CNContactPtr& apple;        // as fetched for the comparison
    const platform::CNContactPtr& actualApple;  // as stored: its account decides some rules
    const std::shared_ptr<GDataEntryContact>& google;
};

struct ContactFieldRow {
    const char* name;
    std::span<const char* const> keys;  // the local contact keys the row reads and writes
    ContactDifference difference;       // the comparison's code when the row's values differ
    void (*toGoogle)(const ContactFieldToGoogle&);
    void (*toLocal)(const ContactFieldToLocal&);
    // true when the two sides differ; nullptr for a field the comparison leaves to another
    // decision (the photo, which the plan compares through the history).
    bool (*differs)(const ContactFieldCompare&);
};

// The name parts of a Google contact as the comparison reads them (each element's text).
struct GoogleNameParts {
    std::optional<std::string> given, additional, family, prefix, suffix;
};
// The first test of the name row: whether the local contact's name parts differ from these.
// When they do, the row (and so the comparison, the name being its first row) finds the name
// differs, whatever else the entry holds.
bool namePartsDiffer(QuorvaneModel& model, const platform::CNContact& apple, const GoogleNameParts& google);

// Which two values of a multi-valued field are one value: the identity of each kind of value, the
// same on both sides (a digest, FieldValues.h, of the value in one form), nullopt for a blank value.
// The merges take two values of one identity for one value (the source's version replaces the
// destination's), the history records each side's values by identity, and the comparison finds
// two values equal only when they are one value with the same details (labels, an address's
// country code). A detail outside the identity goes with the side that changed the contact later,
// so every part a user edits as the value itself belongs to the identity. Fixed forever: the history compares identities with those
// recorded by earlier runs (FieldValues' stored form says which rule recorded a field).
class ValueIdentity {
public:
    explicit ValueIdentity(QuorvaneModel& model) : model_(model) {}
    // E-mail and web addresses: the text, letter case and surrounding blanks aside.
    std::optional<uint32_t> operator()(const std::string& text) const;
    std::optional<uint32_t> operator()(const GDataEmail& email) const;
    std::optional<uint32_t> operator()(const GDataContactWebsiteLink& url) const;
    // Phone numbers: the number without its punctuation and blanks.
    std::optional<uint32_t> operator()(const platform::CNPhoneNumber& phone) const;
    std::optional<uint32_t> operator()(const GDataPhoneNumber& phone) const;
    // Postal addresses: street, city, region, postal code and country (an edit of any of them is
    // an edit of the address, whichever side changed the contact later).
    std::optional<uint32_t> operator()(const platform::CNPostalAddress& address) const;
    std::optional<uint32_t> operator()(const GDataStructuredPostalAddress& address) const;
    // Relations: the related name.
    std::optional<uint32_t> operator()(const platform::CNContactRelation& relation) const;
    std::optional<uint32_t> operator()(const GDataContactRelation& relation) const;
    // Instant messaging: the service, in the provider's form, and the user name.
    std::optional<uint32_t> operator()(const platform::CNInstantMessageAddress& im) const;
    std::optional<uint32_t> operator()(const GDataIM& im) const;
    // Events: the day (in the universal zone on the provider's side).
    std::optional<uint32_t> operator()(const platform::DateComponents& date) const;
    std::optional<uint32_t> operator()(const GDataContactEvent& event) const;
    // Social profiles: the service, in the provider's form, and the user name.
    std::optional<uint32_t> operator()(const platform::CNSocialProfile& profile) const;
    std::optional<uint32_t> operator()(const GDataContactUserDefinedField& field) const;

    // Two values of one kind are one value.
    template <class T>
    bool same(const T& a, const T& b) const {
        return (*this)(a) == (*this)(b);
    }

    // A value of the field's list with its version (the identity with its label in the
    // provider's form, which the comparison compares as well) and, for IM addresses, social
    // profiles and postal addresses, its identity by the older rule (the user name alone; street,
    // city and postal code): a local labelled value, or a provider's element.
    template <class T>
    ValueKeys keys(MergeField field, const platform::CNLabeledValue<T>& value) const;
    template <class T>
    ValueKeys keys(MergeField field, const T& element) const;

private:
    QuorvaneModel& model_;
};

// A local contact key that no row carries, and why.
struct ContactFieldNotCarried {
    const char* key;
    const char* reason;
};

// The rows in the order the three operations walk them: the comparison's order, so the first
// differing field decides the code.
std::span<const ContactFieldRow> contactFieldTable();
std::span<const ContactFieldNotCarried> contactFieldsNotCarried();

// One-to-one placement of localCount entries on googleCount entries: true when every local entry
// finds a Google entry, not taken before, that matches(localIndex, googleIndex).
template <typename Matches>
bool placeAll(size_t localCount, size_t googleCount, Matches matches) {
    if (localCount == 0) return true;
    std::vector<bool> used(googleCount, false);
    for (size_t i = 0; i < localCount; ++i) {
        bool placed = false;
        for (size_t j = 0; j < googleCount; ++j) {
            if (used[j] || !matches(i, j)) continue;
            used[j] = true;
            placed = true;
            break;
        }
        if (!placed) return false;
    }
    return true;
}

}  // namespace quorvane
