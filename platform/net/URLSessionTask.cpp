#include "platform/net/URLSessionTask.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include <cstdio>
#include <filesystem>

#include "platform/foundation/Base64.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/net/HTTPAuthentication.h"
#include "platform/net/HTTPCookie.h"
#include "platform/net/NetworkThread.h"
#include "platform/net/URLError.h"
#include "platform/net/URLSession.h"
#include "platform/net/URLSessionDelivery.h"
#include "platform/net/URLSessionTransfer.h"

namespace quorvane::platform {

namespace {

// The delegate to ask: the session's, or the defaults of a session without one.
std::shared_ptr<URLSessionDelegate> delegateFor(const std::shared_ptr<URLSession>& session) {
    if (auto d = session->delegate()) return d;
    static const auto fallback = std::make_shared<URLSessionDelegate>();
    return fallback;
}

// Completion handlers given to the delegate must be called once; a second call is a caller bug.
using OnceFlag = std::shared_ptr<std::atomic<bool>>;
OnceFlag onceFlag() { return std::make_shared<std::atomic<bool>>(false); }
bool firstCall(const OnceFlag& flag, const char* what) {
    return QV_ASSERT(!flag->exchange(true), std::string(what) + " completion handler called more than once");
}

std::string hostPortKey(const URL& url) {
    return asciiLower(url.host().value_or("")) + ":" + std::to_string(url.effectivePort());
}

void removeFile(const std::filesystem::path& p) {
    if (p.empty()) return;
    std::error_code ec;
    std::filesystem::remove(p, ec);
}

}  // namespace

URLSessionTask::URLSessionTask(Kind kind, uint64_t identifier, std::shared_ptr<URLSession> session,
                               std::optional<URLRequest> request)
    : kind_(kind), identifier_(identifier), session_(session), originalRequest_(request), currentRequest_(request) {}

URLSessionTask::~URLSessionTask() = default;

std::optional<URLRequest> URLSessionTask::originalRequest() const {
    std::lock_guard lock(mutex_);
    return originalRequest_;
}

std::optional<URLRequest> URLSessionTask::currentRequest() const {
    std::lock_guard lock(mutex_);
    return currentRequest_;
}

std::optional<URL> URLSessionTask::currentURL() const {
    std::lock_guard lock(mutex_);
    return currentRequest_ ? currentRequest_->url() : std::nullopt;
}

std::shared_ptr<const URLResponse> URLSessionTask::response() const {
    std::lock_guard lock(mutex_);
    return response_;
}

URLSessionTask::State URLSessionTask::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::optional<Error> URLSessionTask::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

std::optional<std::string> URLSessionTask::taskDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void URLSessionTask::setTaskDescription(std::optional<std::string> d) {
    std::lock_guard lock(mutex_);
    description_ = std::move(d);
}

float URLSessionTask::priority() const {
    std::lock_guard lock(mutex_);
    return priority_;
}

void URLSessionTask::setPriority(float p) {
    std::lock_guard lock(mutex_);
    priority_ = p < 0 ? 0 : (p > 1 ? 1 : p);
}

std::shared_ptr<URLSession> URLSessionTask::liveSession() const {
    std::lock_guard lock(mutex_);
    return keepSession_ ? keepSession_ : session_.lock();
}

// --- starting and ending ---

void URLSessionTask::resume() {
    std::shared_ptr<URLSession> session;
    std::optional<URLRequest> request;
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::Suspended || claimed_) return;
        session = session_.lock();
        if (!session) return;
        state_ = State::Running;
        keepSession_ = session;
        double limit = session->configuration_.timeoutIntervalForResource();
        resourceDeadline_ = limit > 0 ? URLSessionTransfer::steadyNow() + limit : 0;
        request = originalRequest_;
    }
    if (invalidResumeData_) {
        complete(makeURLError(kURLErrorCannotDecodeRawData, std::nullopt, "unreadable resume data"));
        return;
    }
    if (!request || !request->url()) {
        complete(makeURLError(kURLErrorBadURL, std::nullopt));
        return;
    }
    deliver([self = shared_from_this(), req = *request](const std::shared_ptr<URLSession>&) {
        self->startHop(req, HopReason::Initial);
    });
}

void URLSessionTask::cancel() {
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::Completed) return;
    }
    if (!claimCompletion()) {
        // The transfer ended first, but its completion may be held for the delegate's answer
        // to the response: end it cancelled now.
        deliver([self = shared_from_this()](const std::shared_ptr<URLSession>& session) {
            if (!self->heldCompletion_) return;
            self->heldCompletion_.reset();
            self->awaitingDisposition_ = false;
            self->dispositionCancelled_ = true;
            self->heldDeliveries_.clear();
            self->finishCompletion(session, makeURLError(kURLErrorCancelled, self->currentURL()));
        });
        return;
    }
    {
        std::lock_guard lock(mutex_);
        state_ = State::Canceling;
    }
    abandonTransfer();
    deliverCompletion(makeURLError(kURLErrorCancelled, currentURL()), false);
}

void URLSessionTask::complete(std::optional<Error> error) {
    if (!claimCompletion()) return;
    abandonTransfer();
    deliverCompletion(std::move(error), true);
}

void URLSessionTask::deliverCompletion(std::optional<Error> error, bool gated) {
    auto session = liveSession();
    auto self = shared_from_this();
    if (!session) {
        std::lock_guard lock(mutex_);
        state_ = State::Completed;
        error_ = std::move(error);
        return;
    }
    session->enqueue([self, session, error = std::move(error), gated] {
        if (self->completionDelivered_) return;
        if (gated && self->awaitingDisposition_) {
            self->heldCompletion_ = error;
            return;
        }
        if (gated && self->dispositionCancelled_) {
            self->finishCompletion(session, makeURLError(kURLErrorCancelled, self->currentURL()));
            return;
        }
        self->finishCompletion(session, error);
    });
}

void URLSessionTask::finishCompletion(const std::shared_ptr<URLSession>& session, std::optional<Error> error) {
    completionDelivered_ = true;
    // Body held for the delegate's answer never runs now, and each held block holds this task.
    heldDeliveries_.clear();
    auto self = shared_from_this();
    {
        std::lock_guard lock(mutex_);
        state_ = State::Completed;
        error_ = error;
        transfer_.reset();
    }
    if (auto delegate = session->delegate()) delegate->didCompleteWithError(session, self, error);
    session->taskDidComplete(self);
    std::lock_guard lock(mutex_);
    keepSession_.reset();
}

void URLSessionTask::dispositionAnswered(const std::shared_ptr<URLSession>& session, URLSessionResponseDisposition d) {
    if (!awaitingDisposition_) return;
    awaitingDisposition_ = false;
    if (d == URLSessionResponseDisposition::Cancel) {
        dispositionCancelled_ = true;
        heldDeliveries_.clear();
        if (heldCompletion_) {
            heldCompletion_.reset();
            finishCompletion(session, makeURLError(kURLErrorCancelled, currentURL()));
        } else {
            cancel();
        }
        return;
    }
    QV_ASSERT(d == URLSessionResponseDisposition::Allow, "unknown response disposition");
    auto held = std::move(heldDeliveries_);
    heldDeliveries_.clear();
    for (auto& block : held) block(session);
    if (heldCompletion_) {
        auto error = std::move(*heldCompletion_);
        heldCompletion_.reset();
        finishCompletion(session, std::move(error));
    }
}

void URLSessionTask::abandonTransfer(bool keepDownloadFile) {
    std::shared_ptr<URLSessionTransfer> t;
    {
        std::lock_guard lock(mutex_);
        t.swap(transfer_);
    }
    if (t) NetworkThread::shared().post([t, keepDownloadFile] { t->abandon(keepDownloadFile); });
}

bool URLSessionTask::setTransfer(const std::shared_ptr<URLSessionTransfer>& transfer) {
    std::lock_guard lock(mutex_);
    if (claimed_) return false;
    transfer_ = transfer;
    return true;
}

// --- one hop: cookies, body, transfer ---

void URLSessionTask::startHop(URLRequest request, HopReason reason) {
    if (claimed_) return;
    ++hopCount_;
    {
        std::lock_guard lock(mutex_);
        currentRequest_ = request;
    }
    bytesSent_ = 0;
    const auto& url = request.url();
    if (!url) {
        complete(makeURLError(kURLErrorBadURL, std::nullopt));
        return;
    }
    std::string scheme = asciiLower(url->scheme());
    if (scheme == "data") {
        loadDataURL(request);
        return;
    }
    if ((scheme != "http" && scheme != "https") || !url->host() || url->host()->empty()) {
        complete(makeURLError(kURLErrorUnsupportedURL, url));
        return;
    }
    auto session = liveSession();
    if (!session) return;
    const auto& config = session->configuration_;
    auto storage = config.HTTPCookieStorage();
    if (!storage || !config.HTTPShouldSetCookies() || !request.HTTPShouldHandleCookies()) {
        continueHop(std::move(request), reason, {});
        return;
    }
    // The storage answers through a completion, usually at once; a later answer continues the
    // hop on the delegate queue.
    struct Answer {
        std::mutex mutex;
        bool inCall = true, answered = false;
        std::optional<HTTPCookieStorage::CookieList> cookies;
    };
    auto answer = std::make_shared<Answer>();
    auto self = shared_from_this();
    auto flag = onceFlag();
    storage->getCookiesForTask(self, [answer, self, request, reason, flag](std::optional<HTTPCookieStorage::CookieList> cookies) {
        if (!firstCall(flag, "cookie")) return;
        {
            std::lock_guard lock(answer->mutex);
            if (answer->inCall) {
                answer->answered = true;
                answer->cookies = std::move(cookies);
                return;
            }
        }
        HTTPHeaders h = cookies ? HTTPCookie::requestHeaderFieldsWithCookies(*cookies) : HTTPHeaders();
        self->deliver([self, request, reason, h](const std::shared_ptr<URLSession>&) { self->continueHop(request, reason, h); });
    });
    std::optional<HTTPCookieStorage::CookieList> cookies;
    {
        std::lock_guard lock(answer->mutex);
        answer->inCall = false;
        if (!answer->answered) return;
        cookies = std::move(answer->cookies);
    }
    continueHop(std::move(request), reason, cookies ? HTTPCookie::requestHeaderFieldsWithCookies(*cookies) : HTTPHeaders());
}

void URLSessionTask::continueHop(URLRequest request, HopReason reason, HTTPHeaders cookieHeaders) {
    if (claimed_) return;
    auto session = liveSession();
    if (!session) return;
    const auto& config = session->configuration_;

    HTTPHeaders headers = request.allHTTPHeaderFields();
    for (const auto& [name, value] : config.HTTPAdditionalHeaders())
        if (!headers.contains(name)) headers.setValue(value, name);
    if (auto cookie = cookieHeaders.valueForHTTPHeaderField("Cookie"); cookie && !headers.contains("Cookie"))
        headers.setValue(*cookie, "Cookie");

    // The body: none for GET and HEAD; an upload task's own body; else the request's.
    const std::string& method = request.HTTPMethod();
    bool bodyless = method == "GET" || method == "HEAD";
    BodyKind body = BodyKind::None;
    std::shared_ptr<const Bytes> data;
    std::shared_ptr<InputStream> stream;
    bool needStream = false;
    if (!bodyless) {
        if (kind_ == Kind::Upload && bodyKind_ != BodyKind::None) {
            body = bodyKind_;
            if (body == BodyKind::Data) data = bodyData_;
            if (body == BodyKind::Stream) {
                if (request.HTTPBodyStream() && !requestStreamUsed_) {
                    stream = request.HTTPBodyStream();
                    requestStreamUsed_ = true;
                } else {
                    needStream = true;
                }
            }
        } else if (request.HTTPBody()) {
            body = BodyKind::Data;
            data = request.HTTPBody();
        } else if (request.HTTPBodyStream()) {
            body = BodyKind::Stream;
            if (!requestStreamUsed_ && reason == HopReason::Initial) {
                stream = request.HTTPBodyStream();
                requestStreamUsed_ = true;
            } else {
                needStream = true;
            }
        }
    }
    if (body == BodyKind::File) {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(bodyFile_, ec)) {
            complete(makeURLError(kURLErrorFileDoesNotExist, request.url(), bodyFile_.string()));
            return;
        }
    }
    if (!needStream) {
        launchTransfer(request, std::move(headers), body, std::move(data), std::move(stream));
        return;
    }
    auto self = shared_from_this();
    auto flag = onceFlag();
    delegateFor(session)->needNewBodyStream(
        session, self, [self, request, headers, flag](std::shared_ptr<InputStream> s) {
            if (!firstCall(flag, "body stream")) return;
            if (!s) {
                self->complete(makeURLError(kURLErrorRequestBodyStreamExhausted, request.url()));
                return;
            }
            self->deliver([self, request, headers, s](const std::shared_ptr<URLSession>&) {
                self->launchTransfer(request, headers, BodyKind::Stream, nullptr, s);
            });
        });
}

void URLSessionTask::launchTransfer(const URLRequest& request, HTTPHeaders headers, BodyKind body,
                                    std::shared_ptr<const Bytes> data, std::shared_ptr<InputStream> stream) {
    if (claimed_) return;
    auto session = liveSession();
    if (!session) return;
    const auto& config = session->configuration_;
    URLSessionTransfer::Setup setup;
    setup.url = *request.url();
    setup.method = request.HTTPMethod();
    setup.headers = std::move(headers);
    switch (body) {
        case BodyKind::None: setup.bodyKind = URLSessionTransfer::BodyKind::None; break;
        case BodyKind::Data: setup.bodyKind = URLSessionTransfer::BodyKind::Data; break;
        case BodyKind::File: setup.bodyKind = URLSessionTransfer::BodyKind::File; break;
        case BodyKind::Stream: setup.bodyKind = URLSessionTransfer::BodyKind::Stream; break;
    }
    setup.bodyData = std::move(data);
    setup.bodyFile = bodyFile_;
    setup.bodyStream = std::move(stream);
    // The shorter of the session's and the request's, unless the request sets one of its own
    // (other than the default): that one is kept, longer too.
    double own = request.timeoutInterval(), configured = config.timeoutIntervalForRequest();
    setup.idleTimeout = own > 0 && own != URLRequest::kDefaultTimeoutInterval ? own
                        : own > 0 && configured > 0                            ? std::min(own, configured)
                                                                               : (own > 0 ? own : configured);
    setup.floorBytes = config.minimumTransferBytes();
    setup.floorInterval = config.minimumTransferInterval();
    {
        std::lock_guard lock(mutex_);
        setup.resourceDeadline = resourceDeadline_;
    }
    setup.download = kind_ == Kind::Download;
    setup.finishesInFlight = request.finishesInFlight();
    if (resume_) {
        setup.resumePath = resume_->path;
        setup.resumeOffset = resume_->offset;
        setup.resumeValidator = resume_->validator;
    }
    if (auto pin = acceptedTrustPins_.find(hostPortKey(setup.url)); pin != acceptedTrustPins_.end())
        setup.pinnedKey = pin->second;
    setup.tlsMinimum = config.TLSMinimumSupportedProtocolVersion();
    setup.maxPerHost = config.HTTPMaximumConnectionsPerHost();

    // Nothing that could split into another header or request reaches the wire: the request is
    // refused whole, before a connection is made.
    std::optional<std::string> invalid = setup.headers.firstInvalidField();
    if (!invalid && !HTTPHeaders::isValidName(setup.method)) invalid = "the method is not a token";
    if (!invalid && !HTTPHeaders::isValidValue(setup.resumeValidator)) invalid = "the resume data's validator holds a line break";
    if (invalid) {
        Error error = makeURLError(kURLErrorBadURL, setup.url, *invalid);
        error.userInfo.set(Error::kLocalizedDescriptionKey, Value("The request was not sent: " + *invalid + "."));
        complete(std::move(error));
        return;
    }

    auto transfer = std::make_shared<URLSessionTransfer>(shared_from_this(), session, std::move(setup));
    if (!setTransfer(transfer)) return;
    NetworkThread::shared().post([transfer] { transfer->start(); });
}

// --- data: URLs ---

void URLSessionTask::loadDataURL(const URLRequest& request) {
    const URL& url = *request.url();
    std::string setup = url.absoluteStringWithoutFragment().substr(url.scheme().size() + 1);
    size_t comma = setup.find(',');
    if (comma == std::string::npos) {
        complete(makeURLError(kURLErrorBadURL, url));
        return;
    }
    std::string meta = setup.substr(0, comma);
    std::string payload = setup.substr(comma + 1);
    bool base64 = false;
    if (hasSuffix(asciiLower(meta), ";base64")) {
        base64 = true;
        meta.resize(meta.size() - 7);
    }
    Bytes body;
    if (base64) {
        auto decoded = base64Decode(percentDecode(payload));
        if (!decoded) {
            complete(makeURLError(kURLErrorBadURL, url, "bad base64 data"));
            return;
        }
        body = std::move(*decoded);
    } else {
        std::string text = percentDecode(payload);
        body.assign(text.begin(), text.end());
    }
    std::optional<std::string> mime, charset;
    parseContentType(percentDecode(meta), mime, charset);
    if (!mime) {
        mime = "text/plain";
        if (!charset) charset = "US-ASCII";
    }
    auto response = std::make_shared<URLResponse>(url, mime, int64_t(body.size()), charset);
    {
        std::lock_guard lock(mutex_);
        response_ = response;
    }
    bytesExpectedToReceive_ = int64_t(body.size());
    auto session = liveSession();
    if (!session) return;
    auto self = shared_from_this();

    if (kind_ == Kind::Download) {
        std::string tmpl = (Paths::temporaryDirectory() / "quorvane-download-XXXXXX").string();
        int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
        bool ok = fd >= 0;
        for (size_t done = 0; ok && done < body.size();) {
            ssize_t w = ::write(fd, body.data() + done, body.size() - done);
            if (w <= 0) ok = false;
            else done += size_t(w);
        }
        if (fd >= 0) ::close(fd);
        if (!ok) {
            removeFile(tmpl);
            complete(makeURLError(kURLErrorCannotCreateFile, url));
            return;
        }
        bytesReceived_ = int64_t(body.size());
        if (!claimCompletion()) {
            removeFile(tmpl);
            return;
        }
        int64_t n = int64_t(body.size());
        deliver([self, path = std::filesystem::path(tmpl), n](const std::shared_ptr<URLSession>& s) {
            auto download = std::static_pointer_cast<URLSessionDownloadTask>(self);
            if (auto delegate = s->delegate()) {
                if (n > 0) delegate->didWriteData(s, download, n, n, n);
                delegate->didFinishDownloadingToURL(s, download, URL::fileURLWithPath(path));
            }
            removeFile(path);
        });
        deliverCompletion(std::nullopt, true);
        return;
    }

    auto flag = onceFlag();
    auto shared = std::make_shared<const Bytes>(std::move(body));
    delegateFor(session)->didReceiveResponse(
        session, std::static_pointer_cast<URLSessionDataTask>(self), response,
        [self, shared, flag](URLSessionResponseDisposition d) {
            if (!firstCall(flag, "response")) return;
            if (self->claimed_) return;
            if (d == URLSessionResponseDisposition::Cancel) {
                self->cancel();
                return;
            }
            self->deliver([self, shared](const std::shared_ptr<URLSession>& s) {
                self->bytesReceived_ = int64_t(shared->size());
                auto delegate = s->delegate();
                if (delegate && !shared->empty())
                    delegate->didReceiveData(s, std::static_pointer_cast<URLSessionDataTask>(self), *shared);
                self->complete(std::nullopt);
            });
        });
}

// --- responses ---

void URLSessionTask::transferDidReceiveResponse(const std::shared_ptr<URLSessionTransfer>& transfer, int status,
                                                std::string httpVersion, std::vector<HTTPHeaders::Field> headerLines,
                                                std::shared_ptr<const HTTPURLResponse> made) {
    {
        std::lock_guard lock(mutex_);
        if (transfer != transfer_) return;
    }
    if (claimed_) return;
    std::optional<URL> location;
    std::optional<HTTPAuthChallenge> challenge;
    if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
        for (const auto& [name, value] : headerLines) {
            if (!asciiEqualsIgnoringCase(name, "Location")) continue;
            if (!value.empty()) location = URL::URLWithString(value, transfer->setup().url);
            break;
        }
    } else if (status == 401) {
        std::vector<std::string> offers;
        for (const auto& [name, value] : headerLines)
            if (asciiEqualsIgnoringCase(name, "WWW-Authenticate")) offers.push_back(value);
        if (!offers.empty()) challenge = preferredAuthChallenge(parseAuthenticateChallenges(offers));
    }
    auto self = shared_from_this();
    auto response = [self, transfer, status, version = std::move(httpVersion), lines = std::move(headerLines),
                     made = std::move(made)]() mutable {
        std::shared_ptr<const HTTPURLResponse> r =
            made ? made : std::make_shared<HTTPURLResponse>(transfer->setup().url, status, std::move(version), std::move(lines));
        self->adoptResponse(r);
        return r;
    };
    if (!location && !challenge) {
        // The final response: its body may flow now (the response is queued first).
        deliver([self, transfer, response = std::move(response)](const std::shared_ptr<URLSession>&) mutable {
            auto r = response();
            self->storeCookies(r);
            self->handleFinalResponse(transfer, r, false);
        });
        transfer->allow();
        return;
    }
    deliver([self, transfer, response = std::move(response), location, challenge](const std::shared_ptr<URLSession>&) mutable {
        auto r = response();
        self->storeCookies(r);
        if (location) self->handleRedirect(transfer, r, *location);
        else self->handleAuthentication(transfer, r, *challenge);
    });
}

void URLSessionTask::adoptResponse(const std::shared_ptr<const URLResponse>& response) {
    {
        std::lock_guard lock(mutex_);
        response_ = response;
    }
    bytesExpectedToReceive_ = response->expectedContentLength();
}

void URLSessionTask::storeCookies(const std::shared_ptr<const HTTPURLResponse>& response) {
    auto session = liveSession();
    if (!session || response->setCookieLines().empty()) return;
    const auto& config = session->configuration_;
    auto storage = config.HTTPCookieStorage();
    if (!storage || !config.HTTPShouldSetCookies()) return;
    auto request = currentRequest();
    if (!request || !request->HTTPShouldHandleCookies() || !response->url()) return;
    auto cookies = HTTPCookie::cookiesWithSetCookieLines(response->setCookieLines(), *response->url());
    if (!cookies.empty()) storage->storeCookies(cookies, shared_from_this());
}

void URLSessionTask::handleRedirect(const std::shared_ptr<URLSessionTransfer>& transfer,
                                    const std::shared_ptr<const HTTPURLResponse>& response, const URL& location) {
    if (claimed_) return;
    auto session = liveSession();
    if (!session) return;
    if (redirectCount_ >= 16) {
        complete(makeURLError(kURLErrorHTTPTooManyRedirects, transfer->setup().url));
        return;
    }
    URLRequest next = currentRequest().value_or(URLRequest(location));
    next.setURL(location);
    int status = response->statusCode();
    const std::string method = next.HTTPMethod();
    if (!location.isSameOrigin(transfer->setup().url)) {
        // Credentials and the body stay with the origin they were meant for.
        next.removeCredentialsAndBody();
    } else if ((status == 303 && method != "HEAD") || ((status == 301 || status == 302) && method == "POST")) {
        next.setHTTPMethod("GET");
        next.setHTTPBody(std::nullopt);
        next.setHTTPBodyStream(nullptr);
        for (const char* h : {"Content-Type", "Content-Length", "Content-Encoding", "Transfer-Encoding"})
            next.setValue(std::nullopt, h);
    }
    auto self = shared_from_this();
    auto flag = onceFlag();
    delegateFor(session)->willPerformHTTPRedirection(
        session, self, response, next, [self, transfer, response, flag](std::optional<URLRequest> chosen) {
            if (!firstCall(flag, "redirect")) return;
            if (self->claimed_) return;
            if (!chosen) {
                self->deliverAsFinal(transfer, response);
                return;
            }
            self->abandonTransfer();
            self->deliver([self, r = std::move(*chosen)](const std::shared_ptr<URLSession>&) {
                ++self->redirectCount_;
                self->startHop(r, HopReason::Redirect);
            });
        });
}

void URLSessionTask::handleAuthentication(const std::shared_ptr<URLSessionTransfer>& transfer,
                                          const std::shared_ptr<const HTTPURLResponse>& response,
                                          const HTTPAuthChallenge& challenge) {
    if (claimed_) return;
    auto session = liveSession();
    if (!session) return;
    const URL& url = transfer->setup().url;
    std::string method = challenge.isDigest() ? kURLAuthenticationMethodHTTPDigest : kURLAuthenticationMethodHTTPBasic;
    auto realm = challenge.param("realm");
    std::string key = hostPortKey(url) + "/" + realm.value_or("") + "/" + method;
    URLProtectionSpace space(url.host().value_or(""), url.effectivePort(), asciiLower(url.scheme()), realm, method);
    URLAuthenticationChallenge ch(space, std::nullopt, authFailures_[key], response, std::nullopt);
    auto self = shared_from_this();
    auto flag = onceFlag();
    delegateFor(session)->didReceiveChallenge(
        session, self, ch,
        [self, transfer, response, challenge, key, flag](URLSessionAuthChallengeDisposition d, std::optional<URLCredential> cred) {
            if (!firstCall(flag, "challenge")) return;
            if (self->claimed_) return;
            if (d == URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge) {
                self->cancel();
                return;
            }
            if (d == URLSessionAuthChallengeDisposition::UseCredential && cred && cred->user() && cred->password()) {
                self->abandonTransfer();
                self->deliver([self, transfer, challenge, key, cred](const std::shared_ptr<URLSession>&) {
                    ++self->authFailures_[key];
                    URLRequest r = self->currentRequest().value_or(URLRequest(transfer->setup().url));
                    const URL& u = transfer->setup().url;
                    std::string target = u.percentEncodedPath().empty() ? "/" : u.percentEncodedPath();
                    if (u.query()) target += "?" + *u.query();
                    std::string header = challenge.isDigest()
                                             ? digestAuthorization(challenge, transfer->setup().method, target,
                                                                   *cred->user(), *cred->password())
                                             : basicAuthorization(*cred->user(), *cred->password());
                    r.setValue(header, "Authorization");
                    self->startHop(r, HopReason::Authentication);
                });
                return;
            }
            self->deliverAsFinal(transfer, response);
        });
}

void URLSessionTask::deliverAsFinal(const std::shared_ptr<URLSessionTransfer>& transfer,
                                    const std::shared_ptr<const HTTPURLResponse>& response) {
    if (kind_ == Kind::Download) {
        NetworkThread::shared().post([transfer] { transfer->allow(); });
        return;
    }
    auto self = shared_from_this();
    deliver([self, transfer, response](const std::shared_ptr<URLSession>&) {
        self->handleFinalResponse(transfer, response, true);
    });
}

void URLSessionTask::handleFinalResponse(const std::shared_ptr<URLSessionTransfer>& transfer,
                                         const std::shared_ptr<const URLResponse>& response, bool needsAllow) {
    if (completionDelivered_) return;
    // The body flows from the network at once; until the delegate answers, what arrives of it
    // (and the task's end) is held here, on the delegate queue.
    if (needsAllow) NetworkThread::shared().post([transfer] { transfer->allow(); });
    if (kind_ == Kind::Download) return;
    auto session = liveSession();
    if (!session) return;
    awaitingDisposition_ = true;
    struct Answer {
        std::mutex mutex;
        bool inCall = true;
        std::optional<URLSessionResponseDisposition> disposition;
    };
    auto answer = std::make_shared<Answer>();
    auto self = shared_from_this();
    auto flag = onceFlag();
    delegateFor(session)->didReceiveResponse(
        session, std::static_pointer_cast<URLSessionDataTask>(self), response,
        [self, answer, flag](URLSessionResponseDisposition d) {
            if (!firstCall(flag, "response")) return;
            {
                std::lock_guard lock(answer->mutex);
                if (answer->inCall) {
                    answer->disposition = d;
                    return;
                }
            }
            self->deliver([self, d](const std::shared_ptr<URLSession>& s) { self->dispositionAnswered(s, d); });
        });
    std::optional<URLSessionResponseDisposition> d;
    {
        std::lock_guard lock(answer->mutex);
        answer->inCall = false;
        d = answer->disposition;
    }
    if (d) dispositionAnswered(session, *d);
}

void URLSessionTask::handleTrustFailure(const std::shared_ptr<URLSessionTransfer>& transfer) {
    if (claimed_) return;
    auto session = liveSession();
    if (!session) return;
    const URL& url = transfer->setup().url;
    auto trust = transfer->serverTrust();
    Error error = transfer->trustError();
    URLProtectionSpace space(url.host().value_or(""), url.effectivePort(), asciiLower(url.scheme()), std::nullopt,
                             kURLAuthenticationMethodServerTrust, trust);
    URLAuthenticationChallenge ch(space, std::nullopt, 0, nullptr, error);
    auto self = shared_from_this();
    auto flag = onceFlag();
    std::string key = hostPortKey(url);
    delegateFor(session)->didReceiveChallenge(
        session, self, ch, [self, error, key, flag](URLSessionAuthChallengeDisposition d, std::optional<URLCredential> cred) {
            if (!firstCall(flag, "challenge")) return;
            if (self->claimed_) return;
            if (d == URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge) {
                self->cancel();
                return;
            }
            if (d == URLSessionAuthChallengeDisposition::UseCredential && cred && cred->serverTrust()) {
                if (auto pin = cred->serverTrust()->leafPublicKeyPin()) {
                    self->deliver([self, key, pin = *pin](const std::shared_ptr<URLSession>&) {
                        self->acceptedTrustPins_[key] = pin;
                        if (auto r = self->currentRequest()) self->startHop(*r, HopReason::Trust);
                    });
                    return;
                }
            }
            self->complete(error);
        });
}

void URLSessionTask::transferDidFinish(const std::shared_ptr<URLSessionTransfer>& transfer, std::optional<Error> error,
                                       bool trustFailure) {
    {
        std::lock_guard lock(mutex_);
        if (transfer != transfer_) {
            removeFile(transfer->takeDownloadFile());
            return;
        }
    }
    if (claimed_) {
        removeFile(transfer->takeDownloadFile());
        return;
    }
    if (!trustFailure) {
        // It is over: nothing left to abandon on the network thread.
        std::lock_guard lock(mutex_);
        transfer_.reset();
    }
    auto self = shared_from_this();
    if (trustFailure) {
        deliver([self, transfer](const std::shared_ptr<URLSession>&) { self->handleTrustFailure(transfer); });
        return;
    }
    if (!error && kind_ == Kind::Download) {
        auto path = transfer->takeDownloadFile();
        if (!claimCompletion()) {
            removeFile(path);
            return;
        }
        deliver([self, path](const std::shared_ptr<URLSession>& s) {
            if (auto delegate = s->delegate())
                delegate->didFinishDownloadingToURL(s, std::static_pointer_cast<URLSessionDownloadTask>(self),
                                                    URL::fileURLWithPath(path));
            removeFile(path);
        });
        deliverCompletion(std::nullopt, true);
        return;
    }
    complete(std::move(error));
}

// --- downloads ---

void URLSessionDownloadTask::cancelByProducingResumeData(std::function<void(std::optional<Bytes>)> completionHandler) {
    auto session = liveSession();
    auto call = [session, completionHandler](std::optional<Bytes> data) {
        if (!completionHandler) return;
        if (session) session->enqueue([completionHandler, data] { completionHandler(data); });
        else completionHandler(data);
    };
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::Completed) {
            call(std::nullopt);
            return;
        }
    }
    if (!claimCompletion()) {
        call(std::nullopt);
        return;
    }
    std::shared_ptr<URLSessionTransfer> transfer;
    {
        std::lock_guard lock(mutex_);
        state_ = State::Canceling;
        transfer.swap(transfer_);
    }
    auto self = std::static_pointer_cast<URLSessionDownloadTask>(shared_from_this());
    auto url = currentURL();
    if (!transfer) {
        call(std::nullopt);
        deliverCompletion(makeURLError(kURLErrorCancelled, url), false);
        return;
    }
    NetworkThread::shared().post([self, transfer, call, url] {
        auto data = transfer->takeResumeData();
        call(data);
        Error e = makeURLError(kURLErrorCancelled, url);
        if (data) e.userInfo.set(kURLSessionDownloadTaskResumeData, Value(*data));
        self->deliverCompletion(e, false);
    });
}

}  // namespace quorvane::platform
