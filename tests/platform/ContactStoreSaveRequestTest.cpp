#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ContactStoreTestSupport.h"
#include "platform/runloop/NotificationCenter.h"

using namespace quorvane::platform;
using quorvane::platform::testing::ContactStoreTestBase;

namespace {

class ContactStoreSaveRequestTest : public ContactStoreTestBase {
protected:
    CNMutableContactPtr person(const std::string& given) {
        auto c = std::make_shared<CNMutableContact>();
        c->setGivenName(given);
        return c;
    }
    CNMutableGroupPtr group(const std::string& name) {
        auto g = std::make_shared<CNMutableGroup>();
        g->setName(name);
        return g;
    }
    std::vector<std::string> givenNames(const CNPredicatePtr& predicate = nullptr) {
        std::vector<std::string> out;
        for (const auto& c : fetch(predicate, {CNContactGivenNameKey})) out.push_back(c->givenName());
        return out;
    }
    std::vector<std::string> groupNames(const CNPredicatePtr& predicate = nullptr) {
        std::vector<std::string> out;
        auto groups = store_->groupsMatchingPredicate(predicate);
        EXPECT_TRUE(groups);
        if (groups)
            for (const auto& g : *groups) out.push_back(g->name());
        return out;
    }
};

using V = std::vector<std::string>;

TEST_F(ContactStoreSaveRequestTest, AFailingChangeUndoesTheWholeRequest) {
    addContainer("Local");
    auto kept = person("Kept");
    auto doomed = person("Doomed");
    auto family = group("Family");
    CNSaveRequest setup;
    setup.addContact(kept, std::nullopt);
    setup.addContact(doomed, std::nullopt);
    setup.addGroup(family, std::nullopt);
    setup.addMember(kept, family);
    ASSERT_TRUE(save(setup));

    // Someone else deletes a contact this side still holds.
    auto stale = fetch(CNContact::predicateForContactsWithIdentifiers({doomed->identifier()}), {CNContactGivenNameKey})[0]->mutableCopy();
    auto other = reopen();
    CNSaveRequest removal;
    removal.deleteContact(doomed);
    ASSERT_TRUE(other->executeSaveRequest(removal));

    int posted = 0;
    auto token = NotificationCenter::defaultCenter().addObserver(CNContactStoreDidChangeNotification, store_.get(), nullptr,
                                                                 [&](const Notification&) { ++posted; });

    // A request that adds, edits, regroups, renames and deletes before it reaches the stale update.
    auto added = person("Added");
    auto work = group("Work");
    auto renamedKept = kept->mutableCopy();
    renamedKept->setGivenName("Renamed");
    auto renamedFamily = family->mutableCopy();
    renamedFamily->setName("Kin");
    CNSaveRequest request;
    request.addContact(added, std::nullopt);
    request.addGroup(work, std::nullopt);
    request.addMember(added, work);
    request.removeMember(kept, family);
    request.updateContact(renamedKept);
    request.updateGroup(renamedFamily);
    stale->setGivenName("Too late");
    request.updateContact(stale);
    request.deleteGroup(family->mutableCopy());

    auto refused = save(request);
    ASSERT_FALSE(refused);
    const Error& error = refused.error();
    EXPECT_EQ(error.domain, CNErrorDomain);
    EXPECT_EQ(error.code, CNErrorCodeRecordDoesNotExist);
    const Value* affected = error.userInfo.find(CNErrorUserInfoAffectedRecordIdentifiersKey);
    ASSERT_TRUE(affected);
    EXPECT_EQ((*affected)[0].asString(), doomed->identifier());
    EXPECT_EQ(posted, 0);

    // Nothing of the request stayed, as seen from this store and from a fresh one.
    EXPECT_EQ(givenNames(), (V{"Kept"}));
    EXPECT_EQ(groupNames(), (V{"Family"}));
    EXPECT_EQ(givenNames(CNContact::predicateForContactsInGroupWithIdentifier(family->identifier())), (V{"Kept"}));
    EXPECT_EQ(fetch(nullptr, {CNContactGivenNameKey}, reopen().get()).size(), 1u);

    // The store is usable afterwards, and a good request goes through and is announced once.
    CNSaveRequest good;
    good.addContact(added, std::nullopt);
    ASSERT_TRUE(save(good));
    EXPECT_EQ(posted, 1);
    EXPECT_EQ(givenNames(), (V{"Kept", "Added"}));
}

// A conditional update or deletion reads the stored contact in its own transaction: edited by
// another connection since the caller read it, the whole request is refused naming it.
TEST_F(ContactStoreSaveRequestTest, AConditionalChangeGoesAheadOnlyWhileTheContactIsAsRead) {
    addContainer("Local");
    auto ann = person("Ann"), bob = person("Bob");
    CNSaveRequest setup;
    setup.addContact(ann, std::nullopt);
    setup.addContact(bob, std::nullopt);
    ASSERT_TRUE(save(setup));
    const std::vector<CNKeyDescriptor> keys = {CNContactGivenNameKey, CNContactNoteKey};
    auto read = [&] { return fetch(CNContact::predicateForContactsWithIdentifiers({ann->identifier()}), keys)[0]; };
    auto asRead = [](const CNContactPtr& was) {
        return [note = was->note()](const CNContact& now) { return now.note() == note; };
    };
    const CNContactPtr before = read();
    auto edit = before->mutableCopy();
    edit->setNote("edited elsewhere");
    CNSaveRequest elsewhere;
    elsewhere.updateContact(edit);
    ASSERT_TRUE(reopen()->executeSaveRequest(elsewhere));
    for (const bool remove : {false, true}) {
        SCOPED_TRACE(remove);
        auto renamedBob = bob->mutableCopy();
        renamedBob->setGivenName("Robert");
        auto stale = before->mutableCopy();
        stale->setGivenName("Annie");
        CNSaveRequest request;
        request.updateContact(renamedBob);
        remove ? request.deleteContact(stale, keys, asRead(before)) : request.updateContact(stale, keys, asRead(before));
        auto refused = save(request);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().code, CNErrorCodeRecordChanged);
        EXPECT_EQ(refused.error().userInfo[CNErrorUserInfoAffectedRecordIdentifiersKey][0].asString(), ann->identifier());
        EXPECT_EQ(givenNames(), (V{"Ann", "Bob"}));
        EXPECT_EQ(read()->note(), "edited elsewhere");
    }
    // Read again, it goes ahead.
    auto fresh = read()->mutableCopy();
    fresh->setGivenName("Annie");
    CNSaveRequest update;
    update.updateContact(fresh, keys, asRead(read()));
    ASSERT_TRUE(save(update));
    EXPECT_EQ(givenNames(), (V{"Annie", "Bob"}));
}

TEST_F(ContactStoreSaveRequestTest, RefusedChangesReportTheirCause) {
    // No container to put a contact in.
    CNSaveRequest orphan;
    orphan.addContact(person("Nowhere"), std::nullopt);
    EXPECT_EQ(save(orphan).error().code, CNErrorCodeNoContainer);

    auto local = addContainer("Local");
    CNSaveRequest wrongContainer;
    wrongContainer.addGroup(group("G"), std::string("no-such-container"));
    EXPECT_EQ(save(wrongContainer).error().code, CNErrorCodeRecordDoesNotExist);

    // The same contact added twice in one request: the second add fails and the first is undone.
    auto twice = person("Twice");
    CNSaveRequest duplicate;
    duplicate.addContact(twice, local->identifier());
    duplicate.addContact(twice, local->identifier());
    EXPECT_EQ(save(duplicate).error().code, CNErrorCodeInsertedRecordAlreadyExists);
    EXPECT_TRUE(givenNames().empty());

    // Members need both sides; deleting or renaming what is gone fails.
    auto g = group("G");
    CNSaveRequest setup;
    setup.addGroup(g, std::nullopt);
    ASSERT_TRUE(save(setup));
    CNSaveRequest strayMember;
    strayMember.addMember(person("Never saved"), g);
    EXPECT_EQ(save(strayMember).error().code, CNErrorCodeRecordDoesNotExist);
    CNSaveRequest strayDelete;
    strayDelete.deleteGroup(group("Never saved"));
    EXPECT_EQ(save(strayDelete).error().code, CNErrorCodeRecordDoesNotExist);
    CNSaveRequest strayRename;
    strayRename.updateGroup(group("Never saved"));
    EXPECT_EQ(save(strayRename).error().code, CNErrorCodeRecordDoesNotExist);
    CNSaveRequest strayContactDelete;
    strayContactDelete.deleteContact(person("Never saved"));
    EXPECT_EQ(save(strayContactDelete).error().code, CNErrorCodeRecordDoesNotExist);
    EXPECT_EQ(groupNames(), (V{"G"}));

    // An empty request succeeds.
    EXPECT_TRUE(save(CNSaveRequest()));
}

TEST_F(ContactStoreSaveRequestTest, GroupsAndMembershipsFollowTheirContactsAndContainers) {
    auto a = addContainer("A");
    auto b = addContainer("B", CNContainerType::CardDAV);
    auto ann = person("Ann");
    auto bob = person("Bob");
    auto cat = person("Cat");
    auto friends = group("Friends");
    auto club = group("Club");
    auto other = group("Elsewhere");
    CNSaveRequest setup;
    for (auto& p : {ann, bob, cat}) setup.addContact(p, a->identifier());
    setup.addGroup(friends, a->identifier());
    setup.addGroup(club, a->identifier());
    setup.addGroup(other, b->identifier());
    setup.addMember(ann, friends);
    setup.addMember(bob, friends);
    setup.addMember(bob, friends);  // adding twice is harmless
    setup.addMember(bob, club);
    setup.addMember(cat, club);
    ASSERT_TRUE(save(setup));

    EXPECT_EQ(groupNames(CNGroup::predicateForGroupsInContainerWithIdentifier(a->identifier())), (V{"Friends", "Club"}));
    EXPECT_EQ(groupNames(CNGroup::predicateForGroupsInContainerWithIdentifier(b->identifier())), (V{"Elsewhere"}));
    EXPECT_EQ(groupNames(CNGroup::predicateForGroupsWithIdentifiers({club->identifier(), other->identifier()})),
              (V{"Club", "Elsewhere"}));
    auto inB = store_->containersMatchingPredicate(CNContainer::predicateForContainerOfGroupWithIdentifier(other->identifier()));
    ASSERT_TRUE(inB && inB->size() == 1);
    EXPECT_EQ((*inB)[0]->identifier(), b->identifier());
    EXPECT_EQ(givenNames(CNContact::predicateForContactsInGroupWithIdentifier(friends->identifier())), (V{"Ann", "Bob"}));

    // Removing a member, deleting a member contact, renaming and deleting a group.
    auto renamed = club->mutableCopy();
    renamed->setName("Book Club");
    CNSaveRequest changes;
    changes.removeMember(ann, friends);
    changes.removeMember(ann, club);  // not a member: nothing to do
    changes.deleteContact(bob->mutableCopy());
    changes.updateGroup(renamed);
    changes.deleteGroup(friends);
    ASSERT_TRUE(save(changes));

    auto reopened = reopen();
    auto groups = reopened->groupsMatchingPredicate(nullptr);
    ASSERT_TRUE(groups);
    ASSERT_EQ(groups->size(), 2u);
    EXPECT_EQ((*groups)[0]->name(), "Book Club");
    EXPECT_EQ((*groups)[0]->identifier(), club->identifier());
    EXPECT_EQ(givenNames(CNContact::predicateForContactsInGroupWithIdentifier(club->identifier())), (V{"Cat"}));
    EXPECT_TRUE(givenNames(CNContact::predicateForContactsInGroupWithIdentifier(friends->identifier())).empty());
    EXPECT_EQ(givenNames(), (V{"Ann", "Cat"}));  // a group's deletion leaves its contacts
}

TEST_F(ContactStoreSaveRequestTest, TheStoreAnnouncesEachSavedRequest) {
    addContainer("Local");
    std::atomic<int> fromStore{0}, fromAny{0};
    const void* poster = nullptr;
    auto mine = NotificationCenter::defaultCenter().addObserver(CNContactStoreDidChangeNotification, store_.get(), nullptr,
                                                                [&](const Notification& n) {
                                                                    poster = n.object;
                                                                    ++fromStore;
                                                                });
    auto any = NotificationCenter::defaultCenter().addObserver(CNContactStoreDidChangeNotification, nullptr, nullptr,
                                                               [&](const Notification&) { ++fromAny; });
    CNSaveRequest one;
    one.addContact(person("One"), std::nullopt);
    ASSERT_TRUE(save(one));
    EXPECT_EQ(fromStore, 1);
    EXPECT_EQ(poster, store_.get());

    // Another store on the same file announces its own saves.
    auto other = reopen();
    CNSaveRequest two;
    two.addContact(person("Two"), std::nullopt);
    ASSERT_TRUE(other->executeSaveRequest(two));
    EXPECT_EQ(fromStore, 1);
    EXPECT_EQ(fromAny, 2);
}

TEST_F(ContactStoreSaveRequestTest, ObjectsAreSavedAsTheyAreWhenTheRequestRuns) {
    auto clock = std::make_shared<ManualClock>(Date(5000));
    Clock::setCurrent(clock);
    addContainer("Local");
    auto late = person("Draft");
    CNSaveRequest request;
    request.addContact(late, std::nullopt);
    late->setGivenName("Final");
    late->setEmailAddresses({CNLabeledValue<std::string>(std::string(CNLabelWork), "final@example.com")});
    ASSERT_TRUE(save(request));

    // An update that changes nothing keeps the modification date.
    clock->advance(30);
    auto untouched = fetch(nullptr, {CNContactGivenNameKey})[0]->mutableCopy();
    CNSaveRequest noop;
    noop.updateContact(untouched);
    ASSERT_TRUE(save(noop));
    Clock::setCurrent(nullptr);

    auto found = fetch(nullptr, {CNContactGivenNameKey, CNContactEmailAddressesKey, CNContactModificationDateKey});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->givenName(), "Final");
    EXPECT_EQ(found[0]->emailAddresses()[0].value(), "final@example.com");
    EXPECT_EQ(found[0]->modificationDate(), Date(5000));
}

TEST_F(ContactStoreSaveRequestTest, SavesFromSeveralThreadsAndStoresAllLand) {
    addContainer("Local");
    auto other = reopen();
    std::atomic<int> failures{0};
    auto writer = [&](CNContactStore* store, const std::string& prefix) {
        for (int i = 0; i < 15; ++i) {
            CNSaveRequest request;
            request.addContact(person(prefix + std::to_string(i)), std::nullopt);
            if (!store->executeSaveRequest(request)) ++failures;
        }
    };
    std::thread a(writer, store_.get(), "a");
    std::thread b(writer, other.get(), "b");
    std::thread c(writer, store_.get(), "c");
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(givenNames().size(), 45u);
}

}  // namespace
