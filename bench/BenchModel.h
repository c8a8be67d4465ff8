#pragma once
// What the sync benchmarks share: the provider's one system group, and a model with its settings
// and contact store in a fresh folder of its own.

#include <filesystem>
#include <memory>
#include <string>

#include "gdata/GDataEntryContact.h"
#include "gdata/GDataFeedContactGroup.h"
#include "platform/contacts/CNContactStore.h"
#include "sync/QuorvaneModel.h"

namespace quorvane::bench {

inline const std::string kGroupBase = "http://www.google.com/m8/feeds/groups/me%40example.com/base/";

// A group feed of one group, "My Contacts" (id kGroupBase + "6").
inline std::shared_ptr<GDataFeedContactGroup> groupFeed() {
    std::string xml =
        "<feed xmlns='http://www.w3.org/2005/Atom' xmlns:gContact='http://schemas.google.com/contact/2008'>"
        "<entry><id>" + kGroupBase + "6</id><title>System Group: My Contacts</title>"
        "<gContact:systemGroup id='Contacts'/></entry></feed>";
    return GDataFeedContactGroup::contactGroupFeedWithXMLData(platform::Bytes(xml.begin(), xml.end()));
}

// <temp>/quorvane-bench/<bench>/<name>, emptied.
inline std::filesystem::path freshFolder(const std::string& bench, const std::string& name) {
    auto dir = std::filesystem::temp_directory_path() / "quorvane-bench" / bench / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// A model keeping its settings in dir, on the given store (or a new one in dir), with groupFeed().
inline std::shared_ptr<QuorvaneModel> makeModel(const std::filesystem::path& dir,
                                                std::shared_ptr<platform::CNContactStore> store = nullptr) {
    registerContactClasses();
    QuorvaneModel::Environment env;
    env.userDefaults = std::make_shared<platform::UserDefaults>(dir / "defaults.json");
    env.contactStore = store ? std::move(store) : std::make_shared<platform::CNContactStore>(dir / "Contacts.sqlite");
    env.timeZone = platform::TimeZone::universal();
    env.dataFolder = dir / "profile";
    auto model = std::make_shared<QuorvaneModel>(std::move(env));
    model->setGroupFeed(groupFeed());
    return model;
}

}  // namespace quorvane::bench
