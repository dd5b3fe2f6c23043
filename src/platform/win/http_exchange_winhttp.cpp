// One HTTP exchange over WinHTTP: its own session, connection and request,
// all closed before it returns.
#include <windows.h>
#include <winhttp.h>

#include <limits>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win/option_buffer.h"

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

// The stack takes UTF-16; the request arrives in UTF-8.
std::wstring Wide(const std::string& utf8) {
    const std::u16string units = Utf8ToUtf16(utf8);
    return std::wstring(units.begin(), units.end());
}

struct Handle {
    HINTERNET h = nullptr;
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h) WinHttpCloseHandle(h);
    }
};

ExchangeReply Fail(ExchangeStep step, DWORD error) {
    ExchangeReply r;
    r.step = step;
    r.errorCode = error;
    return r;
}

// Told by the stack when the connection to the server stands.
void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD) {
    if (status == WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER && context) *reinterpret_cast<bool*>(context) = true;
}

// WinHttpConnect only records host and port; the connection itself is made
// while sending, and the send reports a time-out the same way whether the
// connection or the request timed out. A send that fails before the
// connection stood is a connect failure to the caller.
ExchangeStep SendFailureStep(DWORD error, bool watched, bool connected) {
    switch (error) {
        case ERROR_WINHTTP_CANNOT_CONNECT:
        case ERROR_WINHTTP_NAME_NOT_RESOLVED: return ExchangeStep::Connect;
        case ERROR_WINHTTP_TIMEOUT: return watched && !connected ? ExchangeStep::Connect : ExchangeStep::Send;
        default: return ExchangeStep::Send;
    }
}

// The stack narrows header characters to ISO-8859-1, one byte each. A line
// goes to it as its UTF-8 bytes, one character U+0000..U+00FF per byte, so
// the wire carries those bytes and no character above U+00FF is ever left
// to a narrowing (U+010A kept to its low byte would be a line feed).
std::wstring ByteCharLine(const HeaderField& field) {
    const std::string line = field.name + ": " + field.value + "\r\n";
    std::wstring out;
    out.reserve(line.size());
    for (unsigned char c : line) out.push_back(static_cast<wchar_t>(c));
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
    if (request.method == "HEAD") return false;
    return status >= 200 && status != 204 && status != 304;
}

}  // namespace

std::uint32_t InvalidArgumentError() { return ERROR_INVALID_PARAMETER; }

ExchangeReply PerformExchange(const ExchangeRequest& request) {
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

    const std::wstring host = Wide(request.host);
    connection.h = WinHttpConnect(session.h, host.c_str(), request.port, 0);
    if (!connection.h) return Fail(ExchangeStep::Connect, GetLastError());

    const std::wstring verb = Wide(request.method), target = Wide(request.target);
    req.h = WinHttpOpenRequest(connection.h, verb.c_str(), target.c_str(), nullptr, WINHTTP_NO_REFERER,
                               WINHTTP_DEFAULT_ACCEPT_TYPES, request.secure ? kSecureRequest : 0);
    if (!req.h) return Fail(ExchangeStep::OpenRequest, GetLastError());
    // A redirect is an answer: followed, it would carry the request's headers,
    // the token among them, to whatever host the Location names.
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    if (!WinHttpSetOption(req.h, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never))
        return Fail(ExchangeStep::OpenRequest, GetLastError());

    if (!request.pinAddress.empty()) {
        // The address to connect to; Host, server name and certificate check
        // keep the host name. Older systems do not know the option.
        std::u16string address = TextOptionBuffer(Utf8ToUtf16(request.pinAddress));
        WinHttpSetOption(req.h, WINHTTP_OPTION_RESOLUTION_HOSTNAME, address.data(), static_cast<DWORD>(address.size()));
    }

    for (const HeaderField& field : request.headers) {
        const std::wstring line = ByteCharLine(field);
        WinHttpAddRequestHeaders(req.h, line.c_str(), static_cast<DWORD>(line.size()),
                                 WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE);
    }

    if (request.body.size() > std::numeric_limits<DWORD>::max())
        return Fail(ExchangeStep::Send, ERROR_INVALID_PARAMETER);
    const DWORD bodyLength = static_cast<DWORD>(request.body.size());
    LPVOID bodyData = bodyLength ? const_cast<char*>(request.body.data()) : WINHTTP_NO_REQUEST_DATA;
    bool connected = false;
    const bool watched = WinHttpSetStatusCallback(req.h, OnStatus, WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER, 0) !=
                         WINHTTP_INVALID_STATUS_CALLBACK;
    // A server that asks for an optional client certificate is told, once,
    // that there is none, and the request goes again (libcurl goes on without
    // one by itself).
    bool noCertificateSent = false;
    const auto declineCertificate = [&](DWORD error) {
        if (error != ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED || noCertificateSent) return false;
        noCertificateSent = true;
        return WinHttpSetOption(req.h, WINHTTP_OPTION_CLIENT_CERT_CONTEXT, WINHTTP_NO_CLIENT_CERT_CONTEXT, 0) != FALSE;
    };
    for (;;) {
        if (!WinHttpSendRequest(req.h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, bodyData, bodyLength, bodyLength,
                                reinterpret_cast<DWORD_PTR>(&connected))) {
            const DWORD error = GetLastError();
            if (declineCertificate(error)) continue;
            return Fail(SendFailureStep(error, watched, connected), error);
        }
        if (WinHttpReceiveResponse(req.h, nullptr)) break;
        const DWORD error = GetLastError();
        if (!declineCertificate(error)) return Fail(ExchangeStep::Receive, error);
    }

    ExchangeReply result;
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
        if (!WinHttpReadData(req.h, buffer.data(), available, &read))
            return Fail(ExchangeStep::Receive, GetLastError());
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
