// A demonstration of the telemetry SDK against the fake ingestion server on 127.0.0.1: the
// facade starts a small service, its logs are stored and sent in batches, the server fails a
// batch once with 503 (the batch is kept and sent again), and the program prints what the
// server received.
//
// Usage: telemetry-demo [number of logs, default 25]

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/foundation/Paths.h"
#include "telemetry/MSLogWithProperties.h"
#include "telemetry/MSRevAzezar.h"
#include "telemetry/MSServiceAbstract.h"
#include "tests/support/FakeIngestionServer.h"

using namespace quorvane;

namespace {

class DemoService : public MSServiceAbstract {
public:
    static std::shared_ptr<DemoService> make() {
        std::shared_ptr<DemoService> s(new DemoService());
        s->init();
        return s;
    }
    std::string className() const override { return "MSDemoEvents"; }
    std::string groupId() const override { return "DemoEvents"; }
    std::optional<MSChannelUnitConfiguration> channelUnitConfiguration() const override {
        return MSChannelUnitConfiguration::initWithGroupId("DemoEvents", 1, 1, 10, 3);
    }
    void track(const std::string& name, int n) {
        auto log = std::make_shared<MSLogWithProperties>();
        log->type = "event";
        log->properties = std::map<std::string, std::string>{{"name", name}, {"n", std::to_string(n)}};
        channelUnit()->enqueueItem(log, MSFlagsNormal);
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 25;
    // Keep the demonstration's files out of the user's own folders.
    char tmpl[] = "/tmp/telemetry-demo-XXXXXX";
    const char* root = ::mkdtemp(tmpl);
    if (!root) return 1;
    ::setenv("XDG_DATA_HOME", (std::string(root) + "/data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (std::string(root) + "/config").c_str(), 1);

    test::FakeIngestionServer server;
    server.script({{200}, {503}});  // the second batch fails once and is sent again
    std::printf("fake ingestion at %s\n", server.baseURL().c_str());

    auto& sdk = MSRevAzezar::sharedInstance();
    sdk.setLogUrl(server.baseURL());
    MSHttpIngestion::Options options;
    options.retryIntervals = {0.2, 1};
    sdk.setIngestionOptions(options);
    auto service = DemoService::make();
    if (!sdk.start("demo-app-secret", {service})) return 1;
    std::printf("started %s, install id %s\n", service->serviceName().c_str(), MSRevAzezar::installId().c_str());
    for (int i = 0; i < count; ++i) service->track("demo.event", i);
    sdk.channelUnit()->flushQueue();

    const bool all = server.waitForAcceptedLogCount(size_t(count) + 1, 60);
    for (const auto& b : server.batches())
        std::printf("batch %s: %zu logs, status %d%s\n", b.path.c_str(), b.logs.size(), b.status,
                    b.gzipped ? ", gzipped" : "");
    size_t events = 0, starts = 0;
    for (const auto& log : server.acceptedLogs()) (log["type"].asString() == "event" ? events : starts)++;
    std::printf("accepted: %zu event logs, %zu start-service logs\n", events, starts);
    MSRevAzezar::resetSharedInstance();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    if (!all || events != size_t(count)) {
        std::printf("demonstration failed: not every log arrived\n");
        return 1;
    }
    std::printf("telemetry demonstration complete\n");
    return 0;
}
