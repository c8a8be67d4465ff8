#pragma once
// The error body the provider sends with a refused request: a root element holding one or
// more gd "error" elements, each with a domain, a code, an internal reason and help links.
// These are plain values read once from the body; they are never written back as XML.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gdata/GDataXMLElement.h"
#include "platform/foundation/Value.h"

namespace quorvane {

// The content type (a prefix of the response's) of such a body.
inline constexpr const char* kGDataServerErrorContentType = "application/vnd.google.gdata.error+xml";

class GDataServerError;
using GDataServerErrorPtr = std::shared_ptr<GDataServerError>;

class GDataServerError {
public:
    GDataServerError() = default;
    // Reads the fields from the children of a gd "error" element.
    static GDataServerErrorPtr initWithXMLElement(const std::shared_ptr<GDataXMLElement>& element);
    // The text of the first gd child element of that local name; nullopt when there is none.
    static std::optional<std::string> errorStringForParentElement(const std::shared_ptr<GDataXMLElement>& parent,
                                                                  std::string_view childName);

    const std::optional<std::string>& domain() const { return domain_; }
    void setDomain(std::optional<std::string> v) { domain_ = std::move(v); }
    const std::optional<std::string>& code() const { return code_; }
    void setCode(std::optional<std::string> v) { code_ = std::move(v); }
    const std::optional<std::string>& internalReason() const { return internalReason_; }
    void setInternalReason(std::optional<std::string> v) { internalReason_ = std::move(v); }
    const std::optional<std::string>& extendedHelpURI() const { return extendedHelpURI_; }
    void setExtendedHelpURI(std::optional<std::string> v) { extendedHelpURI_ = std::move(v); }
    const std::optional<std::string>& sendReportURI() const { return sendReportURI_; }
    void setSendReportURI(std::optional<std::string> v) { sendReportURI_ = std::move(v); }

    // "<domain> error <code>", then ": \"<reason>\"" when there is a non-empty internal reason.
    std::string summary() const;
    // "GDataServerError 0x...: {domain=\"...\" code=\"...\" reason=\"...\" help=\"...\" report=\"...\"}"
    std::string description() const;
    bool isEqual(const GDataServerError& other) const;
    GDataServerErrorPtr copy() const;

private:
    std::optional<std::string> domain_;
    std::optional<std::string> code_;
    std::optional<std::string> internalReason_;
    std::optional<std::string> extendedHelpURI_;
    std::optional<std::string> sendReportURI_;
};

class GDataServerErrorGroup;
using GDataServerErrorGroupPtr = std::shared_ptr<GDataServerErrorGroup>;

class GDataServerErrorGroup {
public:
    GDataServerErrorGroup() = default;
    // The group of the errors in the body; null when the body holds none (or is not XML).
    static GDataServerErrorGroupPtr initWithData(const platform::Bytes& data);
    // The errors of the body in document order; nullopt when there is none.
    static std::optional<std::vector<GDataServerErrorPtr>> serverErrorsWithData(const platform::Bytes& data);

    const std::optional<std::vector<GDataServerErrorPtr>>& errors() const { return errors_; }
    void setErrors(std::optional<std::vector<GDataServerErrorPtr>> errors) { errors_ = std::move(errors); }
    // The first error; null when there is none.
    GDataServerErrorPtr mainError() const;

    std::string description() const;
    bool isEqual(const GDataServerErrorGroup& other) const;
    // A new group holding copies of the errors.
    GDataServerErrorGroupPtr copy() const;

private:
    std::optional<std::vector<GDataServerErrorPtr>> errors_;
};

}  // namespace quorvane
