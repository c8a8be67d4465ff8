#include "platform/runloop/MemoryPressureSource.h"

#include <algorithm>
#include <charconv>
#include <string>
#include <vector>

#include "platform/foundation/Paths.h"
#include "platform/runloop/DispatchQueue.h"

namespace quorvane::platform {

namespace {

// The live sources, for simulate().
std::mutex& registryMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::vector<std::weak_ptr<MemoryPressureSource>>& registry() {
    static auto* r = new std::vector<std::weak_ptr<MemoryPressureSource>>;
    return *r;
}

// The number after "<key>" on the line that starts with lineStart, or nullopt.
std::optional<double> numberAfter(std::string_view text, std::string_view lineStart, std::string_view key) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.substr(0, lineStart.size()) != lineStart) continue;
        size_t k = line.find(key);
        if (k == std::string_view::npos) return std::nullopt;
        std::string_view rest = line.substr(k + key.size());
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        double value = 0;
        auto [p, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
        if (ec != std::errc()) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

}  // namespace

std::optional<MemoryPressure> MemoryPressureSource::levelFrom(std::string_view pressureText,
                                                              std::string_view meminfoText) {
    std::optional<MemoryPressure> level;
    auto raise = [&](MemoryPressure l) {
        if (!level || static_cast<unsigned>(l) > static_cast<unsigned>(*level)) level = l;
    };
    auto some = numberAfter(pressureText, "some ", "avg10=");
    auto full = numberAfter(pressureText, "full ", "avg10=");
    if (some || full) raise(MemoryPressure::Normal);
    if (some && *some >= 10) raise(MemoryPressure::Warning);
    if (full && *full >= 10) raise(MemoryPressure::Critical);
    auto total = numberAfter(meminfoText, "MemTotal:", "MemTotal:");
    auto available = numberAfter(meminfoText, "MemAvailable:", "MemAvailable:");
    if (total && available && *total > 0) {
        const double share = *available / *total;
        raise(share < 0.05 ? MemoryPressure::Critical : share < 0.10 ? MemoryPressure::Warning : MemoryPressure::Normal);
    }
    return level;
}

std::optional<MemoryPressure> MemoryPressureSource::currentLevel() {
    std::string pressure, meminfo;
    readFile("/proc/pressure/memory", pressure);
    readFile("/proc/meminfo", meminfo);
    return levelFrom(pressure, meminfo);
}

MemoryPressureSource::MemoryPressureSource(unsigned mask, std::shared_ptr<DispatchQueue> queue, Handler handler)
    : mask_(mask), queue_(std::move(queue)), handler_(std::move(handler)) {}

std::shared_ptr<MemoryPressureSource> MemoryPressureSource::make(unsigned mask, std::shared_ptr<DispatchQueue> queue,
                                                                 Handler handler) {
    auto source = std::shared_ptr<MemoryPressureSource>(
        new MemoryPressureSource(mask, queue ? std::move(queue) : DispatchQueue::main(), std::move(handler)));
    std::lock_guard lock(registryMutex());
    auto& r = registry();
    r.erase(std::remove_if(r.begin(), r.end(), [](const auto& w) { return w.expired(); }), r.end());
    r.push_back(source);
    return source;
}

MemoryPressureSource::~MemoryPressureSource() { cancelled_ = true; }

void MemoryPressureSource::resume() {
    if (cancelled_ || resumed_.exchange(true)) return;
    scheduleSample();
}

void MemoryPressureSource::cancel() { cancelled_ = true; }

void MemoryPressureSource::scheduleSample() {
    DispatchQueue::global()->asyncAfter(kSampleInterval, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || self->cancelled_) return;
        if (auto level = currentLevel()) self->take(*level);
        self->scheduleSample();
    });
}

void MemoryPressureSource::take(MemoryPressure level) {
    {
        std::lock_guard lock(mutex_);
        const bool rose = static_cast<unsigned>(level) > static_cast<unsigned>(level_);
        level_ = level;
        if (!rose || !(mask_ & static_cast<unsigned>(level))) return;
    }
    queue_->async([weak = weak_from_this(), level] {
        auto self = weak.lock();
        if (self && !self->cancelled_ && self->handler_) self->handler_(level);
    });
}

void MemoryPressureSource::simulate(MemoryPressure level) {
    std::vector<std::shared_ptr<MemoryPressureSource>> sources;
    {
        std::lock_guard lock(registryMutex());
        for (const auto& w : registry())
            if (auto s = w.lock()) sources.push_back(s);
    }
    for (const auto& s : sources)
        if (s->resumed_ && !s->cancelled_) s->take(level);
}

}  // namespace quorvane::platform
