#include "tests/support/GDataBenchSupport.h"

#include "gdata/GDataCategory.h"
#include "gdata/GDataContactConstants.h"
#include "gdata/GDataEntryContent.h"
#include "gdata/GDataFeedContact.h"
#include "gdata/GDataLink.h"
#include "gdata/GDataTextConstruct.h"
#include "gdata/GDataWhen.h"

namespace quorvane::benchsupport {

std::shared_ptr<GDataFeedBase> parseContactsFeed(const platform::Bytes& bytes) {
    registerContactClasses();
    return GDataFeedBase::feedWithXMLData(GDataFeedContact::staticClassInfo(), bytes).valueOr(nullptr);
}

namespace {

size_t len(const std::optional<std::string>& s) { return s ? s->size() : 0; }

size_t readName(const GDataName& name) {
    size_t n = len(name.namePrefix()) + len(name.nameSuffix());
    for (const auto& part : {name.givenName(), name.additionalName(), name.familyName(), name.fullName()})
        if (part) n += len(part->stringValue()) + len(part->yomi());
    return n;
}

size_t readContact(const GDataEntryContact& c) {
    size_t n = 0;
    if (auto name = c.name()) n += readName(*name);
    for (const auto& e : c.emailAddresses()) n += len(e->address()) + len(e->rel()) + len(e->label()) + e->isPrimary();
    for (const auto& p : c.phoneNumbers()) n += len(p->stringValue()) + len(p->rel()) + len(p->label()) + len(p->URI()) + p->isPrimary();
    for (const auto& im : c.IMAddresses())
        n += len(im->address()) + len(im->protocol()) + len(im->rel()) + len(im->label()) + im->isPrimary();
    for (const auto& a : c.postalAddresses()) n += len(a->stringValue()) + len(a->rel()) + len(a->label()) + a->isPrimary();
    for (const auto& a : c.structuredPostalAddresses())
        n += len(a->rel()) + len(a->label()) + len(a->mailClass()) + len(a->usage()) + a->isPrimary() + len(a->agent()) +
             len(a->city()) + len(a->countryName()) + len(a->countryCode()) + len(a->formattedAddress()) +
             len(a->houseName()) + len(a->neighborhood()) + len(a->POBox()) + len(a->postCode()) + len(a->region()) +
             len(a->street()) + len(a->subregion());
    for (const auto& o : c.organizations()) {
        n += len(o->rel()) + len(o->label()) + o->isPrimary() + len(o->orgName()) + len(o->orgNameYomi()) +
             len(o->orgTitle()) + len(o->orgDepartment()) + len(o->orgJobDescription()) + len(o->orgSymbol());
        if (auto w = o->where()) n += len(w->stringValue());
    }
    for (const auto& e : c.events()) {
        n += len(e->rel()) + len(e->label());
        if (auto w = e->when()) {
            if (auto s = w->startTime()) n += s->RFC3339String().size();
            if (auto t = w->endTime()) n += t->RFC3339String().size();
        }
    }
    for (const auto& r : c.relations()) n += len(r->rel()) + len(r->label()) + len(r->stringValue());
    for (const auto& w : c.websiteLinks()) n += len(w->href()) + len(w->rel()) + len(w->label()) + w->isPrimary();
    for (const auto& l : c.calendarLinks()) n += len(l->href()) + len(l->rel()) + len(l->label()) + l->isPrimary();
    for (const auto& f : c.userDefinedFields()) n += len(f->key()) + len(f->stringValue());
    for (const auto& g : c.groupMembershipInfos()) n += len(g->href()) + g->isDeleted();
    for (const auto& p : c.extendedProperties()) {
        n += len(p->name()) + len(p->value()) + len(p->realm());
        if (auto values = p->XMLValuesDictionary())
            for (const auto& [key, value] : *values) n += key.size() + value.size();
    }
    for (const auto& x : c.externalIDs()) n += len(x->rel()) + len(x->label()) + len(x->stringValue());
    for (const auto& h : c.hobbies()) n += len(h->stringValue());
    for (const auto& j : c.jots()) n += len(j->rel()) + len(j->stringValue());
    for (const auto& l : c.languages()) n += len(l->code()) + len(l->label());
    if (auto w = c.where()) n += len(w->stringValue());
    if (auto d = c.birthdayDate()) n += size_t(d->timeIntervalSinceReferenceDate() != 0);
    n += len(c.birthday()) + len(c.nickname()) + len(c.billingInformation()) + len(c.directoryServer()) +
         len(c.gender()) + len(c.initials()) + len(c.maidenName()) + len(c.mileage()) + len(c.occupation()) +
         len(c.shortName()) + len(c.subject()) + len(c.priority()) + len(c.sensitivity()) + len(c.yomi());
    if (auto photo = c.photoLink()) n += len(photo->href()) + len(photo->ETag());
    return n;
}

}  // namespace

size_t readEveryField(const GDataFeedBase& feed) {
    size_t n = 0;
    if (!feed.entries()) return 0;
    for (const auto& e : *feed.entries()) {
        n += e->identifier().value_or("").size();
        if (auto t = e->title()) n += t->stringValue().value_or("").size();
        if (auto c = e->content()) n += c->stringValue().value_or("").size();
        for (const auto& l : e->links()) n += l->href().value_or("").size();
        for (const auto& c : e->categories()) n += c->term().value_or("").size();
        n += e->ETag().value_or("").size();
        if (auto d = e->updatedDate()) n += d->RFC3339String().size();
        if (auto d = e->editedDate()) n += d->RFC3339String().size();
        if (auto contact = std::dynamic_pointer_cast<GDataEntryContact>(e)) n += readContact(*contact);
    }
    return n;
}

}  // namespace quorvane::benchsupport
