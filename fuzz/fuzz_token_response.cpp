// OAuth2 token responses, as JSON and as form-encoded text, merged into an authentication: the
// JSON bridge gives values that write and read back equal, and the persistence string of the
// result reads back into an authentication with the same persistence string.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "oauth2/QNOAuth2Authentication.h"
#include "platform/foundation/Value.h"

using namespace quorvane;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (auto value = platform::Value::fromJSON(text)) {
        auto again = platform::Value::fromJSON(value->toJSON());
        FUZZ_CHECK(again && *again == *value, "JSON written from a value reads back equal");
    }

    auto auth = std::make_shared<QNOAuth2Authentication>();
    auth->setKeysForResponseJSONData(platform::Bytes(data, data + size));
    auth->setKeysForResponseString(text);
    (void)auth->shouldRefreshAccessToken();
    (void)auth->description();

    std::string persisted = auth->persistenceResponseString();
    auto restored = std::make_shared<QNOAuth2Authentication>();
    restored->setKeysForPersistenceResponseString(persisted);
    FUZZ_CHECK(restored->persistenceResponseString() == persisted, "the persistence string reads back the same");
    return 0;
}
