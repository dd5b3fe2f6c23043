#include "token/acquire_token.h"

#include <mutex>
#include <vector>

#include "api/result_codes.h"
#include "api/text.h"
#include "settings/client_settings.h"
#include "token/client_token.h"
#include "token/token_cache.h"
#include "transport/header_fields.h"

namespace movu {

namespace {

HeaderFields TokenRequestHeaders(const Identity& identity) {
    HeaderFields fields;
    fields.reserve(6);
    SetHeader(fields, "Content-Type", "application/json");
    AddIdentityHeaders(fields, identity, EmptyIdentity::Omitted);
    return fields;
}

// Memory first, then the cache file; both under the token lock.
bool TokenFromStore(const std::string& account, std::string_view rejected, std::string& token) {
    const std::int64_t now = Now();
    std::lock_guard<std::mutex> lock(TokenLock());
    ClientToken& held = TokenState();
    if (held.ownerAccount != account) held = ClientToken{};
    if (IsUsableFor(held, account, now) && held.token != rejected) {
        token = held.token;
        return true;
    }
    LoadTokenCache(account);
    if (IsUsableFor(held, account, now) && held.token != rejected) {
        token = held.token;
        return true;
    }
    held = ClientToken{};
    return false;
}

// A status-less end (no base URL answered at all) is -404.
std::int32_t StatusFailure(std::uint32_t status) { return status == 0 ? kTokenNoStatus : FailedStatusCode(status); }

}  // namespace

HostPin SecondaryHostPin() { return {SecondaryHostName(), SecondaryFallbackIpv4()}; }

std::int32_t AcquireToken(const Identity& identity, std::string& token, std::string_view rejected,
                          std::string* lastAnswer) {
    token.clear();
    std::string scratch;
    std::string& last = lastAnswer ? *lastAnswer : scratch;
    last.clear();
    if (!identity.account || identity.account->empty()) return kNoAccount;
    const std::string& account = *identity.account;

    if (TokenFromStore(account, rejected, token)) return kOk;

    const HeaderFields headers = TokenRequestHeaders(identity);
    std::int32_t result = kNoBaseUrl;
    // An answer that refuses the account or the load ends the walk; one that
    // only lacks a usable token moves on to the next base URL.
    const bool offered = WalkBaseUrls(BaseUrlOrder::SecondaryHostFirst, [&](const BaseUrl& url) {
        std::string body;
        std::uint32_t status = 0;
        result = HttpExchange(url, SecondaryHostPin(), "GET", kTokenPath, headers, {}, body, status);
        if (!body.empty()) last = body;
        if (result != kOk) return false;
        result = StatusFailure(status);
        if (status == 401 || status == 429 || status >= 500) return true;
        if (status < 200 || status > 299) return false;

        std::string fetched, expiresText;
        std::int64_t expiry = 0;
        if (!ExtractJsonString(body, "token", fetched)) return false;
        if (!ExtractJsonString(body, "expires_at", expiresText)) return false;
        if (!ParseIsoTimestamp(expiresText, expiry)) return false;
        if (fetched.empty() || expiry <= 0) return false;
        // Checked once here: what is held and sent is valid UTF-8.
        fetched = ValidUtf8(fetched);

        {
            std::lock_guard<std::mutex> lock(TokenLock());
            ClientToken& held = TokenState();
            held.token = fetched;
            held.expiry = expiry;
            held.ownerAccount = account;
            SaveTokenCache(account, fetched, expiry);
        }
        token = std::move(fetched);
        last.clear();
        StoreCurrentBaseUrl(url);
        result = kOk;
        return true;
    });
    if (!offered) return kNoBaseUrl;
    return result;
}

}  // namespace movu
