// The scan step of pairing through hash indexes whose keys are the scan's own equalities.

#include "sync/PairingIndex.h"

#include <algorithm>
#include <limits>

#include "platform/foundation/Strings.h"
#include "sync/GoogleContactCache.h"

namespace quorvane {

using platform::CNContactPtr;

namespace {

const platform::CharacterSet& blankSet() {
    static const platform::CharacterSet set =
        platform::CharacterSet::whitespaceAndNewline().united(platform::CharacterSet::control());
    return set;
}

const platform::CharacterSet& decorativePhoneSet() {
    static const platform::CharacterSet set =
        platform::CharacterSet::withCharacters(U"().-").united(platform::CharacterSet::whitespace());
    return set;
}

bool isBlank(const std::optional<std::string>& s) { return !s || s->empty() || platform::trim(*s, blankSet()).empty(); }

// Length and fold, each part self-delimiting so that concatenated keys never run together.
std::string foldKey(const std::string& s) {
    std::string fold = platform::caseFold(s);
    return std::to_string(platform::utf16Length(s)) + "," + std::to_string(fold.size()) + ":" + fold;
}

bool nonEmpty(const std::optional<std::string>& s) { return s && !s->empty(); }

}  // namespace

bool PairingIndex::ContactFacts::hasNameParts() const {
    return nonEmpty(given) || nonEmpty(middle) || nonEmpty(family) || nonEmpty(prefix) || nonEmpty(suffix);
}

PairingIndex::ContactFacts PairingIndex::factsOfAppleContact(const platform::CNContact& c) {
    ContactFacts f;
    auto field = [&](const char* key, const std::string& (platform::CNContact::*getter)() const) {
        return c.isKeyAvailable(key) ? std::optional<std::string>((c.*getter)()) : std::nullopt;
    };
    f.given = field(platform::CNContactGivenNameKey, &platform::CNContact::givenName);
    f.middle = field(platform::CNContactMiddleNameKey, &platform::CNContact::middleName);
    f.family = field(platform::CNContactFamilyNameKey, &platform::CNContact::familyName);
    f.prefix = field(platform::CNContactNamePrefixKey, &platform::CNContact::namePrefix);
    f.suffix = field(platform::CNContactNameSuffixKey, &platform::CNContact::nameSuffix);
    f.organization = field(platform::CNContactOrganizationNameKey, &platform::CNContact::organizationName);
    if (c.isKeyAvailable(platform::CNContactEmailAddressesKey)) {
        for (const auto& lv : c.emailAddresses()) f.emails.push_back(lv.value());
    }
    if (c.isKeyAvailable(platform::CNContactPhoneNumbersKey)) {
        for (const auto& lv : c.phoneNumbers()) f.phones.push_back(lv.value().stringValue);
    }
    return f;
}

PairingIndex::ContactFacts PairingIndex::factsOfGoogleContact(const GDataEntryContact& c) {
    using Values = GoogleContactCache::Values;
    Values values = GoogleContactCache::readValues(c, Values::kName | Values::kOrganizations | Values::kEmails | Values::kPhones);
    ContactFacts f;
    if (auto& name = values.name) {
        f.given = std::move(name->given);
        f.middle = std::move(name->additional);
        f.family = std::move(name->family);
        f.prefix = std::move(name->prefix);
        f.suffix = std::move(name->suffix);
    }
    if (!values.organizations.empty()) f.organization = std::move(values.organizations.front());
    for (auto& address : values.emails) {
        if (address) f.emails.push_back(std::move(*address));
    }
    for (auto& number : values.phones) {
        if (number) f.phones.push_back(std::move(*number));
    }
    return f;
}

bool PairingIndex::isOtherContact(const GDataEntryContact& contact) {
    return GoogleContactCache::readValues(contact, GoogleContactCache::Values::kGroups).groups.empty();
}

std::string PairingIndex::textKey(const std::optional<std::string>& s) { return isBlank(s) ? "-" : foldKey(*s); }

std::string PairingIndex::nameKey(const ContactFacts& f) {
    return textKey(f.given) + "|" + textKey(f.middle) + "|" + textKey(f.family) + "|" + textKey(f.prefix) + "|" +
           textKey(f.suffix);
}

std::optional<std::string> PairingIndex::emailKey(const std::string& address) {
    if (platform::utf16Length(address) < kMinimumMatchLength) return std::nullopt;
    return foldKey(address);
}

std::optional<std::string> PairingIndex::phoneKey(const std::string& number) {
    std::string digits;
    digits.reserve(number.size());
    for (char32_t cp : platform::codePoints(number)) {
        if (!decorativePhoneSet().contains(cp)) platform::appendUTF8(digits, cp);
    }
    // Only punctuation and blanks: not a number at all, so it pairs with nothing.
    if (isBlank(digits)) return std::nullopt;
    return foldKey(digits);
}

void PairingIndex::addGoogle(GoogleBuckets& buckets, const std::string& key, size_t position, bool other) {
    auto& list = other ? buckets[key].other : buckets[key].grouped;
    if (list.empty() || list.back() != position) list.push_back(position);
}

void PairingIndex::addApple(AppleBuckets& buckets, const std::string& key, size_t position) {
    auto& list = buckets[key];
    if (list.empty() || list.back() != position) list.push_back(position);
}

PairingIndex::PairingIndex(const std::vector<GoogleContactPtr>& googleContacts,
                           const std::vector<CNContactPtr>& appleContacts,
                           const std::function<bool(const CNContactPtr&)>& appleScanned)
    : googleContacts_(googleContacts), appleContacts_(appleContacts), appleScanned_(appleScanned) {
}

void PairingIndex::buildGoogleBuckets() const {
    if (googleBuilt_) return;
    googleBuilt_ = true;
    for (size_t i = 0; i < googleContacts_.size(); ++i) {
        const auto& g = googleContacts_[i];
        if (!g) continue;
        const ContactFacts f = factsOfGoogleContact(*g);
        const bool other = isOtherContact(*g);
        if (f.hasNameParts()) {
            addGoogle(googleNames_, nameKey(f), i, other);
        } else {
            addGoogle(googleOrganizations_, textKey(f.organization), i, other);
            for (const auto& p : f.phones) {
                if (auto key = phoneKey(p)) addGoogle(googlePhones_, *key, i, other);
            }
        }
        for (const auto& e : f.emails) {
            if (auto key = emailKey(e)) addGoogle(googleEmails_, *key, i, other);
        }
    }
}

void PairingIndex::buildAppleBuckets() const {
    if (appleBuilt_) return;
    appleBuilt_ = true;
    for (size_t i = 0; i < appleContacts_.size(); ++i) {
        const auto& a = appleContacts_[i];
        if (!a || (appleScanned_ && !appleScanned_(a))) continue;
        const ContactFacts f = factsOfAppleContact(*a);
        if (f.hasNameParts()) {
            addApple(appleNames_, nameKey(f), i);
        } else {
            addApple(appleOrganizations_, textKey(f.organization), i);
            for (const auto& p : f.phones) {
                if (auto key = phoneKey(p)) addApple(applePhones_, *key, i);
            }
        }
        for (const auto& e : f.emails) {
            if (auto key = emailKey(e)) addApple(appleEmails_, *key, i);
        }
    }
}

PairingIndex::GoogleContactPtr PairingIndex::chooseGoogle(const GoogleBuckets& buckets,
                                                          const std::vector<std::string>& keys, bool lastOther,
                                                          const CNContactPtr& apple,
                                                          const GoogleCandidateTest& candidate) const {
    constexpr size_t kNone = std::numeric_limits<size_t>::max();
    size_t grouped = kNone, other = kNone;
    for (const auto& key : keys) {
        auto found = buckets.find(key);
        if (found == buckets.end()) continue;
        for (size_t p : found->second.grouped) {
            if (p >= grouped) break;
            if (candidate(googleContacts_[p], apple)) {
                grouped = p;
                break;
            }
        }
        if (grouped != kNone) continue;  // an Other contact can no longer win
        const auto& others = found->second.other;
        if (lastOther) {
            for (auto it = others.rbegin(); it != others.rend(); ++it) {
                if (other != kNone && *it <= other) break;
                if (candidate(googleContacts_[*it], apple)) {
                    other = *it;
                    break;
                }
            }
        } else {
            for (size_t p : others) {
                if (p >= other) break;
                if (candidate(googleContacts_[p], apple)) {
                    other = p;
                    break;
                }
            }
        }
    }
    if (grouped != kNone) return googleContacts_[grouped];
    if (other != kNone) return googleContacts_[other];
    return nullptr;
}

CNContactPtr PairingIndex::chooseApple(const AppleBuckets& buckets, const std::vector<std::string>& keys,
                                       const GoogleContactPtr& google, const AppleCandidateTest& candidate) const {
    constexpr size_t kNone = std::numeric_limits<size_t>::max();
    size_t best = kNone;
    for (const auto& key : keys) {
        auto found = buckets.find(key);
        if (found == buckets.end()) continue;
        for (size_t p : found->second) {
            if (p >= best) break;
            if (candidate(appleContacts_[p], google)) {
                best = p;
                break;
            }
        }
    }
    return best == kNone ? nullptr : appleContacts_[best];
}

PairingIndex::ContactFacts PairingIndex::googleFacts(const GDataEntryContact& contact) const {
    return factsOfGoogleContact(contact);
}

PairingIndex::GoogleContactPtr PairingIndex::bestGoogleContactForAppleContact(const CNContactPtr& apple,
                                                                              const GoogleCandidateTest& candidate) const {
    if (!apple) return nullptr;
    return bestGoogleContactForAppleContact(apple, factsOfAppleContact(*apple), candidate);
}

PairingIndex::GoogleContactPtr PairingIndex::bestGoogleContactForAppleContact(const CNContactPtr& apple,
                                                                              const ContactFacts& f,
                                                                              const GoogleCandidateTest& candidate) const {
    if (!apple) return nullptr;
    buildGoogleBuckets();
    // Names (or, without any, the organisation): a grouped contact at once, else the last Other one.
    if (f.hasNameParts()) {
        if (auto g = chooseGoogle(googleNames_, {nameKey(f)}, true, apple, candidate)) return g;
    } else if (nonEmpty(f.organization)) {
        if (auto g = chooseGoogle(googleOrganizations_, {textKey(f.organization)}, true, apple, candidate)) return g;
    }
    std::vector<std::string> keys;
    for (const auto& e : f.emails) {
        if (auto key = emailKey(e)) keys.push_back(*key);
    }
    if (auto g = chooseGoogle(googleEmails_, keys, false, apple, candidate)) return g;
    if (f.hasNameParts()) return nullptr;
    keys.clear();
    for (const auto& p : f.phones) {
        if (platform::utf16Length(p) < kMinimumMatchLength) continue;
        if (auto key = phoneKey(p)) keys.push_back(*key);
    }
    return chooseGoogle(googlePhones_, keys, false, apple, candidate);
}

CNContactPtr PairingIndex::bestAppleContactForGoogleContact(const GoogleContactPtr& google,
                                                            const AppleCandidateTest& candidate) const {
    if (!google) return nullptr;
    buildAppleBuckets();
    const ContactFacts f = factsOfGoogleContact(*google);
    if (f.hasNameParts()) {
        if (auto a = chooseApple(appleNames_, {nameKey(f)}, google, candidate)) return a;
    } else if (nonEmpty(f.organization)) {
        if (auto a = chooseApple(appleOrganizations_, {textKey(f.organization)}, google, candidate)) return a;
    }
    std::vector<std::string> keys;
    for (const auto& e : f.emails) {
        if (auto key = emailKey(e)) keys.push_back(*key);
    }
    if (auto a = chooseApple(appleEmails_, keys, google, candidate)) return a;
    if (f.hasNameParts()) return nullptr;
    keys.clear();
    for (const auto& p : f.phones) {
        if (platform::utf16Length(p) < kMinimumMatchLength) continue;
        if (auto key = phoneKey(p)) keys.push_back(*key);
    }
    return chooseApple(applePhones_, keys, google, candidate);
}

}  // namespace quorvane
