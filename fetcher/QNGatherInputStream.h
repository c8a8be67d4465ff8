#pragma once
// QNGatherInputStream: reads a list of data pieces one after the other as if they were one byte
// sequence, without ever joining them into one buffer. It can be repositioned by absolute
// offset (the file-current-offset property), so a request body made of pieces can be sent again.
//
// The stream never fails and never produces events of its own. It has no locking: one consumer
// reads it at a time (the URL session's body reader).

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/DispatchData.h"
#include "platform/net/InputStream.h"

namespace quorvane {

class QNGatherInputStream : public platform::InputStream, public platform::StreamDelegate {
public:
    static std::shared_ptr<QNGatherInputStream> streamWithArray(std::vector<platform::DataSlice> dataArray);
    explicit QNGatherInputStream(std::vector<platform::DataSlice> dataArray);

    const std::vector<platform::DataSlice>& dataArray() const { return dataArray_; }

    // Piece 0, offset 0, status open.
    void open() override;
    // Status closed.
    void close() override;
    // Copies up to maxLength bytes across the pieces; 0 at the end. Never an error.
    int64_t read(uint8_t* buffer, size_t maxLength) override;
    bool hasBytesAvailable() override { return true; }
    platform::StreamStatus streamStatus() override { return status_; }
    std::optional<platform::Error> streamError() override { return std::nullopt; }
    bool getBuffer(const uint8_t** buffer, size_t* length) override { return false; }

    // Only the file-current-offset key: the absolute offset as a 64-bit integer.
    platform::Value propertyForKey(std::string_view key) override;
    bool setProperty(const platform::Value& value, std::string_view key) override;

    // The delegate set (held weakly), or this stream itself when none is set.
    std::shared_ptr<platform::StreamDelegate> delegate() override;
    // nullptr restores the stream itself as its delegate.
    void setDelegate(const std::shared_ptr<platform::StreamDelegate>& delegate) override;
    // Passes the event on to the delegate, naming this stream, unless the delegate is this stream.
    void handleEvent(platform::InputStream& stream, platform::StreamEvent event) override;

    // The lengths of all pieces before the current one plus the offset inside it.
    int64_t absoluteOffset() const;
    // Positions at the offset (a negative one at the start, one past the end at the end).
    void setAbsoluteOffset(int64_t offset);

private:
    std::vector<platform::DataSlice> dataArray_;
    size_t arrayIndex_ = 0;
    int64_t dataOffset_ = 0;
    platform::StreamStatus status_ = platform::StreamStatus::NotOpen;
};

}  // namespace quorvane
