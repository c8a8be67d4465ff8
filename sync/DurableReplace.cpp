#include "sync/DurableReplace.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "platform/foundation/Log.h"

namespace quorvane {

namespace {

struct Pending {
    std::mutex mutex;
    std::condition_variable done;
    size_t count = 0;
    uint64_t asked = 0;
    std::map<std::string, uint64_t> placed;  // path -> the newest replacement put in place
};

// Never destroyed: a replacement may still be finishing while the process exits.
Pending& pending() {
    static Pending* p = new Pending;
    return *p;
}

}  // namespace

void replaceWhenDurable(int fd, std::string temporary, std::filesystem::path path) {
    auto& p = pending();
    uint64_t order = 0;
    {
        std::lock_guard lock(p.mutex);
        ++p.count;
        order = ++p.asked;
    }
    std::thread([fd, temporary = std::move(temporary), path = std::move(path), order] {
        auto& p = pending();
        const bool durable = ::fdatasync(fd) == 0;
        ::close(fd);
        bool placed = false, superseded = false;
        {
            std::lock_guard lock(p.mutex);
            uint64_t& newest = p.placed[path.string()];
            superseded = order < newest;
            placed = durable && !superseded && ::rename(temporary.c_str(), path.c_str()) == 0;
            if (placed) newest = order;
            else ::unlink(temporary.c_str());
            --p.count;
        }
        if (!placed && !superseded)
            platform::Log::warning("sync", "The new copy of " + path.string() + " could not be put in place: the old one stays");
        p.done.notify_all();
    }).detach();
}

bool waitForReplacements(double seconds) {
    auto& p = pending();
    std::unique_lock lock(p.mutex);
    return p.done.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return p.count == 0; });
}

void removeStaleTemporaries(const std::filesystem::path& path, double ageSeconds) {
    std::string prefix(1, '.');
    prefix += path.filename().string();
    prefix += '.';
    std::error_code ec;
    const auto now = std::filesystem::file_time_type::clock::now();
    for (std::filesystem::directory_iterator it(path.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
        std::error_code timeError;
        const auto written = it->last_write_time(timeError);
        if (timeError || std::chrono::duration<double>(now - written).count() < ageSeconds) continue;
        std::error_code removeError;
        std::filesystem::remove(it->path(), removeError);
    }
}

}  // namespace quorvane
