#include "platform/net/URLSessionTransfer.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/net/NetworkThread.h"
#include "platform/net/URLError.h"
#include "platform/net/URLSession.h"
#include "platform/net/URLSessionDelivery.h"
#include "platform/net/URLSessionTask.h"
#include "platform/runloop/DispatchQueue.h"

namespace quorvane::platform {

namespace {

// Body bytes waiting for the delegate beyond which the transfer stops reading from the socket.
constexpr size_t kReceiveHighWater = 4 * 1024 * 1024;
// A stream body is read ahead up to this much; reading resumes below the low mark.
constexpr size_t kStreamHighWater = 1024 * 1024;
constexpr size_t kStreamLowWater = 256 * 1024;
constexpr size_t kStreamChunk = 64 * 1024;
// The most header bytes an answer may have (its status line and every header of every interim
// answer included): far above any real server's, and the point where an endless block stops.
constexpr size_t kMaxHeaderBytes = 256 * 1024;

bool isLoopbackHost(const std::string& host) {
    return asciiEqualsIgnoringCase(host, "localhost") || host == "::1" || hasPrefix(host, "127.");
}

const std::string& systemCertificateFolder() {
    static const std::string& folder = *new std::string([] {
        const char* env = std::getenv(X509_get_default_cert_dir_env());
        return std::string(env && *env ? env : X509_get_default_cert_dir());
    }());
    return folder;
}

std::string headerValueTrim(std::string_view v) {
    size_t b = 0, e = v.size();
    while (b < e && (v[b] == ' ' || v[b] == '\t')) ++b;
    while (e > b && (v[e - 1] == ' ' || v[e - 1] == '\t' || v[e - 1] == '\r' || v[e - 1] == '\n')) --e;
    return std::string(v.substr(b, e - b));
}

}  // namespace

// Body chunks on their way to the delegate queue: one delivery at a time is queued and takes
// whatever has gathered when it runs.
struct URLSessionTransfer::DataMailbox {
    std::mutex mutex;
    Bytes bytes;
    bool queued = false;
    bool wantsResume = false;
};

// Byte counts on their way to the delegate queue, gathered the same way.
struct URLSessionTransfer::ProgressMailbox {
    std::mutex mutex;
    int64_t pending = 0;
    int64_t total = 0;
    int64_t expected = 0;
    bool queued = false;

    // Adds n bytes (and the expected total when it is known only now); true when the caller
    // must queue a delivery (none is waiting yet).
    bool add(int64_t n, int64_t newTotal, std::optional<int64_t> newExpected = std::nullopt) {
        std::lock_guard lock(mutex);
        pending += n;
        total = newTotal;
        if (newExpected) expected = *newExpected;
        if (queued) return false;
        queued = true;
        return true;
    }
    // Takes what accumulated since the last delivery; false when nothing did.
    bool take(int64_t& bytes, int64_t& outTotal, int64_t& outExpected) {
        std::lock_guard lock(mutex);
        bytes = pending;
        outTotal = total;
        outExpected = expected;
        pending = 0;
        queued = false;
        return bytes > 0;
    }
};

// Reads a body stream ahead on a worker thread (the stream is caller code, so never on the
// network thread), one read job at a time.
struct URLSessionTransfer::BodyPump : std::enable_shared_from_this<BodyPump> {
    std::shared_ptr<InputStream> stream;
    std::weak_ptr<URLSessionTransfer> transfer;
    std::mutex mutex;
    std::deque<Bytes> chunks;
    size_t frontOffset = 0;
    size_t buffered = 0;
    bool opened = false, eof = false, reading = false, stopped = false, closed = false;
    std::optional<Error> error;

    // Network thread: copies what is buffered; asks for more when running low.
    size_t take(char* out, size_t max) {
        size_t n = 0;
        bool schedule = false;
        {
            std::lock_guard lock(mutex);
            while (n < max && !chunks.empty()) {
                Bytes& front = chunks.front();
                size_t k = std::min(max - n, front.size() - frontOffset);
                std::memcpy(out + n, front.data() + frontOffset, k);
                n += k;
                frontOffset += k;
                if (frontOffset == front.size()) {
                    chunks.pop_front();
                    frontOffset = 0;
                }
            }
            buffered -= n;
            if (buffered < kStreamLowWater && !eof && !error && !reading && !stopped) {
                reading = true;
                schedule = true;
            }
        }
        if (schedule) scheduleRead();
        return n;
    }

    void startReading() {
        {
            std::lock_guard lock(mutex);
            if (reading || stopped) return;
            reading = true;
        }
        scheduleRead();
    }

    void scheduleRead() {
        DispatchQueue::global()->async([self = shared_from_this()] { self->readAhead(); });
    }

    // Worker thread.
    void readAhead() {
        {
            std::lock_guard lock(mutex);
            if (stopped) {
                reading = false;
                closeLocked();
                return;
            }
        }
        if (!opened) {
            opened = true;
            stream->open();
            if (stream->streamStatus() == StreamStatus::Error) {
                std::lock_guard lock(mutex);
                error = stream->streamError();
                if (!error) error = Error(kURLErrorDomain, kURLErrorRequestBodyStreamExhausted);
            }
        }
        while (true) {
            {
                std::lock_guard lock(mutex);
                if (stopped || error || eof || buffered >= kStreamHighWater) break;
            }
            Bytes chunk(kStreamChunk);
            int64_t n = stream->read(chunk.data(), chunk.size());
            std::lock_guard lock(mutex);
            if (n > 0) {
                chunk.resize(size_t(n));
                buffered += chunk.size();
                chunks.push_back(std::move(chunk));
            } else if (n == 0) {
                eof = true;
            } else {
                error = stream->streamError();
                if (!error) error = Error(kURLErrorDomain, kURLErrorRequestBodyStreamExhausted);
            }
        }
        {
            std::lock_guard lock(mutex);
            reading = false;
            if (stopped || eof || error) closeLocked();
        }
        if (auto t = transfer.lock()) NetworkThread::shared().post([t] { t->bodyReady(); });
    }

    // Network thread: no more reads. The stream is closed and let go on a worker thread.
    void stop() {
        {
            std::lock_guard lock(mutex);
            if (stopped) return;
            stopped = true;
            if (reading) return;  // the read job closes it
        }
        DispatchQueue::global()->async([self = shared_from_this()] {
            std::lock_guard lock(self->mutex);
            self->closeLocked();
        });
    }

    // Worker thread.
    void closeLocked() {
        if (!closed && opened) stream->close();
        closed = true;
        stream.reset();
    }
};

// --- curl and OpenSSL callbacks ---

struct TransferCallbacks {
    static size_t header(char* data, size_t size, size_t n, void* ud) {
        return static_cast<URLSessionTransfer*>(ud)->onHeader(data, size * n);
    }
    static size_t write(char* data, size_t size, size_t n, void* ud) {
        return static_cast<URLSessionTransfer*>(ud)->onData(data, size * n);
    }
    static size_t read(char* buffer, size_t size, size_t n, void* ud) {
        return static_cast<URLSessionTransfer*>(ud)->onRead(buffer, size * n);
    }
    static int seek(void* ud, curl_off_t offset, int origin) {
        return static_cast<URLSessionTransfer*>(ud)->onSeek(int64_t(offset), origin);
    }
    // Called each time the request is about to go out on a connection.
    static int prereq(void* ud, char*, char*, int, int) {
        return static_cast<URLSessionTransfer*>(ud)->onRequestGoing();
    }

    // The TLS context of a new connection: add the process's trusted certificates and record the
    // chain the server presents, for a server-trust challenge when it does not verify. The
    // record is tied to the context (freed with it), never to the transfer's lifetime.
    struct Holder {
        std::shared_ptr<URLSessionTransfer::TrustCapture> capture;
    };
    static void freeHolder(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) { delete static_cast<Holder*>(ptr); }
    static int exIndex() {
        static int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, freeHolder);
        return index;
    }
    static int verify(int ok, X509_STORE_CTX* store) {
        auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto* holder = ssl ? static_cast<Holder*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), exIndex())) : nullptr;
        if (!holder) return ok;
        auto& c = *holder->capture;
        std::lock_guard lock(c.mutex);
        if (c.chain.empty()) {
            STACK_OF(X509)* peer = X509_STORE_CTX_get0_untrusted(store);
            X509* leaf = X509_STORE_CTX_get0_cert(store);
            auto add = [&](X509* x) {
                unsigned char* der = nullptr;
                int len = i2d_X509(x, &der);
                if (len > 0) c.chain.emplace_back(der, der + len);
                OPENSSL_free(der);
            };
            if (leaf) add(leaf);
            if (peer)
                for (int i = 0; i < sk_X509_num(peer); ++i)
                    if (X509* x = sk_X509_value(peer, i); x && X509_cmp(x, leaf) != 0) add(x);
        }
        if (!ok && c.failure.empty()) c.failure = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
        return ok;
    }
    static CURLcode sslContext(CURL*, void* sslctx, void* ud) {
        auto* ctx = static_cast<SSL_CTX*>(sslctx);
        TrustStore::addToStore(SSL_CTX_get_cert_store(ctx));
        auto* t = static_cast<URLSessionTransfer*>(ud);
        auto holder = std::make_unique<Holder>(Holder{t->trust_});
        if (SSL_CTX_set_ex_data(ctx, exIndex(), holder.get()) == 1) holder.release();  // the context frees it now
        SSL_CTX_set_verify(ctx, SSL_CTX_get_verify_mode(ctx), verify);
        return CURLE_OK;
    }
};

// --- URLSessionTransfer ---

double URLSessionTransfer::steadyNow() {
    // The coarse clock is cheap and fine enough for time-outs (a few milliseconds).
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

URLSessionTransfer::URLSessionTransfer(std::shared_ptr<URLSessionTask> task, std::shared_ptr<URLSession> session, Setup setup)
    : task_(std::move(task)), session_(std::move(session)), setup_(std::move(setup)) {
    hostKey_ = asciiLower(setup_.url.scheme()) + "://" + asciiLower(setup_.url.host().value_or("")) + ":" +
               std::to_string(setup_.url.effectivePort());
    if (setup_.download) written_ = std::make_shared<ProgressMailbox>();
    else data_ = std::make_shared<DataMailbox>();
    if (setup_.bodyKind != BodyKind::None) sent_ = std::make_shared<ProgressMailbox>();
    switch (setup_.bodyKind) {
        case BodyKind::None: bodyLength_ = 0; break;
        case BodyKind::Data: bodyLength_ = int64_t(setup_.bodyData ? setup_.bodyData->size() : 0); break;
        case BodyKind::File: {
            struct stat st {};
            bodyLength_ = ::stat(setup_.bodyFile.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
            break;
        }
        case BodyKind::Stream: {
            bodyLength_ = -1;
            if (auto cl = setup_.headers.valueForHTTPHeaderField("Content-Length")) {
                char* end = nullptr;
                long long n = std::strtoll(cl->c_str(), &end, 10);
                if (end && *end == 0 && n >= 0) bodyLength_ = n;
            }
            break;
        }
    }
}

URLSessionTransfer::~URLSessionTransfer() {
    if (easy_) curl_easy_cleanup(easy_);
    if (headerList_) curl_slist_free_all(headerList_);
    if (bodyFd_ >= 0) ::close(bodyFd_);
    if (downloadFd_ >= 0) ::close(downloadFd_);
}

void URLSessionTransfer::start() {
    if (abandoned_) return;
    lastActivity_ = steadyNow();
    int& running = session_->runningPerHost_[hostKey_];
    if (running >= setup_.maxPerHost) {
        session_->waitingPerHost_[hostKey_].push_back(self());
        queued_ = true;
        return;
    }
    ++running;
    holdsSlot_ = true;
    begin();
}

void URLSessionTransfer::releaseSlot() {
    if (!holdsSlot_) return;
    holdsSlot_ = false;
    auto& running = session_->runningPerHost_[hostKey_];
    --running;
    auto waiting = session_->waitingPerHost_.find(hostKey_);
    while (waiting != session_->waitingPerHost_.end() && !waiting->second.empty() && running < setup_.maxPerHost) {
        auto next = waiting->second.front();
        waiting->second.pop_front();
        next->queued_ = false;
        if (next->abandoned_) continue;
        ++running;
        next->holdsSlot_ = true;
        next->begin();
    }
    if (waiting != session_->waitingPerHost_.end() && waiting->second.empty()) session_->waitingPerHost_.erase(waiting);
    if (running <= 0) session_->runningPerHost_.erase(hostKey_);
}

void URLSessionTransfer::begin() {
    touch();
    if (NetworkThread::shared().cancellingEverything()) {
        // The slot is given back once this call is over: the caller may be walking the line.
        curlFinished_ = true;
        reported_ = true;
        NetworkThread::shared().post([t = self()] { t->releaseSlot(); });
        task_->transferDidFinish(self(), makeURLError(kURLErrorCancelled, setup_.url), false);
        return;
    }
    easy_ = NetworkThread::shared().acquireEasy();
    if (!easy_) {
        curlFinished_ = true;
        releaseSlot();
        reported_ = true;
        task_->transferDidFinish(self(), makeURLError(kURLErrorUnknown, setup_.url, "curl_easy_init failed"), false);
        return;
    }
    // A pooled handle comes back reset, so every option is set for each transfer.
    CURL* e = easy_;
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &TransferCallbacks::header);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &TransferCallbacks::write);
    curl_easy_setopt(e, CURLOPT_READFUNCTION, &TransferCallbacks::read);
    curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, &TransferCallbacks::seek);
    curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
    // The system's roots come from its hashed certificate folder, read as a chain needs
    // them; with the bundle file curl would parse every root for each new connection.
    curl_easy_setopt(e, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(e, CURLOPT_CAPATH, systemCertificateFolder().c_str());
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &TransferCallbacks::sslContext);
    curl_easy_setopt(e, CURLOPT_PRIVATE, this);
    curl_easy_setopt(e, CURLOPT_SHARE, static_cast<CURLSH*>(session_->shareHandle()));
    curl_easy_setopt(e, CURLOPT_URL, setup_.url.absoluteStringWithoutFragment().c_str());
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorBuffer_);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(e, CURLOPT_READDATA, this);
    curl_easy_setopt(e, CURLOPT_SEEKDATA, this);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, this);
    // Only a request that changes nothing (a GET, a HEAD, without a body) may go out again on
    // curl's own when the reused connection it went on turns out dead: any other may have been
    // carried out already, and whether it was is its caller's to find out. Such a request goes
    // on a new connection (one handshake each; a kept-alive one the server has closed would
    // take it unread), and a second send is refused whatever curl does.
    const bool repeatable = setup_.bodyKind == BodyKind::None &&
                            (setup_.method == "GET" || setup_.method == "HEAD" || setup_.method == "OPTIONS");
    curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, repeatable ? 0L : 1L);
    // Its connection is closed after it rather than kept for the next request: kept, a write's
    // connection that the provider cut made the list download after it fail as connection lost.
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, repeatable ? 0L : 1L);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, repeatable ? nullptr : &TransferCallbacks::prereq);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, this);
    curl_easy_setopt(e, CURLOPT_NOPROXY, isLoopbackHost(setup_.url.host().value_or("")) ? "*" : nullptr);
    // Through a proxy's tunnel, the proxy's own answer to CONNECT ("200 Connection established"
    // and its blank line) is not the server's: only the server's response reaches onHeader.
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);

    // TLS: at least the configured version; certificates verified against the system roots and
    // the process's trusted certificates, unless the task accepted this server's trust, in
    // which case only the accepted key is.
    curl_easy_setopt(e, CURLOPT_SSLVERSION,
                     long(setup_.tlsMinimum == TLSProtocolVersion::TLSv13 ? CURL_SSLVERSION_TLSv1_3 : CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, setup_.pinnedKey ? 0L : 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, setup_.pinnedKey ? 0L : 2L);
    curl_easy_setopt(e, CURLOPT_PINNEDPUBLICKEY, setup_.pinnedKey ? setup_.pinnedKey->c_str() : nullptr);

    // Headers, as the task built them; curl adds Host, Accept and the body's framing.
    for (const auto& [name, value] : setup_.headers) {
        if (asciiEqualsIgnoringCase(name, "Content-Length")) continue;
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        headerList_ = curl_slist_append(headerList_, line.c_str());
    }
    if (setup_.resumePath) {
        headerList_ = curl_slist_append(headerList_, ("Range: bytes=" + std::to_string(setup_.resumeOffset) + "-").c_str());
        if (!setup_.resumeValidator.empty())
            headerList_ = curl_slist_append(headerList_, ("If-Range: " + setup_.resumeValidator).c_str());
    }
    // A body without a type of its own goes untyped, not labelled as the form curl takes it for.
    if (!setup_.headers.contains("Content-Type")) headerList_ = curl_slist_append(headerList_, "Content-Type:");
    // No "Expect: 100-continue" pause before a body. Without other headers a constant list does.
    static char expectLine[] = "Expect:";
    static curl_slist expectOnly{expectLine, nullptr};
    if (headerList_) headerList_ = curl_slist_append(headerList_, "Expect:");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headerList_ ? headerList_ : &expectOnly);

    // Method and body: every option of the kind is set, so nothing of an earlier transfer stays.
    const std::string& method = setup_.method;
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);  // GET, no upload, a body expected
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, nullptr);
    if (setup_.bodyKind == BodyKind::None) {
        if (method == "HEAD") {
            curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
        } else if (method == "POST" || method == "PUT" || method == "PATCH") {
            curl_easy_setopt(e, CURLOPT_POST, 1L);
            curl_easy_setopt(e, CURLOPT_POSTFIELDS, "");
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(0));
            if (method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
        } else if (method != "GET") {
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
        }
    } else {
        if (setup_.bodyKind == BodyKind::File) {
            bodyFd_ = ::open(setup_.bodyFile.c_str(), O_RDONLY | O_CLOEXEC);
            if (bodyFd_ < 0) bodyError_ = posixError(errno, setup_.bodyFile.string());
        } else if (setup_.bodyKind == BodyKind::Stream) {
            pump_ = std::make_shared<BodyPump>();
            pump_->stream = std::move(setup_.bodyStream);  // from now on only touched on workers
            pump_->transfer = weak_from_this();
            pump_->startReading();
        }
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, nullptr);  // the body comes from the read callback
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(bodyLength_));
        if (method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    if (sent_) {
        std::lock_guard lock(sent_->mutex);
        sent_->expected = bodyLength_;
    }

    CURLMcode rc = curl_multi_add_handle(NetworkThread::shared().multi(), e);
    if (rc != CURLM_OK) {
        NetworkThread::shared().releaseEasy(easy_);
        easy_ = nullptr;
        curlFinished_ = true;
        releaseSlot();
        reported_ = true;
        task_->transferDidFinish(self(), makeURLError(kURLErrorUnknown, setup_.url, curl_multi_strerror(rc)), false);
        return;
    }
    NetworkThread::shared().track(self());
}

void URLSessionTransfer::removeEasy() {
    if (easy_) {
        curl_easy_getinfo(easy_, CURLINFO_OS_ERRNO, &osErrno_);
        curl_easy_getinfo(easy_, CURLINFO_HTTP_CONNECTCODE, &proxyStatus_);
        curl_easy_getinfo(easy_, CURLINFO_PROXY_SSL_VERIFYRESULT, &proxyVerify_);
        curl_multi_remove_handle(NetworkThread::shared().multi(), easy_);
        NetworkThread::shared().releaseEasy(easy_);
        easy_ = nullptr;
    }
    if (headerList_) {
        curl_slist_free_all(headerList_);
        headerList_ = nullptr;
    }
    if (bodyFd_ >= 0) {
        ::close(bodyFd_);
        bodyFd_ = -1;
    }
    if (pump_) pump_->stop();
    curlFinished_ = true;
    NetworkThread::shared().untrack(this);
    releaseSlot();
}

// --- response ---

size_t URLSessionTransfer::onHeader(const char* data, size_t length) {
    touch();
    NetworkThread::shared().noteReceived(length);
    // An answer whose header block has no end in sight is refused as too large, not kept.
    headerBytes_ += length;
    if (headerBytes_ > kMaxHeaderBytes) {
        headersTooLarge_ = true;
        return 0;
    }
    if (floorWindowStart_ == 0) restartFloorWindow();
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (hasPrefix(line, "HTTP/")) {
        // A new response (an interim 1xx may come first).
        headerLines_.clear();
        headerLines_.reserve(16);
        statusCode_ = 0;
        size_t sp = line.find(' ');
        httpVersion_ = std::string(line.substr(0, sp));
        if (sp != std::string_view::npos) {
            auto rest = line.substr(sp + 1);
            int code = 0;
            for (size_t i = 0; i < rest.size() && i < 3 && std::isdigit(static_cast<unsigned char>(rest[i])); ++i)
                code = code * 10 + (rest[i] - '0');
            statusCode_ = code;
        }
        return length;
    }
    if (line.empty()) {
        if (statusCode_ >= 200 && phase_ == Phase::NoResponse) headersComplete();
        return length;
    }
    if ((line[0] == ' ' || line[0] == '\t') && !headerLines_.empty()) {
        headerLines_.back().second += " " + headerValueTrim(line);
        return length;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return length;
    headerLines_.emplace_back(std::string(line.substr(0, colon)), headerValueTrim(line.substr(colon + 1)));
    return length;
}

void URLSessionTransfer::headersComplete() {
    phase_ = Phase::Deciding;
    // A download needs its response here (file placement, progress, resume data); for other
    // tasks the response object is made on the delegate queue, off this thread.
    if (setup_.download) {
        response_ = std::make_shared<HTTPURLResponse>(setup_.url, statusCode_, httpVersion_, headerLines_);
    }
    task_->transferDidReceiveResponse(self(), statusCode_, std::move(httpVersion_), std::move(headerLines_), response_);
    headerLines_.clear();
}

size_t URLSessionTransfer::onData(const char* data, size_t length) {
    if (abandoned_) return length;
    touch();
    NetworkThread::shared().noteReceived(length);
    if (phase_ != Phase::Allowed) {
        if (pending_.size() >= kReceiveHighWater) {
            pausedRecv_ = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        pending_.insert(pending_.end(), data, data + length);
        return length;
    }
    if (setup_.download) {
        if (writeError_ || downloadFd_ < 0) return 0;
        size_t done = 0;
        while (done < length) {
            ssize_t w = ::write(downloadFd_, data + done, length - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                writeError_ = makeURLError(kURLErrorCannotWriteToFile, setup_.url, std::strerror(errno));
                return 0;
            }
            done += size_t(w);
        }
        reportWritten(length);
        return length;
    }
    {
        std::lock_guard lock(data_->mutex);
        if (data_->bytes.size() >= kReceiveHighWater) {
            data_->wantsResume = true;
            pausedRecv_ = true;
            return CURL_WRITEFUNC_PAUSE;
        }
    }
    deliverData(reinterpret_cast<const uint8_t*>(data), length);
    return length;
}

void URLSessionTransfer::deliverData(const uint8_t* data, size_t length) {
    if (length == 0) return;
    task_->bytesReceived_ += int64_t(length);
    bool queue = false;
    {
        std::lock_guard lock(data_->mutex);
        data_->bytes.insert(data_->bytes.end(), data, data + length);
        if (!data_->queued) data_->queued = queue = true;
    }
    if (!queue) return;
    std::weak_ptr<URLSessionTransfer> weak = weak_from_this();
    auto mailbox = data_;
    task_->deliverBody([task = task_, mailbox, weak](const std::shared_ptr<URLSession>& session) {
        Bytes bytes;
        bool resume;
        {
            std::lock_guard lock(mailbox->mutex);
            bytes.swap(mailbox->bytes);
            mailbox->queued = false;
            resume = mailbox->wantsResume;
            mailbox->wantsResume = false;
        }
        if (resume) {
            if (auto t = weak.lock()) NetworkThread::shared().post([t] { t->resumeReceiving(); });
        }
        if (bytes.empty()) return;
        auto delegate = session->delegate();
        if (delegate) delegate->didReceiveData(session, std::static_pointer_cast<URLSessionDataTask>(task), bytes);
    });
}

void URLSessionTransfer::reportWritten(size_t n) {
    downloadWritten_ += int64_t(n);
    task_->bytesReceived_ += int64_t(n);
    int64_t expected = response_ ? response_->expectedContentLength() : -1;
    if (expected >= 0 && statusCode_ == 206) expected += downloadStart_;
    if (!written_->add(int64_t(n), downloadStart_ + downloadWritten_, expected)) return;
    auto mailbox = written_;
    task_->deliver([task = task_, mailbox](const std::shared_ptr<URLSession>& session) {
        int64_t bytes, total, expected;
        if (!mailbox->take(bytes, total, expected)) return;
        if (auto delegate = session->delegate())
            delegate->didWriteData(session, std::static_pointer_cast<URLSessionDownloadTask>(task), bytes, total, expected);
    });
}

void URLSessionTransfer::allow() {
    if (abandoned_ || phase_ == Phase::Allowed) return;
    phase_ = Phase::Allowed;
    if (setup_.download) {
        if (openDownloadFile() && !pending_.empty()) onData(reinterpret_cast<const char*>(pending_.data()), pending_.size());
    } else {
        deliverData(pending_.data(), pending_.size());
    }
    pending_.clear();
    pending_.shrink_to_fit();
    if (curlFinished_) {
        finish();
        return;
    }
    if (floorWindowStart_ > 0) restartFloorWindow();  // the time the task took to decide does not count
    if (pausedRecv_) resumeReceiving();
}

bool URLSessionTransfer::openDownloadFile() {
    if (setup_.resumePath) {
        downloadPath_ = *setup_.resumePath;
        bool continuing = statusCode_ == 206;
        downloadFd_ = ::open(downloadPath_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (continuing ? 0 : O_TRUNC), 0600);
        if (downloadFd_ >= 0 && continuing) {
            if (::ftruncate(downloadFd_, off_t(setup_.resumeOffset)) != 0 ||
                ::lseek(downloadFd_, off_t(setup_.resumeOffset), SEEK_SET) < 0) {
                ::close(downloadFd_);
                downloadFd_ = -1;
            }
            downloadStart_ = setup_.resumeOffset;
        }
        if (downloadFd_ >= 0) {
            int64_t offset = downloadStart_;
            int64_t length = response_ ? response_->expectedContentLength() : -1;
            int64_t expected = length >= 0 ? length + offset : kURLSessionTransferSizeUnknown;
            task_->deliver([task = task_, offset, expected](const std::shared_ptr<URLSession>& session) {
                if (auto delegate = session->delegate())
                    delegate->didResumeAtOffset(session, std::static_pointer_cast<URLSessionDownloadTask>(task), offset,
                                                expected);
            });
        }
    } else {
        std::string tmpl = (Paths::temporaryDirectory() / "quorvane-download-XXXXXX").string();
        downloadFd_ = ::mkostemp(tmpl.data(), O_CLOEXEC);
        if (downloadFd_ >= 0) downloadPath_ = tmpl;
    }
    if (downloadFd_ < 0) {
        writeError_ = makeURLError(kURLErrorCannotCreateFile, setup_.url, std::strerror(errno));
        return false;
    }
    return true;
}

void URLSessionTransfer::closeDownloadFile(bool remove) {
    if (downloadFd_ >= 0) {
        ::close(downloadFd_);
        downloadFd_ = -1;
    }
    if (remove && !downloadPath_.empty()) {
        std::error_code ec;
        std::filesystem::remove(downloadPath_, ec);
        downloadPath_.clear();
    }
}

void URLSessionTransfer::resumeReceiving() {
    if (!pausedRecv_ || !easy_ || abandoned_) return;
    if (phase_ == Phase::Allowed && !setup_.download) {
        std::lock_guard lock(data_->mutex);
        if (data_->bytes.size() >= kReceiveHighWater) {
            data_->wantsResume = true;
            return;
        }
    }
    if (phase_ != Phase::Allowed && pending_.size() >= kReceiveHighWater) return;
    pausedRecv_ = false;
    touch();
    if (floorWindowStart_ > 0) restartFloorWindow();
    pauseMaskChanged();
}

void URLSessionTransfer::pauseMaskChanged() {
    if (!easy_) return;
    int mask = (pausedRecv_ ? CURLPAUSE_RECV : 0) | (pausedSend_ ? CURLPAUSE_SEND : 0);
    curl_easy_pause(easy_, mask);
}

// --- request body ---

size_t URLSessionTransfer::onRead(char* buffer, size_t length) {
    if (abandoned_) return CURL_READFUNC_ABORT;
    touch();
    size_t n = 0;
    switch (setup_.bodyKind) {
        case BodyKind::None: return 0;
        case BodyKind::Data: {
            const Bytes& d = *setup_.bodyData;
            n = std::min(length, d.size() - size_t(bodyOffset_));
            std::memcpy(buffer, d.data() + bodyOffset_, n);
            break;
        }
        case BodyKind::File: {
            if (bodyFd_ < 0) return CURL_READFUNC_ABORT;
            ssize_t r;
            do {
                r = ::pread(bodyFd_, buffer, length, off_t(bodyOffset_));
            } while (r < 0 && errno == EINTR);
            if (r < 0) {
                bodyError_ = posixError(errno, setup_.bodyFile.string());
                return CURL_READFUNC_ABORT;
            }
            n = size_t(r);
            break;
        }
        case BodyKind::Stream: {
            n = pump_->take(buffer, length);
            if (n == 0) {
                std::lock_guard lock(pump_->mutex);
                if (pump_->error) {
                    bodyError_ = pump_->error;
                    return CURL_READFUNC_ABORT;
                }
                if (!pump_->eof || !pump_->chunks.empty()) {
                    pausedSend_ = true;
                    return CURL_READFUNC_PAUSE;
                }
                return 0;
            }
            break;
        }
    }
    bodyOffset_ += int64_t(n);
    reportSent(n);
    return n;
}

int URLSessionTransfer::onRequestGoing() {
    if (requestWent_) {
        resendRefused_ = true;
        return CURL_PREREQFUNC_ABORT;
    }
    requestWent_ = true;
    return CURL_PREREQFUNC_OK;
}

int URLSessionTransfer::onSeek(int64_t offset, int origin) {
    if (origin != SEEK_SET || setup_.bodyKind == BodyKind::Stream || offset < 0 ||
        (bodyLength_ >= 0 && offset > bodyLength_))
        return CURL_SEEKFUNC_CANTSEEK;
    bodyOffset_ = offset;
    task_->bytesSent_ = offset;
    std::lock_guard lock(sent_->mutex);
    sent_->total = offset;
    return CURL_SEEKFUNC_OK;
}

void URLSessionTransfer::reportSent(size_t n) {
    if (n == 0) return;
    task_->bytesSent_ = bodyOffset_;
    if (!sent_->add(int64_t(n), bodyOffset_)) return;
    auto mailbox = sent_;
    task_->deliver([task = task_, mailbox](const std::shared_ptr<URLSession>& session) {
        int64_t bytes, total, expected;
        if (!mailbox->take(bytes, total, expected)) return;
        if (auto delegate = session->delegate()) delegate->didSendBodyData(session, task, bytes, total, expected);
    });
}

void URLSessionTransfer::bodyReady() {
    if (!pausedSend_ || !easy_ || abandoned_) return;
    pausedSend_ = false;
    touch();
    pauseMaskChanged();
}

// --- the end ---

void URLSessionTransfer::curlDone(int curlCode) {
    curlCode_ = curlCode;
    removeEasy();
    if (abandoned_ || reported_) return;
    if (phase_ == Phase::Deciding) return;  // finish() runs once the task has decided
    finish();
}

void URLSessionTransfer::finish() {
    if (reported_ || abandoned_) return;
    reported_ = true;
    std::optional<Error> error;
    bool trustFailure = false;
    if (bodyError_) {
        Error e = *bodyError_;
        if (e.domain != kURLErrorDomain) {
            Error wrapped = makeURLError(kURLErrorRequestBodyStreamExhausted, setup_.url);
            wrapped.userInfo.set(Error::kUnderlyingErrorKey, Value::dictionary({{"domain", Value(e.domain)},
                                                                                 {"code", Value(e.code)}}));
            e = wrapped;
        }
        error = e;
    } else if (writeError_) {
        error = writeError_;
    } else if (headersTooLarge_) {
        error = makeURLError(kURLErrorDataLengthExceedsMaximum, setup_.url,
                             "the response headers are larger than " + std::to_string(kMaxHeaderBytes / 1024) + " KiB");
    } else if (curlCode_ != CURLE_OK) {
        int64_t code = URLErrorCodeForCurlResult(curlCode_, osErrno_);
        std::string detail = errorBuffer_[0] ? std::string(errorBuffer_) : curl_easy_strerror(CURLcode(curlCode_));
        // Before the response was whole, running out of room means a header line or block over
        // the transfer library's limit: the server's answer could not be read.
        if (phase_ == Phase::NoResponse && curlCode_ == CURLE_OUT_OF_MEMORY) code = kURLErrorBadServerResponse;
        // A proxy that would not open the tunnel (the detail gives its status): the server cannot
        // be reached through it.
        if (phase_ == Phase::NoResponse && proxyStatus_ >= 300) code = kURLErrorCannotConnectToHost;
        // The connection the request went on died before any answer, and it was not sent again.
        if (resendRefused_) {
            code = kURLErrorNetworkConnectionLost;
            detail = "the connection closed before any answer came; the request was not sent again";
        }
        // A secure connection the network broke off (reset, closed) before its handshake ended:
        // no certificate was refused.
        if (curlCode_ == CURLE_SSL_CONNECT_ERROR && handshakeLostConnection(detail))
            code = kURLErrorNetworkConnectionLost;
        // Nothing answered where the connection went, and that was not the server's address:
        // it was the proxy's.
        const bool proxyUnreachable = code == kURLErrorCannotConnectToHost && proxyStatus_ < 300 &&
                                      connectedElsewhere(detail);
        // What went wrong was the proxy's own (its name, its certificate, its refusal, its
        // silence): not a challenge of the server's trust, and said as the proxy's.
        const bool proxyFailure =
            phase_ == Phase::NoResponse && (proxyStatus_ >= 300 || proxyVerify_ != 0 ||
                                            curlCode_ == CURLE_COULDNT_RESOLVE_PROXY || proxyUnreachable);
        if (curlCode_ == CURLE_PEER_FAILED_VERIFICATION && phase_ == Phase::NoResponse && !setup_.pinnedKey &&
            !proxyFailure) {
            std::lock_guard lock(trust_->mutex);
            trustFailure = !trust_->chain.empty();
        }
        error = makeURLError(code, setup_.url, detail);
        if (proxyFailure) error->userInfo.set(kURLErrorProxyFailureKey, true);
        if (proxyUnreachable) error->userInfo.set(kURLErrorProxyUnreachableKey, true);
    } else if (phase_ == Phase::NoResponse) {
        error = makeURLError(kURLErrorBadServerResponse, setup_.url, "no response");
    }
    if (setup_.download) closeDownloadFile(error.has_value());
    task_->transferDidFinish(self(), std::move(error), trustFailure);
}

bool URLSessionTransfer::handshakeLostConnection(const std::string& detail) const {
    {
        std::lock_guard lock(trust_->mutex);
        if (!trust_->failure.empty()) return false;  // a certificate was refused
    }
    switch (osErrno_) {
        case ECONNRESET: case EPIPE: case ECONNABORTED: case ETIMEDOUT: case ENETDOWN: case ENETUNREACH:
        case EHOSTUNREACH: case ENOTCONN: return true;
        default: break;
    }
    // The peer closed the connection mid-handshake: the TLS library saw the stream end.
    return detail.find("SSL_ERROR_SYSCALL") != std::string::npos ||
           asciiLower(detail).find("unexpected eof") != std::string::npos;
}

bool URLSessionTransfer::connectedElsewhere(const std::string& detail) const {
    // curl names the host and port it could not reach: "Failed to connect to HOST port PORT ...".
    static constexpr std::string_view kLead = "Failed to connect to ";
    if (!hasPrefix(detail, kLead)) return false;
    const size_t portAt = detail.find(" port ", kLead.size());
    if (portAt == std::string::npos) return false;
    std::string host = detail.substr(kLead.size(), portAt - kLead.size());
    const long port = std::strtol(detail.c_str() + portAt + 6, nullptr, 10);
    std::string own = setup_.url.host().value_or("");
    if (own.size() > 2 && own.front() == '[' && own.back() == ']') own = own.substr(1, own.size() - 2);
    return port != long(setup_.url.effectivePort()) || !asciiEqualsIgnoringCase(host, own);
}

void URLSessionTransfer::abandon(bool keepDownloadFile) {
    if (abandoned_) return;
    abandoned_ = true;
    if (queued_) {
        auto it = session_->waitingPerHost_.find(hostKey_);
        if (it != session_->waitingPerHost_.end()) {
            std::erase(it->second, self());
            if (it->second.empty()) session_->waitingPerHost_.erase(it);
        }
        queued_ = false;
    }
    if (!curlFinished_ && easy_) removeEasy();
    if (pump_) pump_->stop();
    NetworkThread::shared().untrack(this);
    closeDownloadFile(!keepDownloadFile);
}

std::optional<Bytes> URLSessionTransfer::takeResumeData() {
    bool eligible = setup_.download && phase_ == Phase::Allowed && !reported_ && !abandoned_ && downloadFd_ >= 0 &&
                    response_ && (statusCode_ == 200 || statusCode_ == 206) && downloadWritten_ > 0;
    std::string validator;
    if (eligible) {
        auto etag = response_->valueForHTTPHeaderField("ETag");
        auto modified = response_->valueForHTTPHeaderField("Last-Modified");
        auto ranges = response_->valueForHTTPHeaderField("Accept-Ranges");
        if (etag && !hasPrefix(*etag, "W/")) validator = *etag;
        else if (modified) validator = *modified;
        eligible = !validator.empty() && !(ranges && asciiEqualsIgnoringCase(*ranges, "none"));
    }
    if (!eligible) {
        abandon(false);
        return std::nullopt;
    }
    ::fsync(downloadFd_);
    Value info = Value::dictionary();
    info.set("version", 1);
    info.set("url", setup_.url.absoluteString());
    info.set("headers", setup_.headers.toValue());
    info.set("path", downloadPath_.string());
    info.set("offset", downloadStart_ + downloadWritten_);
    info.set("validator", validator);
    abandon(true);
    std::string json = info.toJSON();
    return Bytes(json.begin(), json.end());
}

double URLSessionTransfer::deadline() const {
    double d = INFINITY;
    if (setup_.resourceDeadline > 0) d = setup_.resourceDeadline;
    bool waitingOnDelegate = phase_ == Phase::Deciding || pausedRecv_;
    if (setup_.idleTimeout > 0 && !waitingOnDelegate) d = std::min(d, lastActivity_ + setup_.idleTimeout);
    if (floorWindowStart_ > 0 && setup_.floorBytes > 0 && setup_.floorInterval > 0 && !waitingOnDelegate)
        d = std::min(d, floorWindowStart_ + setup_.floorInterval);
    return d;
}

int64_t URLSessionTransfer::bytesOnTheWire() const {
    // The body as it came over the wire (before any content decoding) and the header bytes.
    curl_off_t body = 0;
    long headers = 0;
    if (easy_) {
        curl_easy_getinfo(easy_, CURLINFO_SIZE_DOWNLOAD_T, &body);
        curl_easy_getinfo(easy_, CURLINFO_HEADER_SIZE, &headers);
    }
    return int64_t(body) + int64_t(headers);
}

void URLSessionTransfer::restartFloorWindow() {
    floorWindowStart_ = steadyNow();
    floorWindowBytes_ = bytesOnTheWire();
}

void URLSessionTransfer::checkDeadline(double now) {
    if (abandoned_ || reported_ || curlFinished_) return;
    bool waitingOnDelegate = phase_ == Phase::Deciding || pausedRecv_;
    if (floorWindowStart_ > 0 && setup_.floorBytes > 0 && setup_.floorInterval > 0 && !waitingOnDelegate &&
        now >= floorWindowStart_ + setup_.floorInterval) {
        if (bytesOnTheWire() - floorWindowBytes_ < setup_.floorBytes) {
            char why[96];
            std::snprintf(why, sizeof why, "the response moved fewer than %lld bytes in %g seconds",
                          static_cast<long long>(setup_.floorBytes), setup_.floorInterval);
            endNow(makeURLError(kURLErrorTimedOut, setup_.url, why));
            return;
        }
        restartFloorWindow();
    }
    if (now < deadline()) return;
    if (setup_.resourceDeadline > 0 && now >= setup_.resourceDeadline) {
        Error error = makeURLError(kURLErrorTimedOut, setup_.url, "the request took longer than it may take");
        error.userInfo.set(kURLErrorDeadlineKey, true);
        endNow(std::move(error));
        return;
    }
    endNow(makeURLError(kURLErrorTimedOut, setup_.url));
}

void URLSessionTransfer::cancelInFlight() {
    if (abandoned_ || reported_ || curlFinished_) return;
    if (setup_.finishesInFlight && easy_) return;
    endNow(makeURLError(kURLErrorCancelled, setup_.url));
}

void URLSessionTransfer::endNow(Error error) {
    removeEasy();
    reported_ = true;
    closeDownloadFile(true);
    task_->transferDidFinish(self(), std::move(error), false);
}

std::filesystem::path URLSessionTransfer::takeDownloadFile() {
    std::filesystem::path p;
    p.swap(downloadPath_);
    return p;
}

std::shared_ptr<const ServerTrust> URLSessionTransfer::serverTrust() const {
    std::lock_guard lock(trust_->mutex);
    return std::make_shared<ServerTrust>(setup_.url.host().value_or(""), trust_->chain);
}

Error URLSessionTransfer::trustError() const {
    std::string why;
    {
        std::lock_guard lock(trust_->mutex);
        why = trust_->failure;
    }
    // A chain that verified but names another host: the transfer library says so.
    if (why.empty()) why = errorBuffer_;
    return makeURLError(kURLErrorServerCertificateUntrusted, setup_.url, why);
}

}  // namespace quorvane::platform
