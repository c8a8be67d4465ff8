#pragma once
// Instants as seconds since 2001-01-01 00:00:00 UTC (the reference date of the stored formats),
// and the injectable clock every time-dependent part reads.

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>

namespace quorvane::platform {

// Seconds between the Unix epoch and the reference date 2001-01-01 UTC.
inline constexpr double kTimeIntervalSince1970 = 978307200.0;

using TimeInterval = double;  // seconds

class Date {
public:
    constexpr Date() = default;
    constexpr explicit Date(TimeInterval sinceReferenceDate) : secs_(sinceReferenceDate) {}

    static Date now();  // through Clock::current()
    static constexpr Date fromUnix(double secondsSince1970) { return Date(secondsSince1970 - kTimeIntervalSince1970); }
    static constexpr Date distantPast() { return Date(-63114076800.0); }
    static constexpr Date distantFuture() { return Date(63113904000.0); }

    constexpr TimeInterval timeIntervalSinceReferenceDate() const { return secs_; }
    constexpr double timeIntervalSince1970() const { return secs_ + kTimeIntervalSince1970; }
    constexpr TimeInterval timeIntervalSince(Date other) const { return secs_ - other.secs_; }
    TimeInterval timeIntervalSinceNow() const;
    constexpr Date addingTimeInterval(TimeInterval t) const { return Date(secs_ + t); }

    constexpr auto operator<=>(const Date&) const = default;

private:
    TimeInterval secs_ = 0;
};

// A source of the current time; tests install a manual clock.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Date now() const = 0;
    // Monotonic seconds, for deadlines and timers (not affected by the wall clock).
    virtual double monotonic() const = 0;

    static std::shared_ptr<const Clock> current();
    // Replaces the process clock; pass nullptr to restore the system clock.
    static void setCurrent(std::shared_ptr<Clock> clock);
};

class SystemClock : public Clock {
public:
    Date now() const override;
    double monotonic() const override;
};

// A clock that only moves when told to.
class ManualClock : public Clock {
public:
    explicit ManualClock(Date start = Date(0)) : now_(start.timeIntervalSinceReferenceDate()) {}
    Date now() const override { return Date(now_.load()); }
    double monotonic() const override { return mono_.load(); }
    void advance(TimeInterval t) { now_ = now_.load() + t; mono_ = mono_.load() + t; }
    void set(Date d) { now_ = d.timeIntervalSinceReferenceDate(); }

private:
    std::atomic<double> now_;
    std::atomic<double> mono_{1000.0};
};

}  // namespace quorvane::platform
