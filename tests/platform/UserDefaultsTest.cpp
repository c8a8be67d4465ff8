#include "platform/store/UserDefaults.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/store/LockFile.h"

using namespace quorvane::platform;
namespace fs = std::filesystem;

namespace {

class UserDefaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = Paths::configHome() / "defaults-tests" / info->name();
        fs::remove_all(dir_);
        file_ = dir_ / "com.example.Test.json";
    }

    static std::string contents(const fs::path& p) {
        std::string s;
        readFile(p, s);
        return s;
    }

    fs::path dir_;
    fs::path file_;
};

// Collects error log lines while alive.
struct LogCapture {
    std::shared_ptr<std::vector<std::string>> lines = std::make_shared<std::vector<std::string>>();
    LogCapture() {
        auto l = lines;
        Log::setSink([l](LogLevel level, std::string_view, std::string_view message) {
            if (level >= LogLevel::Error) l->emplace_back(message);
        });
    }
    ~LogCapture() { Log::setSink(nullptr); }
};

TEST_F(UserDefaultsTest, StandardInstanceIsSharedAndNamedAfterTheBundle) {
    auto a = UserDefaults::standardUserDefaults();
    EXPECT_EQ(a, UserDefaults::standardUserDefaults());
    EXPECT_EQ(a->path(), Paths::configHome() / "com.quorvane.Quorvane.json");

    a->setObject(Value(Value::Array{Value("session-1"), Value("session-2")}), "com.quorvane.QNSessionFetcher.downloads");
    ASSERT_TRUE(fs::exists(a->path()));
    UserDefaults reader(a->path());
    auto list = reader.arrayForKey("com.quorvane.QNSessionFetcher.downloads");
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 2u);
    EXPECT_EQ((*list)[1].asString(), "session-2");
    a->removeObjectForKey("com.quorvane.QNSessionFetcher.downloads");
}

TEST_F(UserDefaultsTest, EveryChangeIsWrittenAndASecondInstanceSeesIt) {
    UserDefaults first(file_);
    EXPECT_FALSE(first.objectForKey("name"));
    first.setObject(Value("Ada"), "name");
    first.setObject(Value(int64_t(42)), "count");
    first.setObject(Value(2.5), "ratio");
    first.setObject(Value(true), "flag");
    EXPECT_TRUE(first.synchronize());
    // The folder is made on the first write, and the file is private.
    struct stat st {};
    ASSERT_EQ(::stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    UserDefaults second(file_);
    EXPECT_EQ(second.stringForKey("name"), "Ada");
    EXPECT_EQ(second.integerForKey("count"), 42);
    EXPECT_DOUBLE_EQ(second.doubleForKey("ratio"), 2.5);
    EXPECT_TRUE(second.boolForKey("flag"));
    EXPECT_EQ(second.dictionaryRepresentation().keys(), (std::vector<std::string>{"name", "count", "ratio", "flag"}));

    // Replacing keeps the key's place; removing (directly or with a null value) is written too.
    first.setObject(Value("Grace"), "name");
    first.removeObjectForKey("count");
    first.setObject(Value(), "ratio");
    UserDefaults third(file_);
    EXPECT_EQ(third.stringForKey("name"), "Grace");
    EXPECT_FALSE(third.objectForKey("count"));
    EXPECT_FALSE(third.objectForKey("ratio"));
    EXPECT_EQ(third.dictionaryRepresentation().keys(), (std::vector<std::string>{"name", "flag"}));
}

TEST_F(UserDefaultsTest, TypedReadersOfAbsentAndMismatchedValues) {
    UserDefaults d(file_);
    EXPECT_FALSE(d.stringForKey("x"));
    EXPECT_FALSE(d.arrayForKey("x"));
    EXPECT_FALSE(d.dictionaryForKey("x"));
    EXPECT_FALSE(d.boolForKey("x"));
    EXPECT_EQ(d.integerForKey("x"), 0);
    EXPECT_EQ(d.doubleForKey("x"), 0.0);

    // An empty string and an empty array are stored values, not absent ones.
    d.setObject(Value(""), "empty");
    d.setObject(Value::array(), "none");
    EXPECT_EQ(d.stringForKey("empty"), "");
    ASSERT_TRUE(d.arrayForKey("none"));
    EXPECT_TRUE(d.arrayForKey("none")->empty());
    EXPECT_FALSE(d.dictionaryForKey("none"));
    EXPECT_FALSE(d.arrayForKey("empty"));

    d.setObject(Value("YES"), "s1");
    d.setObject(Value(" 12 "), "s2");
    d.setObject(Value("abc"), "s3");
    d.setObject(Value("3.75"), "s4");
    d.setObject(Value(int64_t(7)), "n");
    EXPECT_TRUE(d.boolForKey("s1"));
    EXPECT_TRUE(d.boolForKey("s2"));
    EXPECT_FALSE(d.boolForKey("s3"));
    EXPECT_EQ(d.integerForKey("s2"), 12);
    EXPECT_EQ(d.integerForKey("s3"), 0);
    EXPECT_EQ(d.integerForKey("s4"), 3);
    EXPECT_DOUBLE_EQ(d.doubleForKey("s4"), 3.75);
    EXPECT_EQ(d.stringForKey("n"), "7");
    EXPECT_FALSE(d.stringForKey("none"));
}

TEST_F(UserDefaultsTest, DatesBytesAndLookalikeDictionariesKeepTheirTypeAcrossALoad) {
    Value nested = Value::dictionary();
    nested.set("$date", Value("not a date"));
    Value plain = Value::dictionary();
    plain.set("when", Value(Date(123456.5)));
    plain.set("blob", Value(Bytes{0, 1, 2, 255}));
    plain.set("lookalike", nested);
    {
        UserDefaults d(file_);
        d.setObject(Value(Date(700000000.25)), "lastSync");
        d.setObject(plain, "nested");
    }
    UserDefaults d(file_);
    auto last = d.objectForKey("lastSync");
    ASSERT_TRUE(last && last->isDate());
    EXPECT_EQ(last->asDate(), Date(700000000.25));
    auto back = d.dictionaryForKey("nested");
    ASSERT_TRUE(back);
    EXPECT_EQ(Value::dictionary(*back), plain);
}

TEST_F(UserDefaultsTest, CorruptFileIsTreatedAsEmptyAndKeptUntilTheNextChange) {
    fs::create_directories(dir_);
    ASSERT_TRUE(writeFileAtomically(file_, "{\"name\": \"Ada\", "));  // cut short
    LogCapture log;
    {
        UserDefaults d(file_);
        EXPECT_FALSE(d.objectForKey("name"));
        EXPECT_EQ(log.lines->size(), 1u);
        // Reading, synchronising and removing an absent key leave the file as it was.
        EXPECT_TRUE(d.synchronize());
        d.removeObjectForKey("missing");
        EXPECT_EQ(contents(file_), "{\"name\": \"Ada\", ");
        EXPECT_FALSE(fs::exists(dir_ / "com.example.Test.json.corrupt"));

        d.setObject(Value("Grace"), "name");
    }
    EXPECT_EQ(contents(dir_ / "com.example.Test.json.corrupt"), "{\"name\": \"Ada\", ");
    UserDefaults again(file_);
    EXPECT_EQ(again.stringForKey("name"), "Grace");

    // A valid JSON document that is not an object counts as corrupt too; each is kept.
    for (const char* kept : {"[1, 2]", "7"}) {
        ASSERT_TRUE(writeFileAtomically(file_, kept));
        UserDefaults array(file_);
        EXPECT_TRUE(array.dictionaryRepresentation().asDictionary().empty());
        array.setObject(Value(int64_t(1)), "k");
    }
    EXPECT_EQ(contents(dir_ / "com.example.Test.json.corrupt"), "{\"name\": \"Ada\", ");
    EXPECT_EQ(contents(dir_ / "com.example.Test.json.corrupt.2"), "[1, 2]");
    EXPECT_EQ(contents(dir_ / "com.example.Test.json.corrupt.3"), "7");
}

TEST_F(UserDefaultsTest, UnreadableFileIsMovedAsideOnlyAtTheNextChange) {
    // A folder where the file should be cannot be read or copied: it is moved aside whole.
    fs::create_directories(file_ / "inside");
    LogCapture log;
    UserDefaults d(file_);
    EXPECT_FALSE(d.objectForKey("a"));
    EXPECT_EQ(log.lines->size(), 1u);
    EXPECT_TRUE(fs::is_directory(file_ / "inside"));
    d.setObject(Value("b"), "a");
    EXPECT_TRUE(fs::is_directory(dir_ / "com.example.Test.json.corrupt" / "inside"));
    UserDefaults reader(file_);
    EXPECT_EQ(reader.stringForKey("a"), "b");
}

TEST_F(UserDefaultsTest, FailedWriteStaysPendingUntilSynchronize) {
    // The folder cannot be made while a plain file stands in its place.
    fs::create_directories(dir_);
    ASSERT_TRUE(writeFileAtomically(dir_ / "blocker", "x"));
    fs::path file = dir_ / "blocker" / "defaults.json";
    LogCapture log;
    UserDefaults d(file);
    d.setObject(Value("b"), "a");
    EXPECT_FALSE(d.synchronize());
    EXPECT_EQ(d.stringForKey("a"), "b");
    EXPECT_GE(log.lines->size(), 2u);

    fs::remove(dir_ / "blocker");
    EXPECT_TRUE(d.synchronize());
    UserDefaults reader(file);
    EXPECT_EQ(reader.stringForKey("a"), "b");
}

// Another process writes the file while this instance holds what it read earlier: a write here
// changes only its own key, and undoes nothing of the other's.
TEST_F(UserDefaultsTest, AWriteChangesOnlyItsOwnKeyOverWhatAnotherProcessWrote) {
    UserDefaults early(file_);
    early.setObject(Value(true), "enabled");
    early.setObject(Value("x"), "gone");
    auto inChild = [&](const std::function<void()>& work) {
        const pid_t child = ::fork();
        if (child == 0) {
            work();
            ::_exit(0);
        }
        return child;
    };
    int status = 0;
    const pid_t first = inChild([&] {
        UserDefaults other(file_);
        other.setObject(Value(false), "enabled");
        other.removeObjectForKey("gone");
    });
    ASSERT_EQ(::waitpid(first, &status, 0), first);
    early.setObject(Value("u1"), "user");
    EXPECT_FALSE(early.boolForKey("enabled"));  // read with the write
    // A key another process set after this instance last read the file is removed all the same.
    const pid_t setter = inChild([&] { UserDefaults(file_).setObject(Value("y"), "late"); });
    ASSERT_EQ(::waitpid(setter, &status, 0), setter);
    early.removeObjectForKey("late");
    EXPECT_FALSE(UserDefaults(file_).objectForKey("late"));
    // Two processes writing at once lose nothing of each other's either.
    const pid_t child = inChild([&] {
        UserDefaults other(file_);
        for (int i = 0; i < 40; ++i) other.setObject(Value(int64_t(i)), "child-" + std::to_string(i));
    });
    for (int i = 0; i < 40; ++i) early.setObject(Value(int64_t(i)), "parent-" + std::to_string(i));
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    UserDefaults reader(file_);
    EXPECT_FALSE(reader.boolForKey("enabled"));
    EXPECT_FALSE(reader.objectForKey("gone"));
    EXPECT_EQ(reader.stringForKey("user"), "u1");
    EXPECT_EQ(reader.dictionaryRepresentation().size(), 82u);
}

// Processes racing to do something once: exactly one is told to, whatever each read before.
TEST_F(UserDefaultsTest, AFlagIsSetOnceAcrossProcesses) {
    UserDefaults early(file_);
    EXPECT_FALSE(early.objectForKey("done"));
    early.setObject(Value("kept"), "waiting");
    std::vector<pid_t> children;
    for (int i = 0; i < 6; ++i) {
        const pid_t child = ::fork();
        if (child == 0) ::_exit(UserDefaults(file_).setFlagOnce("done") ? 1 : 0);
        children.push_back(child);
    }
    int setters = 0;
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        setters += WEXITSTATUS(status);
    }
    EXPECT_EQ(setters, 1);
    EXPECT_FALSE(early.setFlagOnce("done"));  // set by a child since this instance read the file
    EXPECT_TRUE(early.boolForKey("done"));
    EXPECT_EQ(early.stringForKey("waiting"), "kept");
    EXPECT_TRUE(early.setFlagOnce("other"));
    EXPECT_FALSE(early.setFlagOnce("other"));
}

// The lock file is never reached through a symbolic link, and a lock held past the wait says who
// holds it.
TEST_F(UserDefaultsTest, TheLockFileIsNoLinkAndItsHolderIsNamed) {
    fs::create_directories(dir_);
    fs::path lock = file_;
    lock += ".lock";
    const fs::path target = dir_ / "elsewhere";
    fs::create_symlink(target, lock);
    UserDefaults d(file_);
    d.setObject(Value("b"), "a");
    EXPECT_FALSE(fs::exists(target));
    EXPECT_FALSE(fs::is_symlink(lock));
    EXPECT_EQ(UserDefaults(file_).stringForKey("a"), "b");

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        auto held = LockFile::acquire(lock, 0);
        char c = held && held->held() ? 'y' : 'n';
        (void)!::write(ready[1], &c, 1);
        ::pause();
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_EQ(LockFile::holder(lock).rfind("process " + std::to_string(holder) + " (", 0), 0u) << LockFile::holder(lock);
    auto busy = LockFile::acquire(lock, 0);
    ASSERT_TRUE(busy);
    EXPECT_FALSE(busy->held());
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(LockFile::holder(lock), "");
    auto free = LockFile::acquire(lock, 0);
    ASSERT_TRUE(free);
    EXPECT_TRUE(free->held());
}

// A writer killed in the middle of a write leaves its temporary beside the file: the next read or
// write removes it; one a live writer (stopped there) still holds stays until that writer is gone.
TEST_F(UserDefaultsTest, TemporariesOfWritersThatAreGoneAreRemoved) {
    fs::create_directories(dir_);
    auto temporaries = [&] {
        std::vector<std::string> out;
        for (const auto& entry : fs::directory_iterator(dir_))
            if (entry.path().filename().string().starts_with("." + file_.filename().string() + ".")) out.push_back(entry.path());
        std::sort(out.begin(), out.end());
        return out;
    };
    auto isLocked = [](const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        const bool held = fd >= 0 && ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
        if (fd >= 0) ::close(fd);
        return held;
    };
    // A child writing the file over and over, caught by the signal while a temporary of its stands
    // (stopped: one it has locked, since one made but not yet locked is anyone's to remove). Returns
    // the child and its temporary. A catch that missed is undone: the child and what it left go.
    auto caughtMidWrite = [&](int signo) -> std::pair<pid_t, std::string> {
        const auto before = temporaries();
        for (;;) {
            const pid_t child = ::fork();
            if (child == 0) {
                const std::string big(8 << 20, 'x');
                for (;;) (void)writeFileAtomically(file_, "{\"big\": \"" + big + "\"}", 0600);
            }
            while (temporaries() == before) std::this_thread::yield();
            ::kill(child, signo);
            siginfo_t info{};
            ::waitid(P_PID, child, &info, signo == SIGSTOP ? WSTOPPED : WEXITED);
            std::vector<std::string> made;
            for (const auto& path : temporaries())
                if (std::find(before.begin(), before.end(), path) == before.end()) made.push_back(path);
            if (made.size() == 1 && (signo != SIGSTOP || isLocked(made[0]))) return {child, made[0]};
            if (signo == SIGSTOP) {
                ::kill(child, SIGKILL);
                ::waitpid(child, nullptr, 0);
            }
            for (const auto& path : made) fs::remove(path);
        }
    };
    // The stopped writer first: its locked temporary is safe from the killed one's clean-ups.
    const auto [stopped, stoppedTemporary] = caughtMidWrite(SIGSTOP);
    const std::vector<std::string> held = {stoppedTemporary};
    ASSERT_EQ(temporaries(), held);
    caughtMidWrite(SIGKILL);
    ASSERT_EQ(temporaries().size(), 2u);

    UserDefaults d(file_);
    d.setObject(Value("b"), "a");
    EXPECT_EQ(temporaries(), held);
    ::kill(stopped, SIGKILL);
    ::waitpid(stopped, nullptr, 0);
    EXPECT_EQ(UserDefaults(file_).stringForKey("a"), "b");  // the first read
    EXPECT_TRUE(temporaries().empty());
}

TEST_F(UserDefaultsTest, ConcurrentWritersLoseNothing) {
    UserDefaults d(file_);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&d, t] {
            for (int i = 0; i < 25; ++i) {
                d.setObject(Value(int64_t(i)), "k" + std::to_string(t) + "-" + std::to_string(i));
                (void)d.integerForKey("k0-0");
            }
        });
    }
    for (auto& th : threads) th.join();
    UserDefaults reader(file_);
    EXPECT_EQ(reader.dictionaryRepresentation().size(), 100u);
    EXPECT_EQ(reader.integerForKey("k3-24"), 24);
}

}  // namespace
