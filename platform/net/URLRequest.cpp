#include "platform/net/URLRequest.h"

#include <cctype>

#include "platform/foundation/Strings.h"

namespace quorvane::platform {

namespace {
// A name as it may appear in an error text: control bytes shown as escapes.
std::string printableForError(std::string_view text) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text.substr(0, 64)) {
        if (c >= 0x20 && c < 0x7f) {
            out.push_back(char(c));
        } else {
            out += "\\x";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}
}  // namespace

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

bool HTTPHeaders::isValidName(std::string_view name) {
    if (name.empty()) return false;
    for (unsigned char c : name) {
        bool token = std::isalnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(char(c)) != std::string_view::npos;
        if (!token || c >= 0x80) return false;
    }
    return true;
}

bool HTTPHeaders::isValidValue(std::string_view value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::optional<std::string> HTTPHeaders::firstInvalidField() const {
    for (const auto& [name, value] : fields_) {
        if (!isValidName(name)) return "the header field name \"" + printableForError(name) + "\" is not a token";
        if (!isValidValue(value))
            return "the value of the header field \"" + name + "\" holds a line break or NUL";
    }
    return std::nullopt;
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
    for (const char* h : {"Authorization", "Proxy-Authorization", "Cookie", "Cookie2", "Content-Type", "Content-Length",
                          "Content-Encoding", "Transfer-Encoding", "X-HTTP-Method-Override"})
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
