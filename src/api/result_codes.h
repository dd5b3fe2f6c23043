// The library's names for the result codes of include/movu_mt5.h, and which
// exports return each: the header's list, one row per name, joined with what
// only the docs need. The MQL5 include's defines, its MovuResultText and the
// docs' table are checked against this (tests/unit/result_codes_test.cpp).
#pragma once

#include <cstdint>
#include <string_view>

#include "movu_mt5.h"

namespace movu {

enum ResultCode : std::int32_t {
    kOk = MOVU_OK,
    kArgumentMissing = MOVU_ERR_ARGUMENT,
    kNoAccount = MOVU_ERR_NO_ACCOUNT,
    kNoJob = MOVU_ERR_NO_JOB,
    kProtectFailed = MOVU_ERR_PROTECT,
    kNotBase64 = MOVU_ERR_NOT_BASE64,
    kOpenFailed = MOVU_ERR_OPEN_FAILED,
    kArgumentEmpty = MOVU_ERR_EMPTY_ARGUMENT,
    kEncodeFailed = MOVU_ERR_ENCODE,
    kUnprotectFailed = MOVU_ERR_UNPROTECT,
    kThreadNotStarted = MOVU_ERR_THREAD,
    kBadBaseUrl = MOVU_ERR_BAD_BASE_URL,
    kNoSession = MOVU_ERR_SESSION,
    kConnectFailed = MOVU_ERR_CONNECT,
    kOpenRequestFailed = MOVU_ERR_OPEN_REQUEST,
    kSendFailed = MOVU_ERR_SEND,
    kReceiveFailed = MOVU_ERR_RECEIVE,
    kEmptyToken = MOVU_ERR_EMPTY_TOKEN,
    kInternalError = MOVU_ERR_INTERNAL,
    kNoBaseUrl = MOVU_ERR_NO_BASE_URL,
    kUnauthorized = MOVU_ERR_UNAUTHORIZED,
    kTooManyRequests = MOVU_ERR_TOO_MANY_REQUESTS,
    kServerError = MOVU_ERR_SERVER,
    // Any other failed status N is -N; a token request that got no status at
    // all (every base URL failed without an answer) ends in -404.
    kTokenNoStatus = -404,
};

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

struct ResultCodeRow {
    std::int32_t value;
    const char* name;
    const char* text;   // the header's text
    unsigned exports;   // ExportGroup bits
    const char* from;   // the exports, as the docs name them
    const char* brief;  // the MQL5 include's MovuResultText; on the first name of a value only
};

// The header's list as rows; exports, from and brief follow in kResultCodeUse.
inline constexpr struct {
    std::int32_t value;
    std::string_view name;
    const char* text;
} kHeaderCodes[] = {
#define MOVU_HEADER_ROW_(name, value, text) {value, #name, text},
    MOVU_RESULT_CODES(MOVU_HEADER_ROW_)
#undef MOVU_HEADER_ROW_
};

struct ResultCodeUse {
    std::string_view name;
    unsigned exports;
    const char* from;
    const char* brief;
};

// In the header's order, one row per name.
inline constexpr ResultCodeUse kResultCodeUse[] = {
    {"MOVU_OK", kAllWithResult, "all", "ok"},
    {"MOVU_ERR_ARGUMENT", kStarts | kProtect | kUnprotect | kOpenUrl,
     "starts, `Movu_ProtectTextW`, `Movu_UnprotectTextW`, `Movu_OpenUrl`", "missing argument or buffer"},
    {"MOVU_ERR_NO_ACCOUNT", kRequestOutcomes | kStartsA, "requests, jobs, 8-bit starts",
     "missing account, or no such job, or protection step failed"},
    {"MOVU_ERR_NO_JOB", kPoll | kCancel, "`Movu_PollA`, `Movu_Cancel`", nullptr},
    {"MOVU_ERR_PROTECT", kProtect, "`Movu_ProtectTextW`", nullptr},
    {"MOVU_ERR_NOT_BASE64", kUnprotect, "`Movu_UnprotectTextW`", nullptr},
    {"MOVU_ERR_OPEN_FAILED", kOpenUrl, "`Movu_OpenUrl`", nullptr},
    {"MOVU_ERR_EMPTY_ARGUMENT", kStarts, "starts", "empty path or method, or protection step failed"},
    {"MOVU_ERR_ENCODE", kProtect, "`Movu_ProtectTextW`", nullptr},
    {"MOVU_ERR_UNPROTECT", kUnprotect, "`Movu_UnprotectTextW`", nullptr},
    {"MOVU_ERR_THREAD", kStarts, "starts", "worker thread not started"},
    {"MOVU_ERR_BAD_BASE_URL", kRequestOutcomes, "requests, jobs", "base URL not usable"},
    {"MOVU_ERR_SESSION", kRequestOutcomes, "requests, jobs", "HTTP session not opened"},
    {"MOVU_ERR_CONNECT", kRequestOutcomes, "requests, jobs", "connection failed"},
    {"MOVU_ERR_OPEN_REQUEST", kRequestOutcomes, "requests, jobs", "request not opened"},
    {"MOVU_ERR_SEND", kRequestOutcomes, "requests, jobs", "sending failed"},
    {"MOVU_ERR_RECEIVE", kRequestOutcomes, "requests, jobs", "no response received"},
    {"MOVU_ERR_EMPTY_TOKEN", kRequestOutcomes, "requests, jobs", "empty token"},
    {"MOVU_ERR_INTERNAL", kAllWithResult, "all exports with a result", "internal error"},
    {"MOVU_ERR_NO_BASE_URL", kRequestOutcomes, "requests, jobs", "no base URL"},
    {"MOVU_ERR_UNAUTHORIZED", kRequestOutcomes, "requests, jobs", "HTTP 401 unauthorized"},
    {"MOVU_ERR_TOO_MANY_REQUESTS", kRequestOutcomes, "requests, jobs", "HTTP 429 too many requests"},
    {"MOVU_ERR_SERVER", kRequestOutcomes, "requests, jobs", "HTTP 5xx server error"},
};

constexpr std::size_t kResultCodeCount = sizeof kHeaderCodes / sizeof kHeaderCodes[0];

constexpr bool UseFollowsTheHeader() {
    if (sizeof kResultCodeUse / sizeof kResultCodeUse[0] != kResultCodeCount) return false;
    for (std::size_t i = 0; i < kResultCodeCount; ++i)
        if (kResultCodeUse[i].name != kHeaderCodes[i].name) return false;
    return true;
}
static_assert(UseFollowsTheHeader(), "kResultCodeUse names each code of MOVU_RESULT_CODES once, in its order");

inline ResultCodeRow ResultCodeAt(std::size_t i) {
    return {kHeaderCodes[i].value,     kHeaderCodes[i].name.data(), kHeaderCodes[i].text,
            kResultCodeUse[i].exports, kResultCodeUse[i].from,      kResultCodeUse[i].brief};
}

}  // namespace movu
