#include "requests/signed_request.h"

#include <mutex>
#include <vector>

#include "api/text.h"
#include "settings/client_settings.h"
#include "token/acquire_token.h"
#include "token/client_token.h"
#include "transport/header_value.h"
#include "transport/http_exchange.h"

namespace movu {

namespace {

// The identity as it goes into header lines (trimmed UTF-16, present or not)
// and to the token service (UTF-8, absent as empty).
struct PreparedIdentity {
    std::u16string value[5];
    bool present[5] = {};
    IdentityUtf8 utf8;
};

PreparedIdentity Prepare(const RequestIdentity& id) {
    PreparedIdentity p;
    const movu_char16* given[5] = {id.account, id.platform, id.broker, id.server, id.clientVersion};
    std::string* utf8[5] = {&p.utf8.account, &p.utf8.platform, &p.utf8.broker, &p.utf8.server,
                            &p.utf8.clientVersion};
    for (int i = 0; i < 5; ++i) {
        p.present[i] = given[i] != nullptr;
        p.value[i] = TrimSpace(WideArg(given[i]));
        *utf8[i] = Utf16ToUtf8(p.value[i]);
    }
    return p;
}

std::vector<std::u16string> SignedHeaders(const PreparedIdentity& id, const std::string& token) {
    static const char16_t* const kNames[5] = {u"X-Account: ", u"X-Platform: ", u"X-Broker: ", u"X-Server: ",
                                              u"X-Client-Version: "};
    const std::u16string bearer = HeaderSafe(Utf8ToUtf16(token));
    std::vector<std::u16string> lines;
    lines.reserve(8);
    lines.push_back(u"Content-Type: application/json");
    lines.push_back(u"Authorization: Bearer " + bearer);
    lines.push_back(u"X-Client-Token: " + bearer);
    for (int i = 0; i < 5; ++i) {
        if (i == 0 || id.present[i]) lines.push_back(kNames[i] + HeaderSafe(id.value[i]));
    }
    return lines;
}

std::string TokenFetchFailed(std::int32_t rc) {
    return "{\"ok\":false,\"error\":\"TOKEN_FETCH_FAILED\",\"rc\":" + std::to_string(rc) + "}";
}

struct Outcome {
    std::int32_t code = 0;
    bool tokenFailed = false;    // resultText already holds the failure text
    bool exchanged = false;      // an exchange ran; response and status are its
    std::int32_t exchangeCode = 0;
    std::string response;
    std::uint32_t status = 0;
};

// The steps both forms share, from token acquisition to the last exchange.
// Without a fixed base URL the current one is read once the token is had, so
// that a base URL acquisition has just moved to is the one used.
Outcome Run(const std::u16string* fixedBaseUrl, const PreparedIdentity& id, std::u16string_view path,
            const QueryParams& query, std::u16string_view verb, std::string_view body, std::string& resultText) {
    Outcome out;
    std::string token;
    std::string last;
    std::int32_t rc = AcquireToken(id.utf8, token, {}, &last);
    if (rc != 0) {
        resultText = last.empty() ? TokenFetchFailed(rc) : std::move(last);
        out.tokenFailed = true;
        out.code = rc;
        return out;
    }
    const std::u16string baseUrl = fixedBaseUrl ? *fixedBaseUrl : SnapshotCurrentBaseUrl();
    if (token.empty()) {
        out.code = kEmptyToken;
        return out;
    }
    const std::u16string target = AppendQuery(path, query);
    out.exchanged = true;
    out.exchangeCode = HttpExchange(baseUrl, target, verb, SignedHeaders(id, token), body, out.response, out.status);
    if (out.exchangeCode == 0 && out.status == 401) {
        {
            std::lock_guard<std::mutex> lock(TokenLock());
            ClearTokenState();
        }
        // The token just refused is never offered again, even when the cache
        // file still holds it.
        std::string renewed;
        if (AcquireToken(id.utf8, renewed, token) == 0 && !renewed.empty()) {
            out.status = 0;
            out.response.clear();
            out.exchangeCode =
                HttpExchange(baseUrl, target, verb, SignedHeaders(id, renewed), body, out.response, out.status);
        }
    }
    out.code = out.exchangeCode != 0 ? out.exchangeCode : MapHttpStatus(out.status);
    return out;
}

}  // namespace

std::int32_t MapHttpStatus(std::uint32_t status) {
    if (status >= 200 && status <= 299) return 0;
    if (status == 401) return -401;
    if (status == 429) return -429;
    if (status >= 500) return -500;
    return -static_cast<std::int32_t>(status);
}

std::u16string AppendQuery(std::u16string_view path, const QueryParams& query) {
    std::string q = BuildQueryText(query);
    std::u16string target(path);
    if (q.empty()) return target;
    target.push_back(target.find(u'?') == std::u16string::npos ? u'?' : u'&');
    target += Utf8ToUtf16(q);
    return target;
}

std::int32_t ExecuteSignedRequest(const RequestIdentity& identity, std::u16string_view path,
                                  const QueryParams& query, std::u16string_view verb, std::string_view body,
                                  std::string& resultText) {
    if (identity.account == nullptr) return -2;
    InstallDefaultBaseUrls();
    Outcome out = Run(nullptr, Prepare(identity), path, query, verb, body, resultText);
    // A transport failure leaves the caller's text as it was.
    if (out.exchanged && out.exchangeCode == 0) resultText = std::move(out.response);
    return out.code;
}

std::int32_t ExecuteSignedRequestAt(std::u16string_view baseUrl, const RequestIdentity& identity,
                                    std::u16string_view path, const QueryParams& query, std::u16string_view verb,
                                    std::string_view body, std::string& resultText, std::uint32_t& httpStatus) {
    if (identity.account == nullptr) return -2;
    const std::u16string url(baseUrl);
    Outcome out = Run(&url, Prepare(identity), path, query, verb, body, resultText);
    if (out.tokenFailed) httpStatus = 0;
    if (out.exchanged) {
        // The worker keeps the transport's envelope too.
        httpStatus = out.status;
        resultText = std::move(out.response);
    }
    return out.code;
}

}  // namespace movu
