// Photos move through the contact's photo links: uploaded, read back with their ETag, removed.

#include "sync/GooglePhotoTransfer.h"

#include <gtest/gtest.h>

#include "gdata/GDataLink.h"
#include "tests/sync/ProviderAccountTestSupport.h"

namespace quorvane {
namespace {

using platform::Bytes;
using platform::RunLoop;
using test::FakeProvider;

struct Downloaded {
    bool done = false;
    std::optional<Bytes> photo;
    std::optional<std::string> etag;
    std::optional<platform::Error> error;
};

Downloaded download(test::ProviderAccount& account, const std::shared_ptr<GDataEntryContact>& contact) {
    Downloaded d;
    GooglePhotoTransfer::download(account.service, contact, [&](auto photo, auto etag, auto error) {
        d = {true, photo, etag, error};
    });
    EXPECT_TRUE(RunLoop::main()->runUntil([&] { return d.done; }, 60));
    return d;
}

std::optional<std::string> upload(test::ProviderAccount& account, const std::shared_ptr<GDataEntryContact>& contact,
                                  const Bytes& photo) {
    bool done = false;
    std::optional<std::string> etag;
    GooglePhotoTransfer::upload(account.service, contact, photo, [&](auto e, auto error) {
        EXPECT_FALSE(error) << (error ? error->localizedDescription() : "");
        etag = e;
        done = true;
    });
    EXPECT_TRUE(RunLoop::main()->runUntil([&] { return done; }, 60));
    return etag;
}

TEST(GooglePhotoTransferTest, APhotoGoesUpComesBackWithItsETagAndCanBeRemoved) {
    test::ProviderAccount account;
    std::string id = account.provider.addContact("<title>With photo</title>");
    auto contact = account.contact(id);
    ASSERT_TRUE(contact);

    Downloaded none = download(account, contact);  // no photo yet: nothing, and no error
    EXPECT_FALSE(none.error);
    EXPECT_FALSE(none.photo);

    const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0xFF, 0xD9};
    auto etag = upload(account, contact, jpeg);
    ASSERT_TRUE(etag);
    ASSERT_TRUE(account.provider.entry(FakeProvider::Kind::Contacts, id)->photo);
    EXPECT_EQ(*account.provider.entry(FakeProvider::Kind::Contacts, id)->photo, std::string(jpeg.begin(), jpeg.end()));

    auto reread = account.contact(id);  // the entry now names the photo by the same ETag
    ASSERT_TRUE(reread && reread->photoLink());
    EXPECT_EQ(reread->photoLink()->ETag(), etag);
    Downloaded got = download(account, reread);
    EXPECT_FALSE(got.error);
    EXPECT_EQ(got.photo, jpeg);
    EXPECT_EQ(got.etag, etag);

    upload(account, reread, {});  // empty bytes remove it
    EXPECT_FALSE(account.provider.entry(FakeProvider::Kind::Contacts, id)->photo);
    EXPECT_FALSE(download(account, account.contact(id)).photo);
}

TEST(GooglePhotoTransferTest, AContactWithoutLinksIsAnErrorNotACrash) {
    test::ProviderAccount account;
    auto bare = GDataEntryContact::contactEntryWithFullNameString("Bare");
    EXPECT_TRUE(download(account, bare).error);
    bool done = false;
    GooglePhotoTransfer::upload(account.service, bare, Bytes{1}, [&](auto etag, auto error) {
        EXPECT_FALSE(etag);
        EXPECT_TRUE(error);
        done = true;
    });
    EXPECT_TRUE(RunLoop::main()->runUntil([&] { return done; }, 60));
}

}  // namespace
}  // namespace quorvane
