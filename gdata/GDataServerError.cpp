#include "gdata/GDataServerError.h"

#include "gdata/GDataNamespaces.h"
#include "gdata/GDataXMLDocument.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

using platform::addressText;

namespace {
// The way a missing value prints in a formatted text.
std::string orNull(const std::optional<std::string>& s) { return s ? *s : "(null)"; }
}  // namespace

// --- one error ---

std::optional<std::string> GDataServerError::errorStringForParentElement(const std::shared_ptr<GDataXMLElement>& parent,
                                                                         std::string_view childName) {
    if (!parent) return std::nullopt;
    auto children = parent->elementsForLocalName(childName, std::string_view(kGDataNamespaceGDataURI));
    if (children.empty()) return std::nullopt;
    return children.front()->stringValue();
}

GDataServerErrorPtr GDataServerError::initWithXMLElement(const std::shared_ptr<GDataXMLElement>& element) {
    auto error = std::make_shared<GDataServerError>();
    error->domain_ = errorStringForParentElement(element, "domain");
    error->code_ = errorStringForParentElement(element, "code");
    error->internalReason_ = errorStringForParentElement(element, "internalReason");
    error->extendedHelpURI_ = errorStringForParentElement(element, "extendedHelp");
    error->sendReportURI_ = errorStringForParentElement(element, "sendReport");
    return error;
}

std::string GDataServerError::summary() const {
    std::string text = orNull(domain_) + " error " + orNull(code_);
    if (internalReason_ && !internalReason_->empty()) text += ": \"" + *internalReason_ + "\"";
    return text;
}

std::string GDataServerError::description() const {
    std::string items;
    auto add = [&](const char* label, const std::optional<std::string>& value) {
        if (!value) return;
        if (!items.empty()) items += " ";
        items += std::string(label) + "=\"" + *value + "\"";
    };
    add("domain", domain_);
    add("code", code_);
    add("reason", internalReason_);
    add("help", extendedHelpURI_);
    add("report", sendReportURI_);
    return "GDataServerError " + addressText(this) + ": {" + items + "}";
}

bool GDataServerError::isEqual(const GDataServerError& other) const {
    if (this == &other) return true;
    return domain_ == other.domain_ && code_ == other.code_ && internalReason_ == other.internalReason_ &&
           extendedHelpURI_ == other.extendedHelpURI_ && sendReportURI_ == other.sendReportURI_;
}

GDataServerErrorPtr GDataServerError::copy() const { return std::make_shared<GDataServerError>(*this); }

// --- the group ---

std::optional<std::vector<GDataServerErrorPtr>> GDataServerErrorGroup::serverErrorsWithData(
    const platform::Bytes& data) {
    auto document = GDataXMLDocument::initWithData(data, 0);
    if (!document) return std::nullopt;
    auto root = (*document)->rootElement();
    if (!root) return std::nullopt;
    std::vector<GDataServerErrorPtr> errors;
    for (const auto& child : root->children()) {
        if (child->kind() != GDataXMLNodeKind::Element) continue;
        if (child->localName() != "error" || child->URI() != kGDataNamespaceGDataURI) continue;
        if (auto element = std::dynamic_pointer_cast<GDataXMLElement>(child))
            errors.push_back(GDataServerError::initWithXMLElement(element));
    }
    if (errors.empty()) return std::nullopt;
    return errors;
}

GDataServerErrorGroupPtr GDataServerErrorGroup::initWithData(const platform::Bytes& data) {
    auto errors = serverErrorsWithData(data);
    if (!errors) return nullptr;
    auto group = std::make_shared<GDataServerErrorGroup>();
    group->errors_ = std::move(errors);
    return group;
}

GDataServerErrorPtr GDataServerErrorGroup::mainError() const {
    if (!errors_ || errors_->empty()) return nullptr;
    return errors_->front();
}

std::string GDataServerErrorGroup::description() const {
    std::string list = "(null)";
    if (errors_) {
        list = "(";
        for (size_t i = 0; i < errors_->size(); ++i) {
            list += i ? ",\n    " : "\n    ";
            list += (*errors_)[i] ? (*errors_)[i]->description() : "<null>";
        }
        list += errors_->empty() ? ")" : "\n)";
    }
    return "GDataServerErrorGroup " + addressText(this) + ": {errors: " + list + "}";
}

bool GDataServerErrorGroup::isEqual(const GDataServerErrorGroup& other) const {
    if (this == &other) return true;
    if (errors_.has_value() != other.errors_.has_value()) return false;
    if (!errors_) return true;
    if (errors_->size() != other.errors_->size()) return false;
    for (size_t i = 0; i < errors_->size(); ++i) {
        const auto& a = (*errors_)[i];
        const auto& b = (*other.errors_)[i];
        if (!a || !b) {
            if (a || b) return false;
            continue;
        }
        if (!a->isEqual(*b)) return false;
    }
    return true;
}

GDataServerErrorGroupPtr GDataServerErrorGroup::copy() const {
    auto group = std::make_shared<GDataServerErrorGroup>();
    if (errors_) {
        std::vector<GDataServerErrorPtr> copies;
        copies.reserve(errors_->size());
        for (const auto& e : *errors_) copies.push_back(e ? e->copy() : nullptr);
        group->errors_ = std::move(copies);
    }
    return group;
}

}  // namespace quorvane
