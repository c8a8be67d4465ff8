#pragma once
// The fake contacts provider every GData and sync test (and the demonstration) talks to: an
// HTTPS server on 127.0.0.1 that keeps one account's contacts and groups in memory and speaks the
// provider's protocol:
//
//   /m8/feeds/{contacts|groups}/default/full           GET feed (start-index, max-results,
//                                                      updated-min, showdeleted: 410 when the
//                                                      deletions since were forgotten), POST insert
//   /m8/feeds/{contacts|groups}/default/full/{id}      GET, PUT (If-Match), DELETE (If-Match)
//   /m8/feeds/{contacts|groups}/default/full/batch     POST batch feed (insert, update, delete, query)
//   /m8/feeds/photos/media/default/{id}                GET, PUT, DELETE a contact's photo
//   /o/oauth2/v2/auth                                  the page: redirects with a code (PKCE S256 kept)
//   /oauth2/v4/token                                   authorization-code (verifier checked) and refresh-token
//                                                      grants (rotating refresh tokens when asked)
//   /oauth2/v3/userinfo, /o/oauth2/revoke              identity and revocation (of the whole grant the
//                                                      token belongs to: every token a sign-in and its
//                                                      refreshes brought)
//   /accounts/ClientLogin                              account sign-in by user name and password
//   /upload/...                                        resumable uploads (FakeResumableUploads)
//
// A POST with "X-HTTP-Method-Override" counts as the overriding method. Feed requests need the
// current bearer token. Entries keep every element a client sent, the text of gd elements cut to
// 1,024 characters; the provider sets id, updated, ETag and links. Tests script faults on top with server().on(...) (later scripts win).

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/FakeResumableUploads.h"
#include "tests/support/TestHTTPServer.h"

namespace quorvane::test {

class FakeProvider {
public:
    enum class Kind { Contacts, Groups };

    struct Entry {
        std::string id;                 // the last path segment
        std::string xml;                // the <entry> element as stored, with its own declarations
        int64_t version = 1;
        double updated = 0;             // seconds since 1970
        bool deleted = false;
        std::optional<std::string> photo;  // contacts only
        int64_t photoVersion = 0;

        std::string etag() const;       // quoted
        std::string photoETag() const;
    };

    struct OAuthSettings {
        std::string clientID = "quorvane-test-client";
        std::string clientSecret = "quorvane-test-secret";
        std::string userEmail = "owner@example.com";
        std::string userID = "1000001";
        int64_t expiresIn = 3600;
        std::string password = "quorvane-test-password";  // the account sign-in's
    };

    FakeProvider();
    // port 0: one the system chooses (see server().port(); -1 when the port could not be bound).
    explicit FakeProvider(OAuthSettings settings, int port = 0);
    ~FakeProvider();

    TestHTTPServer& server() { return *server_; }
    // Writes where this provider is, as the `fake` profile of `quorvane` reads it: the CA as
    // "ca.pem" beside `info`, then `info` itself (JSON: root, contactsRoot, the OAuth2 addresses,
    // client id and secret, caFile, pid), each replaced whole. Answers the JSON ("" when a file
    // could not be written).
    std::string writeInfoFile(const std::filesystem::path& info, int64_t pid) const;
    // The resumable upload endpoints (under /upload).
    FakeResumableUploads& uploads() { return *uploads_; }
    // "https://127.0.0.1:<port>/m8/feeds/" and the OAuth2 endpoints.
    std::string feedsRoot() const;
    std::string tokenURL() const;
    std::string userInfoURL() const;
    std::string revokeURL() const;
    std::string authorizationURL() const;

    // --- OAuth2 ---
    // A code the token endpoint exchanges once for tokens.
    std::string issueAuthorizationCode();
    // Makes an access token (and a refresh token) valid now, as a completed sign-in would.
    struct Tokens {
        std::string accessToken, refreshToken;
    };
    Tokens issueTokens();
    // Every access token (and account sign-in token) issued so far stops working (refresh
    // tokens still work).
    void expireAccessTokens();
    // --- account sign-in by user name and password (/accounts/ClientLogin) ---
    // The next sign-ins answer "CaptchaRequired" (token "captcha-token-1", a relative captcha
    // URL) until one carries that token and the answer "the answer".
    void requireCaptcha();
    size_t passwordSignIns() const;
    // Refresh tokens stop working too (answered with 400 "invalid_grant").
    void revokeAllTokens();
    // While on, each refresh answers a new refresh token and the one it used stops working.
    void setRotateRefreshTokens(bool rotate);
    // With rotation: a refresh token it replaced, presented again, ends the whole grant (every
    // token stops working), as a provider that takes it for a stolen copy does.
    void setRevokeGrantOnReuse(bool revoke);
    // While on, an account has one authorization of the client at a time: every sign-in joins the
    // account's open one, and revoking any of its tokens ends it whole (every access and refresh
    // token issued to it, the newest sign-in's too); the next sign-in opens a new one.
    void setOneAuthorizationPerAccount(bool one);
    // Refreshes and revocations that presented a refresh token already replaced by rotation.
    size_t replacedTokensPresented() const;
    // While on, the answers of refreshes wait, the refresh carried out (a token rotated), until it
    // is turned off, as a slow provider's do; the answers of code exchanges go out as ever.
    void holdRefreshAnswers(bool hold);
    // Waits until that many refresh answers are held; false after the time-out.
    bool waitForHeldRefreshes(size_t n, double timeoutSeconds) const;
    // Sign-ins whose page is asked for from now on are of this account (an e-mail address and a
    // user id; empty: the settings' own account), as when the user picks another on the page.
    // The identity answer and the grant's tokens are that account's.
    void setSignInAccount(const std::string& email, const std::string& userID);
    // Feed requests answered that carried an access token of the account (by e-mail address).
    size_t feedRequestsSignedBy(const std::string& email) const;
    // Whether the refresh token still works (not revoked, not rotated away).
    bool refreshTokenValid(const std::string& token) const;
    size_t tokenRequests() const;
    // Code exchanges whose "code_verifier" matched the S256 "code_challenge" of the page
    // request (a code issued with a challenge is exchanged only with its verifier).
    size_t verifiedCodeChallenges() const;

    // At most this many entries on one feed page, whatever max-results asks (0: no cap).
    void setPageCap(size_t entriesPerPage);
    // Pages of this many entries, whatever max-results asks, more than asked too, as a provider
    // that ignores it (0: as asked). The cap above still applies.
    void setPageSize(size_t entriesPerPage);

    // --- data ---
    // Adds an entry whose body is the given XML children (title, gd:name, gd:email, ...);
    // answers its id. For contacts, `groups` are group ids the contact belongs to.
    std::string addContact(const std::string& childrenXML, const std::vector<std::string>& groups = {});
    std::string addGroup(const std::string& title);
    // Replaces a contact's body as an edit on the provider's side would (a new ETag and updated
    // date); false when there is no such contact.
    bool replaceContact(const std::string& id, const std::string& childrenXML, const std::vector<std::string>& groups = {});
    // Edits a contact's stored <entry> element in place as an edit on the provider's side would
    // (a new ETag and updated date); false when there is no such contact.
    bool editContact(const std::string& id, const std::function<void(std::string& entryXML)>& edit);
    // Deletes a contact as a deletion on the provider's side would.
    bool deleteContact(const std::string& id);
    // Deletes a group as another device would: its members leave it (each a change of theirs).
    bool deleteGroup(const std::string& id);
    // Moves the provider's clock (the entries' updated dates) ahead by that many seconds (back,
    // when negative: the changes that follow are stamped that much earlier, each still later
    // than the one before).
    void advanceTime(double seconds);
    // While held, every change is stamped with the last stamp given, as changes within one
    // second are (update dates have whole seconds).
    void holdClock(bool held);
    // Forgets the deleted contacts, as the provider does after a while: a later request for the
    // changes since a date before now (updated-min with showdeleted) is answered 410 Gone.
    void forgetDeletedContacts();
    // Stores every entry of a contacts feed (such as generateContactsFeed makes) as a new
    // contact; answers how many.
    size_t addContactsFromFeed(const std::string& feedXML);
    // The four system groups exist from the start: "Contacts" (titled "My Contacts"), "Friends",
    // "Family", "Coworkers"; their ids are the lower-case names with a "6" prefix ("6contacts"...).
    std::optional<Entry> entry(Kind kind, const std::string& id) const;
    std::vector<Entry> entries(Kind kind, bool includeDeleted = false) const;
    // Sets or (nullopt) removes a contact's photo as a change on the provider's side would: the
    // photo link gets a new ETag, the contact a new ETag and update date.
    void setPhoto(const std::string& contactID, std::optional<std::string> bytes);
    // Scripts per-entry batch answers: for each batch entry (its batch id and operation type) the
    // function may answer a status, which the entry gets instead of being carried out. It runs
    // with the provider locked: it must not call the provider.
    using BatchFault = std::function<std::optional<int>(const std::string& batchID, const std::string& type)>;
    void setBatchFault(BatchFault fault);
    // Scripts faults of answers the provider has already carried out (an answer lost on the way:
    // closeAfter, a stall): called with each feed request and its answer, with nothing locked.
    using AnswerFault = std::function<void(const TestRequest& request, TestResponse& answer)>;
    void setAnswerFault(AnswerFault fault);
    // Called with each feed request before it is served, with nothing locked: a request that
    // waits there is carried out (or refused) with the tokens valid once it goes on.
    void setRequestGate(std::function<void(const TestRequest&)> gate);
    // The same for the answers of the token and revocation endpoints, once the provider has
    // carried the request out (a code exchanged, a token rotated or revoked).
    void setOAuthFault(AnswerFault fault);
    // The id URL of an entry ("https://127.0.0.1:<port>/m8/feeds/contacts/owner%40example.com/base/<id>").
    std::string idURL(Kind kind, const std::string& id) const;
    std::string editURL(Kind kind, const std::string& id) const;
    std::string feedURL(Kind kind) const;

private:
    struct State;
    void install();
    std::string storeEntry(Kind kind, const std::string& entryXML, const std::optional<std::string>& id);
    // A new contact (no id) or a new body for an existing one.
    std::string contactWithID(const std::optional<std::string>& id, const std::string& childrenXML,
                              const std::vector<std::string>& groups);
    // The handlers run with nothing locked; each takes the state lock itself.
    void serveFeed(Kind kind, const TestRequest& req, TestResponse& res);
    void insertEntry(Kind kind, const TestRequest& req, TestResponse& res);
    void serveEntry(Kind kind, const std::string& id, const std::string& method, const TestRequest& req, TestResponse& res);
    void serveBatch(Kind kind, const TestRequest& req, TestResponse& res);
    // State lock held.
    std::string renderEntry(Kind kind, const Entry& e, const std::string& extraChildren = "") const;
    std::string feedHead(Kind kind, const std::string& title, size_t total, size_t start, size_t perPage,
                         const std::string& nextURL) const;

    std::unique_ptr<TestHTTPServer> server_;
    std::unique_ptr<State> state_;
    std::unique_ptr<FakeResumableUploads> uploads_;
};

}  // namespace quorvane::test
