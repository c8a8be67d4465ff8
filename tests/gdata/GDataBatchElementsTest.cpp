// The batch elements of a batch request and of its answer.

#include <gtest/gtest.h>

#include "gdata/GDataBatchElements.h"

using namespace quorvane;

namespace {

template <class T>
std::shared_ptr<T> parse(const std::string& xml) {
    auto element = GDataXMLElement::initWithXMLString(xml).valueOr(nullptr);
    EXPECT_TRUE(element) << xml;
    if (!element) return nullptr;
    return std::dynamic_pointer_cast<T>(GDataObject::objectWithXMLElement(T::staticClassInfo(), element, nullptr));
}

std::string xmlOf(const GDataObject& o) { return o.XMLElement()->XMLString().value_or(""); }

constexpr const char* kBatchNS = " xmlns:batch='http://schemas.google.com/gdata/batch'";

}  // namespace

TEST(GDataBatchElementsTest, RequestElements) {
    auto op = GDataBatchOperation::batchOperationWithType(std::string(kGDataBatchOperationUpdate));
    EXPECT_EQ(xmlOf(*op), "<batch:operation type=\"update\"/>");
    auto parsedOp = parse<GDataBatchOperation>("<batch:operation" + std::string(kBatchNS) + " type='delete'/>");
    ASSERT_TRUE(parsedOp);
    EXPECT_EQ(parsedOp->type(), "delete");

    auto batchID = GDataBatchID::batchIDWithString(std::string("17"));
    EXPECT_EQ(xmlOf(*batchID), "<batch:id>17</batch:id>");
    auto parsedID = parse<GDataBatchID>("<batch:id" + std::string(kBatchNS) + ">17</batch:id>");
    ASSERT_TRUE(parsedID);
    EXPECT_EQ(parsedID->stringValue(), "17");
    auto reparsed = parse<GDataBatchID>("<batch:id" + std::string(kBatchNS) + ">" +
                                        batchID->stringValue().value_or("") + "</batch:id>");
    EXPECT_TRUE(parsedID->isEqual(*reparsed));
    auto copy = std::dynamic_pointer_cast<GDataBatchID>(parsedID->copy());
    ASSERT_TRUE(copy);
    EXPECT_TRUE(copy->isEqual(*parsedID));
    copy->setStringValue(std::string("18"));
    EXPECT_FALSE(copy->isEqual(*parsedID));
}

TEST(GDataBatchElementsTest, StatusCodeReasonAndText) {
    auto status = parse<GDataBatchStatus>("<batch:status" + std::string(kBatchNS) +
                                          " code='409' reason='Conflict' content-type='text/plain'>"
                                          "Version mismatch</batch:status>");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code(), 409);
    EXPECT_EQ(status->reason(), "Conflict");
    EXPECT_EQ(status->contentType(), "text/plain");
    EXPECT_EQ(status->stringValue(), "Version mismatch");
    auto again = parse<GDataBatchStatus>(xmlOf(*status));
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->isEqual(*status));

    auto bare = parse<GDataBatchStatus>("<batch:status" + std::string(kBatchNS) + " reason='x'/>");
    ASSERT_TRUE(bare);
    EXPECT_FALSE(bare->code());
    bare->setCode(201);
    EXPECT_EQ(bare->stringValueForAttribute("code"), "201");
    bare->setCode(std::nullopt);
    EXPECT_FALSE(bare->stringValueForAttribute("code"));

    auto made = GDataBatchStatus::batchStatusWithCode(200, std::string("Success"));
    EXPECT_EQ(made->code(), 200);
    EXPECT_EQ(made->reason(), "Success");
}

TEST(GDataBatchElementsTest, InterruptedCountsAndDescription) {
    auto interrupted = parse<GDataBatchInterrupted>("<batch:interrupted" + std::string(kBatchNS) +
                                                    " reason='quota' success='3' failures='1' parsed='5'"
                                                    " content-type='text/plain'>stopped</batch:interrupted>");
    ASSERT_TRUE(interrupted);
    EXPECT_EQ(interrupted->reason(), "quota");
    EXPECT_EQ(interrupted->successCount(), 3);
    EXPECT_EQ(interrupted->errorCount(), 1);
    EXPECT_EQ(interrupted->totalCount(), 5);
    EXPECT_EQ(interrupted->contentType(), "text/plain");
    EXPECT_EQ(interrupted->stringValue(), "stopped");
    auto desc = interrupted->description();
    EXPECT_NE(desc.find("reason:quota success:3 failures:1 parsed:5 content-type:text/plain content:stopped"),
              std::string::npos)
        << desc;

    auto made = GDataBatchInterrupted::batchInterrupted();
    made->setTotalCount(10);
    made->setErrorCount(0);
    EXPECT_EQ(xmlOf(*made), "<batch:interrupted parsed=\"10\" failures=\"0\"/>");
    EXPECT_FALSE(made->successCount());
}
