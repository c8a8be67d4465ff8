#include "tests/support/FakeProvider.h"

#include "platform/foundation/Base64.h"
#include "platform/foundation/Crypto.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <unordered_map>

#include "platform/foundation/Paths.h"
#include "platform/foundation/Value.h"
#include "tests/support/ContactsFeedGenerator.h"

namespace quorvane::test {

using testing::escapeXML;

namespace {

constexpr const char* kAtomNS = "http://www.w3.org/2005/Atom";
constexpr const char* kGDataNS = "http://schemas.google.com/g/2005";
constexpr const char* kContactNS = "http://schemas.google.com/contact/2008";
constexpr const char* kBatchNS = "http://schemas.google.com/gdata/batch";
constexpr const char* kOpenSearchNS = "http://a9.com/-/spec/opensearch/1.1/";
constexpr const char* kPhotoRel = "http://schemas.google.com/contacts/2008/rel#photo";
constexpr const char* kEditPhotoRel = "http://schemas.google.com/contacts/2008/rel#edit-photo";
// The account's address as an id names it (percent-encoded).
std::string accountInIDs(const std::string& email) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : email) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') out += char(c);
        else out += std::string("%") + hex[c >> 4] + hex[c & 15];
    }
    return out;
}

std::string rfc3339(double secondsSince1970) {
    time_t whole = time_t(secondsSince1970);
    int millis = int((secondsSince1970 - double(whole)) * 1000.0);
    std::tm tm{};
    gmtime_r(&whole, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    return buf;
}

// "2026-12-01T10:20:30(.123)(Z|+01:00)"; nullopt when malformed.
std::optional<double> parseRFC3339(const std::string& s) {
    int y, mo, d, h, mi, sec;
    if (std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &y, &mo, &d, &h, &mi, &sec) != 6) return std::nullopt;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = sec;
    double t = double(timegm(&tm));
    size_t pos = 19;
    if (pos < s.size() && s[pos] == '.') {
        double scale = 0.1;
        for (++pos; pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos])); ++pos, scale /= 10)
            t += (s[pos] - '0') * scale;
    }
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
        int oh = 0, om = 0;
        if (std::sscanf(s.c_str() + pos + 1, "%2d:%2d", &oh, &om) != 2) return std::nullopt;
        double offset = oh * 3600.0 + om * 60.0;
        t += s[pos] == '+' ? -offset : offset;
    }
    return t;
}

std::string percentDecode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size()) {
            out += char(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::map<std::string, std::string> parseForm(const std::string& text) {
    std::map<std::string, std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t amp = text.find('&', start);
        std::string piece = text.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
        if (!piece.empty()) {
            size_t eq = piece.find('=');
            out[percentDecode(piece.substr(0, eq))] = eq == std::string::npos ? "" : percentDecode(piece.substr(eq + 1));
        }
        if (amp == std::string::npos) break;
        start = amp + 1;
    }
    return out;
}

bool isElement(xmlNodePtr n, const char* ns, const char* name) {
    return n && n->type == XML_ELEMENT_NODE && n->ns && std::strcmp(reinterpret_cast<const char*>(n->ns->href), ns) == 0 &&
           std::strcmp(reinterpret_cast<const char*>(n->name), name) == 0;
}

std::string attribute(xmlNodePtr n, const char* name, const char* ns = nullptr) {
    xmlChar* v = ns ? xmlGetNsProp(n, BAD_CAST name, BAD_CAST ns) : xmlGetNoNsProp(n, BAD_CAST name);
    if (!v) return "";
    std::string s(reinterpret_cast<const char*>(v));
    xmlFree(v);
    return s;
}

std::string textOf(xmlNodePtr n) {
    xmlChar* v = xmlNodeGetContent(n);
    std::string s = v ? reinterpret_cast<const char*>(v) : "";
    if (v) xmlFree(v);
    return s;
}

std::string serialize(xmlNodePtr node) {
    xmlBufferPtr buf = xmlBufferCreate();
    xmlNodeDump(buf, node->doc, node, 0, 0);
    std::string s(reinterpret_cast<const char*>(xmlBufferContent(buf)), size_t(xmlBufferLength(buf)));
    xmlBufferFree(buf);
    return s;
}

struct Doc {
    xmlDocPtr doc = nullptr;
    explicit Doc(const std::string& text) {
        doc = xmlReadMemory(text.data(), int(text.size()), nullptr, nullptr, XML_PARSE_NONET | XML_PARSE_NOBLANKS);
    }
    ~Doc() {
        if (doc) xmlFreeDoc(doc);
    }
    xmlNodePtr root() const { return doc ? xmlDocGetRootElement(doc) : nullptr; }
};

// The provider keeps at most this many characters of a value it stores in a gd element.
constexpr size_t kValueLimit = 1024;

// Cuts the text of every gd element below `node` to kValueLimit characters.
void cutLongValues(xmlNodePtr node) {
    for (xmlNodePtr c = node->children; c; c = c->next) {
        if (c->type == XML_ELEMENT_NODE) {
            cutLongValues(c);
        } else if (c->type == XML_TEXT_NODE && c->content && node->ns &&
                   std::strcmp(reinterpret_cast<const char*>(node->ns->href), kGDataNS) == 0) {
            const std::string text = reinterpret_cast<const char*>(c->content);
            size_t at = 0, characters = 0;
            while (at < text.size() && characters < kValueLimit) {
                ++at;
                while (at < text.size() && (uint8_t(text[at]) & 0xC0) == 0x80) ++at;
                ++characters;
            }
            if (at < text.size()) xmlNodeSetContentLen(c, BAD_CAST text.c_str(), int(at));
        }
    }
}

// The stored form of an entry: the element without what the provider sets (id, updated, edited,
// its own links, the ETag and batch elements), its long values cut.
std::optional<std::string> strippedEntry(xmlNodePtr entry) {
    if (!isElement(entry, kAtomNS, "entry")) return std::nullopt;
    xmlDocPtr doc = xmlNewDoc(BAD_CAST "1.0");
    xmlNodePtr copy = xmlDocCopyNode(entry, doc, 1);
    xmlDocSetRootElement(doc, copy);
    // Declarations the entry inherited from its feed come along.
    xmlReconciliateNs(doc, copy);
    for (xmlNodePtr c = copy->children; c;) {
        xmlNodePtr next = c->next;
        bool drop = isElement(c, kAtomNS, "id") || isElement(c, kAtomNS, "updated") ||
                    (c->type == XML_ELEMENT_NODE && c->ns && std::strcmp(reinterpret_cast<const char*>(c->ns->href), kBatchNS) == 0) ||
                    (c->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char*>(c->name), "edited") == 0) ||
                    isElement(c, kGDataNS, "deleted");
        if (isElement(c, kAtomNS, "link")) {
            std::string rel = attribute(c, "rel");
            drop = rel == "self" || rel == "edit" || rel == kPhotoRel || rel == kEditPhotoRel;
        }
        if (drop) {
            xmlUnlinkNode(c);
            xmlFreeNode(c);
        }
        c = next;
    }
    cutLongValues(copy);
    if (xmlAttrPtr etag = xmlHasNsProp(copy, BAD_CAST "etag", BAD_CAST kGDataNS)) xmlRemoveProp(etag);
    // The provider writes its ETag as "gd:etag": make sure the prefix is bound here.
    if (!xmlSearchNs(doc, copy, BAD_CAST "gd")) xmlNewNs(copy, BAD_CAST kGDataNS, BAD_CAST "gd");
    if (!copy->children) xmlAddChild(copy, xmlNewText(BAD_CAST ""));
    std::string out = serialize(copy);
    xmlFreeDoc(doc);
    return out;
}

// The prefix of the Atom namespace in a stored entry ("" for the default namespace).
std::string atomPrefix(const std::string& stored) {
    size_t lt = stored.find('<');
    size_t colon = stored.find(':', lt);
    size_t space = stored.find_first_of(" >", lt);
    if (colon != std::string::npos && colon < space) return stored.substr(lt + 1, colon - lt - 1);
    return "";
}

// Where the start tag of the stored entry ends (its '>').
size_t startTagEnd(const std::string& stored) {
    char quote = 0;
    for (size_t i = 0; i < stored.size(); ++i) {
        char c = stored[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '>') {
            return i;
        }
    }
    return stored.size();
}

std::string jsonBody(platform::Value v) { return v.toJSON(); }

}  // namespace

std::string FakeProvider::Entry::etag() const { return "\"E" + std::to_string(version) + "-" + id + ".\""; }
std::string FakeProvider::Entry::photoETag() const { return "\"P" + std::to_string(photoVersion) + "-" + id + ".\""; }

struct FakeProvider::State {
    mutable std::mutex mutex;
    OAuthSettings oauth;
    std::set<std::string> codes, accessTokens, refreshTokens, loginTokens;
    size_t signIns = 0;
    bool captchaRequired = false;
    size_t tokenRequests = 0;
    bool rotateRefreshTokens = false;
    bool revokeGrantOnReuse = false;
    // One authorization per account (setOneAuthorizationPerAccount): the open one of each account
    // (by user id), which every sign-in joins until a revocation ends it.
    bool oneAuthorizationPerAccount = false;
    std::map<std::string, uint64_t> openAuthorizationOf;
    std::set<std::string> replacedRefreshTokens;
    size_t replacedPresented = 0;
    // The grant each token of a sign-in (and of the refreshes that followed) belongs to.
    std::map<std::string, uint64_t> grantOf;
    uint64_t grants = 0;
    // Accounts other than the settings' own: of the sign-ins to come, of each code and grant
    // ({e-mail, user id}), and the feed requests signed by each.
    std::pair<std::string, std::string> signInAccount;
    std::map<std::string, std::pair<std::string, std::string>> accountOfCode;
    std::map<uint64_t, std::pair<std::string, std::string>> accountOfGrant;
    std::map<std::string, size_t> feedRequestsBy;
    std::pair<std::string, std::string> accountOf(const std::string& token) const {
        auto g = grantOf.find(token);
        auto a = g == grantOf.end() ? accountOfGrant.end() : accountOfGrant.find(g->second);
        return a == accountOfGrant.end() ? std::pair{oauth.userEmail, oauth.userID} : a->second;
    }
    bool holdRefreshes = false;
    size_t heldRefreshes = 0;
    std::condition_variable refreshHeld;
    // The grant a new sign-in of the account gets: a new one, or the account's open one.
    uint64_t grantForSignIn(const std::pair<std::string, std::string>& account) {
        const std::string& id = account.first.empty() ? oauth.userID : account.second;
        if (!oneAuthorizationPerAccount) return ++grants;
        auto [open, added] = openAuthorizationOf.try_emplace(id, 0);
        if (added) open->second = ++grants;
        return open->second;
    }
    // Every token of the grant stops working.
    void endGrant(uint64_t grant) {
        std::erase_if(openAuthorizationOf, [grant](const auto& open) { return open.second == grant; });
        for (auto* tokens : {&accessTokens, &refreshTokens})
            for (auto it = tokens->begin(); it != tokens->end();) {
                auto g = grantOf.find(*it);
                it = g != grantOf.end() && g->second == grant ? tokens->erase(it) : std::next(it);
            }
    }
    // PKCE: the S256 challenge each code was issued with, and the exchanges that proved it.
    std::map<std::string, std::string> challenges;
    size_t verifiedExchanges = 0;
    size_t pageCap = 0;  // 0: none
    size_t pageSize = 0;  // 0: as asked
    uint64_t serial = 0;
    double lastTime = 0;  // the last stamp given: each change gets a later one
    std::map<Kind, std::vector<Entry>> entries;  // in insertion order
    std::map<Kind, std::unordered_map<std::string, size_t>> positions;  // id -> index in entries
    BatchFault batchFault;
    AnswerFault answerFault, oauthFault;
    std::function<void(const TestRequest&)> requestGate;

    double timeOffset = 0;  // advanceTime
    // Deleted entries updated before this were forgotten (forgetDeletedContacts).
    std::map<Kind, double> deletionsForgottenBefore;

    bool clockHeld = false;  // holdClock
    // Whole seconds, as the provider stamps its updates: writes within one second share a date
    // (each still gets a new ETag).
    double now() {
        double t = std::floor(
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() + timeOffset);
        if (!clockHeld) lastTime = std::max(t, lastTime);
        return lastTime;
    }
    void markDeleted(Entry& e) {
        e.deleted = true;
        e.version += 1;
        e.updated = now();
        e.photo.reset();
    }
    std::string newToken(const char* prefix) { return std::string(prefix) + std::to_string(++serial); }
    Entry* find(Kind kind, const std::string& id) {
        auto& byID = positions[kind];
        auto it = byID.find(id);
        return it == byID.end() ? nullptr : &entries[kind][it->second];
    }
    void add(Kind kind, Entry e) {
        positions[kind].emplace(e.id, entries[kind].size());
        entries[kind].push_back(std::move(e));
    }
};

FakeProvider::FakeProvider() : FakeProvider(OAuthSettings{}) {}

FakeProvider::FakeProvider(OAuthSettings settings, int port)
    : server_(std::make_unique<TestHTTPServer>(TestHTTPServer::Security::HTTPS, port)), state_(std::make_unique<State>()) {
    state_->oauth = std::move(settings);
    for (const char* name : {"Contacts", "Friends", "Family", "Coworkers"}) {
        // As the provider titles them: the "Contacts" group is "My Contacts".
        const std::string title = std::string(name) == "Contacts" ? "My Contacts" : name;
        std::string id = std::string("6") + char(std::tolower(name[0])) + (name + 1);
        std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        std::string xml = std::string("<entry xmlns='") + kAtomNS + "' xmlns:gContact='" + kContactNS +
                          "'><category scheme='http://schemas.google.com/g/2005#kind' term='" + kContactNS +
                          "#group'/><title>System Group: " + title + "</title><gContact:systemGroup id='" + name +
                          "'/></entry>";
        Doc doc(xml);
        storeEntry(Kind::Groups, *strippedEntry(doc.root()), id);
    }
    install();
    uploads_ = std::make_unique<FakeResumableUploads>(*server_);
}

// The handlers reach the state and the uploads: no handler may still run when those go.
FakeProvider::~FakeProvider() {
    holdRefreshAnswers(false);
    server_->stop();
}

std::string FakeProvider::feedsRoot() const { return server_->baseURL() + "/m8/feeds/"; }
std::string FakeProvider::tokenURL() const { return server_->baseURL() + "/oauth2/v4/token"; }
std::string FakeProvider::userInfoURL() const { return server_->baseURL() + "/oauth2/v3/userinfo"; }
std::string FakeProvider::revokeURL() const { return server_->baseURL() + "/o/oauth2/revoke"; }
std::string FakeProvider::authorizationURL() const { return server_->baseURL() + "/o/oauth2/v2/auth"; }

namespace {
const char* kindName(FakeProvider::Kind kind) { return kind == FakeProvider::Kind::Contacts ? "contacts" : "groups"; }
}  // namespace

std::string FakeProvider::feedURL(Kind kind) const { return feedsRoot() + kindName(kind) + "/default/full"; }
std::string FakeProvider::editURL(Kind kind, const std::string& id) const { return feedURL(kind) + "/" + id; }
std::string FakeProvider::idURL(Kind kind, const std::string& id) const {
    return server_->baseURL() + "/m8/feeds/" + kindName(kind) + "/" + accountInIDs(state_->oauth.userEmail) + "/base/" + id;
}

std::string FakeProvider::storeEntry(Kind kind, const std::string& stripped, const std::optional<std::string>& id) {
    // Called with the state lock held, or during construction.
    Entry* existing = id ? state_->find(kind, *id) : nullptr;
    if (existing) {
        existing->xml = stripped;
        existing->version += 1;
        existing->updated = state_->now();
        existing->deleted = false;
        return existing->id;
    }
    Entry e;
    e.id = id ? *id : (kind == Kind::Contacts ? "c" : "g") + std::to_string(++state_->serial);
    e.xml = stripped;
    e.updated = state_->now();
    std::string newID = e.id;
    state_->add(kind, std::move(e));
    return newID;
}

std::string FakeProvider::addContact(const std::string& childrenXML, const std::vector<std::string>& groups) {
    return contactWithID(std::nullopt, childrenXML, groups);
}

bool FakeProvider::replaceContact(const std::string& id, const std::string& childrenXML, const std::vector<std::string>& groups) {
    if (!entry(Kind::Contacts, id)) return false;
    return !contactWithID(id, childrenXML, groups).empty();
}

bool FakeProvider::editContact(const std::string& id, const std::function<void(std::string& entryXML)>& edit) {
    std::lock_guard lock(state_->mutex);
    Entry* e = state_->find(Kind::Contacts, id);
    if (!e || e->deleted) return false;
    edit(e->xml);
    e->version += 1;
    e->updated = state_->now();
    return true;
}

bool FakeProvider::deleteContact(const std::string& id) {
    std::lock_guard lock(state_->mutex);
    Entry* e = state_->find(Kind::Contacts, id);
    if (!e || e->deleted) return false;
    state_->markDeleted(*e);
    return true;
}

bool FakeProvider::deleteGroup(const std::string& id) {
    const std::string href = idURL(Kind::Groups, id);
    std::lock_guard lock(state_->mutex);
    Entry* g = state_->find(Kind::Groups, id);
    if (!g || g->deleted) return false;
    state_->markDeleted(*g);
    for (auto& e : state_->entries[Kind::Contacts]) {
        bool left = false;
        for (size_t at = e.xml.find(href); !e.deleted && at != std::string::npos; at = e.xml.find(href, at + 1)) {
            const char after = at + href.size() < e.xml.size() ? e.xml[at + href.size()] : 0;
            if (after != '\'' && after != '"') continue;
            const size_t from = e.xml.rfind('<', at), to = e.xml.find("/>", at);
            e.xml.erase(from, to + 2 - from);
            at = from;
            left = true;
        }
        if (!left) continue;
        e.version += 1;
        e.updated = state_->now();
    }
    return true;
}

void FakeProvider::advanceTime(double seconds) {
    std::lock_guard lock(state_->mutex);
    state_->timeOffset += seconds;
    // The last stamp moves with the clock, so that a clock set back stamps its changes with the
    // earlier time (still each later than the one before), not just after the last stamp.
    state_->lastTime += seconds;
}

void FakeProvider::holdClock(bool held) {
    std::lock_guard lock(state_->mutex);
    state_->clockHeld = held;
}

void FakeProvider::forgetDeletedContacts() {
    std::lock_guard lock(state_->mutex);
    auto& list = state_->entries[Kind::Contacts];
    std::erase_if(list, [](const Entry& e) { return e.deleted; });
    auto& byID = state_->positions[Kind::Contacts];
    byID.clear();
    for (size_t i = 0; i < list.size(); ++i) byID.emplace(list[i].id, i);
    // Every deletion up to now, this second included (stamps have whole seconds).
    state_->deletionsForgottenBefore[Kind::Contacts] = state_->now() + 1;
}

std::string FakeProvider::contactWithID(const std::optional<std::string>& id, const std::string& childrenXML,
                                        const std::vector<std::string>& groups) {
    std::string members;
    for (const auto& g : groups)
        members += "<gContact:groupMembershipInfo deleted='false' href='" + idURL(Kind::Groups, g) + "'/>";
    std::string xml = std::string("<entry xmlns='") + kAtomNS + "' xmlns:gd='" + kGDataNS + "' xmlns:gContact='" +
                      kContactNS + "'><category scheme='http://schemas.google.com/g/2005#kind' term='" + kContactNS +
                      "#contact'/>" + childrenXML + members + "</entry>";
    Doc doc(xml);
    auto stripped = strippedEntry(doc.root());
    if (!stripped) return "";
    std::lock_guard lock(state_->mutex);
    return storeEntry(Kind::Contacts, *stripped, id);
}

std::string FakeProvider::addGroup(const std::string& title) {
    std::string xml = std::string("<entry xmlns='") + kAtomNS + "' xmlns:gd='" + kGDataNS +
                      "'><category scheme='http://schemas.google.com/g/2005#kind' term='" + kContactNS +
                      "#group'/><title>" + escapeXML(title) + "</title></entry>";
    Doc doc(xml);
    std::lock_guard lock(state_->mutex);
    return storeEntry(Kind::Groups, *strippedEntry(doc.root()), std::nullopt);
}

size_t FakeProvider::addContactsFromFeed(const std::string& feedXML) {
    Doc doc(feedXML);
    if (!isElement(doc.root(), kAtomNS, "feed")) return 0;
    std::lock_guard lock(state_->mutex);
    size_t n = 0;
    for (xmlNodePtr c = doc.root()->children; c; c = c->next) {
        if (auto stripped = strippedEntry(c)) {
            storeEntry(Kind::Contacts, *stripped, std::nullopt);
            ++n;
        }
    }
    return n;
}

std::optional<FakeProvider::Entry> FakeProvider::entry(Kind kind, const std::string& id) const {
    std::lock_guard lock(state_->mutex);
    if (Entry* e = state_->find(kind, id)) return *e;
    return std::nullopt;
}

std::vector<FakeProvider::Entry> FakeProvider::entries(Kind kind, bool includeDeleted) const {
    std::lock_guard lock(state_->mutex);
    std::vector<Entry> out;
    for (const auto& e : state_->entries[kind])
        if (includeDeleted || !e.deleted) out.push_back(e);
    return out;
}

void FakeProvider::setPhoto(const std::string& contactID, std::optional<std::string> bytes) {
    std::lock_guard lock(state_->mutex);
    if (Entry* e = state_->find(Kind::Contacts, contactID)) {
        e->photo = std::move(bytes);
        e->photoVersion += 1;
        e->version += 1;
        e->updated = state_->now();
    }
}

std::string FakeProvider::issueAuthorizationCode() {
    std::lock_guard lock(state_->mutex);
    std::string code = state_->newToken("code-");
    state_->codes.insert(code);
    if (!state_->signInAccount.first.empty()) state_->accountOfCode[code] = state_->signInAccount;
    return code;
}

FakeProvider::Tokens FakeProvider::issueTokens() {
    std::lock_guard lock(state_->mutex);
    Tokens t{state_->newToken("access-"), state_->newToken("refresh-")};
    state_->accessTokens.insert(t.accessToken);
    state_->refreshTokens.insert(t.refreshToken);
    state_->grantOf[t.accessToken] = state_->grantOf[t.refreshToken] = state_->grantForSignIn({});
    return t;
}

void FakeProvider::expireAccessTokens() {
    std::lock_guard lock(state_->mutex);
    state_->accessTokens.clear();
    state_->loginTokens.clear();
}

void FakeProvider::requireCaptcha() {
    std::lock_guard lock(state_->mutex);
    state_->captchaRequired = true;
}

size_t FakeProvider::passwordSignIns() const {
    std::lock_guard lock(state_->mutex);
    return state_->signIns;
}

void FakeProvider::revokeAllTokens() {
    std::lock_guard lock(state_->mutex);
    state_->accessTokens.clear();
    state_->refreshTokens.clear();
    state_->openAuthorizationOf.clear();
}

void FakeProvider::setRequestGate(std::function<void(const TestRequest&)> gate) {
    std::lock_guard lock(state_->mutex);
    state_->requestGate = std::move(gate);
}

void FakeProvider::setOneAuthorizationPerAccount(bool one) {
    std::lock_guard lock(state_->mutex);
    state_->oneAuthorizationPerAccount = one;
}

void FakeProvider::setRotateRefreshTokens(bool rotate) {
    std::lock_guard lock(state_->mutex);
    state_->rotateRefreshTokens = rotate;
}

void FakeProvider::setRevokeGrantOnReuse(bool revoke) {
    std::lock_guard lock(state_->mutex);
    state_->revokeGrantOnReuse = revoke;
}

void FakeProvider::setSignInAccount(const std::string& email, const std::string& userID) {
    std::lock_guard lock(state_->mutex);
    state_->signInAccount = {email, userID};
}

size_t FakeProvider::feedRequestsSignedBy(const std::string& email) const {
    std::lock_guard lock(state_->mutex);
    auto it = state_->feedRequestsBy.find(email);
    return it == state_->feedRequestsBy.end() ? 0 : it->second;
}

void FakeProvider::holdRefreshAnswers(bool hold) {
    {
        std::lock_guard lock(state_->mutex);
        state_->holdRefreshes = hold;
    }
    state_->refreshHeld.notify_all();
}

bool FakeProvider::waitForHeldRefreshes(size_t n, double timeoutSeconds) const {
    std::unique_lock lock(state_->mutex);
    return state_->refreshHeld.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                                        [&] { return state_->heldRefreshes >= n; });
}

size_t FakeProvider::replacedTokensPresented() const {
    std::lock_guard lock(state_->mutex);
    return state_->replacedPresented;
}

bool FakeProvider::refreshTokenValid(const std::string& token) const {
    std::lock_guard lock(state_->mutex);
    return state_->refreshTokens.count(token) > 0;
}

size_t FakeProvider::verifiedCodeChallenges() const {
    std::lock_guard lock(state_->mutex);
    return state_->verifiedExchanges;
}

size_t FakeProvider::tokenRequests() const {
    std::lock_guard lock(state_->mutex);
    return state_->tokenRequests;
}

void FakeProvider::setPageCap(size_t entriesPerPage) {
    std::lock_guard lock(state_->mutex);
    state_->pageCap = entriesPerPage;
}

void FakeProvider::setPageSize(size_t entriesPerPage) {
    std::lock_guard lock(state_->mutex);
    state_->pageSize = entriesPerPage;
}

void FakeProvider::install() {
    State& st = *state_;
    auto json = [](TestResponse& res, int status, platform::Value v) {
        res.status = status;
        res.contentType = "application/json; charset=utf-8";
        res.body = jsonBody(std::move(v));
    };

    // --- OAuth2 ---
    // The token and revocation answers go through the scripted OAuth2 fault.
    auto withFault = [&st](TestHTTPServer::Handler handler) {
        return [&st, handler](const TestRequest& req, TestResponse& res) {
            handler(req, res);
            AnswerFault fault;
            {
                std::lock_guard lock(st.mutex);
                fault = st.oauthFault;
            }
            if (fault) fault(req, res);
        };
    };
    // A refresh's answer, once carried out, waits while refresh answers are held.
    auto holdingRefreshes = [&st](TestHTTPServer::Handler handler) {
        return [&st, handler](const TestRequest& req, TestResponse& res) {
            handler(req, res);
            if (req.body.find("grant_type=refresh_token") == std::string::npos) return;
            std::unique_lock lock(st.mutex);
            if (!st.holdRefreshes) return;
            ++st.heldRefreshes;
            st.refreshHeld.notify_all();
            st.refreshHeld.wait(lock, [&st] { return !st.holdRefreshes; });
            --st.heldRefreshes;
        };
    };
    server_->on("POST", "/oauth2/v4/token", holdingRefreshes(withFault([this, &st, json](const TestRequest& req, TestResponse& res) {
        auto form = parseForm(req.body);
        std::lock_guard lock(st.mutex);
        ++st.tokenRequests;
        if (form["client_id"] != st.oauth.clientID || form["client_secret"] != st.oauth.clientSecret) {
            json(res, 401, platform::Value::dictionary({{"error", "invalid_client"}}));
            return;
        }
        const std::string& grant = form["grant_type"];
        bool ok = false, withRefresh = false;
        uint64_t grantID = 0;
        if (grant == "authorization_code") {
            ok = st.codes.erase(form["code"]) > 0;
            withRefresh = true;
            auto a = st.accountOfCode.find(form["code"]);
            const auto account = a != st.accountOfCode.end() ? a->second : std::pair<std::string, std::string>{};
            grantID = ok ? st.grantForSignIn(account) : 0;
            if (ok && !account.first.empty()) st.accountOfGrant[grantID] = account;
            if (auto c = st.challenges.find(form["code"]); ok && c != st.challenges.end()) {
                auto digest = platform::sha256(form["code_verifier"]);
                ok = platform::base64URLEncode(digest.data(), digest.size()) == c->second;
                st.verifiedExchanges += ok;
                st.challenges.erase(c);
            }
        } else if (grant == "refresh_token") {
            ok = st.refreshTokens.count(form["refresh_token"]) > 0;
            grantID = st.grantOf[form["refresh_token"]];
            if (ok && st.rotateRefreshTokens) {
                st.refreshTokens.erase(form["refresh_token"]);
                st.replacedRefreshTokens.insert(form["refresh_token"]);
                withRefresh = true;
            }
            if (st.replacedRefreshTokens.count(form["refresh_token"]) && !ok) {
                ++st.replacedPresented;
                if (st.revokeGrantOnReuse) {
                    st.accessTokens.clear();
                    st.refreshTokens.clear();
                    st.openAuthorizationOf.clear();
                }
            }
        }
        if (!ok) {
            json(res, 400, platform::Value::dictionary({{"error", "invalid_grant"}, {"error_description", "Bad Request"}}));
            return;
        }
        platform::Value answer = platform::Value::dictionary();
        std::string access = st.newToken("access-");
        st.accessTokens.insert(access);
        st.grantOf[access] = grantID;
        answer.set("access_token", access);
        answer.set("expires_in", st.oauth.expiresIn);
        answer.set("scope", "https://www.google.com/m8/feeds/ email");
        answer.set("token_type", "Bearer");
        if (withRefresh) {
            std::string refresh = st.newToken("refresh-");
            st.refreshTokens.insert(refresh);
            st.grantOf[refresh] = grantID;
            answer.set("refresh_token", refresh);
        }
        json(res, 200, answer);
    })));
    // A bearer token, or the token of an account sign-in ("GoogleLogin auth=").
    auto bearerOK = [&st](const TestRequest& req) {
        auto header = req.header("Authorization");
        if (!header) return false;
        std::lock_guard lock(st.mutex);
        if (header->rfind("GoogleLogin auth=", 0) == 0) return st.loginTokens.count(header->substr(17)) > 0;
        if (header->rfind("Bearer ", 0) != 0) return false;
        return st.accessTokens.count(header->substr(7)) > 0;
    };
    server_->on("POST", "/accounts/ClientLogin", [&st](const TestRequest& req, TestResponse& res) {
        auto form = parseForm(req.body);
        std::lock_guard lock(st.mutex);
        ++st.signIns;
        res.contentType = "text/plain";
        if (form["Email"] != st.oauth.userEmail || form["Passwd"] != st.oauth.password) {
            res.status = 403;
            res.body = "Error=BadAuthentication\nInfo=WebLoginRequired\n";
            return;
        }
        if (st.captchaRequired) {
            if (form["logintoken"] != "captcha-token-1" || form["logincaptcha"] != "the answer") {
                res.status = 403;
                res.body = "Error=CaptchaRequired\nCaptchaToken=captcha-token-1\nCaptchaUrl=Captcha?ctoken=captcha-token-1\n";
                return;
            }
            st.captchaRequired = false;
        }
        std::string token = st.newToken("login-");
        st.loginTokens.insert(token);
        res.body = "SID=sid\nLSID=lsid\nAuth=" + token + "\n";
    });
    server_->on("GET", "/oauth2/v3/userinfo", [&st, json, bearerOK](const TestRequest& req, TestResponse& res) {
        if (!bearerOK(req)) {
            json(res, 401, platform::Value::dictionary({{"error", "invalid_token"}}));
            return;
        }
        std::lock_guard lock(st.mutex);
        const auto account = st.accountOf(req.header("Authorization")->substr(7));
        json(res, 200, platform::Value::dictionary({{"sub", account.second}, {"email", account.first},
                                                    {"email_verified", true}}));
    });
    server_->on("*", "/o/oauth2/revoke", withFault([&st, json](const TestRequest& req, TestResponse& res) {
        auto form = parseForm(req.query.empty() ? req.body : req.query);
        std::lock_guard lock(st.mutex);
        const std::string& token = form["token"];
        bool known = st.accessTokens.count(token) + st.refreshTokens.count(token) > 0;
        st.replacedPresented += st.replacedRefreshTokens.count(token);
        if (known) {
            st.accessTokens.erase(token);
            st.refreshTokens.erase(token);
        }
        if (known || st.replacedRefreshTokens.count(token))
            if (auto g = st.grantOf.find(token); g != st.grantOf.end() && g->second) st.endGrant(g->second);
        json(res, known ? 200 : 400, known ? platform::Value::dictionary()
                                           : platform::Value::dictionary({{"error", "invalid_token"}}));
    }));
    server_->on("GET", "/o/oauth2/v2/auth", [this](const TestRequest& req, TestResponse& res) {
        auto form = parseForm(req.query);
        if (form.count("code_challenge") && form["code_challenge_method"] != "S256") {
            res.status = 400;
            res.body = "code_challenge_method must be S256";
            return;
        }
        std::string code = issueAuthorizationCode();
        if (form.count("code_challenge")) {
            std::lock_guard lock(state_->mutex);
            state_->challenges[code] = form["code_challenge"];
        }
        std::string target = form["redirect_uri"];
        target += (target.find('?') == std::string::npos ? "?" : "&");
        target += "code=" + code;
        if (form.count("state")) target += "&state=" + form["state"];
        res.status = 302;
        res.setHeader("Location", target);
    });

    // --- feeds ---
    auto serveFeeds = [this, &st, bearerOK](const TestRequest& req, TestResponse& res) {
        if (!bearerOK(req)) {
            res.status = 401;
            res.contentType = "text/html; charset=UTF-8";
            res.body = "<HTML><BODY>Token invalid</BODY></HTML>";
            return;
        }
        if (auto header = req.header("Authorization"); header->rfind("Bearer ", 0) == 0) {
            std::lock_guard lock(st.mutex);
            ++st.feedRequestsBy[st.accountOf(header->substr(7)).first];
        }
        std::string method = req.method;
        if (method == "POST") {
            if (auto over = req.header("X-HTTP-Method-Override")) method = *over;
        }
        std::string path = req.path.substr(std::strlen("/m8/feeds/"));
        std::vector<std::string> parts;
        for (size_t start = 0; start <= path.size();) {
            size_t slash = path.find('/', start);
            parts.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
            if (slash == std::string::npos) break;
            start = slash + 1;
        }
        auto notFound = [&res] {
            res.status = 404;
            res.contentType = "text/plain";
            res.body = "Not Found";
        };
        // Photos.
        if (parts.size() == 4 && parts[0] == "photos" && parts[1] == "media") {
            std::lock_guard lock(st.mutex);
            Entry* e = st.find(Kind::Contacts, parts[3]);
            if (!e || e->deleted) return notFound();
            if (method == "GET") {
                if (!e->photo) return notFound();
                res.contentType = "image/jpeg";
                res.body = *e->photo;
                res.setHeader("ETag", e->photoETag());
                return;
            }
            auto ifMatch = req.header("If-Match");
            if (ifMatch && *ifMatch != "*" && *ifMatch != e->photoETag()) {
                res.status = 412;
                res.contentType = "text/plain";
                res.body = "Precondition Failed";
                return;
            }
            // A photo written is a write of its contact: a new ETag and update date.
            if (method == "PUT" || method == "DELETE") {
                e->version += 1;
                e->updated = st.now();
            }
            if (method == "PUT") {
                e->photo = req.body;
                e->photoVersion += 1;
                res.status = 200;
                res.contentType = "text/plain";
                res.body = "";
                res.setHeader("ETag", e->photoETag());
            } else if (method == "DELETE") {
                e->photo.reset();
                e->photoVersion += 1;
                res.status = 200;
            } else {
                res.status = 405;
            }
            return;
        }
        if (parts.size() < 3 || (parts[0] != "contacts" && parts[0] != "groups") || parts[1] != "default" || parts[2] != "full")
            return notFound();
        Kind kind = parts[0] == "contacts" ? Kind::Contacts : Kind::Groups;
        if (parts.size() == 3) {
            if (method == "GET") return serveFeed(kind, req, res);
            if (method == "POST") return insertEntry(kind, req, res);
            res.status = 405;
            return;
        }
        if (parts.size() == 4 && parts[3] == "batch" && method == "POST") return serveBatch(kind, req, res);
        if (parts.size() == 4) return serveEntry(kind, parts[3], method, req, res);
        notFound();
    };
    server_->on("*", "/m8/feeds/*", [&st, serveFeeds](const TestRequest& req, TestResponse& res) {
        std::function<void(const TestRequest&)> gate;
        {
            std::lock_guard lock(st.mutex);
            gate = st.requestGate;
        }
        if (gate) gate(req);
        serveFeeds(req, res);
        AnswerFault fault;
        {
            std::lock_guard lock(st.mutex);
            fault = st.answerFault;
        }
        if (fault) fault(req, res);
    });
}

std::string FakeProvider::renderEntry(Kind kind, const Entry& e, const std::string& extraChildren) const {
    std::string etagAttr = " gd:etag='" + escapeXML(e.etag()) + "'";
    if (e.deleted) {
        return std::string("<entry xmlns='") + kAtomNS + "' xmlns:gd='" + kGDataNS + "'" + etagAttr + "><id>" +
               idURL(kind, e.id) + "</id><updated>" + rfc3339(e.updated) + "</updated><gd:deleted/>" + extraChildren +
               "</entry>";
    }
    const std::string& stored = e.xml;
    std::string prefix = atomPrefix(stored);
    std::string p = prefix.empty() ? "" : prefix + ":";
    size_t end = startTagEnd(stored);
    size_t close = stored.rfind("</");
    std::string edit = escapeXML(editURL(kind, e.id));
    std::string out = stored.substr(0, end) + etagAttr + ">";
    out += "<" + p + "id>" + idURL(kind, e.id) + "</" + p + "id>";
    out += "<" + p + "updated>" + rfc3339(e.updated) + "</" + p + "updated>";
    out += "<" + p + "link rel='self' type='application/atom+xml' href='" + edit + "'/>";
    out += "<" + p + "link rel='edit' type='application/atom+xml' href='" + edit + "'/>";
    if (kind == Kind::Contacts) {
        std::string photo = escapeXML(feedsRoot() + "photos/media/default/" + e.id);
        std::string photoETag = e.photo ? " gd:etag='" + escapeXML(e.photoETag()) + "'" : "";
        out += "<" + p + "link rel='" + kPhotoRel + "' type='image/*' href='" + photo + "'" + photoETag + "/>";
        out += "<" + p + "link rel='" + kEditPhotoRel + "' type='image/*' href='" + photo + "'" + photoETag + "/>";
    }
    out += stored.substr(end + 1, close - end - 1) + extraChildren + stored.substr(close);
    return out;
}

std::string FakeProvider::feedHead(Kind kind, const std::string& title, size_t total, size_t start, size_t perPage,
                                   const std::string& nextURL) const {
    std::string feed = escapeXML(feedURL(kind));
    std::string out = std::string("<?xml version='1.0' encoding='UTF-8'?>\n<feed xmlns='") + kAtomNS +
                      "' xmlns:openSearch='" + kOpenSearchNS + "' xmlns:gContact='" + kContactNS + "' xmlns:batch='" +
                      kBatchNS + "' xmlns:gd='" + kGDataNS + "' gd:etag='W/\"F" + std::to_string(state_->serial) + ".\"'>";
    out += "<id>" + state_->oauth.userEmail + "</id><updated>" + rfc3339(state_->lastTime) + "</updated>";
    out += std::string("<category scheme='http://schemas.google.com/g/2005#kind' term='") + kContactNS +
           (kind == Kind::Contacts ? "#contact" : "#group") + "'/>";
    out += "<title>" + escapeXML(title) + "</title>";
    out += "<link rel='http://schemas.google.com/g/2005#feed' type='application/atom+xml' href='" + feed + "'/>";
    out += "<link rel='http://schemas.google.com/g/2005#post' type='application/atom+xml' href='" + feed + "'/>";
    out += "<link rel='http://schemas.google.com/g/2005#batch' type='application/atom+xml' href='" + feed + "/batch'/>";
    out += "<link rel='self' type='application/atom+xml' href='" + feed + "'/>";
    if (!nextURL.empty()) out += "<link rel='next' type='application/atom+xml' href='" + escapeXML(nextURL) + "'/>";
    out += "<author><name>Owner</name><email>" + state_->oauth.userEmail + "</email></author>";
    out += "<openSearch:totalResults>" + std::to_string(total) + "</openSearch:totalResults>";
    out += "<openSearch:startIndex>" + std::to_string(start) + "</openSearch:startIndex>";
    out += "<openSearch:itemsPerPage>" + std::to_string(perPage) + "</openSearch:itemsPerPage>";
    return out;
}

namespace {
void atomAnswer(TestResponse& res, int status, std::string body) {
    res.status = status;
    res.contentType = "application/atom+xml; charset=UTF-8";
    res.setHeader("GData-Version", "3.0");
    res.body = std::move(body);
}

void plainAnswer(TestResponse& res, int status, std::string body) {
    res.status = status;
    res.contentType = "text/plain; charset=UTF-8";
    res.body = std::move(body);
}

std::string batchParts(const std::string& batchID, const std::string& type, int code, const std::string& reason) {
    std::string ns = std::string(" xmlns:batch='") + kBatchNS + "'";
    std::string out;
    if (!batchID.empty()) out += "<batch:id" + ns + ">" + escapeXML(batchID) + "</batch:id>";
    out += "<batch:operation" + ns + " type='" + type + "'/>";
    out += "<batch:status" + ns + " code='" + std::to_string(code) + "' reason='" + reason + "'/>";
    return out;
}

std::string lastSegment(const std::string& s) {
    size_t slash = s.rfind('/');
    return slash == std::string::npos ? s : s.substr(slash + 1);
}
}  // namespace

void FakeProvider::serveFeed(Kind kind, const TestRequest& req, TestResponse& res) {
    auto params = parseForm(req.query);
    size_t start = 1, perPage = 25;
    if (params.count("start-index")) start = size_t(std::max(1L, std::atol(params["start-index"].c_str())));
    if (params.count("max-results")) perPage = size_t(std::max(1L, std::atol(params["max-results"].c_str())));
    std::optional<double> updatedMin;
    if (params.count("updated-min")) {
        updatedMin = parseRFC3339(params["updated-min"]);
        if (!updatedMin) return plainAnswer(res, 400, "Invalid updated-min: " + params["updated-min"]);
    }
    bool showDeleted = params["showdeleted"] == "true";

    std::lock_guard lock(state_->mutex);
    if (updatedMin && showDeleted && *updatedMin < state_->deletionsForgottenBefore[kind]) {
        return plainAnswer(res, 410, "Gone: the deletions since updated-min are no longer kept");
    }
    if (state_->pageSize) perPage = state_->pageSize;
    if (state_->pageCap) perPage = std::min(perPage, state_->pageCap);
    std::vector<const Entry*> matching;
    for (const auto& e : state_->entries[kind]) {
        if (e.deleted && !showDeleted) continue;
        if (updatedMin && e.updated < *updatedMin) continue;
        matching.push_back(&e);
    }
    size_t first = std::min(start - 1, matching.size());
    size_t last = std::min(first + perPage, matching.size());
    std::string next;
    if (last < matching.size()) {
        next = feedURL(kind) + "?start-index=" + std::to_string(last + 1) + "&max-results=" + std::to_string(perPage);
        if (params.count("updated-min")) next += "&updated-min=" + params["updated-min"];
        if (showDeleted) next += "&showdeleted=true";
    }
    std::string body = feedHead(kind, kind == Kind::Contacts ? "Owner's Contacts" : "Owner's Contact Groups",
                                matching.size(), start, perPage, next);
    for (size_t i = first; i < last; ++i) body += renderEntry(kind, *matching[i]);
    body += "</feed>";
    atomAnswer(res, 200, std::move(body));
}

void FakeProvider::insertEntry(Kind kind, const TestRequest& req, TestResponse& res) {
    Doc doc(req.body);
    auto stripped = strippedEntry(doc.root());
    if (!stripped) return plainAnswer(res, 400, "Parse error: not an Atom entry");
    std::lock_guard lock(state_->mutex);
    std::string id = storeEntry(kind, *stripped, std::nullopt);
    atomAnswer(res, 201, renderEntry(kind, *state_->find(kind, id)));
}

void FakeProvider::serveEntry(Kind kind, const std::string& id, const std::string& method, const TestRequest& req,
                              TestResponse& res) {
    std::optional<std::string> stripped;
    std::string bodyETag;
    if (method == "PUT") {
        Doc doc(req.body);
        stripped = strippedEntry(doc.root());
        if (!stripped) return plainAnswer(res, 400, "Parse error: not an Atom entry");
        bodyETag = attribute(doc.root(), "etag", kGDataNS);
    }
    std::lock_guard lock(state_->mutex);
    Entry* e = state_->find(kind, id);
    if (!e || e->deleted) return plainAnswer(res, 404, "Contact not found.");
    if (method == "GET") {
        if (req.header("If-None-Match") == e->etag()) {
            res.status = 304;
            return;
        }
        res.setHeader("ETag", e->etag());
        return atomAnswer(res, 200, renderEntry(kind, *e));
    }
    std::string condition = req.header("If-Match").value_or(bodyETag);
    if (!condition.empty() && condition != "*" && condition != e->etag())
        return plainAnswer(res, 412, "Etags mismatch");
    if (method == "PUT") {
        storeEntry(kind, *stripped, id);
        res.setHeader("ETag", e->etag());
        return atomAnswer(res, 200, renderEntry(kind, *e));
    }
    if (method == "DELETE") {
        state_->markDeleted(*e);
        return plainAnswer(res, 200, "");
    }
    plainAnswer(res, 405, "Method not allowed");
}

void FakeProvider::setBatchFault(BatchFault fault) {
    std::lock_guard lock(state_->mutex);
    state_->batchFault = std::move(fault);
}

std::string FakeProvider::writeInfoFile(const std::filesystem::path& info, int64_t pid) const {
    std::error_code ec;
    std::filesystem::create_directories(info.parent_path(), ec);
    std::filesystem::path caFile = info.parent_path() / "ca.pem";
    OAuthSettings oauth;
    platform::Value record = platform::Value::dictionary();
    record.set("root", server_->baseURL() + "/");
    record.set("contactsRoot", feedsRoot());
    record.set("authorizationURL", authorizationURL());
    record.set("tokenURL", tokenURL());
    record.set("revocationURL", revokeURL());
    record.set("userInfoURL", userInfoURL());
    record.set("clientID", oauth.clientID);
    record.set("clientSecret", oauth.clientSecret);
    record.set("caFile", caFile.string());
    record.set("pid", pid);
    std::string json = record.toJSON();
    if (!platform::writeFileAtomically(caFile, TestHTTPServer::caCertificatePEM(), 0644) ||
        !platform::writeFileAtomically(info, json, 0644))
        return "";
    return json;
}

void FakeProvider::setAnswerFault(AnswerFault fault) {
    std::lock_guard lock(state_->mutex);
    state_->answerFault = std::move(fault);
}

void FakeProvider::setOAuthFault(AnswerFault fault) {
    std::lock_guard lock(state_->mutex);
    state_->oauthFault = std::move(fault);
}

void FakeProvider::serveBatch(Kind kind, const TestRequest& req, TestResponse& res) {
    Doc doc(req.body);
    xmlNodePtr feed = doc.root();
    if (!isElement(feed, kAtomNS, "feed")) return plainAnswer(res, 400, "Parse error: not an Atom feed");
    std::string defaultType = "insert";
    for (xmlNodePtr c = feed->children; c; c = c->next)
        if (isElement(c, kBatchNS, "operation")) defaultType = attribute(c, "type");

    std::lock_guard lock(state_->mutex);
    std::string body = feedHead(kind, "Batch Feed", 0, 1, 0, "");
    for (xmlNodePtr entry = feed->children; entry; entry = entry->next) {
        if (!isElement(entry, kAtomNS, "entry")) continue;
        std::string batchID, type = defaultType, idText;
        for (xmlNodePtr c = entry->children; c; c = c->next) {
            if (isElement(c, kBatchNS, "id")) batchID = textOf(c);
            else if (isElement(c, kBatchNS, "operation")) type = attribute(c, "type");
            else if (isElement(c, kAtomNS, "id")) idText = textOf(c);
        }
        std::string minimalHead = std::string("<entry xmlns='") + kAtomNS + "'><id>" + escapeXML(idText) + "</id>";
        auto failure = [&](int code, const std::string& reason) {
            body += minimalHead + "<title>Error</title>" + batchParts(batchID, type, code, reason) + "</entry>";
        };
        if (state_->batchFault) {
            if (std::optional<int> code = state_->batchFault(batchID, type)) {
                failure(*code, "Scripted failure");
                continue;
            }
        }
        if (type == "insert") {
            auto stripped = strippedEntry(entry);
            if (!stripped) {
                failure(400, "Bad Request");
                continue;
            }
            std::string id = storeEntry(kind, *stripped, std::nullopt);
            body += renderEntry(kind, *state_->find(kind, id), batchParts(batchID, type, 201, "Created"));
            continue;
        }
        Entry* e = state_->find(kind, lastSegment(idText));
        if (!e || e->deleted) {
            failure(404, "Not Found");
            continue;
        }
        std::string etag = attribute(entry, "etag", kGDataNS);
        if (type == "query") {
            body += renderEntry(kind, *e, batchParts(batchID, type, 200, "Success"));
        } else if (!etag.empty() && etag != "*" && etag != e->etag()) {
            failure(409, "Conflict");
        } else if (type == "update") {
            auto stripped = strippedEntry(entry);
            if (!stripped) {
                failure(400, "Bad Request");
                continue;
            }
            storeEntry(kind, *stripped, e->id);
            body += renderEntry(kind, *e, batchParts(batchID, type, 200, "Success"));
        } else if (type == "delete") {
            state_->markDeleted(*e);
            body += minimalHead + batchParts(batchID, type, 200, "Success") + "</entry>";
        } else {
            failure(400, "Bad Request");
        }
    }
    body += "</feed>";
    atomAnswer(res, 200, std::move(body));
}

}  // namespace quorvane::test
