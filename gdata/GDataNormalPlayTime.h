#pragma once
// GDataNormalPlayTime: a time offset into a media item in normal play time, the form media
// offsets take ("now", seconds, "MM:SS" or "HH:MM:SS", each with an optional fraction of a
// second). Kept as milliseconds; "now" is its own state and reads as the offset -1.

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvane {

class GDataNormalPlayTime {
public:
    GDataNormalPlayTime() = default;

    static GDataNormalPlayTime normalPlayTimeWithString(std::string_view str);
    void setFromString(std::string_view str);

    // -1 while isNow.
    int64_t timeOffsetInMilliseconds() const { return isNow_ ? -1 : timeOffsetInMilliseconds_; }
    // -1 also makes the time "now"; any other value clears it.
    void setTimeOffsetInMilliseconds(int64_t ms);
    bool isNow() const { return isNow_; }
    void setIsNow(bool flag);

    // "now", or "H:MM:SS" with ".mmm" added when there are milliseconds.
    std::string HHMMSSString() const;
    // "now", or whole seconds with ".mmm" added when there are milliseconds.
    std::string secondsString() const;

    // Both now, or neither and the same offset.
    bool isEqual(const GDataNormalPlayTime& other) const;
    bool operator==(const GDataNormalPlayTime& other) const { return isEqual(other); }
    std::string description() const;

private:
    int64_t timeOffsetInMilliseconds_ = 0;
    bool isNow_ = false;
};

}  // namespace quorvane
