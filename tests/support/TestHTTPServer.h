#pragma once
// The loopback test server every network test talks to: HTTPS on 127.0.0.1 with an ephemeral
// port, a certificate made at test start (signed by a test CA the process trusts, or
// self-signed), handlers scripted per path, a log of every request, and scripted faults:
// any status, a delay, a stall, a connection closed in the middle of the body, an answer held
// until the test releases it.
//
// Bodies go out as given unless the response asks for an encoding. Keep a non-text content
// type (the default) where the bytes on the wire matter: the server library itself compresses
// text types for clients that accept gzip.

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/net/URL.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace quorvane::test {

struct TestRequest {
    std::string method;
    std::string path;          // without the query
    std::string query;         // after "?", "" when none
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;          // decoded from chunked framing when sent chunked
    int remotePort = 0;        // the client's port: one per connection

    std::optional<std::string> header(std::string_view name) const;
};

struct TestResponse {
    enum class Encoding { Identity, Gzip, Deflate };

    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;  // repeated names allowed (Set-Cookie)
    std::string body;
    std::string contentType = "application/octet-stream";
    Encoding encoding = Encoding::Identity;

    // Faults.
    double delay = 0;                    // seconds before anything is sent
    std::optional<size_t> stallAfter;    // send this many body bytes, then nothing until the server stops
    std::optional<size_t> closeAfter;    // send this many body bytes of the announced length, then close
    std::optional<double> trickleEvery;  // send the body one byte at a time, this many seconds apart
    bool hangUp = false;                 // close the connection once the request is read: no answer at all

    void setHeader(std::string name, std::string value) { headers.emplace_back(std::move(name), std::move(value)); }
};

class TestHTTPServer {
public:
    using Handler = std::function<void(const TestRequest&, TestResponse&)>;
    enum class Security {
        HTTPS,            // certificate signed by the test CA, which the process trusts
        SelfSignedHTTPS,  // a self-signed certificate nobody trusts
        HTTP,             // plain HTTP
        // Certificates a client must refuse, each for 127.0.0.1 and signed by the test CA but for
        // the one fault its name says.
        WeakKeyHTTPS,          // a 1024-bit RSA key
        SHA1SignedHTTPS,       // signed with SHA-1
        PartialWildcardHTTPS,  // names only "a*.test.localhost" (and no address)
        WrongHostHTTPS,        // names only "elsewhere.test.localhost"
        AddressOnlyHTTPS,      // lists only 127.0.0.1, with "localhost" as its common name
        ExpiredHTTPS,          // expired yesterday
        OtherCAHTTPS,          // signed by a CA nobody trusts
    };

    // port 0: one the system chooses. A port that cannot be bound leaves port() at -1.
    explicit TestHTTPServer(Security security = Security::HTTPS, int port = 0);
    ~TestHTTPServer();
    TestHTTPServer(const TestHTTPServer&) = delete;
    // Stops listening and waits for every handler to return. An owner whose handlers reach its own
    // members calls this before those members go.
    void stop();
    TestHTTPServer& operator=(const TestHTTPServer&) = delete;

    int port() const { return port_; }
    // "https://127.0.0.1:<port>" (or http).
    std::string baseURL() const;
    platform::URL url(std::string_view pathAndQuery) const;

    // Scripts the answer for a method ("*": any) and a path: exact, or a prefix ending in "*".
    // Later scripts for the same method and path replace earlier ones. Unscripted paths get 404.
    void on(std::string method, std::string path, Handler handler);
    // A fixed answer to any method.
    void respond(std::string path, int status, std::string body,
                 std::string contentType = "application/octet-stream");

    // Every request received, in order.
    std::vector<TestRequest> requests() const;
    std::vector<TestRequest> requests(std::string_view path) const;
    size_t requestCount() const;
    size_t requestCount(std::string_view path) const;
    // Waits (with a deadline) until at least n requests arrived in all.
    bool waitForRequestCount(size_t n, double timeoutSeconds) const;
    void clearLog();

    // Answers to the path wait until released (or the server stops).
    void hold(std::string path);
    void release(std::string path);
    // Waits until n answers to the path are being held.
    bool waitForHeld(const std::string& path, size_t n, double timeoutSeconds) const;

    // Lets the server keep connections open for many requests (the default).
    void setKeepAliveMaxCount(size_t n);

    // A name the certificate holds besides 127.0.0.1 and localhost, for reaching the server
    // through a proxy (which must take it to 127.0.0.1): loopback names bypass proxies.
    static constexpr const char* kProxiedHostName = "origin.quorvane.test";

    // This server's certificate (PEM); empty for plain HTTP.
    const std::string& certificatePEM() const { return certificatePEM_; }
    // The test CA (PEM) and a file holding it.
    static const std::string& caCertificatePEM();
    static std::filesystem::path caCertificatePath();
    // A port on 127.0.0.1 on which nothing listens.
    static int unusedPort();

private:
    void dispatch(const httplib::Request& req, httplib::Response& res);
    void hangUp(int clientPort) const;
    Handler findHandler(const std::string& method, const std::string& path) const;
    void waitWhileStopping(double seconds);
    bool isStopping() const;

    Security security_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    std::string certificatePEM_;

    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    bool stopping_ = false;
    std::vector<std::pair<std::pair<std::string, std::string>, Handler>> handlers_;
    std::vector<TestRequest> log_;
    std::map<std::string, size_t> held_;     // path -> answers waiting
    std::map<std::string, bool> holding_;    // path -> hold in force
};

}  // namespace quorvane::test
