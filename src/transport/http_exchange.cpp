// One exchange: crack the base URL, hand the request to the platform's HTTP
// stack and turn a failed step into its result code and error envelope.
#include "transport/http_exchange.h"

#include <cstdlib>

#include "api/text.h"
#include "platform/platform.h"
#include "transport/endpoint_url.h"

namespace movu {
namespace {

const std::u16string_view kCrLf = u"\r\n";

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

std::u16string TerminatedLine(const std::u16string& line) {
    if (line.size() < 2 || line.find(kCrLf) == std::u16string::npos) return line + std::u16string(kCrLf);
    return line;
}

const char* ErrorName(platform::ExchangeStep step) {
    switch (step) {
        case platform::ExchangeStep::Connect:
            return "WINHTTP_CONNECT_FAILED";
        case platform::ExchangeStep::OpenRequest:
            return "WINHTTP_OPENREQ_FAILED";
        case platform::ExchangeStep::Send:
            return "WINHTTP_SEND_FAILED";
        default:
            return "WINHTTP_RECV_FAILED";
    }
}

std::int32_t ResultOf(platform::ExchangeStep step) {
    switch (step) {
        case platform::ExchangeStep::Done:
            return kExchangeOk;
        case platform::ExchangeStep::Session:
            return kExchangeNoSession;
        case platform::ExchangeStep::Connect:
            return kExchangeConnectFailed;
        case platform::ExchangeStep::OpenRequest:
            return kExchangeOpenRequestFailed;
        case platform::ExchangeStep::Send:
            return kExchangeSendFailed;
        default:
            return kExchangeReceiveFailed;
    }
}

std::string Envelope(platform::ExchangeStep step, std::uint32_t error, std::u16string_view baseUrl,
                     const EndpointUrl& endpoint, std::u16string_view target) {
    std::string out = "{\"ok\":false,\"error\":\"";
    out += ErrorName(step);
    out += "\",\"win32\":";
    out += std::to_string(error);
    out += ",\"base_url\":\"";
    out += JsonEscape(Utf16ToUtf8(baseUrl));
    out += "\",\"host\":\"";
    out += JsonEscape(Utf16ToUtf8(endpoint.host));
    if (step == platform::ExchangeStep::Connect) {
        out += "\",\"port\":";
        out += std::to_string(endpoint.port);
        out += '}';
    } else {
        out += "\",\"path\":\"";
        out += JsonEscape(Utf16ToUtf8(target));
        out += "\"}";
    }
    return out;
}

}  // namespace

std::int32_t HttpExchange(std::u16string_view baseUrl, std::u16string_view target, std::u16string_view verb,
                          const std::vector<std::u16string>& headerLines, std::string_view body,
                          std::string& responseBody, std::uint32_t& httpStatus) {
    responseBody.clear();
    httpStatus = 0;

    platform::ExchangeRequest request;
    if (!CrackBaseUrl(baseUrl, request.endpoint)) return kExchangeBadBaseUrl;
    request.pinToFallbackIpv4 = IsSecondaryHost(request.endpoint.host);
    request.limits = Limits();
    request.target.assign(target);
    request.verb.assign(verb);
    request.headerLines.reserve(headerLines.size());
    for (const std::u16string& line : headerLines) request.headerLines.push_back(TerminatedLine(line));
    request.body.assign(body);

    platform::ExchangeResult result = platform::PerformExchange(request);
    const std::int32_t code = ResultOf(result.step);
    if (code == kExchangeOk) {
        responseBody = std::move(result.body);
        httpStatus = result.status;
    } else if (code != kExchangeNoSession) {
        // Whatever part of an answer arrived is dropped: the caller gets the
        // envelope, never a piece of the service's text.
        responseBody = Envelope(result.step, result.errorCode, baseUrl, request.endpoint, target);
    }
    return code;
}

}  // namespace movu
