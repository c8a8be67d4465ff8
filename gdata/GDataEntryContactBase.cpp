#include "gdata/GDataEntryContactBase.h"

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <memory>
#include <mutex>

#include "gdata/GDataAtomElements.h"
#include "gdata/GDataDescriptionItems.h"
#include "gdata/GDataTextConstruct.h"
#include "gdata/GDataUtilities.h"
#include "platform/foundation/Calendar.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataEntryContactBase, GDataEntryBase, nullptr, nullptr, nullptr)

void GDataEntryContactBase::addExtensionDeclarations() {
    GDataEntryBase::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(
        classInfo(),
        {&GDataOrganization::staticClassInfo(), &GDataEmail::staticClassInfo(), &GDataIM::staticClassInfo(),
         &GDataPhoneNumber::staticClassInfo(), &GDataPostalAddress::staticClassInfo(),
         &GDataExtendedProperty::staticClassInfo(), &GDataContactBillingInformation::staticClassInfo(),
         &GDataContactBirthday::staticClassInfo(), &GDataContactCalendarLink::staticClassInfo(),
         &GDataContactDirectoryServer::staticClassInfo(), &GDataContactEvent::staticClassInfo(),
         &GDataContactExternalID::staticClassInfo(), &GDataContactGender::staticClassInfo(),
         &GDataContactHobby::staticClassInfo(), &GDataContactInitials::staticClassInfo(),
         &GDataContactJot::staticClassInfo(), &GDataContactLanguage::staticClassInfo(), &GDataWhere::staticClassInfo(),
         &GDataContactMaidenName::staticClassInfo(), &GDataContactMileage::staticClassInfo(),
         &GDataName::staticClassInfo(), &GDataContactNickname::staticClassInfo(),
         &GDataContactOccupation::staticClassInfo(), &GDataContactPriority::staticClassInfo(),
         &GDataContactRelation::staticClassInfo(), &GDataContactSensitivity::staticClassInfo(),
         &GDataContactShortName::staticClassInfo(), &GDataStructuredPostalAddress::staticClassInfo(),
         &GDataContactSubject::staticClassInfo(), &GDataContactUserDefinedField::staticClassInfo(),
         &GDataContactWebsiteLink::staticClassInfo()});
}

std::optional<std::string> GDataEntryContactBase::coreProtocolVersionForServiceVersion(
    const std::optional<std::string>& serviceVersion) const {
    return GDataContactConstants::coreProtocolVersionForServiceVersion(serviceVersion);
}

// ---------------------------------------------------------------------------------------------
// Accessors

std::shared_ptr<GDataExtendedProperty> GDataEntryContactBase::extendedPropertyForName(const std::string& name) const {
    return GDataUtilities::firstObjectFromArray(extendedProperties(), std::optional<std::string>(name),
                                                [](const std::shared_ptr<GDataExtendedProperty>& p) { return p->name(); });
}

std::optional<std::string> GDataEntryContactBase::priority() const {
    auto p = objectForExtension<GDataContactPriority>();
    return p ? p->rel() : std::nullopt;
}

void GDataEntryContactBase::setPriority(std::optional<std::string> rel) {
    setObject(GDataContactPriority::priorityWithRel(std::move(rel)), GDataContactPriority::staticClassInfo());
}

std::optional<std::string> GDataEntryContactBase::sensitivity() const {
    auto s = objectForExtension<GDataContactSensitivity>();
    return s ? s->rel() : std::nullopt;
}

void GDataEntryContactBase::setSensitivity(std::optional<std::string> rel) {
    setObject(GDataContactSensitivity::sensitivityWithRel(std::move(rel)), GDataContactSensitivity::staticClassInfo());
}

std::shared_ptr<GDataLink> GDataEntryContactBase::photoLink() const {
    return linkWithRelAttributeValue(std::string(kGDataContactPhotoRel));
}

void GDataEntryContactBase::setPhotoLinkETag(std::optional<std::string> etag) {
    willChangeExtensions(&GDataLink::staticClassInfo());
    if (auto link = photoLink()) link->setETag(std::move(etag));
}

void GDataEntryContactBase::setTitle(const std::shared_ptr<GDataTextConstruct>& title) {
    if (title && !title->stringValue().value_or("").empty()) GDataEntryBase::setTitle(title);
    else GDataEntryBase::setTitle(nullptr);
}

void GDataEntryContactBase::setTitleWithString(std::optional<std::string> title) {
    if (title && title->empty()) GDataEntryBase::setTitle(nullptr);
    else GDataEntryBase::setTitleWithString(std::move(title));
}

// ---------------------------------------------------------------------------------------------
// Primary elements

namespace {
// Every class with a primary mark keeps it in the local boolean attribute "primary".
bool isPrimary(const GDataExtensionPtr& e) {
    auto o = std::dynamic_pointer_cast<GDataObject>(e);
    return o && o->boolValueForAttribute("primary", false);
}
void setIsPrimary(const GDataExtensionPtr& e, bool flag) {
    if (auto o = std::dynamic_pointer_cast<GDataObject>(e)) o->setBoolValue(flag, false, "primary");
}
}  // namespace

GDataExtensionPtr GDataEntryContactBase::primaryObjectForExtensionClass(const GDataClassInfo& cls) const {
    if (auto list = objectsForExtensionClass(cls))
        for (const auto& e : *list)
            if (isPrimary(e)) return e;
    return nullptr;
}

void GDataEntryContactBase::setPrimaryObject(const GDataExtensionPtr& object, const GDataClassInfo& cls) {
    bool foundEqual = false;
    if (auto list = objectsForExtensionClass(cls)) {
        for (const auto& e : *list) {
            // The object judges equality: classes whose equality leaves "primary" out match an
            // element whatever its mark; the others only when the marks agree as well.
            bool equal = object && object->isEqual(*e);
            setIsPrimary(e, equal);
            foundEqual = foundEqual || equal;
        }
    }
    if (!foundEqual && object) {
        setIsPrimary(object, true);
        addObject(object, cls);
    }
}

// ---------------------------------------------------------------------------------------------
// Birthday as a date

namespace {

// Date formatters of fixed patterns in the POSIX locale, strict, kept for the process. ICU
// formatters are not safe to use from two threads at once, hence the lock.
class BirthdayFormatter {
public:
    BirthdayFormatter(const char* pattern, const icu::TimeZone* zone) {
        UErrorCode status = U_ZERO_ERROR;
        format_ = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString(pattern, -1, US_INV),
                                                          icu::Locale("en_US_POSIX"), status);
        if (U_FAILURE(status)) {
            format_.reset();
            return;
        }
        format_->setLenient(false);
        if (zone) format_->setTimeZone(*zone);
    }

    // The instant of the whole text; nullopt when the pattern does not take all of it.
    std::optional<platform::Date> parse(const std::string& text) {
        std::lock_guard lock(mutex_);
        if (!format_) return std::nullopt;
        auto u = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), int32_t(text.size())));
        icu::ParsePosition pos(0);
        UDate millis = format_->parse(u, pos);
        if (pos.getErrorIndex() >= 0 || pos.getIndex() != u.length()) return std::nullopt;
        return platform::Date::fromUnix(millis / 1000.0);
    }

    std::optional<std::string> format(platform::Date date) {
        std::lock_guard lock(mutex_);
        if (!format_) return std::nullopt;
        icu::UnicodeString u;
        format_->format(UDate(date.timeIntervalSince1970() * 1000.0), u);
        std::string out;
        u.toUTF8String(out);
        return out;
    }

private:
    std::mutex mutex_;
    std::unique_ptr<icu::SimpleDateFormat> format_;
};

BirthdayFormatter& isoParser() {
    static auto* f = new BirthdayFormatter("yyyy-MM-dd HH:mm:ss ZZ", nullptr);
    return *f;
}
BirthdayFormatter& usParser() {
    static auto* f = new BirthdayFormatter("MM/dd/yyyy HH:mm:ss ZZ", nullptr);
    return *f;
}
BirthdayFormatter& dayFormatter() {
    static auto* f = [] {
        auto zone = platform::TimeZone::universal();
        return new BirthdayFormatter("yyyy-MM-dd", zone ? &zone->icuZone() : nullptr);
    }();
    return *f;
}

constexpr const char* kNoYear = "1604-";  // the year a birthday without a year is read in
constexpr const char* kNoon = " 12:00:00 -0000";

}  // namespace

std::optional<platform::Date> GDataEntryContactBase::birthdayDate() const {
    auto value = birthday();
    if (!value || value->empty()) return std::nullopt;
    std::string trimmed = platform::trimWhitespace(*value);
    std::string iso = trimmed;
    if (platform::hasPrefix(trimmed, "--") && trimmed.size() >= 3) iso = kNoYear + trimmed.substr(2);
    if (auto date = isoParser().parse(iso + kNoon)) return date;
    // The part before the first ",", as month, day and year.
    auto comma = trimmed.find(',');
    return usParser().parse(trimmed.substr(0, comma) + kNoon);
}

void GDataEntryContactBase::setBirthdayWithDate(const std::optional<platform::Date>& date) {
    if (!date) {
        setBirthday(std::nullopt);
        return;
    }
    auto text = dayFormatter().format(*date);
    if (!text) return;
    if (platform::hasPrefix(*text, kNoYear) && text->size() >= 6) *text = "--" + text->substr(5);
    setBirthday(std::move(*text));
}

// ---------------------------------------------------------------------------------------------
// Description

namespace {
template <class T>
std::optional<std::string> describeList(const std::vector<std::shared_ptr<T>>& list) {
    if (list.empty()) return std::nullopt;
    std::string out = "(";
    for (size_t i = 0; i < list.size(); ++i) {
        if (i) out += ", ";
        out += list[i]->description();
    }
    return out + ")";
}
template <class T>
GDataDescriptionRecord listItem(std::string label, std::function<std::vector<std::shared_ptr<T>>()> get) {
    return gdataValueItem(std::move(label), [get = std::move(get)] { return describeList(get()); });
}
}  // namespace

std::vector<std::string> GDataEntryContactBase::itemsForDescription() const {
    auto items = GDataEntryBase::itemsForDescription();
    addDescriptionRecords(
        {listItem<GDataOrganization>("org", [this] { return organizations(); }),
         listItem<GDataEmail>("email", [this] { return emailAddresses(); }),
         listItem<GDataPhoneNumber>("phone", [this] { return phoneNumbers(); }),
         listItem<GDataIM>("IM", [this] { return IMAddresses(); }),
         listItem<GDataExtendedProperty>("extProps", [this] { return extendedProperties(); }),
         listItem<GDataPostalAddress>("version<=2:postal", [this] { return postalAddresses(); })},
        items);
    if (!isServiceVersionAtLeast(kGDataContactDefaultServiceVersion)) return items;
    addDescriptionRecords(
        {gdataObjectItem("name", [this] { return name(); }),
         listItem<GDataStructuredPostalAddress>("structPostal", [this] { return structuredPostalAddresses(); }),
         gdataValueItem("billing", [this] { return billingInformation(); }),
         gdataValueItem("birthday", [this] { return birthday(); }),
         listItem<GDataContactCalendarLink>("calendar", [this] { return calendarLinks(); }),
         gdataValueItem("dirServer", [this] { return directoryServer(); }),
         listItem<GDataContactEvent>("event", [this] { return events(); }),
         listItem<GDataContactExternalID>("extID", [this] { return externalIDs(); }),
         gdataValueItem("gender", [this] { return gender(); }),
         listItem<GDataContactHobby>("hobby", [this] { return hobbies(); }),
         gdataValueItem("initials", [this] { return initials(); }),
         listItem<GDataContactJot>("jot", [this] { return jots(); }),
         listItem<GDataContactLanguage>("lang", [this] { return languages(); }),
         gdataObjectItem("where", [this] { return where(); }),
         gdataValueItem("maidenName", [this] { return maidenName(); }),
         gdataValueItem("mileage", [this] { return mileage(); }),
         gdataValueItem("nickname", [this] { return nickname(); }),
         gdataValueItem("occupation", [this] { return occupation(); }),
         gdataValueItem("priority", [this] { return priority(); }),
         listItem<GDataContactRelation>("relation", [this] { return relations(); }),
         gdataValueItem("sensitivity", [this] { return sensitivity(); }),
         gdataValueItem("shortName", [this] { return shortName(); }),
         gdataValueItem("subject", [this] { return subject(); }),
         listItem<GDataContactUserDefinedField>("userDefd", [this] { return userDefinedFields(); }),
         listItem<GDataContactWebsiteLink>("website", [this] { return websiteLinks(); })},
        items);
    return items;
}

}  // namespace quorvane
