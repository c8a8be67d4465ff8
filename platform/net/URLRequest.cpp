#include "platform/net/URLRequest.h"

#include "platform/foundation/Strings.h"

namespace quorvane::platform {

HTTPHeaders::HTTPHeaders(std::initializer_list<Field> fields) {
    for (const auto& [name, value] : fields) addValue(value, name);
}

HTTPHeaders::HTTPHeaders(std::vector<Field> fields) {
    fields_.reserve(fields.size());
    for (auto& f : fields) {
        bool folded = false;
        for (auto& existing : fields_) {
            if (asciiEqualsIgnoringCase(existing.first, f.first)) {
                existing.second += ", ";
                existing.second += f.second;
                folded = true;
                break;
            }
        }
        if (!folded) fields_.push_back(std::move(f));
    }
}

const HTTPHeaders::Field* HTTPHeaders::find(std::string_view name) const {
    for (const auto& f : fields_)
        if (asciiEqualsIgnoringCase(f.first, name)) return &f;
    return nullptr;
}

std::optional<std::string> HTTPHeaders::valueForHTTPHeaderField(std::string_view name) const {
    if (const Field* f = find(name)) return f->second;
    return std::nullopt;
}

void HTTPHeaders::setValue(std::optional<std::string> value, std::string_view name) {
    bool placed = false;
    for (auto it = fields_.begin(); it != fields_.end();) {
        if (!asciiEqualsIgnoringCase(it->first, name)) {
            ++it;
        } else if (value && !placed) {
            it->second = *value;
            placed = true;
            ++it;
        } else {
            it = fields_.erase(it);
        }
    }
    if (value && !placed) fields_.emplace_back(std::string(name), std::move(*value));
}

void HTTPHeaders::addValue(std::string_view value, std::string_view name) {
    for (auto& f : fields_) {
        if (asciiEqualsIgnoringCase(f.first, name)) {
            f.second += ", ";
            f.second += value;
            return;
        }
    }
    fields_.emplace_back(std::string(name), std::string(value));
}

Value HTTPHeaders::toValue() const {
    Value v = Value::dictionary();
    for (const auto& [name, value] : fields_) v.set(name, Value(value));
    return v;
}

bool HTTPHeaders::operator==(const HTTPHeaders& o) const {
    if (fields_.size() != o.fields_.size()) return false;
    for (const auto& [name, value] : fields_) {
        auto other = o.valueForHTTPHeaderField(name);
        if (!other || *other != value) return false;
    }
    return true;
}

void URLRequest::setHTTPBody(std::optional<Bytes> body) {
    if (body) {
        body_ = std::make_shared<const Bytes>(std::move(*body));
        bodyStream_.reset();
    } else {
        body_.reset();
    }
}

void URLRequest::removeCredentialsAndBody() {
    for (const char* h : {"Authorization", "Proxy-Authorization", "Content-Type", "Content-Length", "Content-Encoding",
                          "Transfer-Encoding", "X-HTTP-Method-Override"})
        headers_.setValue(std::nullopt, h);
    body_.reset();
    bodyStream_.reset();
    if (method_ != "HEAD") method_ = "GET";
}

void URLRequest::setHTTPBodyStream(std::shared_ptr<InputStream> stream) {
    bodyStream_ = std::move(stream);
    if (bodyStream_) body_.reset();
}

}  // namespace quorvane::platform
