#include "sync/RunLog.h"

namespace quorvane {

void RunLog::tell(Change change, std::string text, float value) {
    if (mSink) mSink(*this, Event{change, std::move(text), value});
}

void RunLog::appendString(const std::optional<std::string>& text) {
    if (!text) return;
    mText += *text;
    mText += '\n';
    tell(Change::Log, *text);
}

void RunLog::appendRaw(const std::string& text) {
    mText += text;
    tell(Change::Log, text);
}

void RunLog::clear() {
    mText.clear();
    tell(Change::Log, "");
}

void RunLog::setProgress(const std::string& text) {
    // On a line of its own, so that the log reads as lines.
    mText += text;
    mText += '\n';
    mProgressText = text;
    mSubProgressText.clear();
    tell(Change::Progress, text);
}

void RunLog::setSubProgress(const std::string& text) {
    mSubProgressText = text;
    tell(Change::SubProgress, text);
}

void RunLog::setProgressBarValue(float value) {
    mProgressBarValue = value;
    tell(Change::ProgressBar, "", value);
}

}  // namespace quorvane
