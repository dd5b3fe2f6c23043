#include "requests/signed_request.h"

#include <mutex>

#include "api/envelope.h"
#include "api/result_codes.h"
#include "settings/client_settings.h"
#include "token/acquire_token.h"
#include "token/client_token.h"
#include "transport/header_fields.h"
#include "transport/http_exchange.h"

namespace movu {

namespace {

// The token was made valid UTF-8 when it was obtained or loaded.
HeaderFields SignedHeaders(const Identity& identity, const std::string& token) {
    HeaderFields fields;
    fields.reserve(8);
    SetHeader(fields, "Content-Type", "application/json");
    SetHeader(fields, "Authorization", "Bearer " + token);
    SetHeader(fields, "X-Client-Token", token);
    AddIdentityHeaders(fields, identity, EmptyIdentity::Named);
    return fields;
}

std::string TokenFetchFailed(std::int32_t rc) { return FailureEnvelope("TOKEN_FETCH_FAILED").Number("rc", rc).Close(); }

struct SignedAttempt {
    std::int32_t code = 0;
    bool tokenFailed = false;  // resultText already holds the failure text
    bool exchanged = false;    // an exchange ran; response and status are its
    std::int32_t exchangeCode = 0;
    std::string response;
    std::uint32_t status = 0;
};

// The steps both forms share, from token acquisition to the last exchange.
// Without a fixed base URL the current one is read once the token is had, so
// that a base URL acquisition has just moved to is the one used.
SignedAttempt SendWithRenewal(const BaseUrl* fixedBaseUrl, const Request& request, std::string& resultText) {
    SignedAttempt out;
    std::string token;
    std::string last;
    std::int32_t rc = AcquireToken(request.identity, token, {}, &last);
    if (rc != kOk) {
        resultText = last.empty() ? TokenFetchFailed(rc) : std::move(last);
        out.tokenFailed = true;
        out.code = rc;
        return out;
    }
    const BaseUrl baseUrl = fixedBaseUrl ? *fixedBaseUrl : SnapshotCurrentBaseUrl();
    if (token.empty()) {
        out.code = kEmptyToken;
        return out;
    }
    const std::string target = RequestTarget(request);
    out.exchanged = true;
    out.exchangeCode = HttpExchange(baseUrl, SecondaryHostPin(), request.method, target,
                                    SignedHeaders(request.identity, token), request.body, out.response, out.status);
    if (out.exchangeCode == kOk && out.status == 401) {
        {
            std::lock_guard<std::mutex> lock(TokenLock());
            ClearTokenState();
        }
        // The token just refused is never offered again, even when the cache
        // file still holds it.
        std::string renewed;
        if (AcquireToken(request.identity, renewed, token) == kOk && !renewed.empty()) {
            out.status = 0;
            out.response.clear();
            out.exchangeCode =
                HttpExchange(baseUrl, SecondaryHostPin(), request.method, target,
                             SignedHeaders(request.identity, renewed), request.body, out.response, out.status);
        }
    }
    out.code = out.exchangeCode != kOk ? out.exchangeCode : MapHttpStatus(out.status);
    return out;
}

}  // namespace

std::int32_t ExecuteSignedRequest(const Request& request, std::string& resultText) {
    if (!request.identity.account) return kNoAccount;
    ApplyDefaultBaseUrlsIfUnset();
    SignedAttempt out = SendWithRenewal(nullptr, request, resultText);
    // A transport failure leaves the caller's text as it was.
    if (out.exchanged && out.exchangeCode == kOk) resultText = std::move(out.response);
    return out.code;
}

std::int32_t ExecuteSignedRequestAt(const BaseUrl& baseUrl, const Request& request, std::string& resultText,
                                    std::uint32_t& httpStatus) {
    SignedAttempt out = SendWithRenewal(&baseUrl, request, resultText);
    if (out.tokenFailed) httpStatus = 0;
    if (out.exchanged) {
        // The worker keeps the transport's envelope too.
        httpStatus = out.status;
        resultText = std::move(out.response);
    }
    return out.code;
}

}  // namespace movu
