// One exchange: hand the request to the platform's HTTP
// stack and turn a failed step into its result code and error envelope.
#include "transport/http_exchange.h"

#include <cstdlib>

#include "api/envelope.h"
#include "api/result_codes.h"
#include "platform/ascii.h"
#include "platform/platform.h"

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

// The path member is the target as the caller gave it, before encoding.
std::string Envelope(platform::ExchangeStep step, std::uint32_t error, const BaseUrl& baseUrl,
                     const platform::ExchangeRequest& request, std::string_view target) {
    FailureEnvelope out(ErrorName(step));
    out.Number("win32", error).Text("base_url", baseUrl.text).Text("host", request.host);
    if (step == platform::ExchangeStep::Connect) {
        out.Number("port", request.port);
    } else {
        out.Text("path", target);
    }
    return out.Close();
}

// A method is an HTTP token; none given is GET.
bool IsMethod(std::string_view method) {
    constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={}";
    for (char ch : method) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F || kSeparators.find(ch) != std::string_view::npos) return false;
    }
    return true;
}

// Bytes that cannot stand in a request line are percent-encoded, so that no
// target can split the request and both stacks send the same line.
std::string RequestLineTarget(std::string_view target) {
    std::string out;
    for (char ch : target) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F) {
            out += '%';
            ascii::AppendHex(out, c);
        } else {
            out += ch;
        }
    }
    if (out.empty()) out = "/";
    return out;
}

}  // namespace

std::int32_t HttpExchange(const BaseUrl& baseUrl, const HostPin& pin, std::string_view method, std::string_view target,
                          const HeaderFields& headers, std::string_view body, std::string& responseBody,
                          std::uint32_t& httpStatus) {
    responseBody.clear();
    httpStatus = 0;

    if (!baseUrl.cracked) return kBadBaseUrl;
    platform::ExchangeRequest request;
    request.secure = baseUrl.secure;
    request.host = baseUrl.host;
    request.port = baseUrl.port;
    if (!pin.host.empty() && ascii::EqualsIgnoreCase(baseUrl.host, pin.host)) request.pinAddress = pin.address;
    request.limits = Limits();
    request.method.assign(method.empty() ? std::string_view("GET") : method);
    request.target = RequestLineTarget(target);
    request.headers = headers;
    request.body.assign(body);

    platform::ExchangeReply reply;
    if (IsMethod(request.method)) {
        reply = platform::PerformExchange(request);
    } else {
        reply.step = platform::ExchangeStep::OpenRequest;
        reply.errorCode = platform::InvalidArgumentError();
    }
    const std::int32_t code = ResultOf(reply.step);
    if (code == kOk) {
        responseBody = std::move(reply.body);
        httpStatus = reply.status;
    } else if (code != kNoSession) {
        // Whatever part of an answer arrived is dropped: the caller gets the
        // envelope, never a piece of the service's text.
        responseBody = Envelope(reply.step, reply.errorCode, baseUrl, request, target);
    }
    return code;
}

std::int32_t FailedStatusCode(std::uint32_t status) {
    if (status == 401) return kUnauthorized;
    if (status == 429) return kTooManyRequests;
    if (status >= 500) return kServerError;
    return -static_cast<std::int32_t>(status);
}

std::int32_t MapHttpStatus(std::uint32_t status) {
    if (status >= 200 && status <= 299) return kOk;
    return FailedStatusCode(status);
}

}  // namespace movu
