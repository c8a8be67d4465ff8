#include "fetcher/QNReadMonitorInputStream.h"

#include "platform/foundation/Log.h"

namespace quorvane {

std::shared_ptr<QNReadMonitorInputStream> QNReadMonitorInputStream::inputStreamWithStream(
    std::shared_ptr<platform::InputStream> input) {
    return std::make_shared<QNReadMonitorInputStream>(std::move(input));
}

QNReadMonitorInputStream::QNReadMonitorInputStream(std::shared_ptr<platform::InputStream> input)
    : input_(std::move(input)), thread_(std::this_thread::get_id()), runLoop_(platform::RunLoop::current()) {
    QV_ASSERT(input_ != nullptr, "a read monitor needs a stream to read");
}

std::shared_ptr<void> QNReadMonitorInputStream::readDelegate() const {
    std::lock_guard lock(mutex_);
    return readDelegate_.lock();
}

void QNReadMonitorInputStream::setReadDelegate(const std::shared_ptr<void>& delegate) {
    std::lock_guard lock(mutex_);
    readDelegate_ = delegate;
}

QNReadMonitorInputStream::ReadSelector QNReadMonitorInputStream::readSelector() const {
    std::lock_guard lock(mutex_);
    return readSelector_;
}

void QNReadMonitorInputStream::setReadSelector(ReadSelector selector) {
    std::lock_guard lock(mutex_);
    readSelector_ = std::move(selector);
}

std::optional<std::vector<std::string>> QNReadMonitorInputStream::runLoopModes() const {
    std::lock_guard lock(mutex_);
    return runLoopModes_;
}

void QNReadMonitorInputStream::setRunLoopModes(std::optional<std::vector<std::string>> modes) {
    std::lock_guard lock(mutex_);
    runLoopModes_ = std::move(modes);
}

int64_t QNReadMonitorInputStream::read(uint8_t* buffer, size_t maxLength) {
    if (!input_) return -1;
    int64_t result = input_->read(buffer, maxLength);
    if (result > 0) report(buffer, result);
    return result;
}

void QNReadMonitorInputStream::report(const uint8_t* bytes, int64_t length) {
    {
        std::lock_guard lock(mutex_);
        if (readDelegate_.expired() || !readSelector_) return;
    }
    if (std::this_thread::get_id() == thread_) {
        // The caller's buffer itself, wrapped without copying; it is only valid during the call.
        auto delegate = readDelegate();
        ReadSelector selector = readSelector();
        if (delegate && selector) selector(*this, bytes, length);
        return;
    }
    auto loop = runLoop_.lock();
    auto self = std::static_pointer_cast<QNReadMonitorInputStream>(weak_from_this().lock());
    if (!loop || !QV_ASSERT(self != nullptr, "a read monitor must be held by a shared_ptr to report across threads"))
        return;
    platform::DataSlice copy = platform::DataSlice::copyOf(bytes, size_t(length));
    loop->post([self, copy] { self->invokeReadSelectorWithBuffer(copy); });
}

void QNReadMonitorInputStream::invokeReadSelectorWithBuffer(const platform::DataSlice& data) {
    auto delegate = readDelegate();
    ReadSelector selector = readSelector();
    if (delegate && selector) selector(*this, data.data(), int64_t(data.size()));
}

void QNReadMonitorInputStream::open() {
    if (input_) input_->open();
}

void QNReadMonitorInputStream::close() {
    if (input_) input_->close();
}

bool QNReadMonitorInputStream::hasBytesAvailable() { return input_ && input_->hasBytesAvailable(); }

platform::StreamStatus QNReadMonitorInputStream::streamStatus() {
    return input_ ? input_->streamStatus() : platform::StreamStatus::NotOpen;
}

std::optional<platform::Error> QNReadMonitorInputStream::streamError() {
    return input_ ? input_->streamError() : std::nullopt;
}

bool QNReadMonitorInputStream::getBuffer(const uint8_t** buffer, size_t* length) {
    return input_ && input_->getBuffer(buffer, length);
}

platform::Value QNReadMonitorInputStream::propertyForKey(std::string_view key) {
    return input_ ? input_->propertyForKey(key) : platform::Value();
}

bool QNReadMonitorInputStream::setProperty(const platform::Value& value, std::string_view key) {
    return input_ && input_->setProperty(value, key);
}

std::shared_ptr<platform::StreamDelegate> QNReadMonitorInputStream::delegate() {
    return input_ ? input_->delegate() : nullptr;
}

void QNReadMonitorInputStream::setDelegate(const std::shared_ptr<platform::StreamDelegate>& delegate) {
    if (input_) input_->setDelegate(delegate);
}

}  // namespace quorvane
