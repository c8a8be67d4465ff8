#pragma once
// Input streams: the byte sources a request body can be read from. The URL session reads a
// body stream on a worker thread, one read at a time, and never on the network thread.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace quorvane::platform {

enum class StreamStatus : uint64_t {
    NotOpen = 0,
    Opening = 1,
    Open = 2,
    Reading = 3,
    Writing = 4,
    AtEnd = 5,
    Closed = 6,
    Error = 7,
};

// Events a stream reports to its delegate.
enum class StreamEvent : uint64_t {
    None = 0,
    OpenCompleted = 1,
    HasBytesAvailable = 2,
    HasSpaceAvailable = 4,
    ErrorOccurred = 8,
    EndEncountered = 16,
};

class InputStream;

class StreamDelegate {
public:
    virtual ~StreamDelegate() = default;
    virtual void handleEvent(InputStream& stream, StreamEvent event) {}
};

class InputStream : public std::enable_shared_from_this<InputStream> {
public:
    // Property key of the read position of a stream (a 64-bit integer).
    static constexpr const char* kFileCurrentOffsetKey = "NSStreamFileCurrentOffsetKey";

    virtual ~InputStream() = default;

    virtual void open() = 0;
    virtual void close() = 0;
    // Reads up to maxLength bytes: the count read, 0 at the end, -1 on an error (see streamError()).
    virtual int64_t read(uint8_t* buffer, size_t maxLength) = 0;
    // Whether a read may give bytes (or the end) now.
    virtual bool hasBytesAvailable() = 0;
    virtual StreamStatus streamStatus() = 0;
    virtual std::optional<Error> streamError() = 0;

    // Direct access to the stream's buffer; false when the stream has none (the default).
    virtual bool getBuffer(const uint8_t** buffer, size_t* length) { return false; }
    // Named properties; a null value / false for keys the stream does not know.
    virtual Value propertyForKey(std::string_view key) { return Value(); }
    virtual bool setProperty(const Value& value, std::string_view key) { return false; }
    // The delegate (held weakly); nullptr when none is set.
    virtual std::shared_ptr<StreamDelegate> delegate();
    virtual void setDelegate(const std::shared_ptr<StreamDelegate>& delegate);

private:
    std::mutex delegateMutex_;
    std::weak_ptr<StreamDelegate> delegate_;
};

// A stream over bytes in memory.
class DataInputStream : public InputStream {
public:
    static std::shared_ptr<DataInputStream> inputStreamWithData(Bytes data);
    explicit DataInputStream(Bytes data) : data_(std::move(data)) {}

    void open() override;
    void close() override;
    int64_t read(uint8_t* buffer, size_t maxLength) override;
    bool hasBytesAvailable() override;
    StreamStatus streamStatus() override;
    std::optional<Error> streamError() override { return std::nullopt; }
    bool getBuffer(const uint8_t** buffer, size_t* length) override;
    Value propertyForKey(std::string_view key) override;
    bool setProperty(const Value& value, std::string_view key) override;

private:
    std::mutex mutex_;
    Bytes data_;
    size_t offset_ = 0;
    StreamStatus status_ = StreamStatus::NotOpen;
};

// A stream over a file; opening a missing file puts the stream in the error state.
class FileInputStream : public InputStream {
public:
    static std::shared_ptr<FileInputStream> inputStreamWithFileAtPath(const std::filesystem::path& path);
    explicit FileInputStream(std::filesystem::path path) : path_(std::move(path)) {}
    ~FileInputStream() override;

    void open() override;
    void close() override;
    int64_t read(uint8_t* buffer, size_t maxLength) override;
    bool hasBytesAvailable() override;
    StreamStatus streamStatus() override;
    std::optional<Error> streamError() override;
    Value propertyForKey(std::string_view key) override;
    bool setProperty(const Value& value, std::string_view key) override;

private:
    std::mutex mutex_;
    std::filesystem::path path_;
    int fd_ = -1;
    StreamStatus status_ = StreamStatus::NotOpen;
    std::optional<Error> error_;
};

}  // namespace quorvane::platform
