#include "platform/net/InputStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quorvane::platform {

std::shared_ptr<StreamDelegate> InputStream::delegate() {
    std::lock_guard lock(delegateMutex_);
    return delegate_.lock();
}

void InputStream::setDelegate(const std::shared_ptr<StreamDelegate>& delegate) {
    std::lock_guard lock(delegateMutex_);
    delegate_ = delegate;
}

// --- DataInputStream ---

std::shared_ptr<DataInputStream> DataInputStream::inputStreamWithData(Bytes data) {
    return std::make_shared<DataInputStream>(std::move(data));
}

void DataInputStream::open() {
    std::lock_guard lock(mutex_);
    if (status_ == StreamStatus::NotOpen) status_ = data_.empty() ? StreamStatus::AtEnd : StreamStatus::Open;
}

void DataInputStream::close() {
    std::lock_guard lock(mutex_);
    status_ = StreamStatus::Closed;
}

int64_t DataInputStream::read(uint8_t* buffer, size_t maxLength) {
    std::lock_guard lock(mutex_);
    if (status_ != StreamStatus::Open && status_ != StreamStatus::AtEnd) return -1;
    size_t n = std::min(maxLength, data_.size() - offset_);
    if (n) std::memcpy(buffer, data_.data() + offset_, n);
    offset_ += n;
    if (offset_ == data_.size()) status_ = StreamStatus::AtEnd;
    return int64_t(n);
}

bool DataInputStream::hasBytesAvailable() {
    std::lock_guard lock(mutex_);
    return status_ == StreamStatus::Open && offset_ < data_.size();
}

StreamStatus DataInputStream::streamStatus() {
    std::lock_guard lock(mutex_);
    return status_;
}

bool DataInputStream::getBuffer(const uint8_t** buffer, size_t* length) {
    std::lock_guard lock(mutex_);
    if (status_ != StreamStatus::Open) return false;
    *buffer = data_.data() + offset_;
    *length = data_.size() - offset_;
    return true;
}

Value DataInputStream::propertyForKey(std::string_view key) {
    std::lock_guard lock(mutex_);
    if (key == kFileCurrentOffsetKey) return Value(int64_t(offset_));
    return Value();
}

bool DataInputStream::setProperty(const Value& value, std::string_view key) {
    if (key != kFileCurrentOffsetKey || !value.isNumber()) return false;
    std::lock_guard lock(mutex_);
    int64_t off = std::clamp<int64_t>(value.asInt(), 0, int64_t(data_.size()));
    offset_ = size_t(off);
    if (status_ == StreamStatus::AtEnd && offset_ < data_.size()) status_ = StreamStatus::Open;
    return true;
}

// --- FileInputStream ---

std::shared_ptr<FileInputStream> FileInputStream::inputStreamWithFileAtPath(const std::filesystem::path& path) {
    return std::make_shared<FileInputStream>(path);
}

FileInputStream::~FileInputStream() {
    if (fd_ >= 0) ::close(fd_);
}

void FileInputStream::open() {
    std::lock_guard lock(mutex_);
    if (status_ != StreamStatus::NotOpen) return;
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = posixError(errno, path_.string());
        status_ = StreamStatus::Error;
        return;
    }
    status_ = StreamStatus::Open;
}

void FileInputStream::close() {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (status_ != StreamStatus::Error) status_ = StreamStatus::Closed;
}

int64_t FileInputStream::read(uint8_t* buffer, size_t maxLength) {
    std::lock_guard lock(mutex_);
    if (status_ == StreamStatus::AtEnd) return 0;
    if (status_ != StreamStatus::Open || fd_ < 0) return -1;
    ssize_t n;
    do {
        n = ::read(fd_, buffer, maxLength);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        error_ = posixError(errno, path_.string());
        status_ = StreamStatus::Error;
        return -1;
    }
    if (n == 0 && maxLength > 0) status_ = StreamStatus::AtEnd;
    return n;
}

bool FileInputStream::hasBytesAvailable() {
    std::lock_guard lock(mutex_);
    return status_ == StreamStatus::Open;
}

StreamStatus FileInputStream::streamStatus() {
    std::lock_guard lock(mutex_);
    return status_;
}

std::optional<Error> FileInputStream::streamError() {
    std::lock_guard lock(mutex_);
    return error_;
}

Value FileInputStream::propertyForKey(std::string_view key) {
    std::lock_guard lock(mutex_);
    if (key != kFileCurrentOffsetKey || fd_ < 0) return Value();
    off_t off = ::lseek(fd_, 0, SEEK_CUR);
    return off < 0 ? Value() : Value(int64_t(off));
}

bool FileInputStream::setProperty(const Value& value, std::string_view key) {
    if (key != kFileCurrentOffsetKey || !value.isNumber()) return false;
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return false;
    if (::lseek(fd_, off_t(std::max<int64_t>(0, value.asInt())), SEEK_SET) < 0) return false;
    if (status_ == StreamStatus::AtEnd) status_ = StreamStatus::Open;
    return true;
}

}  // namespace quorvane::platform
