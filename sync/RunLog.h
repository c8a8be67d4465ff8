#pragma once
// RunLog: the text log of a sync run and its progress (a progress line, a sub-progress line and a
// bar value from 0 to 1). It prints nothing itself: every change is handed to the sink the caller
// set (a window, the command line's progress line, a test), when one is set.

#include <functional>
#include <optional>
#include <string>

namespace quorvane {

class RunLog {
public:
    enum class Change {
        Log,          // the log text changed (appended to, or emptied)
        Progress,     // a new progress line (also appended to the log)
        SubProgress,  // a new sub-progress line
        ProgressBar,  // a new bar value
    };
    struct Event {
        Change change;
        std::string text;  // the line appended or shown; "" for emptied, and for the bar
        float value = 0;   // the bar value
    };
    using Sink = std::function<void(const RunLog& log, const Event& event)>;

    void setSink(Sink sink) { mSink = std::move(sink); }

    // Appends the text and a line feed; nil is ignored.
    void appendString(const std::optional<std::string>& text);
    // Appends a line that already ends with its line feed, made printable like appendString.
    void appendRaw(const std::string& text);
    void clear();
    // Appends the text (and a line feed) to the log, makes it the progress line and empties the sub-progress line.
    void setProgress(const std::string& text);
    void setSubProgress(const std::string& text);
    void setProgressBarValue(float value);

    const std::string& text() const { return mText; }
    const std::string& progressText() const { return mProgressText; }
    const std::string& subProgressText() const { return mSubProgressText; }
    float progressBarValue() const { return mProgressBarValue; }

private:
    void tell(Change change, std::string text, float value = 0);

    Sink mSink;
    std::string mText;
    std::string mProgressText;
    std::string mSubProgressText;
    float mProgressBarValue = 0;
};

}  // namespace quorvane
