#pragma once
// Memory pressure of the machine, as a source that calls a handler on a queue whenever the level
// rises into one the caller watches. The level comes from the kernel's pressure-stall
// information (/proc/pressure/memory) where the kernel has it, and from the share of available
// memory (/proc/meminfo) otherwise; it is sampled every few seconds while a source is resumed.
// Tests drive every live source through simulate().

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/foundation/Date.h"

namespace quorvane::platform {

class DispatchQueue;

// Bit values, so that a mask can name several.
enum class MemoryPressure : unsigned { Normal = 1, Warning = 2, Critical = 4 };

class MemoryPressureSource : public std::enable_shared_from_this<MemoryPressureSource> {
public:
    using Handler = std::function<void(MemoryPressure)>;
    static constexpr TimeInterval kSampleInterval = 5;

    // Watches the levels of mask (bits of MemoryPressure); the handler runs on queue.
    static std::shared_ptr<MemoryPressureSource> make(unsigned mask, std::shared_ptr<DispatchQueue> queue,
                                                      Handler handler);
    ~MemoryPressureSource();

    // Starts sampling. A source that is never resumed reports nothing.
    void resume();
    // Stops for good; a handler already queued may still run.
    void cancel();
    bool isCancelled() const { return cancelled_.load(); }

    // Every resumed source takes the level as if the kernel had reported it.
    static void simulate(MemoryPressure level);

    // The level now, or nullopt when the machine tells nothing.
    static std::optional<MemoryPressure> currentLevel();
    // The level from the texts of /proc/pressure/memory and /proc/meminfo (either may be empty):
    // critical when tasks were fully stalled 10 % of the last 10 s or less than 5 % of memory is
    // available; warning when some task stalled 10 % of it or less than 10 % is available.
    static std::optional<MemoryPressure> levelFrom(std::string_view pressureText, std::string_view meminfoText);

private:
    MemoryPressureSource(unsigned mask, std::shared_ptr<DispatchQueue> queue, Handler handler);
    void take(MemoryPressure level);
    void scheduleSample();

    const unsigned mask_;
    const std::shared_ptr<DispatchQueue> queue_;
    const Handler handler_;
    std::atomic<bool> resumed_{false};
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    MemoryPressure level_ = MemoryPressure::Normal;
};

}  // namespace quorvane::platform
