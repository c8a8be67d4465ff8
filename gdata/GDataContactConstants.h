#pragma once
// The contacts service's string constants: kinds, rel values, protocols, mail classes and
// usages, system group ids and default feeds, and the core protocol version of a service version.
//
// Rels of the gd namespace are the gd namespace URI followed by a fragment ("...#home"); the
// contact link, event, relation, priority, sensitivity, external id and jot rels are plain words.

#include <optional>
#include <string>

#include "gdata/GDataObject.h"

namespace quorvane {

// --- kinds (category terms of the kind scheme) ---
inline constexpr const char* kGDataCategoryContact = "http://schemas.google.com/contact/2008#contact";
inline constexpr const char* kGDataCategoryContactGroup = "http://schemas.google.com/contact/2008#group";
inline constexpr const char* kGDataCategoryContactProfile = "http://schemas.google.com/contact/2008#profile";

// The service version the contact classes speak by default.
inline constexpr const char* kGDataContactDefaultServiceVersion = "3.0";

// --- photo link rels ---
inline constexpr const char* kGDataContactPhotoRel = "http://schemas.google.com/contacts/2008/rel#photo";
inline constexpr const char* kGDataContactEditPhotoRel = "http://schemas.google.com/contacts/2008/rel#edit-photo";

// --- general rels (e-mail, IM, postal address, organization) ---
inline constexpr const char* kGDataContactHome = "http://schemas.google.com/g/2005#home";
inline constexpr const char* kGDataContactWork = "http://schemas.google.com/g/2005#work";
inline constexpr const char* kGDataContactOther = "http://schemas.google.com/g/2005#other";

// --- phone number rels ---
inline constexpr const char* kGDataPhoneNumberAssistant = "http://schemas.google.com/g/2005#assistant";
inline constexpr const char* kGDataPhoneNumberCallback = "http://schemas.google.com/g/2005#callback";
inline constexpr const char* kGDataPhoneNumberCar = "http://schemas.google.com/g/2005#car";
inline constexpr const char* kGDataPhoneNumberCompanyMain = "http://schemas.google.com/g/2005#company_main";
inline constexpr const char* kGDataPhoneNumberFax = "http://schemas.google.com/g/2005#fax";
inline constexpr const char* kGDataPhoneNumberHome = "http://schemas.google.com/g/2005#home";
inline constexpr const char* kGDataPhoneNumberHomeFax = "http://schemas.google.com/g/2005#home_fax";
inline constexpr const char* kGDataPhoneNumberISDN = "http://schemas.google.com/g/2005#isdn";
inline constexpr const char* kGDataPhoneNumberMobile = "http://schemas.google.com/g/2005#mobile";
inline constexpr const char* kGDataPhoneNumberOther = "http://schemas.google.com/g/2005#other";
inline constexpr const char* kGDataPhoneNumberOtherFax = "http://schemas.google.com/g/2005#other_fax";
inline constexpr const char* kGDataPhoneNumberPager = "http://schemas.google.com/g/2005#pager";
inline constexpr const char* kGDataPhoneNumberRadio = "http://schemas.google.com/g/2005#radio";
inline constexpr const char* kGDataPhoneNumberTelex = "http://schemas.google.com/g/2005#telex";
inline constexpr const char* kGDataPhoneNumberTTYTDD = "http://schemas.google.com/g/2005#tty_tdd";
inline constexpr const char* kGDataPhoneNumberWork = "http://schemas.google.com/g/2005#work";
inline constexpr const char* kGDataPhoneNumberWorkFax = "http://schemas.google.com/g/2005#work_fax";
inline constexpr const char* kGDataPhoneNumberWorkMobile = "http://schemas.google.com/g/2005#work_mobile";
inline constexpr const char* kGDataPhoneNumberWorkPager = "http://schemas.google.com/g/2005#work_pager";
inline constexpr const char* kGDataPhoneNumberMain = "http://schemas.google.com/g/2005#main";

// --- IM protocols ---
inline constexpr const char* kGDataIMProtocolAIM = "http://schemas.google.com/g/2005#AIM";
inline constexpr const char* kGDataIMProtocolGoogleTalk = "http://schemas.google.com/g/2005#GOOGLE_TALK";
inline constexpr const char* kGDataIMProtocolICQ = "http://schemas.google.com/g/2005#ICQ";
inline constexpr const char* kGDataIMProtocolJabber = "http://schemas.google.com/g/2005#JABBER";
inline constexpr const char* kGDataIMProtocolMSN = "http://schemas.google.com/g/2005#MSN";
inline constexpr const char* kGDataIMProtocolNetMeeting = "http://schemas.google.com/g/2005#NETMEETING";
inline constexpr const char* kGDataIMProtocolQQ = "http://schemas.google.com/g/2005#QQ";
inline constexpr const char* kGDataIMProtocolSkype = "http://schemas.google.com/g/2005#SKYPE";
inline constexpr const char* kGDataIMProtocolYahoo = "http://schemas.google.com/g/2005#YAHOO";

// --- structured postal addresses ---
inline constexpr const char* kGDataPostalAddressHome = "http://schemas.google.com/g/2005#home";
inline constexpr const char* kGDataPostalAddressWork = "http://schemas.google.com/g/2005#work";
inline constexpr const char* kGDataPostalAddressOther = "http://schemas.google.com/g/2005#other";
inline constexpr const char* kGDataPostalAddressMailClassLetters = "http://schemas.google.com/g/2005#letters";
inline constexpr const char* kGDataPostalAddressMailClassParcels = "http://schemas.google.com/g/2005#parcels";
inline constexpr const char* kGDataPostalAddressMailClassNeither = "http://schemas.google.com/g/2005#neither";
inline constexpr const char* kGDataPostalAddressMailClassBoth = "http://schemas.google.com/g/2005#both";
inline constexpr const char* kGDataPostalAddressUsageGeneral = "http://schemas.google.com/g/2005#general";
inline constexpr const char* kGDataPostalAddressUsageLocal = "http://schemas.google.com/g/2005#local";

// --- website link rels ---
inline constexpr const char* kGDataContactWebsiteLinkBlog = "blog";
inline constexpr const char* kGDataContactWebsiteLinkFTP = "ftp";
inline constexpr const char* kGDataContactWebsiteLinkHome = "home";
inline constexpr const char* kGDataContactWebsiteLinkHomePage = "home-page";
inline constexpr const char* kGDataContactWebsiteLinkOther = "other";
inline constexpr const char* kGDataContactWebsiteLinkProfile = "profile";
inline constexpr const char* kGDataContactWebsiteLinkWork = "work";

// --- calendar link rels ---
inline constexpr const char* kGDataContactCalendarLinkHome = "home";
inline constexpr const char* kGDataContactCalendarLinkWork = "work";
inline constexpr const char* kGDataContactCalendarLinkFreeBusy = "free-busy";

// --- event rels ---
inline constexpr const char* kGDataContactEventAnniversary = "anniversary";
inline constexpr const char* kGDataContactEventOther = "other";

// --- relation rels ---
inline constexpr const char* kGDataContactRelationAssistant = "assistant";
inline constexpr const char* kGDataContactRelationBrother = "brother";
inline constexpr const char* kGDataContactRelationChild = "child";
inline constexpr const char* kGDataContactRelationDomesticPartner = "domestic-partner";
inline constexpr const char* kGDataContactRelationFather = "father";
inline constexpr const char* kGDataContactRelationFriend = "friend";
inline constexpr const char* kGDataContactRelationManager = "manager";
inline constexpr const char* kGDataContactRelationMother = "mother";
inline constexpr const char* kGDataContactRelationParent = "parent";
inline constexpr const char* kGDataContactRelationPartner = "partner";
inline constexpr const char* kGDataContactRelationReferredBy = "referred-by";
inline constexpr const char* kGDataContactRelationRelative = "relative";
inline constexpr const char* kGDataContactRelationSister = "sister";
inline constexpr const char* kGDataContactRelationSpouse = "spouse";

// --- priority rels ---
inline constexpr const char* kGDataContactPriorityHigh = "high";
inline constexpr const char* kGDataContactPriorityLow = "low";
inline constexpr const char* kGDataContactPriorityNormal = "normal";

// --- sensitivity rels ---
inline constexpr const char* kGDataContactSensitivityConfidential = "confidential";
inline constexpr const char* kGDataContactSensitivityNormal = "normal";
inline constexpr const char* kGDataContactSensitivityPersonal = "personal";
inline constexpr const char* kGDataContactSensitivityPrivate = "private";

// --- gender values ---
inline constexpr const char* kGDataContactGenderFemale = "female";
inline constexpr const char* kGDataContactGenderMale = "male";

// --- external id rels ---
inline constexpr const char* kGDataContactExternalIDAccount = "account";
inline constexpr const char* kGDataContactExternalIDCustomer = "customer";
inline constexpr const char* kGDataContactExternalIDNetwork = "network";
inline constexpr const char* kGDataContactExternalIDOrganization = "organization";

// --- jot rels ---
inline constexpr const char* kGDataContactJotHome = "home";
inline constexpr const char* kGDataContactJotKeywords = "keywords";
inline constexpr const char* kGDataContactJotOther = "other";
inline constexpr const char* kGDataContactJotUser = "user";
inline constexpr const char* kGDataContactJotWork = "work";

// --- system group ids ---
inline constexpr const char* kGDataSystemGroupIDMyContacts = "Contacts";
inline constexpr const char* kGDataSystemGroupIDFriends = "Friends";
inline constexpr const char* kGDataSystemGroupIDFamily = "Family";
inline constexpr const char* kGDataSystemGroupIDCoworkers = "Coworkers";

// --- default feeds ---
inline constexpr const char* kGDataGoogleContactDefaultThinFeed = "https://www.google.com/m8/feeds/contacts/default/thin";
inline constexpr const char* kGDataGoogleContactDefaultFullFeed = "https://www.google.com/m8/feeds/contacts/default/full";
inline constexpr const char* kGDataGoogleContactGroupsDefaultThinFeed = "https://www.google.com/m8/feeds/groups/default/thin";
inline constexpr const char* kGDataGoogleContactGroupsDefaultFullFeed = "https://www.google.com/m8/feeds/groups/default/full";

class GDataContactConstants {
public:
    // "2.0" for a service version not below "2.0", else "1.0" (a missing version counts as "").
    static std::string coreProtocolVersionForServiceVersion(const std::optional<std::string>& serviceVersion);
    // "gContact" and the entry namespaces (default Atom, "gd", "app"): what a contact entry or
    // feed made in code declares.
    static GDataStringDictionary contactNamespaces();
};

// Registers the contact, contact group and profile entry classes and their three feed classes
// with the kind registries, once per process, so that an entry or feed of kind "#contact",
// "#group" or "#profile" parses into them. The contact factories and feed parsers call it; code
// that parses contacts XML through the base classes calls it first.
void registerContactClasses();

}  // namespace quorvane
