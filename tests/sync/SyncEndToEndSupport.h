#pragma once
// Whole sync runs of a model on a local container against the fake provider, with time that can
// be moved on (the history tells a change from a write of its own by more than a few seconds),
// and both sides read back by contact name.

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "gdata/GDataEntryContent.h"
#include "platform/contacts/CNSaveRequest.h"
#include "sync/SyncRun.h"
#include "tests/sync/ProviderSyncTestBase.h"

namespace quorvane::testing {

// The system clock moved ahead by a settable offset; its monotonic time is the system's, so that
// timers and deadlines keep working.
class ShiftedClock : public platform::Clock {
public:
    platform::Date now() const override { return system_.now().addingTimeInterval(offset.load()); }
    double monotonic() const override { return system_.monotonic(); }
    std::atomic<double> offset{0};

private:
    platform::SystemClock system_;
};

inline std::string xmlEscaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '"') out += "&quot;";
        else if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else out += c;
    }
    return out;
}

inline std::string personXML(const std::string& given, const std::string& family) {
    return "<gd:name><gd:givenName>" + given + "</gd:givenName><gd:familyName>" + family + "</gd:familyName></gd:name>";
}

template <class Map>
std::vector<std::string> names(const Map& byName) {
    std::vector<std::string> out;
    for (const auto& [name, contact] : byName) out.push_back(name);
    return out;
}

class EndToEndTestBase : public ProviderSyncTestBase {
protected:
    using LocalContacts = std::map<std::string, platform::CNContactPtr>;
    using GoogleContacts = std::map<std::string, std::shared_ptr<GDataEntryContact>>;

    void SetUp() override {
        ProviderSyncTestBase::SetUp();
        platform::Clock::setCurrent(clock_);
        container_ = addContainer("Local", platform::CNContainerType::Local);
        model_->setContactSourceMode(ContactSourceModeCustomContainer);
        model_->setCustomContainerID(container_->identifier());
        model_->setSyncPhotosSetting(false);
        model_->setMergeContacts_2Way(false);
        model_->setSyncDeletedContacts(true);
        model_->setConfirmPendingDeletions(false);
        model_->updateSelectedContainerWithError();
    }
    void TearDown() override {
        ProviderSyncTestBase::TearDown();
        platform::Clock::setCurrent(nullptr);
    }

    // Time passes on both sides.
    void later(double seconds = 60) {
        clock_->offset = clock_->offset.load() + seconds;
        provider.advanceTime(seconds);
    }

    std::shared_ptr<SyncRun> startRun(std::function<void(SyncRun&)> finished, int32_t mode = SyncModeTwoWay,
                                      bool planOnly = false) {
        SyncRunOptions options;
        options.syncMode = mode;
        options.planOnly = planOnly;
        auto run = model_->startSyncRun(options, std::move(finished));
        EXPECT_TRUE(run);
        return run;
    }
    // One whole run (or only its plan); answers it once finished.
    std::shared_ptr<SyncRun> sync(bool planOnly = false, int32_t mode = SyncModeTwoWay) {
        bool finished = false;
        auto run = startRun([&](SyncRun&) { finished = true; }, mode, planOnly);
        EXPECT_TRUE(platform::RunLoop::main()->runUntil([&] { return finished; }, 240));
        return run;
    }

    std::string addLocal(const AppleName& name, std::optional<platform::Bytes> photo = std::nullopt) {
        auto contact = std::dynamic_pointer_cast<platform::CNMutableContact>(makeAppleContact(name));
        if (photo) contact->setImageData(photo);
        platform::CNSaveRequest request;
        request.addContact(contact, container_->identifier());
        auto saved = store_->executeSaveRequest(request);
        EXPECT_TRUE(saved) << saved.error().localizedDescription();
        return contact->identifier();
    }
    void saveLocal(const platform::CNContactPtr& contact, const std::function<void(platform::CNMutableContact&)>& edit,
                   bool remove = false) {
        ASSERT_TRUE(contact);
        auto copy = contact->mutableCopy();
        platform::CNSaveRequest request;
        if (remove) {
            request.deleteContact(copy);
        } else {
            edit(*copy);
            request.updateContact(copy);
        }
        auto saved = store_->executeSaveRequest(request);
        ASSERT_TRUE(saved) << saved.error().localizedDescription();
    }
    void editLocal(const std::string& name, const std::function<void(platform::CNMutableContact&)>& edit) {
        saveLocal(localByName()[name], edit);
    }
    // Moves a local contact into another account, as a program that can would (the store's own
    // requests cannot).
    void moveLocal(const std::string& id, const platform::CNContainerPtr& to) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(store_->path().c_str(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 60000);
        const std::string sql = "UPDATE contacts SET container_id = (SELECT id FROM containers WHERE identifier = '" +
                                to->identifier() + "') WHERE identifier = '" + id + "'";
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        EXPECT_EQ(sqlite3_changes(db), 1);
        sqlite3_close(db);
    }

    // Every local contact of the synced container, by display name (each name once).
    LocalContacts localByName() {
        LocalContacts out;
        auto contacts = model_->getAppleContactsInContainer(container_, 6);
        EXPECT_TRUE(contacts);
        for (const auto& c : contacts.valueOr(std::vector<platform::CNContactPtr>{})) {
            auto name = QuorvaneModel::getDescriptionWithAppleContact(c);
            EXPECT_FALSE(out.count(name)) << "two local contacts named " << name;
            out[name] = c;
        }
        return out;
    }
    GoogleContacts googleByName() {
        GoogleContacts out;
        auto feed = account.contactsFeed();
        if (!feed || !feed->entries()) return out;
        for (const auto& e : *feed->entries()) {
            auto c = std::dynamic_pointer_cast<GDataEntryContact>(e);
            auto name = QuorvaneModel::getDescriptionWithGoogleContact(c, true);
            EXPECT_FALSE(out.count(name)) << "two Google contacts named " << name;
            out[name] = c;
        }
        return out;
    }
    // The provider's id of the Google contact of that name.
    std::string googleID(const std::string& name) {
        auto c = googleByName()[name];
        if (!c || !c->identifier()) return "";
        const std::string id = *c->identifier();
        return id.substr(id.rfind('/') + 1);
    }
    static std::string googleNote(const std::shared_ptr<GDataEntryContact>& c) {
        return c && c->content() ? c->content()->stringValue().value_or("") : "";
    }

    // A plan of the two sides as they are finds `count` pairs, each equal under the comparison,
    // and nothing to do.
    void expectInSync(size_t count) {
        auto run = sync(/*planOnly=*/true);
        EXPECT_EQ(run->plan().changes(), 0u);
        EXPECT_EQ(run->records().size(), count);
        for (const auto& r : run->records()) {
            EXPECT_TRUE(r->mAppleContact && r->mGoogleContact && r->mContactsConfirmedEquivalentBeforeSync)
                << r->mDescription.value_or("?") << " differs: " << r->mContactDifference;
        }
        EXPECT_EQ(localByName().size(), count);
        EXPECT_EQ(googleByName().size(), count);
    }

    std::shared_ptr<ShiftedClock> clock_ = std::make_shared<ShiftedClock>();
    platform::CNContainerPtr container_;
};

}  // namespace quorvane::testing
