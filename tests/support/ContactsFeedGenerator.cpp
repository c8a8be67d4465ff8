#include "tests/support/ContactsFeedGenerator.h"

#include <cstdio>

namespace quorvane::testing {

namespace {

// A small linear congruential generator: the same seed gives the same feed everywhere.
struct Rng {
    uint32_t state;
    uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
    size_t pick(size_t n) { return n ? next() % n : 0; }
};

const char* const kGiven[] = {"Ann", "Élodie", "Bernard", "Chloé", "Dmitri", "Eun-ji", "François", "Grace",
                              "Hiroshi", "Inès", "José", "Kateřina", "Liam", "Małgorzata", "Nour", "Zoë"};
const char* const kFamily[] = {"Anders", "Brontë", "Castillo", "Dubois", "Eriksson", "Fujita", "García",
                               "Hoffmann", "Ivanova", "Jensen", "Kowalski", "López", "Müller", "O'Brien"};
const char* const kCities[] = {"Paris", "Lyon", "Zürich", "Montréal", "São Paulo", "Kraków", "Osaka", "Oslo"};
const char* const kRels[] = {"home", "work", "other"};

// The first character of a UTF-8 string, whole.
std::string firstLetter(const std::string& s) {
    size_t n = 1;
    while (n < s.size() && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) ++n;
    return s.substr(0, n);
}

std::string hexId(uint32_t a, uint32_t b) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%08x%08x", a, b);
    return buf;
}

const char* kFeedHead =
    "<?xml version='1.0' encoding='UTF-8'?>\n"
    "<feed xmlns='http://www.w3.org/2005/Atom' xmlns:openSearch='http://a9.com/-/spec/opensearch/1.1/'"
    " xmlns:gContact='http://schemas.google.com/contact/2008' xmlns:batch='http://schemas.google.com/gdata/batch'"
    " xmlns:gd='http://schemas.google.com/g/2005' gd:etag='W/\"CUMBRHo_fip7I2A9WhRQGU0.\"'>\n";

}  // namespace

std::string escapeXML(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '\'': out += "&apos;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}


std::string generateContactsFeed(const ContactsFeedOptions& options) {
    Rng rng{options.seed};
    std::string out;
    out.reserve(options.entries * 6000 + 2000);
    out += kFeedHead;
    out += "<id>owner@example.com</id>\n<updated>2026-11-30T10:20:30.000Z</updated>\n";
    out += "<category scheme='http://schemas.google.com/g/2005#kind' term='http://schemas.google.com/contact/2008#contact'/>\n";
    out += "<title>Owner's Contacts</title>\n";
    out += "<link rel='http://schemas.google.com/g/2005#feed' type='application/atom+xml' href='https://www.google.com/m8/feeds/contacts/owner%40example.com/full'/>\n";
    out += "<link rel='http://schemas.google.com/g/2005#post' type='application/atom+xml' href='https://www.google.com/m8/feeds/contacts/owner%40example.com/full'/>\n";
    out += "<link rel='http://schemas.google.com/g/2005#batch' type='application/atom+xml' href='https://www.google.com/m8/feeds/contacts/owner%40example.com/full/batch'/>\n";
    out += "<author><name>Owner</name><email>owner@example.com</email></author>\n";
    out += "<generator version='1.0' uri='http://www.google.com/m8/feeds'>Contacts</generator>\n";
    out += "<openSearch:totalResults>" + std::to_string(options.entries) + "</openSearch:totalResults>\n";
    out += "<openSearch:startIndex>1</openSearch:startIndex>\n";
    out += "<openSearch:itemsPerPage>" + std::to_string(options.entries) + "</openSearch:itemsPerPage>\n";
    if (options.unknownParts)
        out += "<q:feedNote xmlns:q='urn:quorvane:unknown' q:level='1'>unmodelled feed child</q:feedNote>\n";

    for (size_t i = 0; i < options.entries; ++i) {
        std::string id = hexId(options.seed, uint32_t(i));
        std::string given = kGiven[rng.pick(std::size(kGiven))];
        std::string family = kFamily[rng.pick(std::size(kFamily))];
        std::string full = given + " " + family;
        std::string mail = "contact" + std::to_string(i) + "@example.com";
        std::string rel = kRels[rng.pick(3)];
        std::string city = kCities[rng.pick(std::size(kCities))];
        std::string base = "https://www.google.com/m8/feeds/contacts/owner%40example.com/full/" + id;

        out += "<entry gd:etag='&quot;Q3c5eDVSLit7I2A9XRdRE0wPRw" + id.substr(12) + ".&quot;'";
        if (options.unknownParts) out += " xmlns:q='urn:quorvane:unknown' q:mark='m" + std::to_string(i) + "'";
        out += ">\n";
        out += "<id>http://www.google.com/m8/feeds/contacts/owner%40example.com/base/" + id + "</id>\n";
        out += "<updated>2026-11-2" + std::to_string(i % 10) + "T08:15:30.123Z</updated>\n";
        out += "<app:edited xmlns:app='http://www.w3.org/2007/app'>2026-11-2" + std::to_string(i % 10) +
               "T08:15:30.123Z</app:edited>\n";
        out += "<category scheme='http://schemas.google.com/g/2005#kind' term='http://schemas.google.com/contact/2008#contact'/>\n";
        out += "<title>" + escapeXML(full) + "</title>\n";
        out += "<content>Met at the " + escapeXML(city) + " office &amp; kept in touch.</content>\n";
        // Every other contact has a stored photo: its photo link carries an ETag.
        out += "<link rel='http://schemas.google.com/contacts/2008/rel#photo' type='image/*' href='https://www.google.com/m8/feeds/photos/media/owner%40example.com/" + id + "'" +
               (i % 2 == 0 ? " gd:etag='&quot;Ph" + id.substr(10) + ".&quot;'" : "") + "/>\n";
        out += "<link rel='self' type='application/atom+xml' href='" + base + "'/>\n";
        out += "<link rel='edit' type='application/atom+xml' href='" + base + "'/>\n";
        out += "<gd:name><gd:fullName>" + escapeXML(full) + "</gd:fullName><gd:givenName" +
               (i % 5 == 0 ? " yomi='" + escapeXML(given) + "-yomi'" : std::string()) + ">" + escapeXML(given) +
               "</gd:givenName>";
        if (i % 2 == 1) out += "<gd:additionalName>Marie</gd:additionalName>";
        out += "<gd:familyName>" + escapeXML(family) + "</gd:familyName><gd:namePrefix>Dr.</gd:namePrefix>";
        if (i % 7 == 0) out += "<gd:nameSuffix>Jr.</gd:nameSuffix>";
        out += "</gd:name>\n";
        if (i % 5 == 0) out += "<gContact:yomiName>" + escapeXML(full) + " (yomi)</gContact:yomiName>\n";
        out += "<gContact:nickname>" + escapeXML(given.substr(0, 2)) + "</gContact:nickname>\n";
        out += "<gContact:gender value='" + std::string(i % 2 ? "male" : "female") + "'/>\n";
        out += "<gContact:initials>" + escapeXML(firstLetter(given)) + "." + escapeXML(firstLetter(family)) + ".</gContact:initials>\n";
        if (i % 4 == 0) out += "<gContact:maidenName>" + escapeXML(kFamily[(i + 5) % std::size(kFamily)]) + "</gContact:maidenName>\n";
        out += "<gContact:occupation>Engineer</gContact:occupation>\n";
        out += "<gContact:shortName>" + escapeXML(given) + "</gContact:shortName>\n";
        out += "<gContact:hobby>chess</gContact:hobby>\n<gContact:hobby>sailing " + std::to_string(i % 3) + "</gContact:hobby>\n";
        if (i % 5 == 0) out += "<gContact:billingInformation>Invoice monthly</gContact:billingInformation>\n";
        if (i % 9 == 0) out += "<gContact:directoryServer>ldap.example.com</gContact:directoryServer>\n";
        if (i % 10 == 0) out += "<gContact:mileage>" + std::to_string(120 + i) + " km</gContact:mileage>\n";
        if (i % 8 == 0) out += "<gContact:subject>Project " + std::to_string(i % 13) + "</gContact:subject>\n";
        out += "<gd:where valueString='" + escapeXML(city) + " office'/>\n";
        out += "<gContact:birthday when='" + std::string(i % 4 == 0 ? "--05-17" : "1980-05-17") + "'/>\n";
        out += "<gd:organization rel='http://schemas.google.com/g/2005#work' primary='true'><gd:orgName>Acme " +
               std::to_string(i % 37) + "</gd:orgName><gd:orgTitle>Engineer</gd:orgTitle><gd:orgDepartment>R&amp;D</gd:orgDepartment>" +
               (i % 6 == 0 ? "<gd:orgJobDescription>Builds things</gd:orgJobDescription><gd:orgSymbol>ACME</gd:orgSymbol><gd:where valueString='HQ'/>" : "") +
               (options.unknownParts ? "<q:badge xmlns:q='urn:quorvane:unknown'>B" + std::to_string(i % 11) + "</q:badge>" : "") +
               "</gd:organization>\n";
        if (i % 4 == 1)
            out += "<gd:organization label='Volunteer'><gd:orgName yomi='Sekai'>World Club</gd:orgName></gd:organization>\n";
        out += "<gd:email rel='http://schemas.google.com/g/2005#" + rel + "' address='" + mail + "' primary='true'/>\n";
        out += "<gd:email label='Old' address='old." + mail + "'" +
               (options.unknownParts ? " xmlns:q='urn:quorvane:unknown' q:checked='2026-01-0" + std::to_string(1 + i % 9) + "'" : "") + "/>\n";
        out += "<gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile' primary='true'>+33 6 12 34 " +
               std::to_string(10 + i % 90) + " " + std::to_string(10 + (i * 7) % 90) + "</gd:phoneNumber>\n";
        out += "<gd:phoneNumber rel='http://schemas.google.com/g/2005#work'>(555) 010-" + std::to_string(1000 + i % 9000) + "</gd:phoneNumber>\n";
        out += "<gd:im address='" + mail + "' protocol='http://schemas.google.com/g/2005#GOOGLE_TALK' rel='http://schemas.google.com/g/2005#other'/>\n";
        if (i % 3 == 1)
            out += "<gd:im address='c" + std::to_string(i) + "' protocol='http://schemas.google.com/g/2005#SKYPE' label='Calls' primary='true'/>\n";
        if (i % 3 == 0)
            out += "<gd:postalAddress rel='http://schemas.google.com/g/2005#work'>" + std::to_string(1 + i % 200) + " Rue Exemple, " + escapeXML(city) + "</gd:postalAddress>\n";
        out += "<gd:structuredPostalAddress rel='http://schemas.google.com/g/2005#" + rel +
               "' primary='true'><gd:formattedAddress>" + std::to_string(1 + i % 200) + " Rue Exemple\n" +
               escapeXML(city) + "</gd:formattedAddress><gd:street>" + std::to_string(1 + i % 200) +
               " Rue Exemple</gd:street><gd:city>" + escapeXML(city) + "</gd:city><gd:postcode>750" +
               std::to_string(10 + i % 20) + "</gd:postcode><gd:country code='FR'>France</gd:country></gd:structuredPostalAddress>\n";
        out += "<gContact:event rel='anniversary'><gd:when startTime='2010-06-0" + std::to_string(1 + i % 9) + "'/></gContact:event>\n";
        if (i % 2 == 0)
            out += "<gContact:event label='First met'><gd:when startTime='2015-0" + std::to_string(1 + i % 9) +
                   "-12T18:30:00.000Z' endTime='2015-0" + std::to_string(1 + i % 9) + "-12T20:00:00.000Z'/></gContact:event>\n";
        out += "<gContact:relation rel='spouse'>" + escapeXML(kGiven[(i + 3) % std::size(kGiven)]) + "</gContact:relation>\n";
        if (i % 3 == 2) out += "<gContact:relation label='Mentor'>" + escapeXML(kFamily[i % std::size(kFamily)]) + "</gContact:relation>\n";
        out += "<gContact:website href='https://example.com/~c" + std::to_string(i) + "' rel='home-page' primary='true'/>\n";
        out += "<gContact:website href='https://blog.example.com/c" + std::to_string(i) + "' label='Notes'/>\n";
        out += "<gContact:calendarLink href='https://calendar.example.com/c" + std::to_string(i) + "' rel='" +
               (i % 2 ? "work" : "free-busy") + "'" + (i % 2 ? " primary='true'" : "") + "/>\n";
        out += "<gContact:userDefinedField key='Team' value='Blue " + std::to_string(i % 5) + "'/>\n";
        out += "<gContact:userDefinedField key='Desk' value='" + std::to_string(100 + i % 300) + "'/>\n";
        out += "<gContact:externalId rel='account' value='A-" + std::to_string(100000 + i) + "'/>\n";
        if (i % 4 == 3) out += "<gContact:externalId label='Badge' value='B" + std::to_string(i) + "'/>\n";
        out += "<gContact:jot rel='keywords'>vip</gContact:jot>\n";
        out += "<gContact:language code='fr'/>\n";
        if (i % 2 == 1) out += "<gContact:language label='Klingon'/>\n";
        out += "<gContact:priority rel='normal'/>\n";
        out += "<gContact:sensitivity rel='normal'/>\n";
        out += "<gd:extendedProperty name='sync-id' value='" + id + "'/>\n";
        if (i % 4 == 0)
            out += "<gd:extendedProperty name='prefs' realm='quorvane'><prefs xmlns=''><color>blue</color><size n='" +
                   std::to_string(i % 4) + "'>large</size></prefs></gd:extendedProperty>\n";
        out += "<gContact:groupMembershipInfo deleted='false' href='http://www.google.com/m8/feeds/groups/owner%40example.com/base/6'/>\n";
        if (i % 3 == 0)
            out += "<gContact:groupMembershipInfo deleted='false' href='http://www.google.com/m8/feeds/groups/owner%40example.com/base/" +
                   hexId(options.seed, uint32_t(i % 7)) + "'/>\n";
        if (options.unknownParts) out += "<q:unknown q:kind='x'>kept " + std::to_string(i) + "</q:unknown>\n";
        out += "</entry>\n";
    }
    out += "</feed>\n";
    return out;
}

std::string generateGroupsFeed(size_t userGroups, uint32_t seed) {
    std::string out = kFeedHead;
    out += "<id>owner@example.com</id>\n<updated>2026-11-30T10:20:30.000Z</updated>\n";
    out += "<category scheme='http://schemas.google.com/g/2005#kind' term='http://schemas.google.com/contact/2008#group'/>\n";
    out += "<title>Owner's Contact Groups</title>\n";
    auto group = [&](const std::string& id, const std::string& title, const char* systemId) {
        out += "<entry gd:etag='&quot;YDwqeyI.&quot;'>\n";
        out += "<id>http://www.google.com/m8/feeds/groups/owner%40example.com/base/" + id + "</id>\n";
        out += "<updated>2026-11-01T00:00:00.000Z</updated>\n";
        out += "<category scheme='http://schemas.google.com/g/2005#kind' term='http://schemas.google.com/contact/2008#group'/>\n";
        out += "<title>" + escapeXML(title) + "</title>\n<content>" + escapeXML(title) + "</content>\n";
        out += "<link rel='self' type='application/atom+xml' href='https://www.google.com/m8/feeds/groups/owner%40example.com/full/" + id + "'/>\n";
        if (systemId) out += std::string("<gContact:systemGroup id='") + systemId + "'/>\n";
        else {
            out += "<link rel='edit' type='application/atom+xml' href='https://www.google.com/m8/feeds/groups/owner%40example.com/full/" + id + "'/>\n";
            out += "<gd:extendedProperty name='color' value='#" + id.substr(13) + "'/>\n";
        }
        out += "</entry>\n";
    };
    group("6", "System Group: My Contacts", "Contacts");
    group("d", "System Group: Friends", "Friends");
    group("e", "System Group: Family", "Family");
    group("f", "System Group: Coworkers", "Coworkers");
    for (size_t i = 0; i < userGroups; ++i) group(hexId(seed, uint32_t(i)), "Group " + std::to_string(i), nullptr);
    out += "</feed>\n";
    return out;
}

}  // namespace quorvane::testing
