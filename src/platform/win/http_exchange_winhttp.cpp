// One HTTP exchange over WinHTTP: its own session, connection and request,
// all closed before it returns.
#include <windows.h>
#include <winhttp.h>

#include <limits>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "settings/client_settings.h"

#ifndef WINHTTP_OPTION_SECURE_PROTOCOLS
#define WINHTTP_OPTION_SECURE_PROTOCOLS 84
#endif
#ifndef WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT
#define WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT 7
#endif
#ifndef WINHTTP_OPTION_RESOLUTION_HOSTNAME
#define WINHTTP_OPTION_RESOLUTION_HOSTNAME 165
#endif

namespace movu::platform {
namespace {

// TLS 1.0, 1.1 and 1.2 and nothing else.
constexpr DWORD kTls10To12 = 0x00000080 | 0x00000200 | 0x00000800;
constexpr DWORD kSecureRequest = 0x00800000;

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

struct Handle {
    HINTERNET h = nullptr;
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h) WinHttpCloseHandle(h);
    }
};

ExchangeResult Fail(ExchangeStep step, DWORD error) {
    ExchangeResult r;
    r.step = step;
    r.errorCode = error;
    return r;
}

// WinHttpConnect only records host and port; the connection itself is made
// while sending. A send that fails because the host cannot be reached is a
// connect failure to the caller.
ExchangeStep SendFailureStep(DWORD error) {
    switch (error) {
        case ERROR_WINHTTP_CANNOT_CONNECT:
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            return ExchangeStep::Connect;
        default:
            return ExchangeStep::Send;
    }
}

// The stack narrows header characters to ISO-8859-1, one byte each. A line
// goes to it as its UTF-8 bytes, one character U+0000..U+00FF per byte, so
// the wire carries those bytes and no character above U+00FF is ever left
// to a narrowing (U+010A kept to its low byte would be a line feed).
std::u16string ByteChars(const std::u16string& line) {
    const std::string utf8 = Utf16ToUtf8(line);
    std::u16string out;
    out.reserve(utf8.size());
    for (unsigned char c : utf8) out.push_back(static_cast<char16_t>(c));
    return out;
}

constexpr unsigned long long kUnknownLength = ~0ull;

// Content-Length as sent, or kUnknownLength when absent or not a number.
unsigned long long AnnouncedLength(HINTERNET request) {
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return kUnknownLength;
    unsigned long long value = 0;
    const wchar_t* p = text;
    while (*p == L' ' || *p == L'\t') ++p;
    if (*p < L'0' || *p > L'9') return kUnknownLength;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        if (value > (kUnknownLength - 10) / 10) return kUnknownLength;
        value = value * 10 + static_cast<unsigned>(*p - L'0');
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return *p ? kUnknownLength : value;
}

// Answers to HEAD, 1xx, 204 and 304 carry no body whatever their headers say.
bool BodyExpected(const ExchangeRequest& request, DWORD status) {
    if (request.verb == u"HEAD") return false;
    return status >= 200 && status != 204 && status != 304;
}

}  // namespace

ExchangeResult PerformExchange(const ExchangeRequest& request) {
    // Declared in closing order reversed: request, connection, session.
    Handle session, connection, req;

    session.h = WinHttpOpen(L"movu-client/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session.h) return Fail(ExchangeStep::Session, GetLastError());

    DWORD protocols = kTls10To12;
    WinHttpSetOption(session.h, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    // The stack's documented defaults, stated so that every implementation
    // ends a silent peer: some leave the wait for the answer's head unbounded.
    const ExchangeLimits& limits = request.limits;
    WinHttpSetTimeouts(session.h, static_cast<int>(limits.resolveMs), static_cast<int>(limits.connectMs),
                       static_cast<int>(limits.sendMs), static_cast<int>(limits.receiveMs));
    DWORD headMs = limits.headMs;
    WinHttpSetOption(session.h, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headMs, sizeof headMs);

    connection.h = WinHttpConnect(session.h, W(request.endpoint.host), request.endpoint.port, 0);
    if (!connection.h) return Fail(ExchangeStep::Connect, GetLastError());

    req.h = WinHttpOpenRequest(connection.h, W(request.verb), W(request.target), nullptr, WINHTTP_NO_REFERER,
                               WINHTTP_DEFAULT_ACCEPT_TYPES, request.endpoint.secure ? kSecureRequest : 0);
    if (!req.h) return Fail(ExchangeStep::OpenRequest, GetLastError());

    if (request.pinToFallbackIpv4) {
        // The address to connect to; Host, server name and certificate check
        // keep the host name. Older systems do not know the option.
        std::u16string ipv4(movu::SecondaryFallbackIpv4());
        WinHttpSetOption(req.h, WINHTTP_OPTION_RESOLUTION_HOSTNAME, const_cast<wchar_t*>(W(ipv4)),
                         static_cast<DWORD>(ipv4.size() + 1));
    }

    for (const std::u16string& line : request.headerLines) {
        const std::u16string bytes = ByteChars(line);
        WinHttpAddRequestHeaders(req.h, W(bytes), static_cast<DWORD>(bytes.size()),
                                 WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE);
    }

    if (request.body.size() > std::numeric_limits<DWORD>::max())
        return Fail(ExchangeStep::Send, ERROR_INVALID_PARAMETER);
    const DWORD bodyLength = static_cast<DWORD>(request.body.size());
    LPVOID bodyData = bodyLength ? const_cast<char*>(request.body.data()) : WINHTTP_NO_REQUEST_DATA;
    if (!WinHttpSendRequest(req.h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, bodyData, bodyLength, bodyLength, 0)) {
        const DWORD error = GetLastError();
        return Fail(SendFailureStep(error), error);
    }

    if (!WinHttpReceiveResponse(req.h, nullptr)) return Fail(ExchangeStep::Receive, GetLastError());

    ExchangeResult result;
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (WinHttpQueryHeaders(req.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                            &status, &statusSize, WINHTTP_NO_HEADER_INDEX))
        result.status = status;

    // A body that breaks off is a failed exchange, not a shorter answer.
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(req.h, &available)) return Fail(ExchangeStep::Receive, GetLastError());
        if (available == 0) break;
        std::vector<char> buffer;
        try {
            buffer.resize(available);
        } catch (...) {
            return Fail(ExchangeStep::Receive, ERROR_NOT_ENOUGH_MEMORY);
        }
        DWORD read = 0;
        if (!WinHttpReadData(req.h, buffer.data(), available, &read)) return Fail(ExchangeStep::Receive, GetLastError());
        if (read == 0) break;
        try {
            result.body.append(buffer.data(), read);
        } catch (...) {
            return Fail(ExchangeStep::Receive, ERROR_NOT_ENOUGH_MEMORY);
        }
    }
    // Some stacks end the read quietly when the connection drops; a body
    // shorter than its announced length is a broken exchange all the same.
    if (BodyExpected(request, result.status)) {
        const unsigned long long announced = AnnouncedLength(req.h);
        if (announced != kUnknownLength && result.body.size() < announced)
            return Fail(ExchangeStep::Receive, ERROR_WINHTTP_CONNECTION_ERROR);
    }
    result.step = ExchangeStep::Done;
    return result;
}

}  // namespace movu::platform
