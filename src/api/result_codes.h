// Every result code the exports return, in one table: its value, its name
// (the one the MQL5 include defines), which exports return it, what it means
// there and the short text MovuResultText gives. Where one value means
// several things (-1, -2, -3), each meaning is a row of its own, bound to
// its exports; a name may head several rows. The movu host's messages, the MQL5 include and the docs'
// table come from here or are checked against it.
//
// Self-contained (no other header of the library), so that the movu host
// and the tests can read it too.
#pragma once

#include <cstdint>

namespace movu {

// Which exports return a code.
enum ExportGroup : unsigned {
    kRequests = 1u << 0,   // the ten synchronous requests (calendar, heartbeat, VIP status)
    kStartsA = 1u << 1,    // Movu_GetAsyncSignedA and the 8-bit Movu_Start...A
    kStartsW = 1u << 2,    // Movu_GetAsyncSignedW and the UTF-16 Movu_Start...W
    kPoll = 1u << 3,       // Movu_PollA: its own codes, and the finished job's request code
    kCancel = 1u << 4,     // Movu_Cancel
    kProtect = 1u << 5,    // Movu_ProtectTextW
    kUnprotect = 1u << 6,  // Movu_UnprotectTextW
    kOpenUrl = 1u << 7,    // Movu_OpenUrl
    kStarts = kStartsA | kStartsW,
    kRequestOutcomes = kRequests | kPoll,  // what a request (synchronous or a job's) can end in
    kAllWithResult = kRequests | kStarts | kPoll | kCancel | kProtect | kUnprotect | kOpenUrl,
};

enum ResultCode : std::int32_t {
    kOk = 0,
    kArgumentMissing = -1,
    kNoAccount = -2,
    kNoJob = -2,
    kProtectFailed = -2,
    kNotBase64 = -2,
    kOpenFailed = -2,
    kArgumentEmpty = -3,
    kEncodeFailed = -3,
    kUnprotectFailed = -3,
    kThreadNotStarted = -4,
    kBadBaseUrl = -10,
    kNoSession = -11,
    kConnectFailed = -12,
    kOpenRequestFailed = -13,
    kSendFailed = -14,
    kReceiveFailed = -15,
    kEmptyToken = -70,
    kInternalError = -99,
    kNoBaseUrl = -100,
    kUnauthorized = -401,
    kTooManyRequests = -429,
    kServerError = -500,
    // Any other failed status N is -N; a token request that got no status at
    // all (every base URL failed without an answer) ends in -404.
    kTokenNoStatus = -404,
};

struct ResultCodeRow {
    std::int32_t value;
    const char* name;
    unsigned exports;     // ExportGroup bits
    const char* from;     // the exports, as the docs name them
    const char* meaning;  // the docs' and the movu host's text
    const char* brief;    // MovuResultText's text; set on the row whose name it switches on
};

inline constexpr ResultCodeRow kResultCodes[] = {
    {kOk, "MOVU_OK", kAllWithResult, "all", "success; for `Movu_PollA` also \"still running\" (see `state`)", "ok"},
    {kArgumentMissing, "MOVU_ERR_ARGUMENT", kStarts, "starts", "no job-id pointer", "missing argument or buffer"},
    {kArgumentMissing, "MOVU_ERR_ARGUMENT", kProtect | kUnprotect, "`Movu_ProtectTextW`, `Movu_UnprotectTextW`",
     "text or buffer missing, or buffer size below 1", nullptr},
    {kArgumentMissing, "MOVU_ERR_ARGUMENT", kOpenUrl, "`Movu_OpenUrl`", "url missing or blank", nullptr},
    {kNoJob, "MOVU_ERR_NO_JOB", kPoll | kCancel, "`Movu_PollA`, `Movu_Cancel`", "no job with this id", nullptr},
    {kNoAccount, "MOVU_ERR_NO_ACCOUNT", kRequestOutcomes, "requests, jobs", "account missing or empty",
     "missing account, or no such job, or protection step failed"},
    {kNoAccount, "MOVU_ERR_NO_ACCOUNT", kStartsA, "8-bit starts", "account, path or method missing", nullptr},
    {kProtectFailed, "MOVU_ERR_PROTECT", kProtect, "`Movu_ProtectTextW`", "the protection service refused", nullptr},
    {kNotBase64, "MOVU_ERR_NOT_BASE64", kUnprotect, "`Movu_UnprotectTextW`", "not valid base64", nullptr},
    {kOpenFailed, "MOVU_ERR_OPEN_FAILED", kOpenUrl, "`Movu_OpenUrl`", "the desktop refused to open it", nullptr},
    {kArgumentEmpty, "MOVU_ERR_EMPTY_ARGUMENT", kStarts, "starts", "path or method empty",
     "empty path or method, or protection step failed"},
    {kEncodeFailed, "MOVU_ERR_ENCODE", kProtect, "`Movu_ProtectTextW`", "base64 encoding failed", nullptr},
    {kUnprotectFailed, "MOVU_ERR_UNPROTECT", kUnprotect, "`Movu_UnprotectTextW`",
     "does not unprotect: another user or machine, damaged or foreign text", nullptr},
    {kThreadNotStarted, "MOVU_ERR_THREAD", kStarts, "starts", "the worker thread could not be started",
     "worker thread not started"},
    {kBadBaseUrl, "MOVU_ERR_BAD_BASE_URL", kRequestOutcomes, "requests, jobs",
     "bad base URL: it does not crack into http(s), host and port", "base URL not usable"},
    {kNoSession, "MOVU_ERR_SESSION", kRequestOutcomes, "requests, jobs",
     "transport: the HTTP session could not be opened", "HTTP session not opened"},
    {kConnectFailed, "MOVU_ERR_CONNECT", kRequestOutcomes, "requests, jobs",
     "transport: connecting failed (nothing listening, name not resolved, connect time-out)", "connection failed"},
    {kOpenRequestFailed, "MOVU_ERR_OPEN_REQUEST", kRequestOutcomes, "requests, jobs",
     "transport: the request could not be opened", "request not opened"},
    {kSendFailed, "MOVU_ERR_SEND", kRequestOutcomes, "requests, jobs",
     "transport: sending the request failed (TLS refused included)", "sending failed"},
    {kReceiveFailed, "MOVU_ERR_RECEIVE", kRequestOutcomes, "requests, jobs",
     "transport: no response arrived (connection dropped)", "no response received"},
    {kEmptyToken, "MOVU_ERR_EMPTY_TOKEN", kRequestOutcomes, "requests, jobs",
     "the token endpoint answered with an empty token", "empty token"},
    {kInternalError, "MOVU_ERR_INTERNAL", kAllWithResult, "all exports with a result",
     "internal error in the library (unexpected failure, e.g. out of memory)", "internal error"},
    {kNoBaseUrl, "MOVU_ERR_NO_BASE_URL", kRequestOutcomes, "requests, jobs", "no base URL to send to", "no base URL"},
    {kUnauthorized, "MOVU_ERR_UNAUTHORIZED", kRequestOutcomes, "requests, jobs",
     "unauthorized: HTTP 401, also after renewing the token", "HTTP 401 unauthorized"},
    {kTooManyRequests, "MOVU_ERR_TOO_MANY_REQUESTS", kRequestOutcomes, "requests, jobs", "too many requests: HTTP 429",
     "HTTP 429 too many requests"},
    {kServerError, "MOVU_ERR_SERVER", kRequestOutcomes, "requests, jobs", "server error: HTTP 500 or above",
     "HTTP 5xx server error"},
};

// The row for a value returned by one of the given exports; null when the
// value is not in the table for them (for requests: minus an HTTP status).
inline const ResultCodeRow* FindResultCode(std::int32_t value, unsigned exports) {
    for (const ResultCodeRow& row : kResultCodes)
        if (row.value == value && (row.exports & exports) != 0) return &row;
    return nullptr;
}

}  // namespace movu
