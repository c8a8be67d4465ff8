#include "tests/support/TestHTTPServer.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/net/ServerTrust.h"

namespace quorvane::test {

namespace {

using platform::asciiEqualsIgnoringCase;

// --- certificates, made with OpenSSL at start ---

struct KeyAndCert {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
};

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext) {
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
    }
}

// What a leaf may get wrong; the defaults make a sound one.
struct LeafFaults {
    const char* altNames = nullptr;   // nullptr: the server's usual names
    int rsaBits = 0;                  // 0: an EC P-256 key
    bool sha1 = false;                // signed with SHA-1 instead of SHA-256
    long notBefore = -3600, notAfter = 7L * 24 * 3600;  // seconds from now
};

KeyAndCert makeCertificate(const char* commonName, bool isCA, const KeyAndCert* issuer, const LeafFaults& faults = {}) {
    static std::atomic<long> serial{1000};
    KeyAndCert out;
    out.key = faults.rsaBits ? EVP_RSA_gen(unsigned(faults.rsaBits)) : EVP_EC_gen("P-256");
    out.cert = X509_new();
    X509_set_version(out.cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(out.cert), serial++);
    X509_gmtime_adj(X509_getm_notBefore(out.cert), faults.notBefore);
    X509_gmtime_adj(X509_getm_notAfter(out.cert), faults.notAfter);
    X509_set_pubkey(out.cert, out.key);
    X509_NAME* name = X509_get_subject_name(out.cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Quorvane Tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* issuerCert = issuer ? issuer->cert : out.cert;
    X509_set_issuer_name(out.cert, X509_get_subject_name(issuerCert));
    if (isCA) {
        addExtension(out.cert, issuerCert, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(out.cert, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
        addExtension(out.cert, issuerCert, NID_subject_key_identifier, "hash");
    } else {
        addExtension(out.cert, issuerCert, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(out.cert, issuerCert, NID_key_usage, "critical,digitalSignature,keyEncipherment");
        addExtension(out.cert, issuerCert, NID_ext_key_usage, "serverAuth");
        static const std::string names = std::string("IP:127.0.0.1,DNS:localhost,DNS:") + TestHTTPServer::kProxiedHostName;
        addExtension(out.cert, issuerCert, NID_subject_alt_name, faults.altNames ? faults.altNames : names.c_str());
        addExtension(out.cert, issuerCert, NID_subject_key_identifier, "hash");
        if (issuer) addExtension(out.cert, issuerCert, NID_authority_key_identifier, "keyid:always");
    }
    X509_sign(out.cert, issuer ? issuer->key : out.key, faults.sha1 ? EVP_sha1() : EVP_sha256());
    return out;
}

std::string toPEM(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    std::string pem(data, size_t(len));
    BIO_free(bio);
    return pem;
}

// The process's test CA: made once, written to a temporary folder removed at exit, and added
// to the certificates the URL loading system trusts.
struct TestCA {
    KeyAndCert ca;
    std::string pem;
    std::filesystem::path folder, path;

    TestCA() {
        ca = makeCertificate("Quorvane Test CA", true, nullptr);
        pem = toPEM(ca.cert);
        std::string tmpl = (platform::Paths::temporaryDirectory() / "quorvane-test-ca-XXXXXX").string();
        if (::mkdtemp(tmpl.data())) {
            folder = tmpl;
            path = folder / "ca.pem";
            std::ofstream(path) << pem;
        }
        platform::TrustStore::addTrustedCertificatesPEM(pem);
    }
    ~TestCA() {
        std::error_code ec;
        if (!folder.empty()) std::filesystem::remove_all(folder, ec);
    }
};

TestCA& testCA() {
    static TestCA ca;
    return ca;
}

// A CA nobody trusts.
const KeyAndCert& otherCA() {
    static const KeyAndCert ca = makeCertificate("Quorvane Other CA", true, nullptr);
    return ca;
}

KeyAndCert makeLeaf(TestHTTPServer::Security security) {
    using S = TestHTTPServer::Security;
    const KeyAndCert* ca = &testCA().ca;
    LeafFaults faults;
    const char* name = "127.0.0.1";
    switch (security) {
        case S::HTTP: return {};
        case S::HTTPS: break;
        case S::SelfSignedHTTPS: ca = nullptr; break;
        case S::WeakKeyHTTPS: faults.rsaBits = 1024; break;
        case S::SHA1SignedHTTPS: faults.sha1 = true; break;
        case S::PartialWildcardHTTPS:
            name = "a*.test.localhost";
            faults.altNames = "DNS:a*.test.localhost";
            break;
        case S::WrongHostHTTPS:
            name = "elsewhere.test.localhost";
            faults.altNames = "DNS:elsewhere.test.localhost";
            break;
        case S::AddressOnlyHTTPS:
            name = "localhost";
            faults.altNames = "IP:127.0.0.1";
            break;
        case S::ExpiredHTTPS:
            faults.notBefore = -2 * 24 * 3600;
            faults.notAfter = -24 * 3600;
            break;
        case S::OtherCAHTTPS: ca = &otherCA(); break;
    }
    return makeCertificate(name, false, ca, faults);
}

std::string encodeBody(const std::string& body, TestResponse::Encoding encoding) {
    z_stream zs{};
    int windowBits = encoding == TestResponse::Encoding::Gzip ? 15 + 16 : 15;
    deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, uLong(body.size())) + 64, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
    zs.avail_in = uInt(body.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = uInt(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

bool pathMatches(const std::string& pattern, const std::string& path) {
    if (!pattern.empty() && pattern.back() == '*') return platform::hasPrefix(path, pattern.substr(0, pattern.size() - 1));
    return pattern == path;
}

}  // namespace

std::optional<std::string> TestRequest::header(std::string_view name) const {
    for (const auto& [k, v] : headers)
        if (asciiEqualsIgnoringCase(k, name)) return v;
    return std::nullopt;
}

const std::string& TestHTTPServer::caCertificatePEM() { return testCA().pem; }
std::filesystem::path TestHTTPServer::caCertificatePath() { return testCA().path; }

int TestHTTPServer::unusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

TestHTTPServer::TestHTTPServer(Security security, int port) : security_(security) {
    KeyAndCert leaf = makeLeaf(security);
    if (leaf.cert) {
        certificatePEM_ = toPEM(leaf.cert);
        // As the library sets a server up, but at security level 0: the weak certificates are the
        // client's to refuse. The context takes its own references.
        server_ = std::make_unique<httplib::SSLServer>([&leaf](SSL_CTX& ctx) {
            SSL_CTX_set_security_level(&ctx, 0);
            SSL_CTX_set_options(&ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION);
            SSL_CTX_set_min_proto_version(&ctx, TLS1_1_VERSION);
            return SSL_CTX_use_certificate(&ctx, leaf.cert) == 1 && SSL_CTX_use_PrivateKey(&ctx, leaf.key) == 1;
        });
        X509_free(leaf.cert);
        EVP_PKEY_free(leaf.key);
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    server_->new_task_queue = [] { return new httplib::ThreadPool(32); };
    server_->set_keep_alive_max_count(100000);
    // An idle kept-alive connection holds a worker until this runs out, and stopping waits for
    // every worker: one second instead of five keeps each test's end short.
    server_->set_keep_alive_timeout(1);
    server_->set_tcp_nodelay(true);  // headers and body go out in separate writes
    auto handler = [this](const httplib::Request& req, httplib::Response& res) { dispatch(req, res); };
    server_->Get(".*", handler);
    server_->Post(".*", handler);
    server_->Put(".*", handler);
    server_->Patch(".*", handler);
    server_->Delete(".*", handler);
    server_->Options(".*", handler);
    if (port == 0) port_ = server_->bind_to_any_port("127.0.0.1");
    else port_ = server_->bind_to_port("127.0.0.1", port) ? port : -1;
    if (port_ < 0) return;
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

TestHTTPServer::~TestHTTPServer() { stop(); }

void TestHTTPServer::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

std::string TestHTTPServer::baseURL() const {
    return std::string(security_ == Security::HTTP ? "http" : "https") + "://127.0.0.1:" + std::to_string(port_);
}

platform::URL TestHTTPServer::url(std::string_view pathAndQuery) const {
    return *platform::URL::URLWithString(baseURL() + std::string(pathAndQuery));
}

void TestHTTPServer::on(std::string method, std::string path, Handler handler) {
    std::lock_guard lock(mutex_);
    for (auto& [key, h] : handlers_) {
        if (key.first == method && key.second == path) {
            h = std::move(handler);
            return;
        }
    }
    handlers_.emplace_back(std::make_pair(std::move(method), std::move(path)), std::move(handler));
}

void TestHTTPServer::respond(std::string path, int status, std::string body, std::string contentType) {
    on("*", std::move(path), [status, body, contentType](const TestRequest&, TestResponse& r) {
        r.status = status;
        r.body = body;
        r.contentType = contentType;
    });
}

TestHTTPServer::Handler TestHTTPServer::findHandler(const std::string& method, const std::string& path) const {
    std::lock_guard lock(mutex_);
    // Exact paths before prefixes; a handler for the method before one for any method.
    for (int pass = 0; pass < 4; ++pass) {
        bool wantExact = pass < 2, wantMethod = pass % 2 == 0;
        for (auto it = handlers_.rbegin(); it != handlers_.rend(); ++it) {
            const auto& [m, p] = it->first;
            bool exact = p.empty() || p.back() != '*';
            if (exact != wantExact) continue;
            if (wantMethod ? m != method : m != "*") continue;
            if (pathMatches(p, path)) return it->second;
        }
    }
    return nullptr;
}

void TestHTTPServer::waitWhileStopping(double seconds) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return stopping_; });
}

bool TestHTTPServer::isStopping() const {
    std::lock_guard lock(mutex_);
    return stopping_;
}

// The server's socket of the connection from the client's port, shut down both ways: what the
// server would write after it goes nowhere.
void TestHTTPServer::hangUp(int clientPort) const {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        const int fd = std::atoi(entry.path().filename().c_str());
        sockaddr_in self{}, peer{};
        socklen_t selfLength = sizeof self, peerLength = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &selfLength) != 0 || self.sin_family != AF_INET ||
            ntohs(self.sin_port) != port_ || ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
            ntohs(peer.sin_port) != clientPort)
            continue;
        ::shutdown(fd, SHUT_RDWR);
    }
}

void TestHTTPServer::dispatch(const httplib::Request& req, httplib::Response& res) {
    TestRequest r;
    r.method = req.method;
    r.path = req.path;
    size_t q = req.target.find('?');
    if (q != std::string::npos) r.query = req.target.substr(q + 1);
    for (const auto& [k, v] : req.headers) r.headers.emplace_back(k, v);
    r.body = req.body;
    r.remotePort = req.remote_port;
    {
        std::lock_guard lock(mutex_);
        log_.push_back(r);
    }
    cv_.notify_all();

    TestResponse out;
    if (Handler h = findHandler(r.method, r.path)) {
        h(r, out);
    } else {
        out.status = 404;
        out.body = "not found";
    }

    {
        std::unique_lock lock(mutex_);
        if (holding_[r.path]) {
            ++held_[r.path];
            cv_.notify_all();
            cv_.wait(lock, [&] { return stopping_ || !holding_[r.path]; });
            --held_[r.path];
        }
    }
    if (out.delay > 0) waitWhileStopping(out.delay);
    if (out.hangUp) return hangUp(req.remote_port);

    res.status = out.status;
    for (const auto& [k, v] : out.headers) res.headers.emplace(k, v);
    std::string body = out.body;
    if (out.encoding != TestResponse::Encoding::Identity) {
        body = encodeBody(body, out.encoding);
        res.set_header("Content-Encoding", out.encoding == TestResponse::Encoding::Gzip ? "gzip" : "deflate");
    }
    if (out.trickleEvery) {
        auto shared = std::make_shared<std::string>(std::move(body));
        double every = *out.trickleEvery;
        res.set_content_provider(shared->size(), out.contentType,
                                 [this, shared, every](size_t offset, size_t, httplib::DataSink& sink) {
                                     if (offset > 0) waitWhileStopping(every);
                                     if (isStopping()) return false;
                                     sink.write(shared->data() + offset, 1);
                                     return true;
                                 });
        return;
    }
    if (out.stallAfter || out.closeAfter) {
        size_t limit = std::min(body.size(), out.stallAfter ? *out.stallAfter : *out.closeAfter);
        bool stall = out.stallAfter.has_value();
        auto shared = std::make_shared<std::string>(std::move(body));
        res.set_content_provider(shared->size(), out.contentType,
                                 [this, shared, limit, stall](size_t offset, size_t length, httplib::DataSink& sink) {
                                     if (offset < limit) {
                                         sink.write(shared->data() + offset, std::min(length, limit - offset));
                                         return true;
                                     }
                                     if (stall) waitWhileStopping(3600);
                                     return false;  // ends the connection mid-body
                                 });
        return;
    }
    res.set_content(body, out.contentType);
}

std::vector<TestRequest> TestHTTPServer::requests() const {
    std::lock_guard lock(mutex_);
    return log_;
}

std::vector<TestRequest> TestHTTPServer::requests(std::string_view path) const {
    std::lock_guard lock(mutex_);
    std::vector<TestRequest> out;
    for (const auto& r : log_)
        if (r.path == path) out.push_back(r);
    return out;
}

size_t TestHTTPServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return log_.size();
}

size_t TestHTTPServer::requestCount(std::string_view path) const { return requests(path).size(); }

bool TestHTTPServer::waitForRequestCount(size_t n, double timeoutSeconds) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] { return log_.size() >= n; });
}

void TestHTTPServer::clearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

void TestHTTPServer::hold(std::string path) {
    std::lock_guard lock(mutex_);
    holding_[std::move(path)] = true;
}

void TestHTTPServer::release(std::string path) {
    {
        std::lock_guard lock(mutex_);
        holding_[std::move(path)] = false;
    }
    cv_.notify_all();
}

bool TestHTTPServer::waitForHeld(const std::string& path, size_t n, double timeoutSeconds) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] {
        auto it = held_.find(path);
        return it != held_.end() && it->second >= n;
    });
}

void TestHTTPServer::setKeepAliveMaxCount(size_t n) { server_->set_keep_alive_max_count(n); }

}  // namespace quorvane::test
