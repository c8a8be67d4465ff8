#include "fetcher/QNGatherInputStream.h"

#include <algorithm>
#include <cstring>

#include "platform/foundation/Log.h"

namespace quorvane {

using platform::StreamStatus;

std::shared_ptr<QNGatherInputStream> QNGatherInputStream::streamWithArray(std::vector<platform::DataSlice> dataArray) {
    return std::make_shared<QNGatherInputStream>(std::move(dataArray));
}

QNGatherInputStream::QNGatherInputStream(std::vector<platform::DataSlice> dataArray)
    : dataArray_(std::move(dataArray)) {}

void QNGatherInputStream::open() {
    arrayIndex_ = 0;
    dataOffset_ = 0;
    status_ = StreamStatus::Open;
}

void QNGatherInputStream::close() { status_ = StreamStatus::Closed; }

int64_t QNGatherInputStream::read(uint8_t* buffer, size_t maxLength) {
    if (!QV_ASSERT(buffer || maxLength == 0, "read into no buffer")) return -1;
    size_t copied = 0;
    while (copied < maxLength && arrayIndex_ < dataArray_.size()) {
        const platform::DataSlice& piece = dataArray_[arrayIndex_];
        size_t available = piece.size() - size_t(dataOffset_);
        size_t n = std::min(maxLength - copied, available);
        if (n) std::memcpy(buffer + copied, piece.data() + dataOffset_, n);
        copied += n;
        dataOffset_ += int64_t(n);
        if (size_t(dataOffset_) >= piece.size()) {
            ++arrayIndex_;
            dataOffset_ = 0;
        }
    }
    if (arrayIndex_ >= dataArray_.size()) status_ = StreamStatus::AtEnd;
    return int64_t(copied);
}

int64_t QNGatherInputStream::absoluteOffset() const {
    int64_t offset = 0;
    for (size_t i = 0; i < arrayIndex_ && i < dataArray_.size(); ++i) offset += int64_t(dataArray_[i].size());
    return offset + dataOffset_;
}

void QNGatherInputStream::setAbsoluteOffset(int64_t offset) {
    arrayIndex_ = 0;
    dataOffset_ = std::max<int64_t>(offset, 0);
    while (arrayIndex_ < dataArray_.size() && dataOffset_ >= int64_t(dataArray_[arrayIndex_].size())) {
        dataOffset_ -= int64_t(dataArray_[arrayIndex_].size());
        ++arrayIndex_;
    }
    if (arrayIndex_ >= dataArray_.size()) dataOffset_ = 0;  // past the last piece: the end
    // A stream that had reached its end and is moved back before it has bytes to give again;
    // say so, or a reader that watches the status would stop short of them.
    if (status_ == StreamStatus::AtEnd && arrayIndex_ < dataArray_.size()) status_ = StreamStatus::Open;
}

platform::Value QNGatherInputStream::propertyForKey(std::string_view key) {
    if (key == kFileCurrentOffsetKey) return platform::Value(absoluteOffset());
    return platform::Value();
}

bool QNGatherInputStream::setProperty(const platform::Value& value, std::string_view key) {
    if (key != kFileCurrentOffsetKey) return false;
    setAbsoluteOffset(value.asInt());
    return true;
}

std::shared_ptr<platform::StreamDelegate> QNGatherInputStream::delegate() {
    if (auto set = InputStream::delegate()) return set;
    return std::static_pointer_cast<QNGatherInputStream>(weak_from_this().lock());
}

void QNGatherInputStream::setDelegate(const std::shared_ptr<platform::StreamDelegate>& delegate) {
    // Holding ourselves as "the delegate set" would be pointless: nullptr already means ourselves.
    if (delegate.get() == static_cast<platform::StreamDelegate*>(this)) {
        InputStream::setDelegate(nullptr);
        return;
    }
    InputStream::setDelegate(delegate);
}

void QNGatherInputStream::handleEvent(platform::InputStream& stream, platform::StreamEvent event) {
    auto target = InputStream::delegate();
    if (target && target.get() != static_cast<platform::StreamDelegate*>(this)) target->handleEvent(*this, event);
}

}  // namespace quorvane
