// The keychain of generic passwords: items by service and account in a private folder.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "platform/foundation/Base64.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UUID.h"
#include "platform/store/Keychain.h"

namespace quorvane::platform {
namespace {

namespace fs = std::filesystem;

class KeychainTest : public ::testing::Test {
protected:
    void SetUp() override { folder = Paths::temporaryDirectory() / ("keychain-test-" + UUID().uuidString()) / "Keychain"; }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(folder.parent_path(), ec);
    }
    static Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

    fs::path folder;
};

TEST_F(KeychainTest, AddFindDeleteByServiceAndAccount) {
    Keychain keychain(folder);
    Bytes out;
    EXPECT_EQ(keychain.findGenericPassword("Quorvane", "OAuth", &out), KeychainStatus::ItemNotFound);
    ASSERT_EQ(keychain.addGenericPassword("Quorvane", "OAuth", bytes("refresh_token=abc")), KeychainStatus::Success);
    EXPECT_EQ(keychain.addGenericPassword("Quorvane", "OAuth", bytes("other")), KeychainStatus::DuplicateItem);
    ASSERT_EQ(keychain.findGenericPassword("Quorvane", "OAuth", &out), KeychainStatus::Success);
    EXPECT_EQ(out, bytes("refresh_token=abc"));  // the duplicate add changed nothing

    // Service and account are both part of the key, and they do not run into each other.
    ASSERT_EQ(keychain.addGenericPassword("Quorvan", "eOAuth", bytes("second")), KeychainStatus::Success);
    ASSERT_EQ(keychain.addGenericPassword("Quorvane", "Other", Bytes{0, 1, 2, 255}), KeychainStatus::Success);
    EXPECT_EQ(keychain.findGenericPassword("Quorvan", "eOAuth", &out), KeychainStatus::Success);
    EXPECT_EQ(out, bytes("second"));
    EXPECT_EQ(keychain.findGenericPassword("Quorvane", "Other", &out), KeychainStatus::Success);
    EXPECT_EQ(out, (Bytes{0, 1, 2, 255}));

    // A second keychain object on the same folder sees the same items.
    Keychain again(folder);
    EXPECT_EQ(again.deleteGenericPassword("Quorvane", "OAuth"), KeychainStatus::Success);
    EXPECT_EQ(keychain.findGenericPassword("Quorvane", "OAuth"), KeychainStatus::ItemNotFound);
    EXPECT_EQ(keychain.deleteGenericPassword("Quorvane", "OAuth"), KeychainStatus::ItemNotFound);
    EXPECT_EQ(keychain.findGenericPassword("Quorvan", "eOAuth"), KeychainStatus::Success);

    EXPECT_EQ(keychain.addGenericPassword("", "OAuth", bytes("x")), KeychainStatus::Param);
    EXPECT_EQ(keychain.findGenericPassword("Quorvane", ""), KeychainStatus::Param);
}

TEST_F(KeychainTest, ItemsArePrivateFilesAndNoTemporaryIsLeft) {
    Keychain keychain(folder);
    ASSERT_EQ(keychain.addGenericPassword("Quorvane", "OAuth", bytes("secret")), KeychainStatus::Success);
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        ++files;
        ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << entry.path();
        EXPECT_EQ(entry.path().extension(), ".item");
        std::string text;
        ASSERT_TRUE(readFile(entry.path(), text));
        EXPECT_EQ(text.find("secret"), std::string::npos);  // not in the clear, nor the names in the file name
    }
    EXPECT_EQ(files, 1u);
}

TEST_F(KeychainTest, ConcurrentAddsOfOneItemLetExactlyOneWin) {
    Keychain keychain(folder);
    std::vector<std::thread> threads;
    std::vector<KeychainStatus> results(8);
    for (size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] { results[i] = keychain.addGenericPassword("Race", "OAuth", bytes(std::to_string(i))); });
    for (auto& t : threads) t.join();
    size_t wins = 0;
    for (auto r : results) {
        if (r == KeychainStatus::Success) ++wins;
        else EXPECT_EQ(r, KeychainStatus::DuplicateItem);
    }
    EXPECT_EQ(wins, 1u);
}

TEST_F(KeychainTest, SetReplacesInOneStepAndAFailedWriteKeepsTheOldItem) {
    Keychain keychain(folder);
    ASSERT_EQ(keychain.setGenericPassword("Quorvane", "OAuth", bytes("refresh_token=old")), KeychainStatus::Success);
    ASSERT_EQ(keychain.setGenericPassword("Quorvane", "OAuth", bytes("refresh_token=new")), KeychainStatus::Success);
    Bytes out;
    ASSERT_EQ(keychain.findGenericPassword("Quorvane", "OAuth", &out), KeychainStatus::Success);
    EXPECT_EQ(out, bytes("refresh_token=new"));
    // A conditional set replaces only the item it was meant for, and makes none.
    auto holds = [](const std::string& text) { return [text](const Bytes& data) { return data == bytes(text); }; };
    EXPECT_EQ(keychain.setGenericPassword("Quorvane", "OAuth", bytes("refresh_token=x"), holds("refresh_token=old")),
              KeychainStatus::ItemNotFound);
    EXPECT_EQ(keychain.setGenericPassword("Quorvane", "None", bytes("refresh_token=x"), holds("")), KeychainStatus::ItemNotFound);
    EXPECT_EQ(keychain.findGenericPassword("Quorvane", "None"), KeychainStatus::ItemNotFound);
    EXPECT_EQ(keychain.setGenericPassword("Quorvane", "OAuth", bytes("refresh_token=new"), holds("refresh_token=new")),
              KeychainStatus::Success);

    // A write that cannot complete (the file size limit stops it) leaves the old item whole.
    signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit tiny = saved;
    tiny.rlim_cur = 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    KeychainStatus status = keychain.setGenericPassword("Quorvane", "OAuth", bytes("refresh_token=newest"));
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(status, KeychainStatus::IO);
    ASSERT_EQ(keychain.findGenericPassword("Quorvane", "OAuth", &out), KeychainStatus::Success);
    EXPECT_EQ(out, bytes("refresh_token=new"));
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(folder)) files += entry.is_regular_file();
    EXPECT_EQ(files, 1u);  // no temporary left behind
}

TEST_F(KeychainTest, AWriterKilledInTheMiddleOfASaveLeavesNoCopyOfTheSecretAfterTheNextAccess) {
    const std::string secret = "refresh_token=kill-me-" + UUID().uuidString();
    const std::string encoded = base64Encode(secret);
    std::mt19937 random(1234);
    for (int round = 0; round < 40; ++round) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            Keychain writer(folder);
            for (int i = 0;; ++i) {
                // One byte per save begun: the parent kills somewhere inside a save.
                if (::write(ready[1], "x", 1) != 1) ::_exit(1);
                bool add = i % 2 == 0;
                if (add) writer.deleteGenericPassword("Quorvane", "OAuth");
                if (add) writer.addGenericPassword("Quorvane", "OAuth", bytes(secret));
                else writer.setGenericPassword("Quorvane", "OAuth", bytes(secret));
            }
        }
        ::close(ready[1]);
        char c;
        for (int saves = 1 + int(random() % 4); saves > 0; --saves) ASSERT_EQ(::read(ready[0], &c, 1), 1);
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(ready[0]);
    }
    // The next access (here a sign-out) leaves no file that holds the secret.
    Keychain keychain(folder);
    keychain.deleteGenericPassword("Quorvane", "OAuth");
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::string text;
        ASSERT_TRUE(readFile(entry.path(), text));
        EXPECT_EQ(text.find(encoded), std::string::npos) << entry.path();
    }
}

TEST_F(KeychainTest, UnreadableItemIsReportedAndCanBeDeleted) {
    Keychain keychain(folder);
    ASSERT_EQ(keychain.addGenericPassword("Broken", "OAuth", bytes("x")), KeychainStatus::Success);
    for (const auto& entry : fs::directory_iterator(folder)) ASSERT_TRUE(writeFileAtomically(entry.path(), "not json", 0600));
    EXPECT_EQ(keychain.findGenericPassword("Broken", "OAuth"), KeychainStatus::Decode);
    EXPECT_EQ(keychain.deleteGenericPassword("Broken", "OAuth"), KeychainStatus::Success);
    EXPECT_EQ(keychain.findGenericPassword("Broken", "OAuth"), KeychainStatus::ItemNotFound);
}

TEST(KeychainDefaultTest, DefaultKeychainLivesUnderTheDataFolder) {
    fs::path path = Keychain::defaultPath();
    EXPECT_EQ(path.filename(), "Keychain");
    std::string data = Paths::dataHome().string();
    EXPECT_EQ(path.string().compare(0, data.size(), data), 0) << path;
    EXPECT_EQ(Keychain::defaultKeychain().get(), Keychain::defaultKeychain().get());
}

}  // namespace
}  // namespace quorvane::platform
