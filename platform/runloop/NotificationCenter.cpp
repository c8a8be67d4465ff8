#include "platform/runloop/NotificationCenter.h"

#include <algorithm>

#include "platform/runloop/RunLoop.h"

namespace quorvane::platform {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* center = new NotificationCenter();
    return *center;
}

NotificationCenter::TokenPtr NotificationCenter::addObserver(std::string name, const void* object,
                                                             std::shared_ptr<OperationQueue> queue, Block block) {
    auto token = std::shared_ptr<Token>(new Token());
    token->center_ = this;
    std::lock_guard lock(mutex_);
    entries_.push_back(Entry{token, std::move(name), object, std::move(queue), std::make_shared<Block>(std::move(block))});
    return token;
}

void NotificationCenter::removeObserver(const TokenPtr& token) {
    if (!token) return;
    std::lock_guard lock(mutex_);
    std::weak_ptr<Token> target = token;
    std::erase_if(entries_, [&](const Entry& e) {
        // Compare ownership without locking: a locked copy could become the last reference and
        // run the token's destructor under this lock.
        return e.token.expired() || (!e.token.owner_before(target) && !target.owner_before(e.token));
    });
}

NotificationCenter::Token::~Token() {
    if (!center_) return;
    std::lock_guard lock(center_->mutex_);
    std::erase_if(center_->entries_, [](const Entry& e) { return e.token.expired(); });
}

void NotificationCenter::post(const Notification& n) {
    std::vector<Entry> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& e : entries_) {
            if (e.token.expired()) continue;
            if (!e.name.empty() && e.name != n.name) continue;
            if (e.object && e.object != n.object) continue;
            matching.push_back(e);
        }
    }
    for (auto& e : matching) {
        // An observer removed by an earlier observer of this same post is skipped.
        if (e.token.expired()) continue;
        if (e.queue) {
            auto token = e.token;
            auto block = e.block;
            e.queue->addOperation([token, block, n] {
                if (!token.expired()) (*block)(n);
            });
        } else {
            (*e.block)(n);
        }
    }
}

void NotificationCenter::post(std::string name, const void* object, Value userInfo) {
    post(Notification{std::move(name), object, std::move(userInfo)});
}

void NotificationCenter::postOnMain(Notification n) {
    RunLoop::main()->post([this, n = std::move(n)] { post(n); });
}

}  // namespace quorvane::platform
