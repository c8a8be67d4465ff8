// Label converters: the labels and service names of local contact fields to the rels, labels
// and protocols of the provider's contact elements, and back.

#include <utility>

#include "gdata/GDataContactConstants.h"
#include "platform/contacts/CNContactKeys.h"
#include "sync/QuorvaneModel.h"
#include "sync/Utils.h"

namespace quorvane {

namespace {

using namespace platform;

bool is(const std::optional<std::string>& label, const char* constant) { return label && *label == constant; }

struct LabelMapping {
    const char* appleLabel;
    const char* rel;
};

struct LocalizedMapping {
    const char* key;
    const char* defaultText;
    const char* rel;
};

// The tables both directions of the converters read. Where two local labels give one rel, the
// first listed is the one the rel comes back as.
const LabelMapping kGenericFixed[] = {
    {CNLabelWork, kGDataContactWork},
    {CNLabelHome, kGDataContactHome},
    {CNLabelOther, kGDataContactOther},
};

const LabelMapping kEventFixed[] = {
    {CNLabelDateAnniversary, kGDataContactEventAnniversary},
    {CNLabelOther, kGDataContactEventOther},
};

const LabelMapping kPhoneFixed[] = {
    {CNLabelWork, kGDataPhoneNumberWork},
    {CNLabelHome, kGDataPhoneNumberHome},
    {CNLabelOther, kGDataPhoneNumberOther},
    {CNLabelPhoneNumberMobile, kGDataPhoneNumberMobile},
    {CNLabelPhoneNumberMain, kGDataPhoneNumberMain},
    {CNLabelPhoneNumberHomeFax, kGDataPhoneNumberHomeFax},
    {CNLabelPhoneNumberWorkFax, kGDataPhoneNumberWorkFax},
    {CNLabelPhoneNumberOtherFax, kGDataPhoneNumberOtherFax},
    {CNLabelPhoneNumberPager, kGDataPhoneNumberPager},
};

const LocalizedMapping kPhoneTyped[] = {
    {"QVR_assistant", "assistant", kGDataPhoneNumberAssistant},
    {"QVR_callback", "callback", kGDataPhoneNumberCallback},
    {"QVR_car", "car", kGDataPhoneNumberCar},
    {"QVR_company_main", "company main", kGDataPhoneNumberCompanyMain},
    {"QVR_isdn", "isdn", kGDataPhoneNumberISDN},
    {"QVR_radio", "radio", kGDataPhoneNumberRadio},
    {"QVR_telex", "telex", kGDataPhoneNumberTelex},
    {"QVR_ttytdd", "tty/tdd", kGDataPhoneNumberTTYTDD},
    {"QVR_work_mobile", "work mobile", kGDataPhoneNumberWorkMobile},
    {"QVR_work_pager", "work pager", kGDataPhoneNumberWorkPager},
    // The one phone rel no local label gives: without this word a fax number from Google would
    // come back to Google under a custom label, and the pair would differ on every run.
    {"QVR_fax", "fax", kGDataPhoneNumberFax},
};

const LabelMapping kURLFixed[] = {
    {CNLabelURLAddressHomePage, kGDataContactWebsiteLinkHomePage},
    {CNLabelWork, kGDataContactWebsiteLinkWork},
    {CNLabelHome, kGDataContactWebsiteLinkHome},
    {CNLabelOther, kGDataContactWebsiteLinkOther},
};

const LocalizedMapping kURLTyped[] = {
    {"QVR_blog", "blog", kGDataContactWebsiteLinkBlog},
    {"QVR_ftp", "ftp", kGDataContactWebsiteLinkFTP},
    {"QVR_profile", "profile", kGDataContactWebsiteLinkProfile},
};

const LabelMapping kRelationFixed[] = {
    {CNLabelContactRelationFather, kGDataContactRelationFather},
    {CNLabelContactRelationMother, kGDataContactRelationMother},
    {CNLabelContactRelationParent, kGDataContactRelationParent},
    {CNLabelContactRelationBrother, kGDataContactRelationBrother},
    {CNLabelContactRelationSister, kGDataContactRelationSister},
    {CNLabelContactRelationChild, kGDataContactRelationChild},
    {CNLabelContactRelationFriend, kGDataContactRelationFriend},
    {CNLabelContactRelationSpouse, kGDataContactRelationSpouse},
    {CNLabelContactRelationPartner, kGDataContactRelationPartner},
    {CNLabelContactRelationAssistant, kGDataContactRelationAssistant},
    {CNLabelContactRelationManager, kGDataContactRelationManager},
    {CNLabelOther, kGDataContactRelationFriend},
};

const LocalizedMapping kRelationTyped[] = {
    {"QVR_domestic_partner", "domestic partner", kGDataContactRelationDomesticPartner},
    {"QVR_referred_by", "referred by", kGDataContactRelationReferredBy},
    {"QVR_relative", "relative", kGDataContactRelationRelative},
};

const LabelMapping kIMProtocols[] = {
    {CNInstantMessageServiceAIM, kGDataIMProtocolAIM},
    {CNInstantMessageServiceGoogleTalk, kGDataIMProtocolGoogleTalk},
    {CNInstantMessageServiceICQ, kGDataIMProtocolICQ},
    {CNInstantMessageServiceJabber, kGDataIMProtocolJabber},
    {CNInstantMessageServiceMSN, kGDataIMProtocolMSN},
    {CNInstantMessageServiceQQ, kGDataIMProtocolQQ},
    {CNInstantMessageServiceSkype, kGDataIMProtocolSkype},
    {CNInstantMessageServiceYahoo, kGDataIMProtocolYahoo},
};

const std::pair<const char*, const char*> kSocialServices[] = {
    {CNSocialProfileServiceFacebook, "Facebook"},
    {CNSocialProfileServiceFlickr, "Flickr"},
    {CNSocialProfileServiceLinkedIn, "LinkedIn"},
    {CNSocialProfileServiceMySpace, "Myspace"},
    {CNSocialProfileServiceSinaWeibo, "Sina Weibo"},
    {CNSocialProfileServiceTencentWeibo, "Tencent Weibo"},
    {CNSocialProfileServiceTwitter, "Twitter"},
    {CNSocialProfileServiceYelp, "Yelp"},
    {CNSocialProfileServiceGameCenter, "Game Center"},
};

// The generic labels of e-mail addresses, postal addresses and IM addresses.
GmailLabelInfo convertGenericLabel(const std::optional<std::string>& label) {
    for (const auto& m : kGenericFixed) {
        if (is(label, m.appleLabel)) return GmailLabelInfo::withRel(m.rel);
    }
    if (label && !label->empty()) return GmailLabelInfo::withLabel(*label);
    return GmailLabelInfo::withRel(kGDataContactOther);
}

// A label of the fixed table gives its rel; another non-empty label gives the rel whose localised
// word it equals (tolerantly), or else stays a custom label; no label gives the fallback rel.
template <size_t F, size_t T>
GmailLabelInfo mapLabel(QuorvaneModel& model, const std::optional<std::string>& label, const LabelMapping (&fixed)[F],
                        const LocalizedMapping (&typed)[T], const char* fallbackRel) {
    for (const auto& m : fixed) {
        if (is(label, m.appleLabel)) return GmailLabelInfo::withRel(m.rel);
    }
    if (label && !label->empty()) {
        for (const auto& m : typed) {
            if (model.stringsEqualWithString1(label, Utils::localized(m.key, m.defaultText))) return GmailLabelInfo::withRel(m.rel);
        }
        return GmailLabelInfo::withLabel(*label);
    }
    return GmailLabelInfo::withRel(fallbackRel);
}


// The local label of a Google rel or label: the first local label of the fixed table that gives
// the rel, else the localised word of the typed table that gives it, else (a rel the forward
// converter never gives) the rel's word after "#"; a custom label stays as it is.
template <size_t F, size_t T>
std::optional<std::string> reverseLabel(const GmailLabelInfo& info, const LabelMapping (&fixed)[F],
                                        const LocalizedMapping (&typed)[T]) {
    if (info.rel && !info.rel->empty()) {
        for (const auto& m : fixed) {
            if (*info.rel == m.rel) return std::string(m.appleLabel);
        }
        for (const auto& m : typed) {
            if (*info.rel == m.rel) return Utils::localized(m.key, m.defaultText);
        }
        auto hash = info.rel->rfind('#');
        auto word = hash == std::string::npos ? *info.rel : info.rel->substr(hash + 1);
        if (!word.empty()) return word;
        return std::nullopt;
    }
    if (info.label && !info.label->empty()) return *info.label;
    return std::nullopt;
}

// For fields without typed words (its empty rel matches no rel).
const LocalizedMapping kNoTyped[] = {{"", "", ""}};

}  // namespace

GmailLabelInfo QuorvaneModel::convertToGoogleEmailLabelWithAppleLabel(const std::optional<std::string>& label) {
    if (is(label, CNLabelEmailiCloud)) return GmailLabelInfo::withLabel(Utils::localized("Global_iCloud", "iCloud"));
    return convertGenericLabel(label);
}

GmailLabelInfo QuorvaneModel::convertToGooglePhoneLabelWithAppleLabel(const std::optional<std::string>& label) {
    for (const auto& m : kPhoneFixed) {
        if (is(label, m.appleLabel)) return GmailLabelInfo::withRel(m.rel);
    }
    if (is(label, CNLabelPhoneNumberiPhone)) return GmailLabelInfo::withLabel(Utils::localized("Global_iPhone", "iPhone"));
    if (!stringEffectivelyEmptyWithString(label)) {
        for (const auto& m : kPhoneTyped) {
            if (stringsEqualWithString1(label, Utils::localized(m.key, m.defaultText))) return GmailLabelInfo::withRel(m.rel);
        }
        return GmailLabelInfo::withLabel(*label);
    }
    return GmailLabelInfo::withRel(kGDataPhoneNumberOther);
}

GmailLabelInfo QuorvaneModel::convertToGoogleAddressLabelWithAppleLabel(const std::optional<std::string>& label) {
    return convertGenericLabel(label);
}

GmailLabelInfo QuorvaneModel::convertToGoogleIMLabelWithAppleLabel(const std::optional<std::string>& label) {
    return convertGenericLabel(label);
}

GmailLabelInfo QuorvaneModel::convertToGoogleURLLabelWithAppleLabel(const std::optional<std::string>& label) {
    return mapLabel(*this, label, kURLFixed, kURLTyped, kGDataContactWebsiteLinkOther);
}

GmailLabelInfo QuorvaneModel::convertToGoogleRelationLabelWithAppleLabel(const std::optional<std::string>& label) {
    return mapLabel(*this, label, kRelationFixed, kRelationTyped, kGDataContactRelationFriend);
}

GmailLabelInfo QuorvaneModel::convertToGoogleEventLabelWithAppleLabel(const std::optional<std::string>& label) {
    for (const auto& m : kEventFixed) {
        if (is(label, m.appleLabel)) return GmailLabelInfo::withRel(m.rel);
    }
    if (label && !label->empty()) return GmailLabelInfo::withLabel(*label);
    return GmailLabelInfo::withRel(kGDataContactEventOther);
}

std::string QuorvaneModel::convertToGoogleIMProtocolWithAppleProtocol(const std::optional<std::string>& service) {
    if (!service || service->empty()) return "";
    for (const auto& m : kIMProtocols) {
        if (*service == m.appleLabel) return m.rel;
    }
    if (*service == CNInstantMessageServiceFacebook) return Utils::localized("QVR_facebook", "facebook");
    if (*service == CNInstantMessageServiceGaduGadu) return Utils::localized("QVR_gadu", "gadu");
    if (stringsEqualWithString1(service, Utils::localized("QVR_net_meeting", "NetMeeting"))) {
        return kGDataIMProtocolNetMeeting;
    }
    return *service;
}

std::string QuorvaneModel::convertToGoogleSocialProfileLabelWithAppleLabel(const std::optional<std::string>& service) {
    if (!service || service->empty()) return "";
    for (const auto& [appleService, googleName] : kSocialServices) {
        if (equalsIgnoringCase(*service, appleService)) return googleName;
    }
    if (*service == "Other") return "";
    return *service;
}

// ----- Google to local -----

std::optional<std::string> QuorvaneModel::convertToAppleEmailLabelWithGoogleLabel(const GmailLabelInfo& info) {
    if (!info.rel && info.label == Utils::localized("Global_iCloud", "iCloud")) return std::string(CNLabelEmailiCloud);
    return reverseLabel(info, kGenericFixed, kNoTyped);
}

std::optional<std::string> QuorvaneModel::convertToApplePhoneLabelWithGoogleLabel(const GmailLabelInfo& info) {
    if (!info.rel && info.label == Utils::localized("Global_iPhone", "iPhone")) {
        return std::string(CNLabelPhoneNumberiPhone);
    }
    return reverseLabel(info, kPhoneFixed, kPhoneTyped);
}

std::optional<std::string> QuorvaneModel::convertToAppleAddressLabelWithGoogleLabel(const GmailLabelInfo& info) {
    return reverseLabel(info, kGenericFixed, kNoTyped);
}

std::optional<std::string> QuorvaneModel::convertToAppleIMLabelWithGoogleLabel(const GmailLabelInfo& info) {
    return reverseLabel(info, kGenericFixed, kNoTyped);
}

std::optional<std::string> QuorvaneModel::convertToAppleURLLabelWithGoogleLabel(const GmailLabelInfo& info) {
    return reverseLabel(info, kURLFixed, kURLTyped);
}

std::optional<std::string> QuorvaneModel::convertToAppleRelationLabelWithGoogleLabel(const GmailLabelInfo& info) {
    return reverseLabel(info, kRelationFixed, kRelationTyped);
}

std::optional<std::string> QuorvaneModel::convertToAppleEventLabelWithGoogleLabel(const GmailLabelInfo& info) {
    return reverseLabel(info, kEventFixed, kNoTyped);
}

std::string QuorvaneModel::convertToAppleIMProtocolWithGoogleProtocol(const std::optional<std::string>& protocol) {
    if (!protocol || protocol->empty()) return "";
    for (const auto& m : kIMProtocols) {
        if (*protocol == m.rel) return m.appleLabel;
    }
    if (*protocol == Utils::localized("QVR_facebook", "facebook")) return CNInstantMessageServiceFacebook;
    if (*protocol == Utils::localized("QVR_gadu", "gadu")) return CNInstantMessageServiceGaduGadu;
    if (*protocol == kGDataIMProtocolNetMeeting) return Utils::localized("QVR_net_meeting", "NetMeeting");
    return *protocol;
}

std::string QuorvaneModel::convertToAppleSocialProfileServiceWithGoogleLabel(const std::optional<std::string>& key) {
    if (!key || key->empty()) return "";
    for (const auto& [appleService, googleName] : kSocialServices) {
        if (equalsIgnoringCase(*key, googleName)) return appleService;
    }
    return *key;
}

}  // namespace quorvane
