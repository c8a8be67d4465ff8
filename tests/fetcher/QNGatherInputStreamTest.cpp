#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fetcher/QNGatherInputStream.h"

using namespace quorvane;
using platform::DataSlice;
using platform::StreamEvent;
using platform::StreamStatus;
using platform::Value;

namespace {

std::vector<DataSlice> pieces(std::initializer_list<std::string_view> texts) {
    std::vector<DataSlice> out;
    for (auto t : texts) out.push_back(DataSlice::fromString(t));
    return out;
}

// Reads the rest of the stream in reads of at most chunk bytes.
std::string readAll(platform::InputStream& stream, size_t chunk) {
    std::string out;
    std::vector<uint8_t> buf(chunk);
    while (true) {
        int64_t n = stream.read(buf.data(), buf.size());
        EXPECT_GE(n, 0);
        if (n <= 0) break;
        out.append(reinterpret_cast<const char*>(buf.data()), size_t(n));
    }
    return out;
}

struct RecordingDelegate : platform::StreamDelegate {
    std::vector<std::pair<platform::InputStream*, StreamEvent>> events;
    void handleEvent(platform::InputStream& stream, StreamEvent event) override { events.push_back({&stream, event}); }
};

}  // namespace

TEST(QNGatherInputStream, ReadsThePiecesAsOneSequenceSkippingEmptyOnes) {
    auto stream = QNGatherInputStream::streamWithArray(pieces({"abc", "", "defg"}));
    EXPECT_EQ(stream->streamStatus(), StreamStatus::NotOpen);
    stream->open();
    EXPECT_EQ(stream->streamStatus(), StreamStatus::Open);
    uint8_t buf[10];
    EXPECT_EQ(stream->read(buf, sizeof buf), 7);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 7), "abcdefg");
    EXPECT_EQ(stream->streamStatus(), StreamStatus::AtEnd);
    EXPECT_EQ(stream->read(buf, sizeof buf), 0);
    EXPECT_TRUE(stream->hasBytesAvailable());
    EXPECT_FALSE(stream->streamError().has_value());
    const uint8_t* p = nullptr;
    size_t len = 0;
    EXPECT_FALSE(stream->getBuffer(&p, &len));
    stream->close();
    EXPECT_EQ(stream->streamStatus(), StreamStatus::Closed);
}

TEST(QNGatherInputStream, EveryReadSizeGivesTheSameBytes) {
    auto list = pieces({"He", "", "llo, ", "w", "orld", "", "!"});
    for (size_t chunk = 1; chunk <= 14; ++chunk) {
        QNGatherInputStream stream(list);
        stream.open();
        EXPECT_EQ(readAll(stream, chunk), "Hello, world!") << "chunk " << chunk;
        EXPECT_EQ(stream.absoluteOffset(), 13);
    }
    QNGatherInputStream empty({});
    empty.open();
    uint8_t b;
    EXPECT_EQ(empty.read(&b, 1), 0);
    EXPECT_EQ(empty.streamStatus(), StreamStatus::AtEnd);
}

TEST(QNGatherInputStream, RepositionsByAbsoluteOffset) {
    QNGatherInputStream stream(pieces({"abc", "defg"}));
    stream.open();
    stream.setAbsoluteOffset(3);
    EXPECT_EQ(stream.absoluteOffset(), 3);
    EXPECT_EQ(readAll(stream, 2), "defg");

    stream.setAbsoluteOffset(5);
    EXPECT_EQ(stream.absoluteOffset(), 5);
    EXPECT_EQ(readAll(stream, 100), "fg");

    stream.setAbsoluteOffset(-4);  // before the start: the start
    EXPECT_EQ(stream.absoluteOffset(), 0);
    EXPECT_EQ(readAll(stream, 100), "abcdefg");

    stream.setAbsoluteOffset(1000);  // beyond the total: the end
    EXPECT_EQ(stream.absoluteOffset(), 7);
    EXPECT_EQ(readAll(stream, 100), "");

    // Through the file-current-offset property.
    EXPECT_TRUE(stream.setProperty(Value(int64_t(2)), platform::InputStream::kFileCurrentOffsetKey));
    EXPECT_EQ(stream.propertyForKey(platform::InputStream::kFileCurrentOffsetKey), Value(int64_t(2)));
    EXPECT_EQ(readAll(stream, 3), "cdefg");
    EXPECT_FALSE(stream.setProperty(Value(int64_t(0)), "SomeOtherKey"));
    EXPECT_TRUE(stream.propertyForKey("SomeOtherKey").isNull());
    EXPECT_EQ(stream.absoluteOffset(), 7);
}

TEST(QNGatherInputStream, RewindingAfterTheEndReportsTheStreamOpenAgain) {
    QNGatherInputStream stream(pieces({"abc"}));
    stream.open();
    readAll(stream, 8);
    ASSERT_EQ(stream.streamStatus(), StreamStatus::AtEnd);
    stream.setAbsoluteOffset(1);
    EXPECT_EQ(stream.streamStatus(), StreamStatus::Open);
    EXPECT_EQ(readAll(stream, 8), "bc");
    EXPECT_EQ(stream.streamStatus(), StreamStatus::AtEnd);
    // Moving to the end, or moving a closed stream, leaves the status alone.
    stream.setAbsoluteOffset(3);
    EXPECT_EQ(stream.streamStatus(), StreamStatus::AtEnd);
    stream.close();
    stream.setAbsoluteOffset(0);
    EXPECT_EQ(stream.streamStatus(), StreamStatus::Closed);
}

TEST(QNGatherInputStream, IsItsOwnDelegateUntilOneIsSetAndForwardsEvents) {
    auto stream = QNGatherInputStream::streamWithArray(pieces({"x"}));
    EXPECT_EQ(stream->delegate().get(), static_cast<platform::StreamDelegate*>(stream.get()));
    // Its own delegate: an event goes nowhere (and does not loop).
    stream->handleEvent(*stream, StreamEvent::HasBytesAvailable);

    auto recorder = std::make_shared<RecordingDelegate>();
    stream->setDelegate(recorder);
    EXPECT_EQ(stream->delegate(), recorder);
    QNGatherInputStream other(pieces({"y"}));
    stream->handleEvent(other, StreamEvent::EndEncountered);
    ASSERT_EQ(recorder->events.size(), 1u);
    EXPECT_EQ(recorder->events[0].first, stream.get());  // named as this stream
    EXPECT_EQ(recorder->events[0].second, StreamEvent::EndEncountered);

    stream->setDelegate(nullptr);
    EXPECT_EQ(stream->delegate().get(), static_cast<platform::StreamDelegate*>(stream.get()));
    stream->handleEvent(*stream, StreamEvent::HasBytesAvailable);
    EXPECT_EQ(recorder->events.size(), 1u);

    // Held weakly.
    stream->setDelegate(recorder);
    recorder.reset();
    EXPECT_EQ(stream->delegate().get(), static_cast<platform::StreamDelegate*>(stream.get()));
}
