#pragma once
// The batch elements: the operation an entry of a batch request asks for, the identifier the
// caller gives it, and the status (and, for a cut-short batch, the interruption) the answer
// reports.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "gdata/GDataObject.h"

namespace quorvane {

// Operation types of <batch:operation type=...>.
inline constexpr const char* kGDataBatchOperationInsert = "insert";
inline constexpr const char* kGDataBatchOperationUpdate = "update";
inline constexpr const char* kGDataBatchOperationDelete = "delete";
inline constexpr const char* kGDataBatchOperationQuery = "query";

// <batch:operation type="insert"/>
class GDataBatchOperation : public GDataObject {
    QV_GDATA_CLASS(GDataBatchOperation)
public:
    static std::shared_ptr<GDataBatchOperation> batchOperationWithType(std::optional<std::string> type);
    void addParseDeclarations() override;

    std::optional<std::string> type() const { return stringValueForAttribute("type"); }
    void setType(std::optional<std::string> v) { GDataObject::setStringValue(std::move(v), "type"); }
};

// <batch:id>caller's identifier</batch:id>
class GDataBatchID : public GDataObject {
    QV_GDATA_CLASS(GDataBatchID)
public:
    static std::shared_ptr<GDataBatchID> batchIDWithString(std::optional<std::string> str);
    void addParseDeclarations() override;

    std::optional<std::string> stringValue() const { return contentStringValue(); }
    void setStringValue(std::optional<std::string> v) { setContentStringValue(std::move(v)); }
};

// <batch:status code="201" reason="Created" content-type="...">text</batch:status>
class GDataBatchStatus : public GDataObject {
    QV_GDATA_CLASS(GDataBatchStatus)
public:
    static std::shared_ptr<GDataBatchStatus> batchStatusWithCode(int32_t code, std::optional<std::string> reason);
    void addParseDeclarations() override;

    // The HTTP status of the one operation; nullopt without a "code" attribute.
    std::optional<int32_t> code() const { return intNumberForAttribute("code"); }
    void setCode(std::optional<int32_t> code);
    std::optional<std::string> reason() const { return stringValueForAttribute("reason"); }
    void setReason(std::optional<std::string> v) { GDataObject::setStringValue(std::move(v), "reason"); }
    // The type of the text.
    std::optional<std::string> contentType() const { return stringValueForAttribute("content-type"); }
    void setContentType(std::optional<std::string> v) { GDataObject::setStringValue(std::move(v), "content-type"); }
    std::optional<std::string> stringValue() const { return contentStringValue(); }
    void setStringValue(std::optional<std::string> v) { setContentStringValue(std::move(v)); }
};

// <batch:interrupted reason= success= failures= parsed= content-type=>text</batch:interrupted>
class GDataBatchInterrupted : public GDataObject {
    QV_GDATA_CLASS(GDataBatchInterrupted)
public:
    static std::shared_ptr<GDataBatchInterrupted> batchInterrupted() { return object(); }
    void addParseDeclarations() override;

    std::optional<std::string> reason() const { return stringValueForAttribute("reason"); }
    void setReason(std::optional<std::string> v) { GDataObject::setStringValue(std::move(v), "reason"); }
    // "success"
    std::optional<int32_t> successCount() const { return intNumberForAttribute("success"); }
    void setSuccessCount(std::optional<int32_t> n) { setCount(n, "success"); }
    // "failures"
    std::optional<int32_t> errorCount() const { return intNumberForAttribute("failures"); }
    void setErrorCount(std::optional<int32_t> n) { setCount(n, "failures"); }
    // "parsed"
    std::optional<int32_t> totalCount() const { return intNumberForAttribute("parsed"); }
    void setTotalCount(std::optional<int32_t> n) { setCount(n, "parsed"); }
    std::optional<std::string> contentType() const { return stringValueForAttribute("content-type"); }
    void setContentType(std::optional<std::string> v) { GDataObject::setStringValue(std::move(v), "content-type"); }
    std::optional<std::string> stringValue() const { return contentStringValue(); }
    void setStringValue(std::optional<std::string> v) { setContentStringValue(std::move(v)); }

private:
    void setCount(std::optional<int32_t> n, std::string_view name);
};

}  // namespace quorvane
