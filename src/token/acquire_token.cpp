#include "token/acquire_token.h"

#include <mutex>
#include <vector>

#include "api/text.h"
#include "settings/client_settings.h"
#include "token/client_token.h"
#include "token/token_cache.h"
#include "transport/endpoint_url.h"
#include "transport/header_value.h"
#include "transport/http_exchange.h"

namespace movu {

namespace {

std::vector<std::u16string> TokenRequestHeaders(const IdentityUtf8& id) {
    std::vector<std::u16string> lines;
    lines.reserve(6);
    lines.push_back(u"Content-Type: application/json");
    lines.push_back(u"X-Account: " + HeaderSafe(Utf8ToUtf16(id.account)));
    if (!id.platform.empty()) lines.push_back(u"X-Platform: " + HeaderSafe(Utf8ToUtf16(id.platform)));
    if (!id.broker.empty()) lines.push_back(u"X-Broker: " + HeaderSafe(Utf8ToUtf16(id.broker)));
    if (!id.server.empty()) lines.push_back(u"X-Server: " + HeaderSafe(Utf8ToUtf16(id.server)));
    if (!id.clientVersion.empty())
        lines.push_back(u"X-Client-Version: " + HeaderSafe(Utf8ToUtf16(id.clientVersion)));
    return lines;
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

std::int32_t StatusFailure(std::uint32_t status) {
    if (status == 0) return -404;
    if (status == 401) return -401;
    if (status == 429) return -429;
    if (status >= 500) return -500;
    return -static_cast<std::int32_t>(status);
}

}  // namespace

std::int32_t AcquireToken(const IdentityUtf8& identity, std::string& token, std::string_view rejected,
                          std::string* lastAnswer) {
    token.clear();
    std::string scratch;
    std::string& last = lastAnswer ? *lastAnswer : scratch;
    last.clear();
    if (identity.account.empty()) return -2;

    if (TokenFromStore(identity.account, rejected, token)) return 0;

    InstallDefaultBaseUrls();
    std::vector<std::u16string> urls = SnapshotBaseUrls();
    if (urls.empty()) {
        std::u16string current = SnapshotCurrentBaseUrl();
        if (!current.empty()) urls.push_back(std::move(current));
    }
    if (urls.empty()) return kNoBaseUrl;
    SecondaryHostFirst(urls);

    const std::vector<std::u16string> headers = TokenRequestHeaders(identity);
    std::int32_t lastResult = 0;
    std::uint32_t lastStatus = 0;
    for (const std::u16string& url : urls) {
        std::string body;
        std::uint32_t status = 0;
        lastResult = HttpExchange(url, u"/v1/client/token.php", u"GET", headers, {}, body, status);
        lastStatus = status;
        if (!body.empty()) last = body;
        if (lastResult != 0) continue;
        if (status == 401 || status == 429 || status >= 500) return StatusFailure(status);
        if (status < 200 || status > 299) continue;

        std::string fetched, expiresText;
        std::int64_t expiry = 0;
        if (!ExtractJsonString(body, "token", fetched)) continue;
        if (!ExtractJsonString(body, "expires_at", expiresText)) continue;
        if (!ParseIsoTimestamp(expiresText, expiry)) continue;
        if (fetched.empty() || expiry <= 0) continue;

        {
            std::lock_guard<std::mutex> lock(TokenLock());
            ClientToken& held = TokenState();
            held.token = fetched;
            held.expiry = expiry;
            held.ownerAccount = identity.account;
            SaveTokenCache(identity.account, fetched, expiry);
        }
        token = std::move(fetched);
        last.clear();
        StoreCurrentBaseUrl(url);
        return 0;
    }
    return lastResult != 0 ? lastResult : StatusFailure(lastStatus);
}

}  // namespace movu
