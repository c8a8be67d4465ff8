// How much memory a response body held in memory costs the fetcher, as resident peak above what
// the process held before the fetch:
//   BM_BodyPeak/bomb      a gzip body that inflates to 512 MiB, against the default 128 MiB
//                         limit (it fails at the limit);
//   BM_BodyPeak/sized     a 120 MiB body with its Content-Length, under the limit;
//   BM_BodyPeak/unsized   the same body gzip-encoded, so that its decoded length is not known;
//   BM_TokenAnswerPeak    a 100 MB answer to a token refresh.
// Goal: every peak under 1.5 times the limit that applies (128 MiB; the token answer's is
// 1 MiB). The counters are the peak (MiB) and the peak over the limit.
// The server runs in a child process started before anything else, so its own copies of the
// bodies are not counted; the peak is the kernel's high-water mark, reset before each fetch.

#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "fetcher/QNSessionFetcher.h"
#include "oauth2/QNOAuth2Authentication.h"
#include "platform/runloop/RunLoop.h"
#include "tests/support/TestHTTPServer.h"

namespace {

using namespace quorvane;

constexpr double kMiB = 1024.0 * 1024.0;
constexpr size_t kBodySize = size_t(120) << 20;

std::string gzipOf(size_t size, char byte) {
    z_stream zs{};
    deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
    std::string zeros(1 << 20, byte), out;
    char buffer[1 << 16];
    for (size_t done = 0; done < size;) {
        size_t n = std::min(zeros.size(), size - done);
        done += n;
        zs.next_in = reinterpret_cast<Bytef*>(zeros.data());
        zs.avail_in = uInt(n);
        int flush = done == size ? Z_FINISH : Z_NO_FLUSH;
        do {
            zs.next_out = reinterpret_cast<Bytef*>(buffer);
            zs.avail_out = sizeof buffer;
            deflate(&zs, flush);
            out.append(buffer, sizeof buffer - zs.avail_out);
        } while (zs.avail_out == 0);
    }
    deflateEnd(&zs);
    return out;
}

// The server, in a child process: answers each path with its body until this process ends.
struct ServerProcess {
    pid_t pid = -1;
    int port = -1;

    ServerProcess() {
        (void)test::TestHTTPServer::caCertificatePEM();  // made here, so that this process trusts it
        int ports[2];
        if (::pipe(ports) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            test::TestHTTPServer server;
            const std::string bomb = gzipOf(size_t(512) << 20, '\0');
            const std::string body(kBodySize, 'x'), encoded = gzipOf(kBodySize, 'x');
            const std::string token = R"({"access_token":")" + std::string(100000000, 'a') + R"(","expires_in":3600})";
            server.on("GET", "/bomb", [&](const test::TestRequest&, test::TestResponse& res) {
                res.setHeader("Content-Encoding", "gzip");  // already encoded: sent as it is
                res.body = bomb;
            });
            server.respond("/sized", 200, body);
            server.on("GET", "/unsized", [&](const test::TestRequest&, test::TestResponse& res) {
                res.setHeader("Content-Encoding", "gzip");
                res.body = encoded;
            });
            server.respond("/token", 200, token);
            server.respond("/small", 200, "small");
            int p = server.port();
            (void)!::write(ports[1], &p, sizeof p);
            for (;;) ::pause();
        }
        ::close(ports[1]);
        if (::read(ports[0], &port, sizeof port) != sizeof port) port = -1;
        ::close(ports[0]);
    }
    ~ServerProcess() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    std::string url(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(port) + path; }
};

ServerProcess& serverProcess() {
    static ServerProcess* server = new ServerProcess();
    return *server;
}

long statusKB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return 0;
}

// Resets the high-water mark; answers the resident size now (KiB).
long resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
    return statusKB("VmRSS:");
}

// One small fetch first, so that what the first fetch of the process sets up once (the TLS
// context, the network thread, the allocator's arenas) is not counted.
void warmUp(const ServerProcess& server) {
    static bool warm = false;
    if (warm) return;
    warm = true;
    auto fetcher = QNSessionFetcher::fetcherWithRequest(platform::URLRequest(*platform::URL::URLWithString(server.url("/small"))));
    bool done = false;
    fetcher->beginFetchWithCompletionHandler([&](const std::optional<platform::Bytes>&, const std::optional<platform::Error>&) { done = true; });
    platform::RunLoop::main()->runUntil([&] { return done; }, 600);
}

void report(benchmark::State& state, double peakMiB, double limitMiB) {
    state.counters["peak_MiB"] = peakMiB;
    state.counters["peak_over_limit"] = peakMiB / limitMiB;
}

void BM_BodyPeak(benchmark::State& state, const char* path) {
    auto& server = serverProcess();
    warmUp(server);
    double peak = 0;
    bool failed = false;
    for (auto _ : state) {
        long before = resetPeak();
        auto fetcher = QNSessionFetcher::fetcherWithRequest(platform::URLRequest(*platform::URL::URLWithString(server.url(path))));
        bool done = false;
        size_t received = 0;
        fetcher->beginFetchWithCompletionHandler([&](const std::optional<platform::Bytes>& data, const std::optional<platform::Error>&) {
            received = data ? data->size() : 0;
            done = true;
        });
        platform::RunLoop::main()->runUntil([&] { return done; }, 600);
        peak = std::max(peak, double(statusKB("VmHWM:") - before) / 1024.0);
        failed |= !done || (std::string(path) != "/bomb" && received != kBodySize);
        fetcher.reset();
    }
    if (failed) state.SkipWithError("the fetch did not end as expected");
    report(state, peak, double(kQNSessionFetcherDefaultMaxResponseBodySize) / kMiB);
}
BENCHMARK_CAPTURE(BM_BodyPeak, bomb, "/bomb")->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(BM_BodyPeak, sized, "/sized")->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(BM_BodyPeak, unsized, "/unsized")->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_TokenAnswerPeak(benchmark::State& state) {
    auto& server = serverProcess();
    warmUp(server);
    double peak = 0;
    for (auto _ : state) {
        long before = resetPeak();
        auto auth = QNOAuth2Authentication::authenticationWithServiceProvider(
            "Bench", platform::URL::URLWithString(server.url("/token")), "urn:redirect", "client", "secret");
        auth->setRefreshToken("refresh-1");
        bool done = false;
        auth->authorizeRequest(std::make_shared<platform::URLRequest>(platform::URL::URLWithString(server.url("/feed"))),
                               [&](const std::optional<platform::Error>&) { done = true; });
        platform::RunLoop::main()->runUntil([&] { return done; }, 600);
        peak = std::max(peak, double(statusKB("VmHWM:") - before) / 1024.0);
    }
    report(state, peak, double(kQNSessionFetcherSmallResponseBodySize) / kMiB);
}
BENCHMARK(BM_TokenAnswerPeak)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
