// User-agent strings: the token cleaner, the system part, the application part and its cache.

#include "fetcher/QNSessionUserAgent.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <cerrno>
#include <regex>

#include "platform/foundation/BundleInfo.h"

namespace quorvane {
namespace {

TEST(QNSessionUserAgentTest, CleanerTurnsAnyTextIntoAToken) {
    EXPECT_EQ(QNSessionCleanedUserAgentToken(std::nullopt), "");
    EXPECT_EQ(QNSessionCleanedUserAgentToken(""), "");
    EXPECT_EQ(QNSessionCleanedUserAgentToken("1.2 (34)"), "1.2_34");
    EXPECT_EQ(QNSessionCleanedUserAgentToken("a,b c"), "a_b_c");
    EXPECT_EQ(QNSessionCleanedUserAgentToken("x()<>@;:\\\"/[]?={}y"), "xy");
    // Tabs, line breaks, Unicode spaces and control characters vanish, so no header can be split.
    EXPECT_EQ(QNSessionCleanedUserAgentToken("a\tb\r\nc\u00a0d\u3000e\x01\x7f" "f"), "abcdef");
    EXPECT_EQ(QNSessionCleanedUserAgentToken("Caf\u00e9-App_2"), "Caf\u00e9-App_2");
}

TEST(QNSessionUserAgentTest, SystemVersionFromTheKernelReleaseOrOsRelease) {
    using detail::QNSessionSystemVersionStringFrom;
    EXPECT_EQ(QNSessionSystemVersionStringFrom("6.1.0-18-amd64", std::nullopt), "MacOSX/6.1.0");
    EXPECT_EQ(QNSessionSystemVersionStringFrom("5.15.153.1-example-standard", std::nullopt), "MacOSX/5.15.153");
    EXPECT_EQ(QNSessionSystemVersionStringFrom("6.8", std::nullopt), "MacOSX/6.8.0");
    EXPECT_EQ(QNSessionSystemVersionStringFrom("7-rc1", std::nullopt), "MacOSX/7.0.0");
    std::string osRelease = "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nID=debian\n";
    EXPECT_EQ(QNSessionSystemVersionStringFrom("unknown", osRelease), "MacOSX/12");
    EXPECT_EQ(QNSessionSystemVersionStringFrom(std::nullopt, "VERSION_ID=22.04\n"), "MacOSX/22.04");
    EXPECT_EQ(QNSessionSystemVersionStringFrom(std::nullopt, "NAME=x\nVERSION_ID=\"\"\n"), "MacOSX/10.?.?");
    EXPECT_EQ(QNSessionSystemVersionStringFrom(std::nullopt, std::nullopt), "MacOSX/10.?.?");

    // This machine's: the running kernel's release, made once.
    struct utsname u {};
    ASSERT_EQ(::uname(&u), 0);
    EXPECT_EQ(QNSessionSystemVersionString(), QNSessionSystemVersionStringFrom(std::string(u.release), std::nullopt));
    EXPECT_TRUE(std::regex_match(QNSessionSystemVersionString(), std::regex(R"(MacOSX/\d+\.\d+\.\d+)")));
}

TEST(QNSessionUserAgentTest, ApplicationIdentifierFromTheBundle) {
    QNSessionBundle withID{"com.example.one", {{"QNUserAgentID", "My App"},
                                               {"CFBundleShortVersionString", "1.2 (34)"},
                                               {"CFBundleVersion", "99"}}};
    EXPECT_EQ(QNSessionApplicationIdentifier(&withID), "My_App/1.2_34");

    QNSessionBundle noShort{"com.example.two", {{"QNUserAgentID", ""}, {"CFBundleShortVersionString", ""},
                                                {"CFBundleVersion", "77"}}};
    EXPECT_EQ(QNSessionApplicationIdentifier(&noShort), "com.example.two/77");

    QNSessionBundle noVersion{"com.example.three", {{"CFBundleShortVersionString", "()"}}};
    EXPECT_EQ(QNSessionApplicationIdentifier(&noVersion), "com.example.three");

    // No identifier at all: the process name.
    QNSessionBundle anonymous{std::nullopt, {{"CFBundleVersion", "5"}}};
    EXPECT_EQ(QNSessionApplicationIdentifier(&anonymous),
              "proc_" + QNSessionCleanedUserAgentToken(std::string(program_invocation_short_name)) + "/5");

    // Cached by bundle identifier: later Info changes are not seen.
    withID.infoDictionary["CFBundleShortVersionString"] = "2.0";
    EXPECT_EQ(QNSessionApplicationIdentifier(&withID), "My_App/1.2_34");
    QNSessionBundle sameIdentifier{"com.example.one", {}};
    EXPECT_EQ(QNSessionApplicationIdentifier(&sameIdentifier), "My_App/1.2_34");
}

TEST(QNSessionUserAgentTest, StandardStringOfTheMainBundle) {
    std::string expected = platform::BundleInfo::identifier() + "/" +
                           QNSessionCleanedUserAgentToken(platform::BundleInfo::version()) + " " +
                           QNSessionSystemVersionString();
    EXPECT_EQ(QNSessionStandardUserAgentString(), expected);
    EXPECT_EQ(QNSessionStandardUserAgentString(nullptr), expected);
    auto main = QNSessionBundle::mainBundle();
    EXPECT_EQ(QNSessionStandardUserAgentString(&main), expected);
}

}  // namespace
}  // namespace quorvane
