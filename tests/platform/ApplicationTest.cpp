// The application object: events go through sendEvent, an application exception escaping one is
// reported and the loop goes on, and both operations can be replaced while the program runs.

#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/runloop/Application.h"

using namespace quorvane::platform;

namespace {

std::vector<std::string> gReported;
void recordReport(Application&, const crash::UncaughtException& e) { gReported.push_back(e.name + ": " + e.reason); }

int gSent = 0;
Application::SendEventImplementation gPreviousSend = nullptr;
void countingSend(Application& app, const ApplicationEvent& event) {
    ++gSent;
    gPreviousSend(app, event);
}

}  // namespace

TEST(Application, EscapingApplicationExceptionsAreReportedAndOthersPassOn) {
    auto previousReport = Application::setReportExceptionImplementation(recordReport);
    gPreviousSend = Application::setSendEventImplementation(countingSend);
    auto& app = Application::shared();

    bool ran = false;
    app.handleEvent({"click", [&] { ran = true; }});
    app.handleEvent({"bad", [] { raiseApplicationException("NSInvalidArgumentException", "no such row"); }});
    EXPECT_THROW(app.handleEvent({"other", [] { throw std::runtime_error("not ours"); }}), std::runtime_error);

    EXPECT_TRUE(ran);
    EXPECT_EQ(gSent, 3);
    EXPECT_EQ(gReported, std::vector<std::string>{"NSInvalidArgumentException: no such row"});
    try {
        raiseApplicationException("N", "R");
    } catch (const crash::UncaughtException& e) {
        EXPECT_FALSE(e.callStackReturnAddresses.empty());
    }

    EXPECT_EQ(Application::setSendEventImplementation(gPreviousSend), countingSend);
    EXPECT_EQ(Application::setReportExceptionImplementation(previousReport), recordReport);
}
