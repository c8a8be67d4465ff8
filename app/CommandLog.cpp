// log [--last N] [--show RUN]: the recorded runs of the profile, newest last, or one run's text.

#include <ctime>

#include "app/Command.h"
#include "sync/QuorvaneModel.h"

namespace quorvane::app {

namespace {

std::string localTime(const platform::Date& date) {
    std::time_t t = std::time_t(date.timeIntervalSince1970());
    std::tm tm{};
    localtime_r(&t, &tm);
    char out[32];
    std::strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &tm);
    return out;
}

const char* modeName(int32_t mode) {
    switch (mode) {
        case SyncModeTwoWay: return "two-way";
        case SyncModeGoogleToMac: return "google-to-local";
        case SyncModeMacToGoogle: return "local-to-google";
        default: return "manual";
    }
}

std::optional<long> parseNumber(const std::string& text) {
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || v <= 0) return std::nullopt;
    return v;
}

}  // namespace

int commandLog(Session& session, const std::vector<std::string>& args) {
    auto parsed = Arguments::parse(args, {}, {"--last", "--show"});
    std::string why = parsed ? std::string() : parsed.error().localizedDescription();
    std::optional<long> last = 10, show;
    if (parsed && !parsed->positional().empty()) why = "unexpected argument \"" + parsed->positional()[0] + "\"";
    if (parsed && parsed->value("--last") && !(last = parseNumber(*parsed->value("--last"))))
        why = "--last needs a positive number";
    if (parsed && parsed->value("--show") && !(show = parseNumber(*parsed->value("--show"))))
        why = "--show needs a run number (quorvane log lists them)";
    if (!parsed || !why.empty()) {
        session.console().error(why);
        return kExitUsage;
    }
    auto model = session.model();
    if (auto store = model->syncStore(); !store) return session.fail(store.error(), "The record of runs cannot be read");
    model->fetchSyncLogRecords();
    const auto& runs = model->syncLogRecords();
    if (show) {
        for (const auto& run : runs) {
            if (run.rowID != *show) continue;
            std::string text = run.logText;
            while (!text.empty() && text.back() == '\n') text.pop_back();
            session.console().outText(text);
            return kExitOK;
        }
        session.console().error("no run " + std::to_string(*show));
        return kExitUsage;
    }
    size_t from = runs.size() > size_t(*last) ? runs.size() - size_t(*last) : 0;
    for (size_t i = from; i < runs.size(); ++i) {
        const auto& r = runs[i];
        std::string line = std::to_string(r.rowID) + "\t" + localTime(r.startDate) + "\t" + modeName(r.syncMode) +
                           (r.automatic ? " (automatic)" : "") + "\t" + Console::field(r.result) + "\tGoogle +" +
                           std::to_string(r.googleCreated) + " ~" + std::to_string(r.googleUpdated) + " -" +
                           std::to_string(r.googleDeleted) + "\tlocal +" + std::to_string(r.appleCreated) + " ~" +
                           std::to_string(r.appleUpdated) + " -" + std::to_string(r.appleDeleted) + "\tphotos " +
                           std::to_string(r.photosMoved) + "\tfailures " + std::to_string(r.failures);
        if (r.error) line += "\t" + Console::field(*r.error);
        session.console().out(line);
    }
    if (runs.empty()) session.console().note("no runs yet");
    return kExitOK;
}

}  // namespace quorvane::app
