#pragma once
// The local contact store, kept in one SQLite file: containers, groups, contacts with all their
// properties, group memberships, and (beside them, for ACAccountStore) the accounts the
// containers belong to.
//
// Fetches read only the columns of the keys asked for. A save request runs in one transaction
// and stamps the creation and modification dates from the process Clock; after it commits the
// store posts CNContactStoreDidChangeNotification (object: the store) on the default
// notification center, on the saving thread.
//
// The file is opened at the first operation and its schema made or checked then; a file that
// cannot be opened, or holds a newer schema, makes every operation fail with
// CNErrorCodeCommunicationError. Operations are thread-safe.
//
// Containers belong to accounts, which the system sets up; addContainer and
// setDefaultContainerIdentifier are that set-up (used by the tools and tests).

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/contacts/CNContact.h"
#include "platform/contacts/CNContainer.h"
#include "platform/contacts/CNGroup.h"
#include "platform/contacts/CNSaveRequest.h"
#include "platform/foundation/Error.h"

namespace quorvane::platform {

class ContactsDatabase;
class SQLStatement;

class CNContactFetchRequest {
public:
    explicit CNContactFetchRequest(std::vector<CNKeyDescriptor> keysToFetch) : keysToFetch_(std::move(keysToFetch)) {}

    const std::vector<CNKeyDescriptor>& keysToFetch() const { return keysToFetch_; }
    void setKeysToFetch(std::vector<CNKeyDescriptor> k) { keysToFetch_ = std::move(k); }
    // nullptr: every contact.
    const CNPredicatePtr& predicate() const { return predicate_; }
    void setPredicate(CNPredicatePtr p) { predicate_ = std::move(p); }
    // The store links no contacts, so unified and plain results are the same contacts.
    bool unifyResults() const { return unifyResults_; }
    void setUnifyResults(bool b) { unifyResults_ = b; }
    // Whether the results are CNMutableContact objects.
    bool mutableObjects() const { return mutableObjects_; }
    void setMutableObjects(bool b) { mutableObjects_ = b; }

private:
    std::vector<CNKeyDescriptor> keysToFetch_;
    CNPredicatePtr predicate_;
    bool unifyResults_ = true;
    bool mutableObjects_ = false;
};

class CNContactStore {
public:
    // The store of the standard file (defaultPath()).
    CNContactStore();
    explicit CNContactStore(std::filesystem::path file);
    ~CNContactStore();
    CNContactStore(const CNContactStore&) = delete;
    CNContactStore& operator=(const CNContactStore&) = delete;

    // <application support>/Contacts.sqlite under $XDG_DATA_HOME.
    static std::filesystem::path defaultPath();
    const std::filesystem::path& path() const { return path_; }

    // Contacts in store order (the order they were added). A null predicate selects all.
    // Every operation below answers a CNErrorDomain error on failure.
    Result<std::vector<CNContactPtr>> unifiedContactsMatchingPredicate(const CNPredicatePtr& predicate,
                                                                       const std::vector<CNKeyDescriptor>& keys);
    // How many contacts the predicate selects, without reading them.
    Result<size_t> countOfContactsMatchingPredicate(const CNPredicatePtr& predicate);
    // The identifiers of the contacts the predicate selects, in store order, without reading them.
    Result<std::vector<std::string>> identifiersOfContactsMatchingPredicate(const CNPredicatePtr& predicate);
    // Calls the block for each contact in store order until it sets stop.
    Result<void> enumerateContactsWithFetchRequest(
        const CNContactFetchRequest& request, const std::function<void(const CNContactPtr& contact, bool& stop)>& block);

    Result<std::vector<CNGroupPtr>> groupsMatchingPredicate(const CNPredicatePtr& predicate);
    Result<std::vector<CNContainerPtr>> containersMatchingPredicate(const CNPredicatePtr& predicate);
    // The container that receives contacts added without one: the one set, else the first
    // local container, else the first container; "" when there is none.
    std::string defaultContainerIdentifier();

    // Applies every change of the request, or none.
    Result<void> executeSaveRequest(const CNSaveRequest& request);

    // Set-up: adds a container (a new identifier "<UUID>:ABAccount" when none is given) and
    // returns it; an error also when the identifier is taken.
    Result<CNContainerPtr> addContainer(std::string name, CNContainerType type,
                                        std::optional<std::string> identifier = std::nullopt);
    // Set-up on first use: adds a container unless the store holds one already, both in one
    // transaction (of processes doing it at once, one adds it); nullptr when there was one.
    Result<CNContainerPtr> addContainerIfNone(std::string name, CNContainerType type);
    Result<void> setDefaultContainerIdentifier(const std::string& identifier);

private:
    Result<ContactsDatabase*> database();
    // Adds the container, under the lock; only when the store has none when onlyIfNone.
    Result<CNContainerPtr> insertContainer(std::string identifier, std::string name, CNContainerType type, bool onlyIfNone);
    // The columns a fetch of these keys reads, and a contact from the current row of such a fetch.
    struct ContactColumns;
    static ContactColumns contactColumns(const std::vector<CNKeyDescriptor>& keys);
    static CNContactPtr contactFromRow(const SQLStatement& st, const ContactColumns& columns, bool mutableObject);
    // Runs `select` over the contacts the predicate selects (then `tail`) under the lock, each row
    // to `row`; an error that says `failure` when the store cannot answer.
    Result<void> queryContacts(const CNPredicatePtr& predicate, const std::string& select, const std::string& tail,
                               const char* failure, const std::function<void(const SQLStatement&)>& row);

    const std::filesystem::path path_;
    std::mutex mutex_;
    std::unique_ptr<ContactsDatabase> db_;
};

using CNContactStorePtr = std::shared_ptr<CNContactStore>;

}  // namespace quorvane::platform
