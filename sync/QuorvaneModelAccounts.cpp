// Which local contacts live in Exchange, Google CardDAV, Facebook and read-only accounts, as the
// planner and the writing steps ask per contact, and the group names the group filter offers.

#include <algorithm>
#include <functional>
#include <unordered_set>

#include "gdata/GDataTextConstruct.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

namespace {

constexpr const char* kSystemGroupPrefix = "System Group: ";

bool marked(const std::map<std::string, bool>& dict, const platform::CNContactPtr& contact) {
    if (!contact) return false;
    auto it = dict.find(contact->identifier());
    return it != dict.end() && it->second;
}

}  // namespace

// Marks the contacts of every container the test accepts: of the selected container only when
// there is one, of all containers otherwise.
static void fillContactDict(QuorvaneModel& model, std::map<std::string, bool>& dict, bool selectionOnly,
                            const std::function<bool(const platform::CNContainerPtr&)>& accepts) {
    std::vector<platform::CNContainerPtr> containers;
    if (selectionOnly && model.selectedContainer()) {
        containers.push_back(model.selectedContainer());
    } else {
        containers = model.getAppleContainersWithError().valueOr(std::vector<platform::CNContainerPtr>{});
    }
    for (const auto& container : containers) {
        if (!container || !accepts(container)) continue;
        // Key set 0, the smallest: only the identifiers are needed.
        for (const auto& contact :
             model.getAppleContactsInContainer(container, 0).valueOr(std::vector<platform::CNContactPtr>{})) {
            if (contact && !contact->identifier().empty()) dict[contact->identifier()] = true;
        }
    }
}

void QuorvaneModel::updateExchangeContactDict() {
    mExchangeContactDict.clear();
    if (!mUsingExchange) return;
    fillContactDict(*this, mExchangeContactDict, true,
                    [](const platform::CNContainerPtr& c) { return c->type() == platform::CNContainerType::Exchange; });
}

void QuorvaneModel::updateGoogleCardDAVContactDict() {
    mGoogleCardDAVContactDict.clear();
    if (!mUsingGoogleCardDAV) return;
    fillContactDict(*this, mGoogleCardDAVContactDict, true,
                    [this](const platform::CNContainerPtr& c) { return isGoogleContainer(c); });
}

void QuorvaneModel::updateFacebookContactDict() {
    mFacebookContactDict.clear();
    fillContactDict(*this, mFacebookContactDict, true,
                    [this](const platform::CNContainerPtr& c) { return isFacebookContainer(c); });
}

void QuorvaneModel::updateReadOnlyContactDict() {
    mReadOnlyContactDict.clear();
    fillContactDict(*this, mReadOnlyContactDict, false, [this](const platform::CNContainerPtr& c) {
        return isReadOnlyContainer(c) || isFacebookContainer(c);
    });
}

bool QuorvaneModel::isExchangeContact(const platform::CNContactPtr& contact) {
    return marked(mExchangeContactDict, contact);
}

bool QuorvaneModel::isGoogleCardDAVContact(const platform::CNContactPtr& contact) {
    return marked(mGoogleCardDAVContactDict, contact);
}

bool QuorvaneModel::isFacebookContact(const platform::CNContactPtr& contact) {
    return marked(mFacebookContactDict, contact);
}

bool QuorvaneModel::isReadOnlyContactWithContact(const platform::CNContactPtr& contact) {
    return marked(mReadOnlyContactDict, contact);
}

bool QuorvaneModel::isExchangeDestinationForNewContacts() {
    if (mCurrentSourceRecord && mCurrentSourceRecord->mContainerAccountType == ContainerAccountTypeExchange)
        return true;
    if (contactSourceMode() == ContactSourceModeAllAccounts) return mDefaultContainerIsExchange;
    return false;
}

std::vector<std::string> QuorvaneModel::getGroupFilterCandidateList() {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    auto add = [&](const std::string& name) {
        if (seen.insert(platform::lowercase(name)).second) names.push_back(name);
    };

    // The names chosen earlier stay offered even when their group is gone.
    for (const auto& name : selectedGroupSet()) add(name);

    // The Google groups, system groups under their plain names ("My Contacts" among them).
    if (mGroupFeed) {
        if (const auto& entries = mGroupFeed->entries()) {
            for (const auto& entry : *entries) {
                auto title = entry ? entry->title() : nullptr;
                auto text = title ? title->stringValue() : std::nullopt;
                if (text) add(platform::replaceAll(*text, kSystemGroupPrefix, ""));
            }
        }
    }

    // The local groups of the account as selected now.
    updateSelectedContainerWithError();
    for (const auto& group : getAppleGroupsInSelectedContainerWithError().valueOr(std::vector<platform::CNGroupPtr>{})) {
        if (group) add(group->name());
    }

    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return platform::localizedCompareIgnoringCase(a, b) < 0;
    });
    return names;
}

}  // namespace quorvane
