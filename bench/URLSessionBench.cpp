// 1,000 small GETs over HTTPS to the loopback test server: through a URL session (delegate
// calls on a serial delegate queue, at most 6 connections to the host), and through raw libcurl
// multi with the same 6 connections, on the same server in the same run. Goal: the session
// keeps at least 0.8x raw libcurl's throughput. The machine's other load moves both figures a
// lot; compare them with --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true.

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/net/URLSession.h"
#include "tests/support/TestHTTPServer.h"

namespace {

using namespace quorvane;
using namespace quorvane::platform;

constexpr int kRequests = 1000;
constexpr int kConnections = 6;

test::TestHTTPServer& server() {
    static test::TestHTTPServer* s = [] {
        auto* srv = new test::TestHTTPServer();
        srv->respond("/small", 200, std::string(256, 'x'));
        return srv;
    }();
    return *s;
}

size_t discard(char*, size_t size, size_t n, void*) { return size * n; }

void BM_RawCurlMulti(benchmark::State& state) {
    server().clearLog();
    std::string url = server().url("/small").absoluteString();
    std::string ca = test::TestHTTPServer::caCertificatePath().string();
    CURLM* multi = curl_multi_init();
    std::vector<CURL*> easies;
    for (int i = 0; i < kConnections; ++i) {
        CURL* e = curl_easy_init();
        curl_easy_setopt(e, CURLOPT_URL, url.c_str());
        curl_easy_setopt(e, CURLOPT_CAINFO, ca.c_str());
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &discard);
        curl_easy_setopt(e, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_NOPROXY, "*");
        easies.push_back(e);
    }
    for (auto _ : state) {
        int started = 0, finished = 0, failed = 0;
        for (CURL* e : easies) {
            curl_multi_add_handle(multi, e);
            ++started;
        }
        while (finished < kRequests) {
            int running = 0;
            curl_multi_perform(multi, &running);
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
                if (msg->msg != CURLMSG_DONE) continue;
                CURL* e = msg->easy_handle;
                if (msg->data.result != CURLE_OK) ++failed;
                ++finished;
                curl_multi_remove_handle(multi, e);
                if (started < kRequests) {
                    curl_multi_add_handle(multi, e);
                    ++started;
                }
            }
            if (finished < kRequests) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
        }
        if (failed) state.SkipWithError("raw curl requests failed");
    }
    for (CURL* e : easies) curl_easy_cleanup(e);
    curl_multi_cleanup(multi);
    state.SetItemsProcessed(state.iterations() * kRequests);
}

class CountingDelegate : public URLSessionDelegate {
public:
    void didReceiveData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>&,
                        const Bytes& data) override {
        bytes += data.size();
    }
    void didCompleteWithError(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                              const std::optional<Error>& error) override {
        if (error) ++failures;
        if (++completions == target.load()) {
            std::lock_guard lock(mutex);
            cv.notify_all();
        }
    }
    void waitFor(int n) {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return completions.load() >= n; });
    }
    std::mutex mutex;
    std::condition_variable cv;
    std::atomic<int> completions{0}, failures{0}, target{0};
    size_t bytes = 0;  // delegate queue only
};

// CPU seconds the network thread ("quorvane-net") has used, from /proc.
double networkThreadCPUSeconds() {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream commFile(entry.path() / "comm");
        std::string comm;
        std::getline(commFile, comm);
        if (comm != "quorvane-net") continue;
        std::ifstream statFile(entry.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::vector<std::string> f{std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>()};
        if (f.size() < 13) return 0;
        return (std::stod(f[11]) + std::stod(f[12])) / double(sysconf(_SC_CLK_TCK));  // utime + stime
    }
    return 0;
}

void BM_URLSession(benchmark::State& state) {
    server().clearLog();
    URL url = server().url("/small");
    auto delegate = std::make_shared<CountingDelegate>();
    auto config = URLSessionConfiguration::ephemeralSessionConfiguration();
    config.setHTTPMaximumConnectionsPerHost(kConnections);
    auto session = URLSession::sessionWithConfiguration(config, delegate);
    int target = 0;
    double cpu0 = networkThreadCPUSeconds();
    for (auto _ : state) {
        target += kRequests;
        delegate->target = target;
        for (int i = 0; i < kRequests; ++i) session->dataTaskWithURL(url)->resume();
        delegate->waitFor(target);
    }
    // The network thread's CPU per request, to set beside raw curl's (its CPU time per item).
    state.counters["net_us_per_req"] = (networkThreadCPUSeconds() - cpu0) * 1e6 / double(state.iterations() * kRequests);
    if (delegate->failures) state.SkipWithError("session requests failed");
    session->finishTasksAndInvalidate();
    state.SetItemsProcessed(state.iterations() * kRequests);
}

BENCHMARK(BM_RawCurlMulti)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_URLSession)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

}  // namespace

BENCHMARK_MAIN();
