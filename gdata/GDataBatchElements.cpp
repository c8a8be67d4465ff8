#include "gdata/GDataBatchElements.h"

#include "gdata/GDataNamespaces.h"

namespace quorvane {

namespace {
constexpr const char* kBatch = kGDataNamespaceBatchURI;
constexpr const char* kBatchPrefix = kGDataNamespaceBatchPrefix;

std::optional<std::string> decimal(std::optional<int32_t> n) {
    return n ? std::optional<std::string>(std::to_string(*n)) : std::nullopt;
}
}  // namespace

QV_GDATA_DEFINE_CLASS(GDataBatchOperation, GDataObject, kBatch, kBatchPrefix, "operation")
QV_GDATA_DEFINE_CLASS(GDataBatchID, GDataObject, kBatch, kBatchPrefix, "id")
QV_GDATA_DEFINE_CLASS(GDataBatchStatus, GDataObject, kBatch, kBatchPrefix, "status")
QV_GDATA_DEFINE_CLASS(GDataBatchInterrupted, GDataObject, kBatch, kBatchPrefix, "interrupted")

std::shared_ptr<GDataBatchOperation> GDataBatchOperation::batchOperationWithType(std::optional<std::string> type) {
    auto op = object();
    op->setType(std::move(type));
    return op;
}

void GDataBatchOperation::addParseDeclarations() { addLocalAttributeDeclarations({"type"}); }

std::shared_ptr<GDataBatchID> GDataBatchID::batchIDWithString(std::optional<std::string> str) {
    auto batchID = object();
    batchID->setStringValue(std::move(str));
    return batchID;
}

void GDataBatchID::addParseDeclarations() { addContentValueDeclaration(); }

std::shared_ptr<GDataBatchStatus> GDataBatchStatus::batchStatusWithCode(int32_t code,
                                                                        std::optional<std::string> reason) {
    auto status = object();
    status->setCode(code);
    status->setReason(std::move(reason));
    return status;
}

void GDataBatchStatus::addParseDeclarations() {
    addLocalAttributeDeclarations({"code", "reason", "content-type"});
    addContentValueDeclaration();
}

void GDataBatchStatus::setCode(std::optional<int32_t> code) { GDataObject::setStringValue(decimal(code), "code"); }

void GDataBatchInterrupted::addParseDeclarations() {
    addLocalAttributeDeclarations({"reason", "success", "failures", "parsed", "content-type"});
    addContentValueDeclaration();
}

void GDataBatchInterrupted::setCount(std::optional<int32_t> n, std::string_view name) {
    GDataObject::setStringValue(decimal(n), name);
}

}  // namespace quorvane
