#pragma once
// PairingIndex: the scan step of pairing, answered from hash indexes instead of a walk over every
// candidate.
//
// The scan looks for a partner by equal name parts, then organisation, then e-mail address, then
// phone number, preferring Google contacts in a group over "Other" contacts. Its tests are
// equalities that a key can stand for exactly:
//   - a text (name part, organisation): blank (nil, empty or only whitespace, newlines and control
//     characters) is one key; any other text is its UTF-16 length with its case fold, since two
//     texts are equal exactly when they have the same length and fold alike;
//   - an e-mail address of at least 7 UTF-16 units: its length with its case fold;
//   - a phone number: the text key of the number without "().-", blanks and tabs; a number with
//     nothing else in it is no number and pairs with nothing.
// Each bucket lists its contacts in feed (or store) order, Google ones split into grouped and
// Other contacts, so the choice among several is the scan's: the first eligible grouped contact,
// else for names and organisations the last eligible Other contact and for e-mail and phone the
// first.
//
// Which contacts may still be chosen (paired by history with another contact, already matched in
// this run) changes while the run pairs, so it is asked at query time through the caller's
// predicate, exactly as the scan asks it; the index itself never changes after it is built.
//
// The Google contacts' facts are read when needed (a kept contact's from its summary bytes) and
// not held; the buckets of each side are made at the first search that needs them, so a run
// whose contacts all pair by their history never makes them.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "gdata/GDataEntryContact.h"
#include "platform/contacts/CNContact.h"

namespace quorvane {

class PairingIndex {
public:
    using GoogleContactPtr = std::shared_ptr<GDataEntryContact>;
    // Whether the Google contact may still pair with the local contact (and the other way round).
    using GoogleCandidateTest = std::function<bool(const GoogleContactPtr&, const platform::CNContactPtr&)>;
    using AppleCandidateTest = std::function<bool(const platform::CNContactPtr&, const GoogleContactPtr&)>;

    // googleContacts in feed order (null entries are skipped); appleContacts in store order, of
    // which only those `appleScanned` accepts are ever returned (all when it is empty).
    PairingIndex(const std::vector<GoogleContactPtr>& googleContacts,
                 const std::vector<platform::CNContactPtr>& appleContacts,
                 const std::function<bool(const platform::CNContactPtr&)>& appleScanned = {});

    struct ContactFacts;
    // The partner the scan finds for a local contact (whose facts are given), or null.
    GoogleContactPtr bestGoogleContactForAppleContact(const platform::CNContactPtr& apple, const ContactFacts& facts,
                                                      const GoogleCandidateTest& candidate) const;
    GoogleContactPtr bestGoogleContactForAppleContact(const platform::CNContactPtr& apple,
                                                      const GoogleCandidateTest& candidate) const;
    // The partner the scan finds for a Google contact, or null.
    platform::CNContactPtr bestAppleContactForGoogleContact(const GoogleContactPtr& google,
                                                            const AppleCandidateTest& candidate) const;

    // --- the pieces of a contact the scan looks at (shared with the scan's test reference) ---
    struct ContactFacts {
        std::optional<std::string> given, middle, family, prefix, suffix;
        std::optional<std::string> organization;
        std::vector<std::string> emails;
        std::vector<std::string> phones;
        // Any of the five name parts is non-empty (a part of blanks counts).
        bool hasNameParts() const;
    };
    static ContactFacts factsOfAppleContact(const platform::CNContact& contact);
    static ContactFacts factsOfGoogleContact(const GDataEntryContact& contact);
    // The facts of a Google contact, read when asked (from a summary's bytes, which costs little):
    // a large list does not hold a copy of every contact's facts for the run.
    ContactFacts googleFacts(const GDataEntryContact& contact) const;
    // Belongs to no group.
    static bool isOtherContact(const GDataEntryContact& contact);
    // The shortest e-mail address and local phone number the scan considers, in UTF-16 units.
    static constexpr size_t kMinimumMatchLength = 7;

    // Keys (see above); nullopt where the value takes part in no match.
    static std::string textKey(const std::optional<std::string>& text);
    static std::string nameKey(const ContactFacts& facts);
    static std::optional<std::string> emailKey(const std::string& address);
    static std::optional<std::string> phoneKey(const std::string& number);

private:
    struct GoogleBucket {
        std::vector<size_t> grouped, other;  // positions in googleContacts_, increasing
    };
    using GoogleBuckets = std::unordered_map<std::string, GoogleBucket>;
    using AppleBuckets = std::unordered_map<std::string, std::vector<size_t>>;

    static void addGoogle(GoogleBuckets& buckets, const std::string& key, size_t position, bool other);
    static void addApple(AppleBuckets& buckets, const std::string& key, size_t position);
    // The first eligible grouped contact of the buckets' lists under the keys, else (for
    // `lastOther`) the last or (otherwise) the first eligible Other contact.
    // The buckets of each side, made at first use.
    void buildGoogleBuckets() const;
    void buildAppleBuckets() const;
    GoogleContactPtr chooseGoogle(const GoogleBuckets& buckets, const std::vector<std::string>& keys, bool lastOther,
                                  const platform::CNContactPtr& apple, const GoogleCandidateTest& candidate) const;
    // The first eligible local contact in store order under any of the keys.
    platform::CNContactPtr chooseApple(const AppleBuckets& buckets, const std::vector<std::string>& keys,
                                       const GoogleContactPtr& google, const AppleCandidateTest& candidate) const;

    std::vector<GoogleContactPtr> googleContacts_;
    std::vector<platform::CNContactPtr> appleContacts_;
    std::function<bool(const platform::CNContactPtr&)> appleScanned_;
    // Google contacts with name parts by name; without name parts by organisation and by phone;
    // all by e-mail address.
    mutable bool googleBuilt_ = false, appleBuilt_ = false;
    mutable GoogleBuckets googleNames_, googleOrganizations_, googleEmails_, googlePhones_;
    mutable AppleBuckets appleNames_, appleOrganizations_, appleEmails_, applePhones_;
};

}  // namespace quorvane
