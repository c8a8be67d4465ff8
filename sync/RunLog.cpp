#include "sync/RunLog.h"

#include "platform/foundation/PrintableText.h"

namespace quorvane {

void RunLog::tell(Change change, std::string text, float value) {
    if (mSink) mSink(*this, Event{change, std::move(text), value});
}

// Every text is one line of the log: what could break or hide a line in it (a contact's name with
// a line feed, a server's text with control characters) is escaped before it is kept or handed
// on, as platform::printableText does; appendRaw keeps only its own closing line feed.

void RunLog::appendString(const std::optional<std::string>& text) {
    if (!text) return;
    const size_t at = mText.size();
    mText += platform::printableText(*text);
    mText += '\n';
    if (mSink) tell(Change::Log, mText.substr(at, mText.size() - 1 - at));
}

void RunLog::appendRaw(const std::string& text) {
    std::string_view body = text;
    const bool ended = !body.empty() && body.back() == '\n';
    if (ended) body.remove_suffix(1);
    const size_t at = mText.size();
    mText += platform::printableText(body);
    if (ended) mText += '\n';
    if (mSink) tell(Change::Log, mText.substr(at));
}

void RunLog::clear() {
    mText.clear();
    tell(Change::Log, "");
}

void RunLog::setProgress(const std::string& text) {
    // On a line of its own, so that the log reads as lines.
    mProgressText = platform::printableText(text);
    mText += mProgressText;
    mText += '\n';
    mSubProgressText.clear();
    tell(Change::Progress, mProgressText);
}

void RunLog::setSubProgress(const std::string& text) {
    mSubProgressText = platform::printableText(text);
    tell(Change::SubProgress, mSubProgressText);
}

void RunLog::setProgressBarValue(float value) {
    mProgressBarValue = value;
    tell(Change::ProgressBar, "", value);
}

}  // namespace quorvane
