#pragma once
// Internal to the URL session: how a task hands work to its session's delegate queue.

#include <memory>
#include <utility>

#include "platform/net/URLSession.h"
#include "platform/net/URLSessionTask.h"

namespace quorvane::platform {

template <class Block>
void URLSessionTask::deliver(Block&& block) {
    auto session = liveSession();
    if (!session) return;
    session->enqueue([self = shared_from_this(), session, block = std::forward<Block>(block)]() mutable {
        if (self->completionDelivered_) return;
        block(session);
    });
}

template <class Block>
void URLSessionTask::deliverBody(Block&& block) {
    deliver([self = shared_from_this(), block = std::forward<Block>(block)](const std::shared_ptr<URLSession>& session) mutable {
        if (self->dispositionCancelled_) return;
        if (self->awaitingDisposition_) {
            self->heldDeliveries_.push_back(std::move(block));
            return;
        }
        block(session);
    });
}

}  // namespace quorvane::platform
