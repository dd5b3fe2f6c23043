// One exchange: crack the base URL, hand the request to the platform's HTTP
// stack and turn a failed step into its result code and error envelope.
#include "transport/http_exchange.h"

#include <cstdlib>

#include "api/result_codes.h"
#include "api/text.h"
#include "platform/platform.h"
#include "settings/client_settings.h"
#include "transport/endpoint_url.h"

namespace movu {
namespace {

platform::ExchangeLimits Limits() {
    platform::ExchangeLimits limits;
#ifdef MOVU_TEST_HOOKS
    // Test builds: the suites shorten the wait for an answer's head, so that a
    // silent service costs seconds rather than a minute and a half.
    static const long headMs = [] {
        const char* text = std::getenv("MOVU_TEST_ANSWER_HEAD_MS");
        return text ? std::strtol(text, nullptr, 10) : 0L;
    }();
    if (headMs > 0) limits.headMs = static_cast<std::uint32_t>(headMs);
#endif
    return limits;
}

const char* ErrorName(platform::ExchangeStep step) {
    switch (step) {
        case platform::ExchangeStep::Connect: return "WINHTTP_CONNECT_FAILED";
        case platform::ExchangeStep::OpenRequest: return "WINHTTP_OPENREQ_FAILED";
        case platform::ExchangeStep::Send: return "WINHTTP_SEND_FAILED";
        default: return "WINHTTP_RECV_FAILED";
    }
}

std::int32_t ResultOf(platform::ExchangeStep step) {
    switch (step) {
        case platform::ExchangeStep::Done: return kOk;
        case platform::ExchangeStep::Session: return kNoSession;
        case platform::ExchangeStep::Connect: return kConnectFailed;
        case platform::ExchangeStep::OpenRequest: return kOpenRequestFailed;
        case platform::ExchangeStep::Send: return kSendFailed;
        default: return kReceiveFailed;
    }
}

std::string Envelope(platform::ExchangeStep step, std::uint32_t error, std::string_view baseUrl,
                     const platform::ExchangeRequest& request) {
    std::string out = "{\"ok\":false,\"error\":\"";
    out += ErrorName(step);
    out += "\",\"win32\":";
    out += std::to_string(error);
    out += ",\"base_url\":\"";
    out += JsonEscape(baseUrl);
    out += "\",\"host\":\"";
    out += JsonEscape(request.host);
    if (step == platform::ExchangeStep::Connect) {
        out += "\",\"port\":";
        out += std::to_string(request.port);
        out += '}';
    } else {
        out += "\",\"path\":\"";
        out += JsonEscape(request.target);
        out += "\"}";
    }
    return out;
}

}  // namespace

std::int32_t HttpExchange(std::string_view baseUrl, std::string_view method, std::string_view target,
                          const HeaderFields& headers, std::string_view body, std::string& responseBody,
                          std::uint32_t& httpStatus) {
    responseBody.clear();
    httpStatus = 0;

    EndpointUrl endpoint;
    if (!CrackBaseUrl(baseUrl, endpoint)) return kBadBaseUrl;
    platform::ExchangeRequest request;
    request.secure = endpoint.secure;
    request.host = endpoint.host;
    request.port = endpoint.port;
    if (IsSecondaryHost(endpoint.host)) request.pinAddress = SecondaryFallbackIpv4();
    request.limits = Limits();
    request.method.assign(method);
    request.target.assign(target);
    request.headers = headers;
    request.body.assign(body);

    platform::ExchangeReply reply = platform::PerformExchange(request);
    const std::int32_t code = ResultOf(reply.step);
    if (code == kOk) {
        responseBody = std::move(reply.body);
        httpStatus = reply.status;
    } else if (code != kNoSession) {
        // Whatever part of an answer arrived is dropped: the caller gets the
        // envelope, never a piece of the service's text.
        responseBody = Envelope(reply.step, reply.errorCode, baseUrl, request);
    }
    return code;
}

}  // namespace movu
