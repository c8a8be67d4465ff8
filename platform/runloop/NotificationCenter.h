#pragma once
// Notifications by name, optionally filtered by the posting object, delivered synchronously on
// the posting thread or on an observer's operation queue.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/runloop/OperationQueue.h"

namespace quorvane::platform {

struct Notification {
    std::string name;
    const void* object = nullptr;  // the poster's identity; never dereferenced by the center
    Value userInfo;
};

class NotificationCenter {
public:
    using Block = std::function<void(const Notification&)>;
    // Keeps the observation alive; the observer is removed when the token is released or removed.
    class Token;
    using TokenPtr = std::shared_ptr<Token>;

    static NotificationCenter& defaultCenter();

    // Observes notifications with the name (empty: every name) from the object (nullptr: any
    // poster). With a queue, the block runs as an operation on it; otherwise on the posting thread.
    TokenPtr addObserver(std::string name, const void* object, std::shared_ptr<OperationQueue> queue, Block block);
    void removeObserver(const TokenPtr& token);

    // Delivers to every matching observer before returning (queued observers get an operation).
    void post(const Notification& n);
    void post(std::string name, const void* object = nullptr, Value userInfo = Value());
    // Posts from the main run loop, asynchronously.
    void postOnMain(Notification n);

private:
    struct Entry {
        std::weak_ptr<Token> token;
        std::string name;
        const void* object;
        std::shared_ptr<OperationQueue> queue;
        std::shared_ptr<Block> block;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
    friend class Token;
};

class NotificationCenter::Token {
public:
    ~Token();

private:
    friend class NotificationCenter;
    NotificationCenter* center_ = nullptr;
};

}  // namespace quorvane::platform
