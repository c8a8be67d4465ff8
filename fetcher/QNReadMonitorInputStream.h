#pragma once
// QNReadMonitorInputStream: wraps another input stream and reports every successful read, with
// the bytes read, to a read delegate on the thread that created the monitor.
//
// A read on the creating thread reports at once, before read() returns, with the caller's own
// buffer (no copy). A read on any other thread copies the bytes and posts the report to the
// creating thread's run loop without waiting for it. Everything else goes straight to the
// wrapped stream.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/DispatchData.h"
#include "platform/net/InputStream.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane {

class QNReadMonitorInputStream : public platform::InputStream {
public:
    // The read report: the monitor, the bytes read and their count.
    using ReadSelector = std::function<void(QNReadMonitorInputStream& stream, const uint8_t* bytes, int64_t length)>;

    static std::shared_ptr<QNReadMonitorInputStream> inputStreamWithStream(std::shared_ptr<platform::InputStream> input);
    // Records the calling thread as the one reports run on.
    explicit QNReadMonitorInputStream(std::shared_ptr<platform::InputStream> input);
    QNReadMonitorInputStream() = delete;

    const std::shared_ptr<platform::InputStream>& inputStream() const { return input_; }
    std::thread::id thread() const { return thread_; }

    // The object the reports are for, held weakly: once it is gone nothing is reported.
    std::shared_ptr<void> readDelegate() const;
    void setReadDelegate(const std::shared_ptr<void>& delegate);
    ReadSelector readSelector() const;
    void setReadSelector(ReadSelector selector);
    // Run-loop modes the posted reports run in; nullopt means the default mode. The run loops
    // here have a single mode, so every mode reaches it.
    std::optional<std::vector<std::string>> runLoopModes() const;
    void setRunLoopModes(std::optional<std::vector<std::string>> modes);

    // Reads from the wrapped stream and reports a read of more than 0 bytes; answers the wrapped
    // stream's result unchanged.
    int64_t read(uint8_t* buffer, size_t maxLength) override;
    // Calls the read selector with the bytes, when the read delegate still exists.
    void invokeReadSelectorWithBuffer(const platform::DataSlice& data);

    void open() override;
    void close() override;
    bool hasBytesAvailable() override;
    platform::StreamStatus streamStatus() override;
    std::optional<platform::Error> streamError() override;
    bool getBuffer(const uint8_t** buffer, size_t* length) override;
    platform::Value propertyForKey(std::string_view key) override;
    bool setProperty(const platform::Value& value, std::string_view key) override;
    std::shared_ptr<platform::StreamDelegate> delegate() override;
    void setDelegate(const std::shared_ptr<platform::StreamDelegate>& delegate) override;

private:
    void report(const uint8_t* bytes, int64_t length);

    std::shared_ptr<platform::InputStream> input_;
    std::thread::id thread_;
    std::weak_ptr<platform::RunLoop> runLoop_;

    mutable std::mutex mutex_;
    std::weak_ptr<void> readDelegate_;
    ReadSelector readSelector_;
    std::optional<std::vector<std::string>> runLoopModes_;
};

}  // namespace quorvane
