#include "sync/ContactText.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <string_view>

#include "gdata/GDataUtilities.h"
#include "gdata/GDataXMLWriter.h"

namespace quorvane {

namespace {

// The position of the first byte that does not start a well-formed UTF-8 character (a surrogate,
// an overlong form, a cut sequence...); nullopt when the text is UTF-8.
std::optional<size_t> firstIllFormedByte(std::string_view text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const int32_t n = int32_t(text.size());
    for (int32_t i = 0; i < n;) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        const int32_t at = i;
        UChar32 c;
        U8_NEXT(p, i, n, c);
        if (c < 0 || U_IS_SURROGATE(c)) return size_t(at);
    }
    return std::nullopt;
}

std::string hexByte(char byte) {
    static const char digits[] = "0123456789ABCDEF";
    const auto b = static_cast<unsigned char>(byte);
    return {digits[b >> 4], digits[b & 0xF]};
}

struct Check {
    std::optional<std::string> problem;
    void operator()(const char* field, std::string_view text) {
        if (problem) return;
        // Printable ASCII, most of any text, passes every test below: nothing to look at again.
        if (std::all_of(text.begin(), text.end(), [](char c) { return (unsigned char)c >= 0x20 && (unsigned char)c < 0x80; }))
            return;
        // Text that is not UTF-8 is refused before anything is dropped from it: the entry's filter
        // takes a surrogate encoded on its own for a character to drop, which would send the rest.
        if (auto bad = firstIllFormedByte(text)) {
            problem = std::string("the ") + field + " holds text that cannot be sent (byte 0x" + hexByte(text[*bad]) +
                      " at " + std::to_string(*bad) + " is not UTF-8)";
            return;
        }
        // What XML forbids but UTF-8 carries (controls, U+FFFE) the entry drops when written.
        if (GDataUtilities::stringHasControlsToFilter(text)) {
            const std::string kept = GDataUtilities::stringWithControlsFilteredForString(std::string(text));
            return (*this)(field, kept);
        }
        if (auto why = xmlTextProblem(text)) problem = std::string("the ") + field + " holds text that cannot be sent (" + *why + ")";
    }
    template <class T, class Each>
    void labeled(const char* field, const std::vector<platform::CNLabeledValue<T>>& values, Each each) {
        for (const auto& v : values) {
            if (v.label()) (*this)(field, *v.label());
            each(v.value());
        }
    }
};

}  // namespace

std::optional<std::string> unsendableContactText(const platform::CNContact& contact) {
    const platform::CNContactFields& f = contact.fields();
    Check check;
    const std::pair<const char*, const std::string*> texts[] = {
        {"name prefix", &f.namePrefix},       {"given name", &f.givenName},
        {"middle name", &f.middleName},       {"family name", &f.familyName},
        {"previous family name", &f.previousFamilyName}, {"name suffix", &f.nameSuffix},
        {"nickname", &f.nickname},            {"phonetic given name", &f.phoneticGivenName},
        {"phonetic middle name", &f.phoneticMiddleName}, {"phonetic family name", &f.phoneticFamilyName},
        {"organisation", &f.organizationName}, {"department", &f.departmentName},
        {"job title", &f.jobTitle},           {"note", &f.note}};
    for (const auto& [field, text] : texts) check(field, *text);
    if (f.nonGregorianBirthday) check("birthday's calendar", f.nonGregorianBirthday->calendarIdentifier);
    check.labeled("dates", f.dates, [](const platform::DateComponents&) {});
    check.labeled("phone numbers", f.phoneNumbers, [&](const platform::CNPhoneNumber& p) { check("phone numbers", p.stringValue); });
    check.labeled("e-mail addresses", f.emailAddresses, [&](const std::string& s) { check("e-mail addresses", s); });
    check.labeled("postal addresses", f.postalAddresses, [&](const platform::CNPostalAddress& a) {
        for (const std::string* s : {&a.street, &a.city, &a.state, &a.postalCode, &a.country, &a.ISOCountryCode})
            check("postal addresses", *s);
    });
    check.labeled("web addresses", f.urlAddresses, [&](const std::string& s) { check("web addresses", s); });
    check.labeled("relations", f.contactRelations, [&](const platform::CNContactRelation& r) { check("relations", r.name); });
    check.labeled("instant messaging", f.instantMessageAddresses, [&](const platform::CNInstantMessageAddress& a) {
        check("instant messaging", a.username);
        check("instant messaging", a.service);
    });
    check.labeled("social profiles", f.socialProfiles, [&](const platform::CNSocialProfile& p) {
        check("social profiles", p.username);
        check("social profiles", p.service);
    });
    return check.problem;
}

std::optional<std::string> unusableLocalContact(const platform::CNContact& contact) {
    using namespace platform;
    static const std::pair<const char*, const char*> names[] = {
        {CNContactPhoneNumbersKey, "phone numbers"},         {CNContactEmailAddressesKey, "e-mail addresses"},
        {CNContactPostalAddressesKey, "postal addresses"},   {CNContactUrlAddressesKey, "web addresses"},
        {CNContactRelationsKey, "relations"},                {CNContactInstantMessageAddressesKey, "instant messaging"},
        {CNContactSocialProfilesKey, "social profiles"},     {CNContactDatesKey, "dates"},
        {CNContactBirthdayKey, "birthday"},                  {CNContactNonGregorianBirthdayKey, "other-calendar birthday"}};
    for (const auto& key : contact.unreadableKeys()) {
        std::string field = key;
        for (const auto& [known, name] : names)
            if (key == known) field = name;
        return "the stored " + field + " cannot be read (not UTF-8, not whole or of another shape)";
    }
    return unsendableContactText(contact);
}

}  // namespace quorvane
