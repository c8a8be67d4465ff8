#pragma once
// What a fetcher asks of the service that made it: scheduling per host, the shared URL session
// and the time of the last stop-all. A fetcher without a service skips all of it.

#include <memory>
#include <optional>

#include "platform/foundation/Date.h"

namespace quorvane {

namespace platform {
class DispatchQueue;
class OperationQueue;
class URLSession;
class URLSessionDelegate;
class URLRequest;
}  // namespace platform

class QNSessionFetcher;

class QNSessionFetcherServiceProtocol {
public:
    virtual ~QNSessionFetcherServiceProtocol() = default;

    // A new fetcher for the request with the service's settings; null from a service that makes
    // none (the caller then makes a stand-alone fetcher).
    virtual std::shared_ptr<QNSessionFetcher> fetcherWithRequest(const platform::URLRequest&) { return nullptr; }

    // True lets the fetcher start now; false means the service queued it and will begin it
    // later (beginFetchMayDelay(false, true)).
    virtual bool fetcherShouldBeginFetching(const std::shared_ptr<QNSessionFetcher>& fetcher) = 0;
    virtual void fetcherDidCreateSession(const std::shared_ptr<QNSessionFetcher>& fetcher) = 0;
    virtual void fetcherDidBeginFetching(const std::shared_ptr<QNSessionFetcher>& fetcher) = 0;
    virtual void fetcherDidStop(const std::shared_ptr<QNSessionFetcher>& fetcher) = 0;
    virtual bool isDelayingFetcher(const std::shared_ptr<QNSessionFetcher>& fetcher) = 0;

    // The shared session, or null.
    virtual std::shared_ptr<platform::URLSession> session() = 0;
    // The shared session, or null when the calling fetcher must create it (it then calls
    // fetcherDidCreateSession). Only one fetcher at a time is told to create it.
    virtual std::shared_ptr<platform::URLSession> sessionForFetcherCreation() = 0;
    // The delegate for a shared session the fetcher creates, or null.
    virtual std::shared_ptr<platform::URLSessionDelegate> sessionDelegate() = 0;

    virtual std::optional<platform::Date> stoppedAllFetchersDate() = 0;
    virtual std::shared_ptr<platform::DispatchQueue> callbackQueue() = 0;
    virtual void setCallbackQueue(std::shared_ptr<platform::DispatchQueue> queue) = 0;
    virtual bool reuseSession() = 0;
    virtual void setReuseSession(bool reuse) = 0;
    // Always null: fetchers take the delegate queue the service copied into them.
    virtual std::shared_ptr<platform::OperationQueue> delegateQueue() = 0;
};

}  // namespace quorvane
