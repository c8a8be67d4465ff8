// Label converters: every mapped local label and service name, typed names in any letter case,
// custom labels, and nil, empty and blank labels.

#include <gtest/gtest.h>

#include "SyncTestSupport.h"
#include "gdata/GDataContactConstants.h"

namespace quorvane::testing {
namespace {

using namespace platform;
using std::nullopt;
using std::optional;
using std::string;

GmailLabelInfo rel(const char* r) { return GmailLabelInfo::withRel(r); }
GmailLabelInfo label(const char* l) { return GmailLabelInfo::withLabel(l); }

class QuorvaneModelLabelsTest : public SyncModelTestBase {};

TEST_F(QuorvaneModelLabelsTest, EmailAddressAndIMLabels) {
    using Converter = GmailLabelInfo (QuorvaneModel::*)(const optional<string>&);
    for (Converter convert : {&QuorvaneModel::convertToGoogleEmailLabelWithAppleLabel,
                              &QuorvaneModel::convertToGoogleAddressLabelWithAppleLabel,
                              &QuorvaneModel::convertToGoogleIMLabelWithAppleLabel}) {
        auto& m = *model_;
        EXPECT_EQ((m.*convert)(string(CNLabelWork)), rel(kGDataContactWork));
        EXPECT_EQ((m.*convert)(string(CNLabelHome)), rel(kGDataContactHome));
        EXPECT_EQ((m.*convert)(string(CNLabelOther)), rel(kGDataContactOther));
        EXPECT_EQ((m.*convert)(string("Summer house")), label("Summer house"));
        EXPECT_EQ((m.*convert)(nullopt), rel(kGDataContactOther));
        EXPECT_EQ((m.*convert)(string("")), rel(kGDataContactOther));
    }
    EXPECT_EQ(model_->convertToGoogleEmailLabelWithAppleLabel(string(CNLabelEmailiCloud)), label("iCloud"));
    EXPECT_EQ(model_->convertToGoogleAddressLabelWithAppleLabel(string(CNLabelEmailiCloud)), label(CNLabelEmailiCloud));
}

TEST_F(QuorvaneModelLabelsTest, PhoneLabels) {
    const std::pair<const char*, const char*> fixed[] = {
        {CNLabelWork, kGDataPhoneNumberWork},
        {CNLabelHome, kGDataPhoneNumberHome},
        {CNLabelOther, kGDataPhoneNumberOther},
        {CNLabelPhoneNumberMobile, kGDataPhoneNumberMobile},
        {CNLabelPhoneNumberMain, kGDataPhoneNumberMain},
        {CNLabelPhoneNumberHomeFax, kGDataPhoneNumberHomeFax},
        {CNLabelPhoneNumberWorkFax, kGDataPhoneNumberWorkFax},
        {CNLabelPhoneNumberOtherFax, kGDataPhoneNumberOtherFax},
        {CNLabelPhoneNumberPager, kGDataPhoneNumberPager},
        {"assistant", "http://schemas.google.com/g/2005#assistant"},
        {"Callback", "http://schemas.google.com/g/2005#callback"},
        {"CAR", "http://schemas.google.com/g/2005#car"},
        {"Company Main", "http://schemas.google.com/g/2005#company_main"},
        {"ISDN", "http://schemas.google.com/g/2005#isdn"},
        {"radio", "http://schemas.google.com/g/2005#radio"},
        {"Telex", "http://schemas.google.com/g/2005#telex"},
        {"TTY/TDD", "http://schemas.google.com/g/2005#tty_tdd"},
        {"work mobile", "http://schemas.google.com/g/2005#work_mobile"},
        {"Work Pager", "http://schemas.google.com/g/2005#work_pager"},
    };
    for (const auto& [appleLabel, googleRel] : fixed) {
        EXPECT_EQ(model_->convertToGooglePhoneLabelWithAppleLabel(string(appleLabel)), rel(googleRel)) << appleLabel;
    }
    EXPECT_EQ(model_->convertToGooglePhoneLabelWithAppleLabel(string(CNLabelPhoneNumberiPhone)), label("iPhone"));
    EXPECT_EQ(model_->convertToGooglePhoneLabelWithAppleLabel(string("Boat")), label("Boat"));
    // A typed name with a trailing blank is not that name.
    EXPECT_EQ(model_->convertToGooglePhoneLabelWithAppleLabel(string("car ")), label("car "));
    // Nil, empty and blank labels all become "other".
    for (const optional<string>& blank : {optional<string>(), optional<string>(""), optional<string>(" \n")}) {
        EXPECT_EQ(model_->convertToGooglePhoneLabelWithAppleLabel(blank), rel(kGDataPhoneNumberOther));
    }
}

TEST_F(QuorvaneModelLabelsTest, WebAddressLabels) {
    EXPECT_EQ(model_->convertToGoogleURLLabelWithAppleLabel(string(CNLabelURLAddressHomePage)), rel("home-page"));
    EXPECT_EQ(model_->convertToGoogleURLLabelWithAppleLabel(string(CNLabelWork)), rel("work"));
    EXPECT_EQ(model_->convertToGoogleURLLabelWithAppleLabel(string(CNLabelHome)), rel("home"));
    EXPECT_EQ(model_->convertToGoogleURLLabelWithAppleLabel(string(CNLabelOther)), rel("other"));
    EXPECT_EQ(model_->convertToGoogleURLLabelWithAppleLabel(string("Blog")), rel("blog"));
    EXPECT_EQ(model_->convertToGoogleURLLabelWithAppleLabel(string("FTP")), rel("ftp"));
    EXPECT_EQ(model_->convertToGoogleURLLabelWithAppleLabel(string("profile")), rel("profile"));
    EXPECT_EQ(model_->convertToGoogleURLLabelWithAppleLabel(string("Portfolio")), label("Portfolio"));
    EXPECT_EQ(model_->convertToGoogleURLLabelWithAppleLabel(nullopt), rel("other"));
    EXPECT_EQ(model_->convertToGoogleURLLabelWithAppleLabel(string("")), rel("other"));
}

TEST_F(QuorvaneModelLabelsTest, RelationLabels) {
    const std::pair<const char*, const char*> fixed[] = {
        {CNLabelContactRelationFather, "father"},     {CNLabelContactRelationMother, "mother"},
        {CNLabelContactRelationParent, "parent"},     {CNLabelContactRelationBrother, "brother"},
        {CNLabelContactRelationSister, "sister"},     {CNLabelContactRelationChild, "child"},
        {CNLabelContactRelationFriend, "friend"},     {CNLabelContactRelationSpouse, "spouse"},
        {CNLabelContactRelationPartner, "partner"},   {CNLabelContactRelationAssistant, "assistant"},
        {CNLabelContactRelationManager, "manager"},   {CNLabelOther, "friend"},
        {"Domestic Partner", "domestic-partner"},     {"referred by", "referred-by"},
        {"RELATIVE", "relative"},
    };
    for (const auto& [appleLabel, googleRel] : fixed) {
        EXPECT_EQ(model_->convertToGoogleRelationLabelWithAppleLabel(string(appleLabel)), rel(googleRel)) << appleLabel;
    }
    EXPECT_EQ(model_->convertToGoogleRelationLabelWithAppleLabel(string("Godmother")), label("Godmother"));
    EXPECT_EQ(model_->convertToGoogleRelationLabelWithAppleLabel(nullopt), rel("friend"));
    EXPECT_EQ(model_->convertToGoogleRelationLabelWithAppleLabel(string("")), rel("friend"));
}

TEST_F(QuorvaneModelLabelsTest, EventLabels) {
    EXPECT_EQ(model_->convertToGoogleEventLabelWithAppleLabel(string(CNLabelDateAnniversary)), rel("anniversary"));
    EXPECT_EQ(model_->convertToGoogleEventLabelWithAppleLabel(string(CNLabelOther)), rel("other"));
    EXPECT_EQ(model_->convertToGoogleEventLabelWithAppleLabel(string("Graduation")), label("Graduation"));
    EXPECT_EQ(model_->convertToGoogleEventLabelWithAppleLabel(nullopt), rel("other"));
    EXPECT_EQ(model_->convertToGoogleEventLabelWithAppleLabel(string("")), rel("other"));
}

TEST_F(QuorvaneModelLabelsTest, IMProtocols) {
    const std::pair<const char*, const char*> mapped[] = {
        {CNInstantMessageServiceAIM, kGDataIMProtocolAIM},       {CNInstantMessageServiceGoogleTalk, kGDataIMProtocolGoogleTalk},
        {CNInstantMessageServiceICQ, kGDataIMProtocolICQ},       {CNInstantMessageServiceJabber, kGDataIMProtocolJabber},
        {CNInstantMessageServiceMSN, kGDataIMProtocolMSN},       {CNInstantMessageServiceQQ, kGDataIMProtocolQQ},
        {CNInstantMessageServiceSkype, kGDataIMProtocolSkype},   {CNInstantMessageServiceYahoo, kGDataIMProtocolYahoo},
        {CNInstantMessageServiceFacebook, "facebook"},          {CNInstantMessageServiceGaduGadu, "gadu"},
        {"netmeeting", kGDataIMProtocolNetMeeting},              {"NetMeeting", kGDataIMProtocolNetMeeting},
    };
    for (const auto& [service, protocol] : mapped) {
        EXPECT_EQ(model_->convertToGoogleIMProtocolWithAppleProtocol(string(service)), protocol) << service;
    }
    EXPECT_EQ(model_->convertToGoogleIMProtocolWithAppleProtocol(string("Matrix")), "Matrix");
    EXPECT_EQ(model_->convertToGoogleIMProtocolWithAppleProtocol(nullopt), "");
    EXPECT_EQ(model_->convertToGoogleIMProtocolWithAppleProtocol(string("")), "");
}

TEST_F(QuorvaneModelLabelsTest, SocialProfileServices) {
    const std::pair<const char*, const char*> mapped[] = {
        {CNSocialProfileServiceFacebook, "Facebook"},  {CNSocialProfileServiceFlickr, "Flickr"},
        {CNSocialProfileServiceLinkedIn, "LinkedIn"},  {CNSocialProfileServiceMySpace, "Myspace"},
        {CNSocialProfileServiceSinaWeibo, "Sina Weibo"}, {CNSocialProfileServiceTencentWeibo, "Tencent Weibo"},
        {CNSocialProfileServiceTwitter, "Twitter"},    {CNSocialProfileServiceYelp, "Yelp"},
        {CNSocialProfileServiceGameCenter, "Game Center"}, {"twitter", "Twitter"}, {"LINKEDIN", "LinkedIn"},
    };
    for (const auto& [service, name] : mapped) {
        EXPECT_EQ(model_->convertToGoogleSocialProfileLabelWithAppleLabel(string(service)), name) << service;
    }
    EXPECT_EQ(model_->convertToGoogleSocialProfileLabelWithAppleLabel(string("Other")), "");
    EXPECT_EQ(model_->convertToGoogleSocialProfileLabelWithAppleLabel(string("Mastodon")), "Mastodon");
    EXPECT_EQ(model_->convertToGoogleSocialProfileLabelWithAppleLabel(nullopt), "");
    EXPECT_EQ(model_->convertToGoogleSocialProfileLabelWithAppleLabel(string("")), "");
}

}  // namespace
}  // namespace quorvane::testing
