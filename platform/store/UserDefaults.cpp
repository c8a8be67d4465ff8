#include "platform/store/UserDefaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <mutex>
#include <system_error>

#include "platform/foundation/Base64.h"
#include "platform/foundation/BundleInfo.h"
#include "platform/foundation/ForkSafeMutex.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/store/LockFile.h"

namespace quorvane::platform {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kLogCategory = "UserDefaults";

// The waits for locks that stayed held, counted for the whole process: however many settings
// files (a profile's, the telemetry's) are held, it waits UserDefaults::kLockWaitSeconds in all,
// then only tries.
ForkSafeMutex& heldWaitMutex() {
    static auto& m = *new ForkSafeMutex;  // never destroyed: threads may use it while the process exits
    return m;
}
double heldWaitSpent = 0;
constexpr std::string_view kDateTag = "$date";
constexpr std::string_view kDataTag = "$data";
constexpr std::string_view kDictTag = "$dict";

bool isTag(std::string_view key) { return key == kDateTag || key == kDataTag || key == kDictTag; }

// Values as they go into the file: dates and bytes tagged, colliding dictionaries wrapped.
Value encode(const Value& v) {
    switch (v.type()) {
        case Value::Type::Date: {
            Value d = Value::dictionary();
            d.set(kDateTag, v.asDate().timeIntervalSinceReferenceDate());
            return d;
        }
        case Value::Type::Bytes: {
            Value d = Value::dictionary();
            d.set(kDataTag, base64Encode(v.asBytes()));
            return d;
        }
        case Value::Type::Array: {
            Value::Array a;
            a.reserve(v.size());
            for (const auto& e : v.asArray()) a.push_back(encode(e));
            return Value(std::move(a));
        }
        case Value::Type::Dictionary: {
            Value::Dictionary d;
            d.reserve(v.size());
            for (const auto& [k, e] : v.asDictionary()) d.emplace_back(k, encode(e));
            if (d.size() == 1 && isTag(d.front().first)) {
                Value wrapper = Value::dictionary();
                wrapper.set(kDictTag, Value::dictionary(std::move(d)));
                return wrapper;
            }
            return Value::dictionary(std::move(d));
        }
        default: return v;
    }
}

Value decode(const Value& v);

Value decodeEntries(const Value& v) {
    Value::Dictionary d;
    d.reserve(v.size());
    for (const auto& [k, e] : v.asDictionary()) d.emplace_back(k, decode(e));
    return Value::dictionary(std::move(d));
}

Value decode(const Value& v) {
    if (v.isArray()) {
        Value::Array a;
        a.reserve(v.size());
        for (const auto& e : v.asArray()) a.push_back(decode(e));
        return Value(std::move(a));
    }
    if (!v.isDictionary()) return v;
    if (v.size() == 1) {
        const auto& [key, inner] = v.asDictionary().front();
        if (key == kDateTag && (inner.isInt() || inner.isDouble())) return Value(Date(inner.asDouble()));
        if (key == kDataTag && inner.isString()) {
            if (auto bytes = base64Decode(inner.asString())) return Value(std::move(*bytes));
        }
        if (key == kDictTag && inner.isDictionary()) return decodeEntries(inner);
    }
    return decodeEntries(v);
}

enum class ReadResult { Read, Missing, Failed };

// Reads a regular file whole; Missing only when nothing is at the path.
ReadResult readWhole(const fs::path& path, std::string& out, std::string& why) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return ReadResult::Missing;
        why = std::strerror(errno);
        return ReadResult::Failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
        ::close(fd);
        return ReadResult::Failed;
    }
    out.clear();
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            why = std::strerror(errno);
            ::close(fd);
            return ReadResult::Failed;
        }
        if (n == 0) break;
        out.append(buf, size_t(n));
    }
    ::close(fd);
    return ReadResult::Read;
}

std::optional<double> parseDouble(std::string_view s) {
    std::string text(trimWhitespace(s));
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    double d = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) return std::nullopt;
    return d;
}

std::optional<int64_t> parseInteger(std::string_view s) {
    std::string text(trimWhitespace(s));
    int64_t i = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), i);
    if (ec == std::errc() && p == text.data() + text.size() && !text.empty()) return i;
    if (auto d = parseDouble(text)) return Value(*d).asInt();
    return std::nullopt;
}

}  // namespace

UserDefaults::UserDefaults(fs::path file) : path_(std::move(file)) {}

void UserDefaults::reload() {
    std::lock_guard lock(mutex_);
    if (pending_) return;
    loaded_ = unreadable_ = absent_ = false;
    unreadableWhy_.clear();
    values_ = Value::dictionary();
}

UserDefaults::FileState UserDefaults::fileState(std::string* why) const {
    std::lock_guard lock(mutex_);
    loadLocked();
    if (unreadable_) {
        if (why) *why = unreadableWhy_;
        return FileState::Unreadable;
    }
    return absent_ ? FileState::Absent : FileState::Read;
}

fs::path UserDefaults::standardPath() { return Paths::configHome() / (BundleInfo::identifier() + ".json"); }

std::shared_ptr<UserDefaults> UserDefaults::standardUserDefaults() {
    static const auto& shared = *new std::shared_ptr<UserDefaults>(std::make_shared<UserDefaults>(standardPath()));
    return shared;
}

void UserDefaults::loadLocked(bool quiet) const {
    if (loaded_) return;
    loaded_ = true;
    // What writers killed mid-write left beside the file (the next write removes them too).
    if (!std::exchange(temporariesChecked_, true)) removeAbandonedTemporaries(path_);
    std::string text, why;
    switch (readWhole(path_, text, why)) {
        case ReadResult::Missing: absent_ = true; return;
        case ReadResult::Failed:
            unreadable_ = true;
            unreadableWhy_ = why;
            if (!quiet) Log::error(kLogCategory, "cannot read " + path_.string() + " (" + why + "); starting empty");
            return;
        case ReadResult::Read: break;
    }
    auto parsed = Value::fromJSON(text);
    if (!parsed || !parsed->isDictionary()) {
        unreadable_ = true;
        unreadableWhy_ = parsed ? std::string("not a JSON object") : parsed.error().localizedDescription();
        if (!quiet)
            Log::error(kLogCategory, "ignoring " + path_.string() + ": " +
                                         (parsed ? std::string("not a JSON object") : parsed.error().localizedDescription()) +
                                         "; starting empty");
        return;
    }
    values_ = decodeEntries(*parsed);
}

void UserDefaults::changedLocked(std::string_view key, std::optional<Value> value) {
    auto it = std::find_if(changes_.begin(), changes_.end(), [&](const auto& change) { return change.first == key; });
    if (it != changes_.end()) changes_.erase(it);
    changes_.emplace_back(std::string(key), std::move(value));
    pending_ = writeLocked() != Write::Written;
}

UserDefaults::Write UserDefaults::writeLocked(const std::function<bool(const Value&)>& proceed) {
    if (!Paths::ensureDirectory(path_.parent_path(), 0700)) {
        Log::error(kLogCategory, "cannot create the folder of " + path_.string());
        return Write::Failed;
    }
    // Other processes (and other instances) write the file too: under its lock, the file is read
    // as it is now and only this instance's own changes go over it, so that no write undoes
    // another's (a setting turned off elsewhere meanwhile stays off).
    fs::path lockPath = path_;
    lockPath += ".lock";
    // A lock held past the wait (a process stopped inside its write) keeps this change in memory,
    // said once; until the lock is taken again, later writes only try it.
    double wait = 0;
    if (!lockWaitPassed_) {
        std::lock_guard spent(heldWaitMutex());
        wait = std::max(kLockWaitSeconds - heldWaitSpent, 0.0);
    }
    auto lock = LockFile::acquire(lockPath, wait);
    if (!lock) Log::error(kLogCategory, lock.error().localizedDescription() + "; writing without the lock");
    if (lock && !lock->held()) {
        if (!std::exchange(lockWaitPassed_, true)) {
            {
                std::lock_guard spent(heldWaitMutex());
                heldWaitSpent += wait;
            }
            const std::string holder = LockFile::holder(lockPath);
            Log::error(kLogCategory, "The settings file " + path_.string() + " stayed locked by " +
                                         (holder.empty() ? std::string("another process") : holder) +
                                         (wait > 0 ? " for " + std::to_string(int(std::lround(wait))) + " s" : std::string()) +
                                         "; going on without writing the settings changed since.");
        }
        return Write::Failed;
    }
    lockWaitPassed_ = false;
    loaded_ = unreadable_ = absent_ = false;
    values_ = Value::dictionary();
    loadLocked(true);
    if (proceed && !proceed(values_)) return Write::Declined;
    const Value before = values_;
    for (const auto& [key, value] : changes_) value ? values_.set(key, *value) : (void)values_.remove(key);
    if (values_ == before) {  // the file holds every change already
        changes_.clear();
        return Write::Written;
    }
    if (unreadable_) {
        // Keep what could not be read before it is replaced, beside each copy kept before:
        // ".corrupt", then ".corrupt.2", ".corrupt.3", ...
        std::error_code ec;
        fs::path keep = path_;
        keep += ".corrupt";
        for (int n = 2; fs::symlink_status(keep, ec).type() != fs::file_type::not_found && n < 10000; ++n) {
            keep = path_;
            keep += ".corrupt." + std::to_string(n);
        }
        if (!fs::copy_file(path_, keep, fs::copy_options::none, ec)) {
            std::error_code renameError;
            fs::rename(path_, keep, renameError);
            if (renameError && fs::symlink_status(path_, ec).type() != fs::file_type::not_found) {
                Log::error(kLogCategory, "cannot keep a copy of " + path_.string() + " (" + renameError.message() +
                                             "); not replacing it");
                return Write::Failed;
            }
        }
        unreadable_ = false;
    }
    if (auto written = writeFileAtomically(path_, encode(values_).toJSON(true), 0600); !written) {
        Log::error(kLogCategory, written.error().localizedDescription());
        return Write::Failed;
    }
    absent_ = false;
    changes_.clear();
    return Write::Written;
}

std::optional<Value> UserDefaults::objectForKey(std::string_view key) const {
    std::lock_guard lock(mutex_);
    loadLocked();
    if (const Value* v = values_.find(key)) return *v;
    return std::nullopt;
}

void UserDefaults::setObject(const Value& value, std::string_view key) {
    if (value.isNull()) {
        removeObjectForKey(key);
        return;
    }
    std::lock_guard lock(mutex_);
    loadLocked();
    values_.set(key, value);
    changedLocked(key, value);
}

void UserDefaults::removeObjectForKey(std::string_view key) {
    std::lock_guard lock(mutex_);
    loadLocked();
    // Removed over the file as it is under its lock, as a change is: another instance may have
    // set the key since this one read the file.
    values_.remove(key);
    changedLocked(key, std::nullopt);
}

void UserDefaults::updateObject(std::string_view key,
                                const std::function<std::optional<Value>(const Value* stored)>& update) {
    std::lock_guard lock(mutex_);
    updateLocked(key, update);
}

UserDefaults::Write UserDefaults::updateLocked(std::string_view key,
                                               const std::function<std::optional<Value>(const Value* stored)>& update) {
    loadLocked();
    auto change = [&](const Value& from) {
        std::erase_if(changes_, [&](const auto& c) { return c.first == key; });
        changes_.emplace_back(std::string(key), update(from.find(key)));
        return true;
    };
    change(values_);  // what stands should the file stay locked
    const auto& [name, value] = changes_.back();
    value ? values_.set(name, *value) : (void)values_.remove(name);
    const Write write = writeLocked(change);
    pending_ = write != Write::Written;
    return write;
}

bool UserDefaults::setFlagOnce(std::string_view key) {
    bool turnedOn = false;
    return storeOnce(key, [&](const Value* stored) -> std::optional<Value> {
        turnedOn = !stored || !stored->asBool(false);
        return turnedOn ? Value(true) : *stored;
    }) && turnedOn;
}

Value UserDefaults::objectOnce(std::string_view key, const Value& value, const std::function<bool(const Value&)>& holds) {
    Value result = value;
    if (!storeOnce(key, [&](const Value* stored) -> std::optional<Value> {
            result = stored && (!holds || holds(*stored)) ? *stored : value;
            return result;
        }))
        return value;
    return result;
}

bool UserDefaults::storeOnce(std::string_view key,
                              const std::function<std::optional<Value>(const Value* stored)>& update) {
    std::lock_guard lock(mutex_);
    loadLocked();
    const auto earlier = changes_;
    const bool waited = pending_;
    if (updateLocked(key, update) == Write::Written) return true;
    // Not stored: a value made once must not be written later over one another process stored
    // meanwhile. The file as it is now, with the changes that waited before, which still wait.
    changes_ = earlier;
    pending_ = waited;
    loaded_ = unreadable_ = absent_ = false;
    values_ = Value::dictionary();
    loadLocked(true);
    for (const auto& [k, v] : changes_) v ? values_.set(k, *v) : (void)values_.remove(k);
    return false;
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (!v) return std::nullopt;
    switch (v->type()) {
        case Value::Type::String: return v->asString();
        case Value::Type::Int: return std::to_string(v->asInt());
        case Value::Type::Bool: return std::string(v->asBool() ? "1" : "0");
        case Value::Type::Double: {
            char buf[64];
            auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v->asDouble());
            if (ec != std::errc()) return std::nullopt;
            return std::string(buf, p);
        }
        default: return std::nullopt;
    }
}

std::optional<Value::Array> UserDefaults::arrayForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (!v || !v->isArray()) return std::nullopt;
    return std::move(v->asArray());
}

std::optional<Value::Dictionary> UserDefaults::dictionaryForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (!v || !v->isDictionary()) return std::nullopt;
    return std::move(v->asDictionary());
}

bool UserDefaults::boolForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (!v) return false;
    if (v->isString()) {
        std::string text = lowercase(trimWhitespace(v->asString()));
        if (text == "yes" || text == "true") return true;
        if (auto d = parseDouble(text)) return *d != 0;
        return false;
    }
    return v->asBool(false);
}

int64_t UserDefaults::integerForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (!v) return 0;
    if (v->isString()) return parseInteger(v->asString()).value_or(0);
    return v->asInt(0);
}

double UserDefaults::doubleForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (!v) return 0;
    if (v->isString()) return parseDouble(v->asString()).value_or(0);
    return v->asDouble(0);
}

bool UserDefaults::synchronize() {
    std::lock_guard lock(mutex_);
    loadLocked();
    if (pending_) pending_ = writeLocked() != Write::Written;
    return !pending_;
}

Value UserDefaults::dictionaryRepresentation() const {
    std::lock_guard lock(mutex_);
    loadLocked();
    return values_;
}

}  // namespace quorvane::platform
