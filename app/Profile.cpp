#include "app/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "gdata/service/GDataServiceGoogleContact.h"
#include "platform/foundation/BundleInfo.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/net/ServerTrust.h"
#include "sync/QuorvaneModel.h"

namespace quorvane::app {

namespace {

using Endpoints = QNOAuth2SignIn::Endpoints;

std::filesystem::path profilesFolder(const std::filesystem::path& home) {
    return home / platform::BundleInfo::identifier() / "profiles";
}

bool isHTTPS(const std::string& text) {
    auto url = platform::URL::URLWithString(text);
    return url && platform::asciiEqualsIgnoringCase(url->scheme(), "https") && url->host() &&
           !url->host()->empty();
}

}  // namespace

platform::Result<Profile> Profile::named(const std::string& name) {
    bool ok = !name.empty() && name.size() <= 64;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) ok = false;
    if (!ok) {
        return commandError(kCommandErrorBadArguments,
                            "a profile name is 1 to 64 letters, digits, '-' and '_': \"" + name + "\"");
    }
    return Profile(name);
}

bool Profile::exists() const {
    std::error_code error;
    return name_ == kDefaultName || name_ == kRealProviderName || std::filesystem::exists(configFolder(), error) ||
           std::filesystem::exists(dataFolder(), error);
}

void Profile::make() const {
    std::error_code error;
    std::filesystem::create_directories(configFolder(), error);
}

bool Profile::unmakeIfEmpty() const {
    // remove() takes only an empty folder: whatever the command kept there stays.
    std::error_code error;
    std::filesystem::remove(dataFolder(), error);
    return std::filesystem::remove(configFolder(), error) && !exists();
}

std::vector<std::string> Profile::existingNames() {
    std::set<std::string> names = {kDefaultName, kRealProviderName};
    for (const auto& home : {platform::Paths::configHome(), platform::Paths::dataHome()}) {
        std::error_code error;
        for (std::filesystem::directory_iterator it(profilesFolder(home), error), end; !error && it != end;
             it.increment(error))
            if (named(it->path().filename().string())) names.insert(it->path().filename().string());
    }
    return {names.begin(), names.end()};
}

std::filesystem::path Profile::configFolder() const { return profilesFolder(platform::Paths::configHome()) / name_; }
std::filesystem::path Profile::dataFolder() const { return profilesFolder(platform::Paths::dataHome()) / name_; }

std::string Profile::keychainItemName() const {
    if (name_ == kRealProviderName) return QuorvaneModel::kKeychainItemName;
    return std::string(QuorvaneModel::kKeychainItemName) + " (" + name_ + ")";
}

std::shared_ptr<platform::UserDefaults> Profile::userDefaults() const {
    // Two instances on one file would each write their own state over the other's.
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<platform::UserDefaults>> open;
    std::lock_guard lock(mutex);
    auto& defaults = open[name_];
    if (!defaults) defaults = std::make_shared<platform::UserDefaults>(configFolder() / "settings.json");
    return defaults;
}

const std::vector<Profile::ProviderKey>& Profile::providerKeys() {
    using P = ProviderConfiguration;
    static const std::vector<ProviderKey> keys = {
        {"contacts-root", "root of the contacts feeds", &P::contactsRoot, nullptr},
        {"authorization-url", "OAuth2 authorization page", nullptr, &Endpoints::authorizationURL},
        {"token-url", "OAuth2 token endpoint", nullptr, &Endpoints::tokenURL},
        {"revocation-url", "OAuth2 token revocation endpoint", nullptr, &Endpoints::revocationURL},
        {"userinfo-url", "OAuth2 user info endpoint", nullptr, &Endpoints::userInfoURL},
        {"client-id", "the application's OAuth2 client id", &P::clientID, nullptr},
        {"client-secret", "the application's OAuth2 client secret", &P::clientSecret, nullptr},
        {kCAFileKey, "PEM file of certificates trusted beside the system's", nullptr, nullptr},
    };
    return keys;
}

const Profile::ProviderKey* Profile::providerKey(const std::string& key) {
    for (const auto& k : providerKeys())
        if (key == k.key) return &k;
    return nullptr;
}

namespace {

// Whether the PEM text holds a certificate at all (nothing is trusted here).
bool holdsCertificate(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), int(pem.size()));
    if (!bio) return false;
    X509* x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    const bool holds = x != nullptr;
    X509_free(x);
    ERR_clear_error();
    BIO_free(bio);
    return holds;
}

}  // namespace

platform::Result<void> Profile::checkProviderValue(const ProviderKey& key, const std::string& value) {
    if ((key.endpoint || key.text == &ProviderConfiguration::contactsRoot) && !isHTTPS(value))
        return commandError(kCommandErrorBadArguments, std::string(key.key) + " must be an https address: \"" + value + "\"");
    if (!key.text && !key.endpoint) {
        auto read = readCertificateFile(value);
        if (!read) return read.error();
        if (!holdsCertificate(*read))
            return commandError(kCommandErrorBadArguments,
                                "cannot use " + value + " as a certificate file: it holds no PEM certificate");
    }
    return {};
}

platform::Result<std::string> Profile::readCertificateFile(const std::string& path) {
    auto refuse = [&path](const std::string& why) {
        return commandError(kCommandErrorBadArguments, "cannot use " + path + " as a certificate file: " + why);
    };
    // Not blocking: opening a FIFO for reading would wait for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return refuse(std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st{};
    if (::fstat(fd, &st) != 0) return refuse(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return refuse("it is not a regular file");
    constexpr size_t limit = kCertificateFileLimit;
    if (st.st_size < 0 || size_t(st.st_size) > limit) return refuse("it is larger than 1 MB");
    // A file that grew past the limit since is refused all the same.
    std::string text;
    text.reserve(size_t(st.st_size));
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return refuse(std::strerror(errno));
        if (n == 0) break;
        if (text.size() + size_t(n) > limit) return refuse("it is larger than 1 MB");
        text.append(buffer, size_t(n));
    }
    return text;
}

ProviderConfiguration Profile::defaultProvider() {
    ProviderConfiguration p;
    p.contactsRoot = kGDataGoogleContactServiceRootURLString;
    p.endpoints = QNOAuth2SignIn::defaultEndpoints();
    p.clientID = QuorvaneModel::kOAuth2ClientID;
    p.clientSecret = QuorvaneModel::kOAuth2ClientSecret;
    return p;
}

std::filesystem::path Profile::fakeProviderInfoPath() {
    return platform::Paths::stateHome() / platform::BundleInfo::identifier() / "fake-provider" / "provider.json";
}

platform::Result<ProviderConfiguration> Profile::provider() const {
    ProviderConfiguration p = defaultProvider();
    auto fail = [](const std::string& why) { return commandError(kCommandErrorProviderUnavailable, why); };
    auto set = [&p](const ProviderKey& k, const std::string& value) {
        if (k.text) p.*(k.text) = value;
        else if (k.endpoint) p.endpoints.*(k.endpoint) = value;
        else p.caFile = value;
    };
    if (name_ == kDefaultName) {
        std::filesystem::path path = fakeProviderInfoPath();
        std::string text;
        if (!platform::readFile(path, text))
            return fail("the fake provider is not running (no " + path.string() +
                        "): start tools/quorvane-fake-provider first");
        auto info = platform::Value::fromJSON(text);
        if (!info || !info->isDictionary()) return fail(path.string() + " is not the fake provider's file");
        const std::pair<const char*, const char*> fields[] = {
            {"contactsRoot", "contacts-root"},    {"authorizationURL", "authorization-url"},
            {"tokenURL", "token-url"},            {"revocationURL", "revocation-url"},
            {"userInfoURL", "userinfo-url"},      {"clientID", "client-id"},
            {"clientSecret", "client-secret"},    {"caFile", kCAFileKey},
        };
        for (const auto& [field, key] : fields) {
            const platform::Value& v = (*info)[field];
            if (!v.isString()) return fail(path.string() + " lacks \"" + field + "\"");
            set(*providerKey(key), v.asString());
        }
        p.fakeProviderInfo = path.string();
    }
    auto defaults = userDefaults();
    for (const auto& k : providerKeys())
        if (auto stored = defaults->stringForKey(k.key); stored && !stored->empty()) set(k, *stored);

    for (const auto& k : providerKeys()) {
        if (k.endpoint || k.text == &ProviderConfiguration::contactsRoot) {
            const std::string& url = k.endpoint ? p.endpoints.*(k.endpoint) : p.contactsRoot;
            if (auto checked = checkProviderValue(k, url); !checked)
                return fail(checked.error().localizedDescription());
        }
    }
    if (p.contactsRoot.back() != '/') p.contactsRoot += '/';
    // The sign-in asks for the user's e-mail address only at the provider's own hosts: another
    // provider is trusted the same way at its authorization host.
    auto authHost = platform::URL::URLWithString(p.endpoints.authorizationURL)->host().value_or("");
    if (!platform::hasSuffix(authHost, p.endpoints.domainSuffix)) p.endpoints.domainSuffix = authHost;
    return p;
}

platform::Result<void> Profile::apply(const ProviderConfiguration& provider) {
    if (provider.caFile) {
        // A setting to mend (kCommandErrorBadArguments), not a provider to wait for: trying again
        // gives the same answer.
        auto mend = [](const std::string& why) {
            return commandError(kCommandErrorBadArguments,
                                "the ca-file setting cannot be used: " + why +
                                    ". Set it to a file of PEM certificates with quorvane config set ca-file FILE, or "
                                    "clear it with quorvane config set ca-file \"\"");
        };
        auto pem = readCertificateFile(*provider.caFile);
        if (!pem) return mend(pem.error().localizedDescription());
        if (!platform::TrustStore::addTrustedCertificatesPEM(*pem))
            return mend("cannot use " + *provider.caFile + " as a certificate file: it holds no PEM certificate");
    }
    QNOAuth2SignIn::setEndpoints(provider.endpoints);
    GDataServiceGoogleContact::setContactServiceRootURLString(provider.contactsRoot);
    return {};
}

}  // namespace quorvane::app
