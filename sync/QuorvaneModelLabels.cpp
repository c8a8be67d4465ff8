// Label converters: the labels and service names of local contact fields to the rels, labels
// and protocols of the provider's contact elements.

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

// The generic labels of e-mail addresses, postal addresses and IM addresses.
GmailLabelInfo convertGenericLabel(const std::optional<std::string>& label) {
    if (is(label, CNLabelWork)) return GmailLabelInfo::withRel(kGDataContactWork);
    if (is(label, CNLabelHome)) return GmailLabelInfo::withRel(kGDataContactHome);
    if (is(label, CNLabelOther)) return GmailLabelInfo::withRel(kGDataContactOther);
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

}  // namespace

GmailLabelInfo QuorvaneModel::convertToGoogleEmailLabelWithAppleLabel(const std::optional<std::string>& label) {
    if (is(label, CNLabelEmailiCloud)) return GmailLabelInfo::withLabel(Utils::localized("Global_iCloud", "iCloud"));
    return convertGenericLabel(label);
}

GmailLabelInfo QuorvaneModel::convertToGooglePhoneLabelWithAppleLabel(const std::optional<std::string>& label) {
    static const LabelMapping kFixed[] = {
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
    static const LocalizedMapping kTyped[] = {
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
    };
    for (const auto& m : kFixed) {
        if (is(label, m.appleLabel)) return GmailLabelInfo::withRel(m.rel);
    }
    if (is(label, CNLabelPhoneNumberiPhone)) return GmailLabelInfo::withLabel(Utils::localized("Global_iPhone", "iPhone"));
    if (!stringEffectivelyEmptyWithString(label)) {
        for (const auto& m : kTyped) {
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
    static const LabelMapping kFixed[] = {
        {CNLabelURLAddressHomePage, kGDataContactWebsiteLinkHomePage},
        {CNLabelWork, kGDataContactWebsiteLinkWork},
        {CNLabelHome, kGDataContactWebsiteLinkHome},
        {CNLabelOther, kGDataContactWebsiteLinkOther},
    };
    static const LocalizedMapping kTyped[] = {
        {"QVR_blog", "blog", kGDataContactWebsiteLinkBlog},
        {"QVR_ftp", "ftp", kGDataContactWebsiteLinkFTP},
        {"QVR_profile", "profile", kGDataContactWebsiteLinkProfile},
    };
    return mapLabel(*this, label, kFixed, kTyped, kGDataContactWebsiteLinkOther);
}

GmailLabelInfo QuorvaneModel::convertToGoogleRelationLabelWithAppleLabel(const std::optional<std::string>& label) {
    static const LabelMapping kFixed[] = {
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
    static const LocalizedMapping kTyped[] = {
        {"QVR_domestic_partner", "domestic partner", kGDataContactRelationDomesticPartner},
        {"QVR_referred_by", "referred by", kGDataContactRelationReferredBy},
        {"QVR_relative", "relative", kGDataContactRelationRelative},
    };
    return mapLabel(*this, label, kFixed, kTyped, kGDataContactRelationFriend);
}

GmailLabelInfo QuorvaneModel::convertToGoogleEventLabelWithAppleLabel(const std::optional<std::string>& label) {
    if (is(label, CNLabelDateAnniversary)) return GmailLabelInfo::withRel(kGDataContactEventAnniversary);
    if (is(label, CNLabelOther)) return GmailLabelInfo::withRel(kGDataContactEventOther);
    if (label && !label->empty()) return GmailLabelInfo::withLabel(*label);
    return GmailLabelInfo::withRel(kGDataContactEventOther);
}

std::string QuorvaneModel::convertToGoogleIMProtocolWithAppleProtocol(const std::optional<std::string>& service) {
    static const LabelMapping kProtocols[] = {
        {CNInstantMessageServiceAIM, kGDataIMProtocolAIM},
        {CNInstantMessageServiceGoogleTalk, kGDataIMProtocolGoogleTalk},
        {CNInstantMessageServiceICQ, kGDataIMProtocolICQ},
        {CNInstantMessageServiceJabber, kGDataIMProtocolJabber},
        {CNInstantMessageServiceMSN, kGDataIMProtocolMSN},
        {CNInstantMessageServiceQQ, kGDataIMProtocolQQ},
        {CNInstantMessageServiceSkype, kGDataIMProtocolSkype},
        {CNInstantMessageServiceYahoo, kGDataIMProtocolYahoo},
    };
    if (!service || service->empty()) return "";
    for (const auto& m : kProtocols) {
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
    static const std::pair<const char*, const char*> kServices[] = {
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
    if (!service || service->empty()) return "";
    for (const auto& [appleService, googleName] : kServices) {
        if (equalsIgnoringCase(*service, appleService)) return googleName;
    }
    if (*service == "Other") return "";
    return *service;
}

}  // namespace quorvane
