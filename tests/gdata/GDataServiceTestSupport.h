#pragma once
// Helpers for the GData service tests: small contacts feeds and entries in the provider's
// format, a record of what a call reported, and running the main run loop until it reported.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gdata/service/GDataServiceBase.h"
#include "platform/foundation/Error.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane::servicetest {

inline constexpr const char* kContactKindCategory =
    "<category scheme='http://schemas.google.com/g/2005#kind' "
    "term='http://schemas.google.com/contact/2008#contact'/>";

// One contact entry; the edit link and ETag only when given.
inline std::string contactEntryXML(const std::string& id, const std::string& title,
                                   const std::optional<std::string>& editHref = std::nullopt,
                                   const std::optional<std::string>& etag = std::nullopt,
                                   const std::string& extra = {}) {
    std::string out = "<entry";
    if (etag) out += " gd:etag='" + *etag + "'";
    out += "><id>" + id + "</id>" + kContactKindCategory + "<title>" + title + "</title>";
    if (editHref) out += "<link rel='edit' type='application/atom+xml' href='" + *editHref + "'/>";
    out += extra + "</entry>";
    return out;
}

inline std::string namespaceDeclarations() {
    return "xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005' "
           "xmlns:gContact='http://schemas.google.com/contact/2008' "
           "xmlns:batch='http://schemas.google.com/gdata/batch' "
           "xmlns:openSearch='http://a9.com/-/spec/opensearch/1.1/'";
}

// A standalone entry document.
inline std::string contactEntryDocument(const std::string& id, const std::string& title,
                                        const std::optional<std::string>& editHref = std::nullopt,
                                        const std::optional<std::string>& etag = std::nullopt) {
    std::string entry = contactEntryXML(id, title, editHref, etag);
    return "<?xml version='1.0' encoding='UTF-8'?>" + entry.insert(6, " " + namespaceDeclarations() + " ");
}

// A contacts feed of the given entries, with a next link when given.
inline std::string contactFeedXML(const std::vector<std::string>& entries,
                                  const std::optional<std::string>& nextHref = std::nullopt,
                                  const std::string& feedId = "http://www.google.com/m8/feeds/contacts/default/base") {
    std::string out = "<?xml version='1.0' encoding='UTF-8'?><feed " + namespaceDeclarations() +
                      " gd:etag='W/\"FEED\"'><id>" + feedId + "</id>" + kContactKindCategory +
                      "<title>Contacts</title>";
    if (nextHref) out += "<link rel='next' type='application/atom+xml' href='" + *nextHref + "'/>";
    for (const auto& e : entries) out += e;
    out += "</feed>";
    return out;
}

// What one call reported.
struct CallRecord {
    int calls = 0;
    int delegateCalls = 0;
    int handlerCalls = 0;
    GDataServiceTicketPtr ticket;
    GDataObjectPtr object;
    std::optional<platform::Error> error;
    bool onMainThread = true;
    std::vector<std::string> order;
};

inline GDataServiceCompletionHandler recordInto(const std::shared_ptr<CallRecord>& record,
                                                const std::string& name = "handler") {
    return [record, name](const GDataServiceTicketPtr& ticket, const GDataObjectPtr& object,
                          const std::optional<platform::Error>& error) {
        record->calls++;
        if (name == "delegate") record->delegateCalls++;
        else record->handlerCalls++;
        record->order.push_back(name);
        record->ticket = ticket;
        record->object = object;
        record->error = error;
        record->onMainThread = record->onMainThread && platform::RunLoop::isMainThread();
    };
}

inline GDataServiceDelegate delegateInto(const std::shared_ptr<CallRecord>& record) {
    return GDataServiceDelegate(recordInto(record, "delegate"), "ticket:finishedWithObject:error:");
}

inline bool pumpUntil(const std::function<bool()>& predicate, double timeout = 60) {
    return platform::RunLoop::main()->runUntil(predicate, timeout);
}

// Runs the main loop until the call reported, then a little longer so that a second report,
// wrongly made, would show.
inline void waitForReport(const std::shared_ptr<CallRecord>& record, double timeout = 60) {
    EXPECT_TRUE(pumpUntil([&] { return record->calls > 0; }, timeout));
    platform::RunLoop::main()->runUntil([] { return false; }, 0.05);
}

inline platform::Bytes bytesOf(std::string_view s) { return platform::Bytes(s.begin(), s.end()); }

}  // namespace quorvane::servicetest
