#include "platform/foundation/Secrets.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/foundation/Strings.h"

namespace quorvane::platform {

namespace {

std::mutex gMutex;
std::vector<std::string> gForms;  // longest first, so that a longer form is blotted out whole

std::string jsonEscaped(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '/' || c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

}  // namespace

void rememberSecret(std::string_view secret) {
    if (secret.size() < kShortestSecret) return;
    const std::string forms[] = {std::string(secret), percentEncoded(secret), percentEncoded(secret, true), jsonEscaped(secret)};
    std::lock_guard lock(gMutex);
    for (const auto& form : forms) {
        if (std::find(gForms.begin(), gForms.end(), form) != gForms.end()) continue;
        gForms.insert(std::upper_bound(gForms.begin(), gForms.end(), form,
                                       [](const std::string& a, const std::string& b) { return a.size() > b.size(); }),
                      form);
    }
}

std::string redactSecrets(std::string_view text) {
    std::string out(text);
    std::lock_guard lock(gMutex);
    for (const auto& form : gForms) {
        for (size_t at = out.find(form); at != std::string::npos; at = out.find(form, at + std::strlen(kRedacted)))
            out.replace(at, form.size(), kRedacted);
    }
    return out;
}

}  // namespace quorvane::platform
