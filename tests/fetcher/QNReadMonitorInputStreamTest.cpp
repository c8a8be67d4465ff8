#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "fetcher/QNReadMonitorInputStream.h"
#include "platform/runloop/RunLoop.h"

using namespace quorvane;
using platform::StreamStatus;

namespace {

platform::Bytes bytesOf(std::string_view text) { return platform::Bytes(text.begin(), text.end()); }

struct Report {
    const uint8_t* pointer;
    std::string bytes;
    std::thread::id thread;
};

// A monitor over the text whose reports land in *reports while the returned owner lives.
std::shared_ptr<QNReadMonitorInputStream> monitorOver(std::string_view text, std::vector<Report>* reports,
                                                      std::shared_ptr<int>* owner) {
    auto monitor = QNReadMonitorInputStream::inputStreamWithStream(platform::DataInputStream::inputStreamWithData(bytesOf(text)));
    *owner = std::make_shared<int>(0);
    monitor->setReadDelegate(*owner);
    QNReadMonitorInputStream* expected = monitor.get();
    monitor->setReadSelector([reports, expected](QNReadMonitorInputStream& stream, const uint8_t* bytes, int64_t length) {
        EXPECT_EQ(&stream, expected);
        reports->push_back({bytes, std::string(reinterpret_cast<const char*>(bytes), size_t(length)),
                            std::this_thread::get_id()});
    });
    return monitor;
}

}  // namespace

TEST(QNReadMonitorInputStream, ReportsAReadOnTheCreatingThreadAtOnceWithTheCallersBuffer) {
    std::vector<Report> reports;
    std::shared_ptr<int> owner;
    auto monitor = monitorOver("hello world", &reports, &owner);
    monitor->open();
    EXPECT_EQ(monitor->streamStatus(), StreamStatus::Open);
    uint8_t buf[5];
    EXPECT_EQ(monitor->read(buf, sizeof buf), 5);
    // Before read() returned, with the very bytes of the caller's buffer.
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].pointer, buf);
    EXPECT_EQ(reports[0].bytes, "hello");

    uint8_t rest[64];
    EXPECT_EQ(monitor->read(rest, sizeof rest), 6);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].bytes, " world");
    // A read that gives nothing reports nothing.
    EXPECT_EQ(monitor->read(rest, sizeof rest), 0);
    EXPECT_EQ(monitor->streamStatus(), StreamStatus::AtEnd);
    EXPECT_EQ(reports.size(), 2u);
}

TEST(QNReadMonitorInputStream, ReportsAReadOnAnotherThreadLaterOnTheCreatingThreadWithACopy) {
    ASSERT_TRUE(platform::RunLoop::isMainThread());
    std::vector<Report> reports;
    std::shared_ptr<int> owner;
    auto monitor = monitorOver("0123456789", &reports, &owner);
    monitor->setRunLoopModes(std::vector<std::string>{"kCFRunLoopDefaultMode"});
    monitor->open();
    const uint8_t* readerBuffer = nullptr;
    std::thread reader([&] {
        static uint8_t buf[4];
        readerBuffer = buf;
        EXPECT_EQ(monitor->read(buf, sizeof buf), 4);
        EXPECT_EQ(monitor->read(buf, sizeof buf), 4);
        std::fill(std::begin(buf), std::end(buf), uint8_t('x'));  // the report must not see this
    });
    reader.join();
    // Posted, not run: the creating thread has not run its loop yet.
    EXPECT_TRUE(reports.empty());
    ASSERT_TRUE(platform::RunLoop::main()->runUntil([&] { return reports.size() == 2; }, 60));
    EXPECT_EQ(reports[0].bytes, "0123");
    EXPECT_EQ(reports[1].bytes, "4567");
    EXPECT_NE(reports[0].pointer, readerBuffer);
    EXPECT_EQ(reports[0].thread, std::this_thread::get_id());
    EXPECT_EQ(reports[1].thread, std::this_thread::get_id());
}

TEST(QNReadMonitorInputStream, ReportsNothingWithoutALiveDelegateASelectorOrBytes) {
    std::vector<Report> reports;
    std::shared_ptr<int> owner;
    auto monitor = monitorOver("abcdefgh", &reports, &owner);
    monitor->open();
    uint8_t buf[2];

    // The delegate goes away between a read on another thread and the report.
    std::thread([&] { EXPECT_EQ(monitor->read(buf, 2), 2); }).join();
    owner.reset();
    // Blocks run in the order posted: once this one has run, so has the report.
    bool drained = false;
    platform::RunLoop::main()->post([&] { drained = true; });
    ASSERT_TRUE(platform::RunLoop::main()->runUntil([&] { return drained; }, 60));
    EXPECT_TRUE(reports.empty());
    // No delegate at all.
    EXPECT_EQ(monitor->read(buf, 2), 2);
    EXPECT_TRUE(reports.empty());
    // A delegate but no selector.
    auto another = std::make_shared<int>(1);
    monitor->setReadDelegate(another);
    monitor->setReadSelector(nullptr);
    EXPECT_EQ(monitor->read(buf, 2), 2);
    EXPECT_TRUE(reports.empty());

    // A stream in error: -1, passed through, and no report.
    auto missing = QNReadMonitorInputStream::inputStreamWithStream(
        platform::FileInputStream::inputStreamWithFileAtPath("/nonexistent/quorvane/body"));
    missing->setReadDelegate(another);
    bool reported = false;
    missing->setReadSelector([&](QNReadMonitorInputStream&, const uint8_t*, int64_t) { reported = true; });
    missing->open();
    EXPECT_EQ(missing->streamStatus(), StreamStatus::Error);
    EXPECT_TRUE(missing->streamError().has_value());
    EXPECT_EQ(missing->read(buf, 2), -1);
    EXPECT_FALSE(reported);
}

TEST(QNReadMonitorInputStream, PassesEverythingElseToTheWrappedStream) {
    auto inner = platform::DataInputStream::inputStreamWithData(bytesOf("abcdef"));
    auto monitor = QNReadMonitorInputStream::inputStreamWithStream(inner);
    EXPECT_EQ(monitor->inputStream(), inner);
    EXPECT_EQ(monitor->thread(), std::this_thread::get_id());
    EXPECT_FALSE(monitor->runLoopModes().has_value());
    monitor->open();
    EXPECT_EQ(inner->streamStatus(), StreamStatus::Open);
    EXPECT_TRUE(monitor->hasBytesAvailable());
    const uint8_t* p = nullptr;
    size_t len = 0;
    ASSERT_TRUE(monitor->getBuffer(&p, &len));
    EXPECT_EQ(len, 6u);
    EXPECT_TRUE(monitor->setProperty(platform::Value(int64_t(4)), platform::InputStream::kFileCurrentOffsetKey));
    EXPECT_EQ(inner->propertyForKey(platform::InputStream::kFileCurrentOffsetKey), platform::Value(int64_t(4)));
    EXPECT_EQ(monitor->propertyForKey(platform::InputStream::kFileCurrentOffsetKey), platform::Value(int64_t(4)));
    auto delegate = std::make_shared<platform::StreamDelegate>();
    monitor->setDelegate(delegate);
    EXPECT_EQ(inner->delegate(), delegate);
    EXPECT_EQ(monitor->delegate(), delegate);
    monitor->close();
    EXPECT_EQ(inner->streamStatus(), StreamStatus::Closed);
}
