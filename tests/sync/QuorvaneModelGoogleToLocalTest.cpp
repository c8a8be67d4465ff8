// Writing Google contacts into local contacts, and both conversions together: the reverse label
// converters, round trips in both directions over generated contacts (field by field and under the
// comparison), days in far zones, values no conversion writes, merge and replace, photos, groups.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

#include "gdata/GDataContactConstants.h"
#include "gdata/GDataContactEvent.h"
#include "gdata/GDataEntryContent.h"
#include "gdata/GDataLink.h"
#include "gdata/GDataTextConstruct.h"
#include "gdata/GDataXMLElement.h"
#include "platform/contacts/CNSaveRequest.h"
#include "sync/Utils.h"
#include "tests/sync/SyncTestSupport.h"
#include "tests/sync/QuorvaneModelInternals.h"

namespace quorvane::testing {
namespace {

using namespace platform;
using std::nullopt;
using std::optional;
using std::string;
using Labels = std::vector<optional<string>>;

const string kGD = "http://schemas.google.com/g/2005";

// Every local label the forward converters know, the words they turn into rels, and custom ones.
const Labels kLocalLabels = {
    nullopt, string(""), string(CNLabelHome), string(CNLabelWork), string(CNLabelOther), string(CNLabelEmailiCloud),
    string(CNLabelURLAddressHomePage), string(CNLabelDateAnniversary), string(CNLabelPhoneNumberiPhone),
    string(CNLabelPhoneNumberMobile), string(CNLabelPhoneNumberMain), string(CNLabelPhoneNumberHomeFax),
    string(CNLabelPhoneNumberWorkFax), string(CNLabelPhoneNumberOtherFax), string(CNLabelPhoneNumberPager),
    string(CNLabelContactRelationFather), string(CNLabelContactRelationMother), string(CNLabelContactRelationParent),
    string(CNLabelContactRelationBrother), string(CNLabelContactRelationSister), string(CNLabelContactRelationChild),
    string(CNLabelContactRelationFriend), string(CNLabelContactRelationSpouse), string(CNLabelContactRelationPartner),
    string(CNLabelContactRelationAssistant), string(CNLabelContactRelationManager), string("assistant"),
    string("callback"), string("car"), string("company main"), string("isdn"), string("radio"), string("telex"),
    string("tty/tdd"), string("fax"), string("work mobile"), string("work pager"), string("blog"), string("ftp"), string("profile"),
    string("domestic partner"), string("referred by"), string("relative"), string("Boat"), string("Ünïcode ✓")};
const std::vector<string> kCustomGoogleLabels = {"Boat", "Ünïcode ✓", "iCloud", "iPhone", "summer house"};

class QuorvaneModelGoogleToLocalTest : public SyncModelTestBase {
protected:
    void SetUp() override {
        SyncModelTestBase::SetUp();
        internals(model_).mGroupFeed = standardGroupFeed();
        internals(model_).mCurrentSourceRecord = std::make_shared<NSContactSourceRecord_QV>();
        internals(model_).mCurrentSourceRecord->mContainerAccountType = ContainerAccountTypeLocal;
        container_ = store_->addContainer("On This Computer", CNContainerType::Local).valueOr(nullptr);
        ASSERT_TRUE(container_);
    }

    NSSyncRecordPtr record(bool merge) {
        auto r = std::make_shared<NSSyncRecord>();
        r->mMergeContacts = merge;
        return r;
    }

    // Saved in the test's store and read back with every key, as a run reads it.
    CNContactPtr saveAndRead(const CNMutableContactPtr& c) {
        CNSaveRequest request;
        request.addContact(c, container_->identifier());
        auto saved = store_->executeSaveRequest(request);
        EXPECT_TRUE(saved) << saved.error().localizedDescription();
        std::vector<CNKeyDescriptor> keys(CNContactAllKeys().begin(), CNContactAllKeys().end());
        auto found = store_->unifiedContactsMatchingPredicate(CNContact::predicateForContactsWithIdentifiers({c->identifier()}), keys);
        EXPECT_TRUE(found && found->size() == 1);
        return found && !found->empty() ? found->front() : nullptr;
    }

    // The entry as it comes back from the wire.
    std::shared_ptr<GDataEntryContact> overTheWire(const std::shared_ptr<GDataEntryContact>& g) {
        auto xml = g->XMLElement()->XMLString().value_or("");
        auto feed = GDataFeedContact::contactFeedWithXMLData(bytesOf(feedXML(xml)));
        EXPECT_TRUE(feed && feed->entries() && feed->entries()->size() == 1) << xml;
        return std::dynamic_pointer_cast<GDataEntryContact>(feed->entries()->front());
    }

    int32_t difference(const CNContactPtr& apple, const std::shared_ptr<GDataEntryContact>& google,
                       const optional<std::vector<string>>& groups = nullopt) {
        int32_t code = -1;
        model_->contactsDifferWithAppleContact(apple, apple, google, groups, &code);
        return code;
    }

    // What each side says, field by field, in the Google form (labels through the forward
    // converters, values as written), so that the two sides and both round trips can be compared.
    std::vector<string> fields(const CNContact& c) {
        auto& m = *model_;
        auto unlessBlank = [&](const string& v) { return m.stringEffectivelyEmptyWithString(v) ? string() : v; };
        auto info = [](const GmailLabelInfo& i) { return i.rel.value_or("-") + "|" + i.label.value_or("-") + "|"; };
        std::vector<string> out = {"name " + c.namePrefix() + "/" + c.givenName() + "/" + c.middleName() + "/" +
                                       c.familyName() + "/" + c.nameSuffix() + "/" + c.nickname(),
                                   "org " + unlessBlank(c.organizationName()) + "/" + unlessBlank(c.jobTitle()) + "/" +
                                       unlessBlank(c.departmentName()),
                                   "note " + c.note(), "birthday " + day(m.getWrittenAppleBirthday(c)),
                                   "phonetic " + m.getWrittenPhoneticName(c.givenName(), c.phoneticGivenName()).value_or("") +
                                       "/" + m.getWrittenPhoneticName(c.familyName(), c.phoneticFamilyName()).value_or("")};
        for (const auto& v : m.getWrittenAppleEmails(c)) out.push_back("email " + info(m.convertToGoogleEmailLabelWithAppleLabel(v.label())) + v.value());
        for (const auto& v : m.getWrittenApplePhones(c)) out.push_back("phone " + info(m.convertToGooglePhoneLabelWithAppleLabel(v.label())) + v.value().stringValue);
        for (const auto& v : m.getWrittenApplePostalAddresses(c)) {
            const auto& a = v.value();
            out.push_back("address " + info(m.convertToGoogleAddressLabelWithAppleLabel(v.label())) +
                          m.getAppleStreetAddressWithPostalAddress(a).value_or("") + "/" + a.city + "/" + a.state + "/" +
                          a.postalCode + "/" + a.country + "/" + (m.isValidCountryCode(a.ISOCountryCode) ? a.ISOCountryCode : ""));
        }
        for (const auto& v : m.getWrittenAppleURLs(c)) out.push_back("url " + info(m.convertToGoogleURLLabelWithAppleLabel(v.label())) + v.value());
        for (const auto& v : c.contactRelations()) out.push_back("relation " + info(m.convertToGoogleRelationLabelWithAppleLabel(v.label())) + v.value().name);
        for (const auto& v : m.getWrittenAppleIMAddresses(c)) {
            out.push_back("im " + info(m.convertToGoogleIMLabelWithAppleLabel(v.label())) + v.value().username + "/" +
                          m.convertToGoogleIMProtocolWithAppleProtocol(v.value().service));
        }
        for (const auto& v : m.getWrittenAppleDates(c)) out.push_back("event " + info(m.convertToGoogleEventLabelWithAppleLabel(v.label())) + day(v.value()));
        for (const auto& v : m.getWrittenAppleSocialProfiles(c)) {
            out.push_back("profile " + m.convertToGoogleSocialProfileLabelWithAppleLabel(v.value().service) + "/" + v.value().username);
        }
        return out;
    }

    std::vector<string> fields(const std::shared_ptr<GDataEntryContact>& entry) {
        auto& m = *model_;
        const auto& g = *entry;
        auto info = [](const auto& e) { return e.rel().value_or("-") + "|" + e.label().value_or("-") + "|"; };
        auto name = g.name();
        auto part = [&](const std::shared_ptr<GDataNameElement>& p) { return p ? p->stringValue().value_or("") : ""; };
        auto yomi = [&](const std::shared_ptr<GDataNameElement>& p) {
            return p ? m.getWrittenPhoneticName(p->stringValue(), p->yomi()).value_or("") : "";
        };
        auto first = [&](auto get) {
            for (const auto& o : g.organizations()) {
                if (!m.stringEffectivelyEmptyWithString(get(*o))) return get(*o).value_or("");
            }
            return string();
        };
        auto content = g.content();
        std::vector<string> out = {
            "name " + (name ? name->namePrefix().value_or("") : "") + "/" + part(name ? name->givenName() : nullptr) + "/" +
                part(name ? name->additionalName() : nullptr) + "/" + part(name ? name->familyName() : nullptr) + "/" +
                (name ? name->nameSuffix().value_or("") : "") + "/" + g.nickname().value_or(""),
            "org " + first([](const GDataOrganization& o) { return o.orgName(); }) + "/" +
                first([](const GDataOrganization& o) { return o.orgTitle(); }) + "/" +
                first([](const GDataOrganization& o) { return o.orgDepartment(); }),
            "note " + (content ? content->stringValue().value_or("") : ""), "birthday " + day(m.getDayWithGoogleBirthday(g)),
            "phonetic " + yomi(name ? name->givenName() : nullptr) + "/" + yomi(name ? name->familyName() : nullptr)};
        for (const auto& v : m.getWrittenGoogleEmails(g)) out.push_back("email " + info(*v) + v->address().value_or(""));
        for (const auto& v : m.getWrittenGooglePhones(g)) out.push_back("phone " + info(*v) + v->stringValue().value_or(""));
        for (const auto& v : m.getValidPostalAddressesWithGoogleContact(entry)) {
            out.push_back("address " + info(*v) + m.getGoogleStreetAddressWithPostalAddress(v).value_or("") + "/" +
                          v->city().value_or("") + "/" + v->region().value_or("") + "/" + v->postCode().value_or("") + "/" +
                          v->countryName().value_or("") + "/" + (m.isValidCountryCode(v->countryCode()) ? *v->countryCode() : ""));
        }
        for (const auto& v : m.getWrittenGoogleURLs(g)) out.push_back("url " + info(*v) + v->href().value_or(""));
        for (const auto& v : g.relations()) out.push_back("relation " + info(*v) + v->stringValue().value_or(""));
        for (const auto& v : m.getWrittenGoogleIMAddresses(g)) {
            out.push_back("im " + info(*v) + v->address().value_or("") + "/" + v->protocol().value_or(""));
        }
        for (const auto& v : m.getWrittenGoogleEvents(g)) out.push_back("event " + info(*v) + day(m.getDayWithGoogleEvent(*v)));
        for (const auto& v : m.getWrittenGoogleUserDefinedFields(g)) {
            out.push_back("profile " + v->key().value_or("") + "/" + v->stringValue().value_or(""));
        }
        return out;
    }

    static string day(const optional<DateComponents>& d) {
        if (!d) return "none";
        return (DateComponents::isSet(d->year) ? std::to_string(d->year) : string("-")) + "-" + std::to_string(d->month) +
               "-" + std::to_string(d->day);
    }

    CNContainerPtr container_;
};

// ----- generated contacts -----

template <class T>
const T& pick(std::mt19937& rng, const std::vector<T>& from) {
    return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng)];
}

int upTo(std::mt19937& rng, int n) { return std::uniform_int_distribution<int>(0, n)(rng); }

const std::vector<string> kTexts = {"", "  ", "Ann", "Lee", "Ñandú", "O'Brien-Smith"};
const std::vector<optional<DateComponents>> kDates = {
    nullopt, ymd(1990, 5, 17), ymd(DateComponents::kUndefined, 12, 31), ymd(2000, 2, 29), ymd(1999, 2, 30),
    ymd(DateComponents::kUndefined, DateComponents::kUndefined, 4), DateComponents{}};

// A local contact with every field, never-written values among them.
CNMutableContactPtr generateLocal(std::mt19937& rng) {
    auto c = std::make_shared<CNMutableContact>();
    c->setGivenName(pick(rng, kTexts));
    c->setFamilyName(pick(rng, kTexts));
    c->setMiddleName(pick(rng, kTexts));
    c->setNamePrefix(pick(rng, kTexts));
    c->setNameSuffix(pick(rng, kTexts));
    c->setPhoneticGivenName(pick(rng, kTexts));
    c->setPhoneticFamilyName(pick(rng, kTexts));
    c->setNickname(pick(rng, kTexts));
    c->setOrganizationName(pick(rng, kTexts));
    c->setJobTitle(pick(rng, kTexts));
    c->setDepartmentName(pick(rng, kTexts));
    c->setNote(pick(rng, std::vector<string>{"", "  ", "Line one\nline two", "Met at the fair."}));
    c->setBirthday(pick(rng, kDates));
    std::vector<CNLabeledValue<string>> emails, urls;
    std::vector<CNLabeledValue<CNPhoneNumber>> phones;
    std::vector<CNLabeledValue<CNPostalAddress>> addresses;
    std::vector<CNLabeledValue<CNContactRelation>> relations;
    std::vector<CNLabeledValue<CNInstantMessageAddress>> ims;
    std::vector<CNLabeledValue<DateComponents>> dates;
    std::vector<CNLabeledValue<CNSocialProfile>> profiles;
    const std::vector<string> services = {CNInstantMessageServiceAIM, CNInstantMessageServiceFacebook,
                                          CNInstantMessageServiceGaduGadu, CNInstantMessageServiceSkype, "NetMeeting",
                                          "Mastodon", ""};
    const std::vector<string> social = {CNSocialProfileServiceTwitter, CNSocialProfileServiceMySpace,
                                        CNSocialProfileServiceSinaWeibo, "Mastodon", "Other", ""};
    for (int i = upTo(rng, 3); i > 0; --i) emails.push_back(lv(pick(rng, kLocalLabels), pick(rng, std::vector<string>{"a@x.org", "B@y.org", "", " "})));
    for (int i = upTo(rng, 3); i > 0; --i) phones.push_back(lv(pick(rng, kLocalLabels), CNPhoneNumber{pick(rng, std::vector<string>{"+1 555 0100", "(555) 0101", "  "})}));
    for (int i = upTo(rng, 2); i > 0; --i) {
        addresses.push_back(lv(pick(rng, kLocalLabels), pick(rng, std::vector<CNPostalAddress>{
                                                             {"1 Main St\nFlat 2", "Springfield", "IL", "62701", "USA", "us"},
                                                             {"", "Oslo", "", "", "", "zz"},
                                                             {"", "", "", "", "", "de"},
                                                             {" ", "", "", "", "", ""}})));
    }
    for (int i = upTo(rng, 2); i > 0; --i) urls.push_back(lv(pick(rng, kLocalLabels), pick(rng, std::vector<string>{"https://ann.example", ""})));
    for (int i = upTo(rng, 2); i > 0; --i) relations.push_back(lv(pick(rng, kLocalLabels), CNContactRelation{pick(rng, kTexts)}));
    for (int i = upTo(rng, 2); i > 0; --i) ims.push_back(lv(pick(rng, kLocalLabels), CNInstantMessageAddress{pick(rng, std::vector<string>{"ann", "", " "}), pick(rng, services)}));
    for (int i = upTo(rng, 2); i > 0; --i) {
        auto d = pick(rng, kDates);
        dates.push_back(lv(pick(rng, kLocalLabels), d.value_or(DateComponents{})));
    }
    for (int i = upTo(rng, 2); i > 0; --i) profiles.push_back(lv<CNSocialProfile>(nullopt, {pick(rng, std::vector<string>{"@ann", ""}), pick(rng, social)}));
    c->setEmailAddresses(emails);
    c->setPhoneNumbers(phones);
    c->setPostalAddresses(addresses);
    c->setUrlAddresses(urls);
    c->setContactRelations(relations);
    c->setInstantMessageAddresses(ims);
    c->setDates(dates);
    c->setSocialProfiles(profiles);
    return c;
}

string attr(const string& name, const optional<string>& value) {
    return value ? " " + name + "='" + *value + "'" : "";
}

// A Google contact's inner XML with every field, never-written values among them.
string generateGoogle(std::mt19937& rng) {
    auto relOrLabel = [&](const std::vector<string>& rels) {
        if (upTo(rng, 2) == 0) return attr("label", pick(rng, kCustomGoogleLabels));
        return attr("rel", pick(rng, rels));
    };
    const std::vector<string> generic = {kGD + "#home", kGD + "#work", kGD + "#other"};
    const std::vector<string> phoneRels = {kGD + "#mobile", kGD + "#main", kGD + "#home_fax", kGD + "#pager",
                                           kGD + "#car", kGD + "#tty_tdd", kGD + "#work", kGD + "#other"};
    const std::vector<string> urlRels = {"home-page", "blog", "ftp", "profile", "home", "work", "other"};
    const std::vector<string> relationRels = {"father", "mother", "parent", "brother", "sister", "child", "friend",
                                              "spouse", "partner", "assistant", "manager", "domestic-partner",
                                              "referred-by", "relative"};
    const std::vector<string> protocols = {kGD + "#AIM", kGD + "#SKYPE", kGD + "#NETMEETING", "facebook", "gadu", "Mastodon", ""};
    const std::vector<string> words = {"", "Ann", "Lee", "Ñandú"};
    string x = "<gd:name>";
    for (const char* part : {"givenName", "additionalName", "familyName"}) {
        auto w = pick(rng, words);
        if (!w.empty()) x += string("<gd:") + part + (upTo(rng, 1) ? " yomi='" + pick(rng, words) + "'" : "") + ">" + w + "</gd:" + part + ">";
    }
    x += "<gd:namePrefix>" + pick(rng, words) + "</gd:namePrefix></gd:name>";
    x += "<gContact:nickname>" + pick(rng, words) + "</gContact:nickname>";
    x += pick(rng, std::vector<string>{"", "<content type='text'>Two\nlines</content>", "<content type='text'>  </content>"});
    x += pick(rng, std::vector<string>{"", "<gContact:birthday when='1990-05-17'/>", "<gContact:birthday when='--12-31'/>",
                                       "<gContact:birthday when='not a day'/>"});
    for (int i = upTo(rng, 2); i > 0; --i) {
        x += "<gd:organization rel='" + kGD + "#work'>" + pick(rng, std::vector<string>{"", "<gd:orgName>Acme</gd:orgName>"}) +
             pick(rng, std::vector<string>{"", "<gd:orgTitle>Engineer</gd:orgTitle>"}) + "</gd:organization>";
    }
    for (int i = upTo(rng, 3); i > 0; --i) x += "<gd:email" + relOrLabel(generic) + " address='" + pick(rng, std::vector<string>{"a@x.org", "b@y.org", " "}) + "'/>";
    for (int i = upTo(rng, 3); i > 0; --i) x += "<gd:phoneNumber" + relOrLabel(phoneRels) + ">" + pick(rng, std::vector<string>{"+1 555 0100", " "}) + "</gd:phoneNumber>";
    for (int i = upTo(rng, 2); i > 0; --i) {
        x += "<gd:structuredPostalAddress" + relOrLabel(generic) + ">" +
             pick(rng, std::vector<string>{"<gd:street>1 Main St\nFlat 2</gd:street><gd:city>Springfield</gd:city>",
                                           "<gd:pobox>PO Box 5</gd:pobox><gd:street>1 Main St</gd:street>",
                                           "<gd:countryCode>NO</gd:countryCode>", "<gd:city> </gd:city>",
                                           "<gd:country code='DE'>Germany</gd:country>"}) +
             "</gd:structuredPostalAddress>";
    }
    for (int i = upTo(rng, 2); i > 0; --i) x += "<gContact:website" + relOrLabel(urlRels) + " href='" + pick(rng, std::vector<string>{"https://a.example", ""}) + "'/>";
    for (int i = upTo(rng, 2); i > 0; --i) x += "<gContact:relation" + relOrLabel(relationRels) + ">" + pick(rng, words) + "</gContact:relation>";
    for (int i = upTo(rng, 2); i > 0; --i) {
        x += "<gd:im" + relOrLabel(generic) + attr("protocol", pick(rng, protocols)) + " address='" + pick(rng, std::vector<string>{"ann", ""}) + "'/>";
    }
    for (int i = upTo(rng, 2); i > 0; --i) {
        x += "<gContact:event" + relOrLabel({"anniversary", "other"}) + ">" +
             pick(rng, std::vector<string>{"<gd:when startTime='2010-06-01'/>", "<gd:when startTime='1604-03-04'/>", ""}) +
             "</gContact:event>";
    }
    for (int i = upTo(rng, 2); i > 0; --i) {
        x += "<gContact:userDefinedField key='" + pick(rng, std::vector<string>{"Twitter", "Sina Weibo", "Favourite colour", ""}) +
             "' value='" + pick(rng, std::vector<string>{"@ann", ""}) + "'/>";
    }
    for (const char* group : {"6", "work", "family"}) {
        if (upTo(rng, 1)) x += membership(group);
    }
    return x;
}

// ----- tests -----

TEST_F(QuorvaneModelGoogleToLocalTest, ReverseLabelConvertersAreInversesOfTheForwardOnes) {
    using Forward = GmailLabelInfo (QuorvaneModel::*)(const optional<string>&);
    using Reverse = optional<string> (QuorvaneModel::*)(const GmailLabelInfo&);
    const std::pair<Forward, Reverse> converters[] = {
        {&QuorvaneModel::convertToGoogleEmailLabelWithAppleLabel, &QuorvaneModel::convertToAppleEmailLabelWithGoogleLabel},
        {&QuorvaneModel::convertToGooglePhoneLabelWithAppleLabel, &QuorvaneModel::convertToApplePhoneLabelWithGoogleLabel},
        {&QuorvaneModel::convertToGoogleAddressLabelWithAppleLabel, &QuorvaneModel::convertToAppleAddressLabelWithGoogleLabel},
        {&QuorvaneModel::convertToGoogleIMLabelWithAppleLabel, &QuorvaneModel::convertToAppleIMLabelWithGoogleLabel},
        {&QuorvaneModel::convertToGoogleURLLabelWithAppleLabel, &QuorvaneModel::convertToAppleURLLabelWithGoogleLabel},
        {&QuorvaneModel::convertToGoogleRelationLabelWithAppleLabel, &QuorvaneModel::convertToAppleRelationLabelWithGoogleLabel},
        {&QuorvaneModel::convertToGoogleEventLabelWithAppleLabel, &QuorvaneModel::convertToAppleEventLabelWithGoogleLabel},
    };
    auto& m = *model_;
    for (const auto& [forward, reverse] : converters) {
        // Every rel the forward converter gives (from every local label), and custom labels.
        std::vector<GmailLabelInfo> googleLabels;
        for (const auto& local : kLocalLabels) {
            auto info = (m.*forward)(local);
            if (info.rel) googleLabels.push_back(info);
        }
        for (const auto& custom : kCustomGoogleLabels) googleLabels.push_back(GmailLabelInfo::withLabel(custom));
        for (const auto& x : googleLabels) {
            EXPECT_EQ((m.*forward)((m.*reverse)(x)), x) << x.rel.value_or("") << x.label.value_or("");
        }
        // No label at all comes back as the forward converter's default.
        EXPECT_EQ((m.*reverse)(GmailLabelInfo{}), nullopt);
    }
    // A fax number keeps its rel; a rel the forward converter never gives keeps its word.
    EXPECT_EQ(m.convertToGooglePhoneLabelWithAppleLabel(m.convertToApplePhoneLabelWithGoogleLabel(
                  GmailLabelInfo::withRel(kGDataPhoneNumberFax))),
              GmailLabelInfo::withRel(kGDataPhoneNumberFax));
    EXPECT_EQ(m.convertToApplePhoneLabelWithGoogleLabel(GmailLabelInfo::withRel(kGD + "#satellite")), "satellite");
    EXPECT_EQ(m.convertToApplePhoneLabelWithGoogleLabel(GmailLabelInfo::withLabel("iPhone")), CNLabelPhoneNumberiPhone);
    EXPECT_EQ(m.convertToAppleEmailLabelWithGoogleLabel(GmailLabelInfo::withLabel("iCloud")), CNLabelEmailiCloud);

    for (const string& protocol : {string(kGDataIMProtocolAIM), string(kGDataIMProtocolGoogleTalk), string(kGDataIMProtocolICQ),
                                   string(kGDataIMProtocolJabber), string(kGDataIMProtocolMSN), string(kGDataIMProtocolQQ),
                                   string(kGDataIMProtocolSkype), string(kGDataIMProtocolYahoo),
                                   string(kGDataIMProtocolNetMeeting), string("facebook"), string("gadu"),
                                   string("Mastodon"), string("")}) {
        EXPECT_EQ(m.convertToGoogleIMProtocolWithAppleProtocol(m.convertToAppleIMProtocolWithGoogleProtocol(protocol)), protocol);
    }
    for (const string& key : {"Facebook", "Flickr", "LinkedIn", "Myspace", "Sina Weibo", "Tencent Weibo", "Twitter", "Yelp",
                              "Game Center", "Favourite colour", ""}) {
        EXPECT_EQ(m.convertToGoogleSocialProfileLabelWithAppleLabel(m.convertToAppleSocialProfileServiceWithGoogleLabel(key)), key);
    }
}

TEST_F(QuorvaneModelGoogleToLocalTest, LocalToGoogleToLocalKeepsEveryFieldAndComparesEqual) {
    model_->setSyncCountryCodes(true);
    for (unsigned seed = 0; seed < 150; ++seed) {
        std::mt19937 rng(seed);
        auto local = saveAndRead(generateLocal(rng));
        ASSERT_TRUE(local);
        auto google = overTheWire(model_->createGoogleContactWithAppleContact(local, local, record(false), nullopt));
        EXPECT_EQ(difference(local, google), ContactDifferenceNone) << seed;

        auto back = saveAndRead(model_->createAppleContactWithGoogleContact(google, record(false)));
        ASSERT_TRUE(back);
        EXPECT_EQ(fields(*back), fields(*local)) << seed;
        EXPECT_EQ(difference(back, google), ContactDifferenceNone) << seed;
        EXPECT_EQ(platform::AssertionHandler::count(), 0) << seed;
    }
}

TEST_F(QuorvaneModelGoogleToLocalTest, GoogleToLocalToGoogleKeepsEveryFieldAndComparesEqual) {
    model_->setSyncCountryCodes(true);
    for (unsigned seed = 0; seed < 150; ++seed) {
        std::mt19937 rng(seed);
        auto body = generateGoogle(rng);
        auto google = googleContact(body);
        ASSERT_TRUE(google) << body;
        auto r = record(false);
        auto local = saveAndRead(model_->createAppleContactWithGoogleContact(google, r));
        ASSERT_TRUE(local);
        auto groups = model_->getAppleGroupNamesWithGoogleContact(google, r, nullopt);
        EXPECT_EQ(difference(local, google, groups), ContactDifferenceNone) << seed << body;

        auto again = overTheWire(model_->createGoogleContactWithAppleContact(local, local, record(false), groups));
        EXPECT_EQ(fields(again), fields(google)) << seed << body;
        EXPECT_EQ(model_->getGoogleContactGroupNamesWithContact(again, true), *groups) << seed;
        EXPECT_EQ(difference(local, again, groups), ContactDifferenceNone) << seed;
    }
}

TEST_F(QuorvaneModelGoogleToLocalTest, BirthdaysAndEventsKeepTheirDayInFarZones) {
    for (int64_t hours : {-11, 0, 13, 14}) {
        QuorvaneModel::Environment env;
        env.userDefaults = std::make_shared<UserDefaults>(dir_ / "zone-defaults.json");
        env.contactStore = store_;
        env.timeZone = TimeZone::forSecondsFromGMT(hours * 3600);
        QuorvaneModel model(std::move(env));
        auto google = googleContact(
            "<gContact:birthday when='1990-05-17'/><gContact:event rel='anniversary'><gd:when startTime='2010-06-01'/>"
            "</gContact:event><gContact:event label='Met'><gd:when startTime='2011-01-01T23:30:00-11:00'/></gContact:event>");
        auto local = model.createAppleContactWithGoogleContact(google, record(false));
        EXPECT_EQ(local->birthday(), ymd(1990, 5, 17)) << hours;
        ASSERT_EQ(local->dates().size(), 2u);
        EXPECT_EQ(local->dates()[0].value(), ymd(2010, 6, 1)) << hours;
        EXPECT_EQ(local->dates()[0].label(), CNLabelDateAnniversary);
        EXPECT_EQ(local->dates()[1].value(), ymd(2011, 1, 1)) << hours;  // the day as written
        auto again = model.createGoogleContactWithAppleContact(local, local, record(false), nullopt);
        EXPECT_EQ(again->birthday(), "1990-05-17") << hours;
        EXPECT_EQ(again->events()[0]->when()->startTime()->RFC3339String(), "2010-06-01") << hours;

        google = googleContact("<gContact:birthday when='--02-29'/>");
        local = model.createAppleContactWithGoogleContact(google, record(false));
        EXPECT_EQ(local->birthday(), ymd(DateComponents::kUndefined, 2, 29)) << hours;
        EXPECT_EQ(model.createGoogleContactWithAppleContact(local, local, record(false), nullopt)->birthday(), "--02-29");
    }
}

TEST_F(QuorvaneModelGoogleToLocalTest, ABirthdayReadsAsTheEntrysOwnReadingGivesIt) {
    // The usual forms are read without the entry's parser; every text gives the day that parser's
    // reading gives (noon UTC of the day, 1604 for no year), or none when it gives none.
    static const Calendar utc(TimeZone::universal());
    for (const char* text : {"1990-05-17", " 1990-05-17\n", "--02-29", "--12-31", "1604-03-01", "2000-02-29", "1900-02-29",
                             "2023-02-29", "2023-04-31", "2023-13-01", "2023-00-10", "2023-01-00", "1583-01-01",
                             "1582-10-20", "1500-02-29", "0999-01-01", "--13-01", "--02-30", "1990-5-17", "1990-05-17x",
                             "19900517", "05/17/1990", "1990-05-17T10:00:00", "abcd-ef-gh", "", "--0a-01"}) {
        auto google = GDataEntryContact::object();
        google->setBirthday(string(text));
        optional<DateComponents> expected;
        if (auto date = google->birthdayDate()) expected = model_->getDayWithDateComponents(utc.components(*date));
        EXPECT_EQ(model_->getDayWithGoogleBirthday(*google), expected) << "\"" << text << "\"";
    }
}

TEST_F(QuorvaneModelGoogleToLocalTest, ValuesNoConversionWritesAreNoDifference) {
    const string base = "<gd:name><gd:givenName>Ann</gd:givenName></gd:name>"
                        "<gd:email rel='" + kGD + "#home' address='ann@x.org'/>"
                        "<gd:phoneNumber rel='" + kGD + "#mobile'>555 0100</gd:phoneNumber>";
    auto baseLocal = [] {
        auto c = std::make_shared<CNMutableContact>();
        c->setGivenName("Ann");
        c->setEmailAddresses({lv<string>(string(CNLabelHome), "ann@x.org")});
        c->setPhoneNumbers({lv(optional<string>(CNLabelPhoneNumberMobile), CNPhoneNumber{"555 0100"})});
        return c;
    };
    struct Case {
        const char* what;
        std::function<void(CNMutableContact&)> local;
        string google;
        bool alone = true;  // the values are nothing on their own too (not so for phones beyond the cap)
    };
    const Case cases[] = {
        {"blank e-mail on either side", [](CNMutableContact& c) { auto v = c.emailAddresses(); v.push_back(lv<string>(nullopt, "  ")); c.setEmailAddresses(v); },
         "<gd:email rel='" + kGD + "#work' address=' '/>"},
        {"blank phone on either side", [](CNMutableContact& c) { auto v = c.phoneNumbers(); v.push_back(lv(optional<string>(), CNPhoneNumber{" "})); c.setPhoneNumbers(v); },
         "<gd:phoneNumber rel='" + kGD + "#work'> </gd:phoneNumber>"},
        {"phonetic name without its part", [](CNMutableContact& c) { c.setPhoneticMiddleName("Mei"); }, ""},
        {"blank web address", [](CNMutableContact& c) { c.setUrlAddresses({lv<string>(nullopt, "")}); }, "<gContact:website rel='home' href=' '/>"},
        {"IM without user name", [](CNMutableContact& c) { c.setInstantMessageAddresses({lv(optional<string>(), CNInstantMessageAddress{"", "Skype"})}); },
         "<gd:im rel='" + kGD + "#home' protocol='" + kGD + "#AIM' address=''/>"},
        {"profile without user name", [](CNMutableContact& c) { c.setSocialProfiles({lv(optional<string>(), CNSocialProfile{" ", "Twitter"})}); },
         "<gContact:userDefinedField key='Twitter' value=''/>"},
        {"dates that give no day", [](CNMutableContact& c) { c.setDates({lv(optional<string>(), ymd(1999, 2, 30))}); c.setBirthday(DateComponents{}); },
         "<gContact:event rel='other'/><gContact:birthday when='someday'/>"},
        {"addresses with nothing kept", [](CNMutableContact& c) { c.setPostalAddresses({lv(optional<string>(), CNPostalAddress{" ", "", "", "", "", "xx"})}); },
         "<gd:structuredPostalAddress rel='" + kGD + "#home'><gd:city> </gd:city></gd:structuredPostalAddress>"},
        {"phones beyond the cap", [](CNMutableContact& c) {
             auto v = c.phoneNumbers();
             for (int i = 1; i < 460; ++i) v.push_back(lv(optional<string>(CNLabelPhoneNumberMobile), CNPhoneNumber{std::to_string(1000 + i)}));
             c.setPhoneNumbers(v); },
         [] {
             string x;
             for (int i = 1; i < 450; ++i) x += "<gd:phoneNumber rel='" + kGD + "#mobile'>" + std::to_string(1000 + i) + "</gd:phoneNumber>";
             return x + "<gd:phoneNumber rel='" + kGD + "#mobile'>99</gd:phoneNumber>";
         }(),
         false},
    };
    for (const auto& c : cases) {
        auto local = baseLocal();
        c.local(*local);
        EXPECT_EQ(difference(local, googleContact(base + c.google)), ContactDifferenceNone) << c.what;
        if (!c.alone) continue;
        EXPECT_EQ(difference(local, googleContact(base)), ContactDifferenceNone) << c.what << " (local only)";
        EXPECT_EQ(difference(baseLocal(), googleContact(base + c.google)), ContactDifferenceNone) << c.what << " (Google only)";
        // Neither conversion writes them.
        auto written = model_->createGoogleContactWithAppleContact(local, local, record(false), nullopt);
        EXPECT_EQ(fields(written), fields(googleContact(base))) << c.what;
    }
    auto many = baseLocal();
    std::find_if(std::begin(cases), std::end(cases), [](const Case& c) { return !c.alone; })->local(*many);
    EXPECT_EQ(model_->createGoogleContactWithAppleContact(many, many, record(false), nullopt)->phoneNumbers().size(),
              QuorvaneModel::kMaxGooglePhoneNumbers);
}

TEST_F(QuorvaneModelGoogleToLocalTest, MergeKeepsLocalValuesReplaceOverwritesThem) {
    auto google = googleContact("<gd:email rel='" + kGD + "#work' address='new@x.org'/><gContact:nickname>Nan</gContact:nickname>");
    auto existing = [&] {
        auto c = std::make_shared<CNMutableContact>();
        c->setGivenName("Ann");
        c->setNote("Keep me");
        c->setOrganizationName("Acme");
        c->setEmailAddresses({lv<string>(string(CNLabelHome), "old@x.org")});
        return saveAndRead(c)->mutableCopy();
    };
    auto merged = existing();
    model_->updateAppleContact(merged, google, record(true), false);
    EXPECT_EQ(merged->givenName(), "Ann");
    EXPECT_EQ(merged->nickname(), "Nan");
    EXPECT_EQ(merged->note(), "Keep me");
    EXPECT_EQ(merged->organizationName(), "Acme");
    ASSERT_EQ(merged->emailAddresses().size(), 2u);
    EXPECT_EQ(merged->emailAddresses()[0].value(), "new@x.org");
    EXPECT_EQ(merged->emailAddresses()[0].label(), CNLabelWork);

    auto replaced = existing();
    model_->updateAppleContact(replaced, google, record(false), false);
    EXPECT_EQ(replaced->givenName(), "");
    EXPECT_EQ(replaced->note(), "");
    EXPECT_EQ(replaced->organizationName(), "");
    ASSERT_EQ(replaced->emailAddresses().size(), 1u);

    // Merging into a contact read without its e-mail addresses leaves them alone.
    auto partial = std::make_shared<CNMutableContact>(CNContactFields{}, std::set<string>{CNContactIdentifierKey});
    model_->updateAppleContact(partial, google, record(true), false);
    EXPECT_FALSE(partial->isKeyAvailable(CNContactEmailAddressesKey));
    EXPECT_EQ(partial->nickname(), "Nan");
}

TEST_F(QuorvaneModelGoogleToLocalTest, ExchangeLimitsAndNoSocialProfiles) {
    auto exchange = store_->addContainer("Exchange", CNContainerType::Exchange).valueOr(nullptr);
    internals(model_).mSelectedContainer = exchange;
    internals(model_).mCurrentSourceRecord->mContainerAccountType = ContainerAccountTypeExchange;
    string body;
    for (int i = 0; i < 5; ++i) body += "<gd:email rel='" + kGD + "#home' address='a" + std::to_string(i) + "@x.org'/>";
    body += "<gContact:userDefinedField key='Twitter' value='@ann'/>";
    auto local = model_->createAppleContactWithGoogleContact(googleContact(body), record(false));
    ASSERT_EQ(local->emailAddresses().size(), QuorvaneModel::kExchangeMaxEmailAddresses);
    EXPECT_EQ(local->emailAddresses().back().value(), "a4@x.org");
    EXPECT_TRUE(local->socialProfiles().empty());
}

TEST_F(QuorvaneModelGoogleToLocalTest, LocalPhotoClearedOnlyWhenGoogleRemovedItAndReplacing) {
    const string withPhoto = "<link rel='http://schemas.google.com/contacts/2008/rel#photo' type='image/*' "
                             "href='https://example.com/photo' gd:etag='\"abc\"'/>";
    const string withoutPhoto = "<link rel='http://schemas.google.com/contacts/2008/rel#photo' type='image/*' "
                                "href='https://example.com/photo'/>";
    struct Case {
        bool merge, hadPhoto, photoSync;
        string google;
        bool cleared;
    } cases[] = {
        {false, true, true, withoutPhoto, true},  {false, true, true, "", true},
        {true, true, true, withoutPhoto, false},  {false, false, true, withoutPhoto, false},
        {false, true, false, withoutPhoto, false}, {false, true, true, withPhoto, false},
    };
    for (const auto& c : cases) {
        model_->setSyncPhotosSetting(c.photoSync);
        auto local = std::make_shared<CNMutableContact>();
        local->setImageData(Bytes{1, 2, 3});
        local = saveAndRead(local)->mutableCopy();
        model_->updateAppleContact(local, googleContact(c.google), record(c.merge), c.hadPhoto);
        EXPECT_EQ(local->changedKeys().count(CNContactImageDataKey) > 0, c.cleared)
            << c.merge << c.hadPhoto << c.photoSync << c.google;
    }
}

TEST_F(QuorvaneModelGoogleToLocalTest, GroupNamesWithoutMyContacts) {
    auto google = googleContact(membership("6") + membership("work") + membership("family"));
    EXPECT_EQ(model_->getAppleGroupNamesWithGoogleContact(google, record(false), std::vector<string>{"Home"}),
              (std::vector<string>{"Work", "Family"}));
    EXPECT_EQ(model_->getAppleGroupNamesWithGoogleContact(google, record(true), std::vector<string>{"work", "Home"}),
              (std::vector<string>{"Work", "Family", "Home"}));
    model_->setAutoAddContactsToGroup(true);
    model_->setAutoAddToGroupName(" Synced ");
    EXPECT_EQ(model_->getAppleGroupNamesWithGoogleContact(googleContact(membership("6")), record(false), nullopt),
              (std::vector<string>{"Synced"}));
    internals(model_).mCurrentSourceRecord->mContainerAccountType = ContainerAccountTypeExchange;
    EXPECT_EQ(model_->getAppleGroupNamesWithGoogleContact(google, record(false), nullopt), nullopt);
}

}  // namespace
}  // namespace quorvane::testing
