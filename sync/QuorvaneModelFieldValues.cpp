// The digests of what each side of a pair holds, field by field (FieldValues.h): read from the
// values the conversions write and the comparison compares, each value by its identity
// (ValueIdentity), which is what the merge takes as one value.

#include <algorithm>

#include "gdata/GDataEntryContent.h"
#include "sync/ContactFieldTable.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

namespace {

using namespace platform;

constexpr const char* kMyContactsGroupName = "My Contacts";

std::optional<std::string> withoutLineBreaks(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    std::string s = *text;
    std::erase_if(s, [](char c) { return c == '\r' || c == '\n'; });
    return s;
}

std::optional<std::string> namePart(const std::shared_ptr<GDataNameElement>& part) {
    return part ? part->stringValue() : std::nullopt;
}

}  // namespace

std::optional<uint32_t> QuorvaneModel::localSingleKey(MergeField field, const CNContact& c) {
    switch (field) {
        case MergeField::Name:
            return partsKey({c.givenName(), c.middleName(), c.familyName(), c.namePrefix(), c.nameSuffix()});
        case MergeField::Nickname: return textKey(c.nickname());
        case MergeField::Birthday: return dayKey(getDayWithDateComponents(getWrittenAppleBirthday(c)));
        case MergeField::Note: return textKey(withoutLineBreaks(c.note()));
        case MergeField::Organization: return partsKey({c.organizationName(), c.jobTitle(), c.departmentName()});
        default: return std::nullopt;
    }
}

std::optional<uint32_t> QuorvaneModel::googleSingleKey(MergeField field, const GDataEntryContact& g) {
    switch (field) {
        case MergeField::Name: {
            auto name = g.name();
            if (!name) return std::nullopt;
            return partsKey({namePart(name->givenName()), namePart(name->additionalName()), namePart(name->familyName()),
                             name->namePrefix(), name->nameSuffix()});
        }
        case MergeField::Nickname: return textKey(g.nickname());
        case MergeField::Birthday: return dayKey(getDayWithGoogleBirthday(g));
        case MergeField::Note: {
            auto content = g.content();
            return textKey(withoutLineBreaks(content ? content->stringValue() : std::nullopt));
        }
        case MergeField::Organization: {
            // Each part from the first organisation that has it, as the local side reads it.
            std::optional<std::string> orgName, title, department;
            for (const auto& o : g.organizations()) {
                if (!o) continue;
                if (!orgName && !stringEffectivelyEmptyWithString(o->orgName())) orgName = o->orgName();
                if (!title && !stringEffectivelyEmptyWithString(o->orgTitle())) title = o->orgTitle();
                if (!department && !stringEffectivelyEmptyWithString(o->orgDepartment())) department = o->orgDepartment();
            }
            return partsKey({orgName, title, department});
        }
        default: return std::nullopt;
    }
}

FieldValues QuorvaneModel::localFieldValues(const CNContact& c) {
    FieldValues v;
    for (auto field : {MergeField::Name, MergeField::Nickname, MergeField::Birthday, MergeField::Note, MergeField::Organization})
        v.add(field, localSingleKey(field, c));
    const ValueIdentity id(*this);
    for (const auto& e : getWrittenAppleEmails(c)) v.add(MergeField::Emails, id.keys(MergeField::Emails, e));
    for (const auto& p : getWrittenApplePhones(c)) v.add(MergeField::Phones, id.keys(MergeField::Phones, p));
    if (c.isKeyAvailable(CNContactPostalAddressesKey))
        for (const auto& a : getWrittenApplePostalAddresses(c)) v.add(MergeField::Addresses, id.keys(MergeField::Addresses, a));
    for (const auto& u : getWrittenAppleURLs(c)) v.add(MergeField::URLs, id.keys(MergeField::URLs, u));
    for (const auto& r : c.contactRelations()) v.add(MergeField::Relations, id.keys(MergeField::Relations, r));
    if (c.isKeyAvailable(CNContactInstantMessageAddressesKey))
        for (const auto& im : getWrittenAppleIMAddresses(c)) v.add(MergeField::IMs, id.keys(MergeField::IMs, im));
    for (const auto& d : getWrittenAppleDates(c)) v.add(MergeField::Events, id.keys(MergeField::Events, d));
    if (c.isKeyAvailable(CNContactSocialProfilesKey))
        for (const auto& s : getWrittenAppleSocialProfiles(c)) v.add(MergeField::SocialProfiles, id.keys(MergeField::SocialProfiles, s));
    if (selectedAppleAccountSupportsGroups()) {
        v.knowGroups();
        for (const auto& name : getAppleContactGroupNamesWithAppleContactID(c.identifier()).value_or(std::vector<std::string>{}))
            v.add(MergeField::Groups, groupNameKey(name));
    }
    v.finish();
    return v;
}

FieldValues QuorvaneModel::googleFieldValues(const GDataEntryContact& g) {
    FieldValues v;
    for (auto field : {MergeField::Name, MergeField::Nickname, MergeField::Birthday, MergeField::Note, MergeField::Organization})
        v.add(field, googleSingleKey(field, g));
    const ValueIdentity id(*this);
    for (const auto& e : getWrittenGoogleEmails(g)) v.add(MergeField::Emails, id.keys(MergeField::Emails, *e));
    for (const auto& p : getWrittenGooglePhones(g)) v.add(MergeField::Phones, id.keys(MergeField::Phones, *p));
    // Not owned: only read for the call.
    const std::shared_ptr<GDataEntryContact> self(std::shared_ptr<GDataEntryContact>{}, const_cast<GDataEntryContact*>(&g));
    for (const auto& a : getValidPostalAddressesWithGoogleContact(self)) v.add(MergeField::Addresses, id.keys(MergeField::Addresses, *a));
    for (const auto& u : getWrittenGoogleURLs(g)) v.add(MergeField::URLs, id.keys(MergeField::URLs, *u));
    for (const auto& r : g.relations())
        if (r) v.add(MergeField::Relations, id.keys(MergeField::Relations, *r));
    for (const auto& im : getWrittenGoogleIMAddresses(g)) v.add(MergeField::IMs, id.keys(MergeField::IMs, *im));
    for (const auto& e : getWrittenGoogleEvents(g)) v.add(MergeField::Events, id.keys(MergeField::Events, *e));
    for (const auto& f : getWrittenGoogleUserDefinedFields(g)) v.add(MergeField::SocialProfiles, id.keys(MergeField::SocialProfiles, *f));
    if (mGroupFeed && mGroupFeed->entries()) {
        v.knowGroups();
        for (const auto& name : getGoogleContactGroupNamesWithContact(self, true)) v.add(MergeField::Groups, groupNameKey(name));
    }
    v.finish();
    return v;
}

std::optional<uint32_t> QuorvaneModel::groupNameKey(const std::string& name) {
    if (stringsEqualWithString1(name, std::string(kMyContactsGroupName))) return std::nullopt;
    return textKey(name);
}

std::vector<std::string> QuorvaneModel::mergedGroupNames(const FieldMergeBase& base, bool sourceLocal,
                                                         const std::vector<std::string>& source,
                                                         const std::vector<std::string>& destination) {
    auto holds = [this](const std::vector<std::string>& names, const std::string& name) {
        return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return stringsEqualWithString1(n, name); });
    };
    // A name on one side alone, as its fate says; My Contacts is not judged.
    auto fate = [&](const std::string& name, bool local) {
        const auto key = groupNameKey(name);
        return key ? base.fate(local, MergeField::Groups, *key) : ValueFate::Keep;
    };
    std::vector<std::string> kept, keptThere;
    for (const auto& name : source)
        if (holds(destination, name) || fate(name, sourceLocal) == ValueFate::Copy || !groupNameKey(name)) kept.push_back(name);
    for (const auto& name : destination)
        if (holds(source, name) || fate(name, !sourceLocal) != ValueFate::Drop) keptThere.push_back(name);
    return combineStringArraysWithArray1(kept, keptThere);
}

}  // namespace quorvane
