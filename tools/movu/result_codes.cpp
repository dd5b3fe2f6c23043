// The movu host's texts for result codes, all from the library's one table.
#include "result_codes.h"

#include <cstdio>

#include "api/result_codes.h"

namespace movu::cli {
namespace {

unsigned Exports(Family family) {
    switch (family) {
        case Family::Request: return kRequests;
        case Family::StartNarrow: return kStartsA;
        case Family::StartWide: return kStartsW;
        case Family::Poll: return kPoll;
        case Family::Cancel: return kCancel;
        case Family::Protect: return kProtect;
        case Family::Unprotect: return kUnprotect;
        case Family::OpenUrl: return kOpenUrl;
    }
    return 0;
}

const char* StatusPhrase(std::int32_t status) {
    switch (status) {
        case 400: return "bad request";
        case 403: return "forbidden";
        case 404: return "not found";
        case 405: return "method not allowed";
        case 408: return "request timeout";
        case 409: return "conflict";
        case 410: return "gone";
        case 413: return "payload too large";
        case 415: return "unsupported media type";
        case 422: return "unprocessable content";
        default: return nullptr;
    }
}

// A request's code outside the table: minus the HTTP status.
std::string StatusMeaning(std::int32_t code) {
    if (code <= -200 && code >= -299)
        return "the token endpoint answered HTTP " + std::to_string(-code) + " without a usable token";
    if (code <= -100 && code >= -599) {
        std::string text = "the service answered HTTP " + std::to_string(-code);
        if (const char* phrase = StatusPhrase(-code)) text += std::string(" (") + phrase + ")";
        return text;
    }
    return "unknown code";
}

// The table's texts are Markdown; the terminal gets them without backticks.
std::string Plain(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p)
        if (*p != '`') out += *p;
    return out;
}

}  // namespace

std::string Meaning(Family family, std::int32_t code) {
    if (code == kOk) return "ok";
    const unsigned exports = Exports(family);
    std::string text;
    for (const ResultCodeRow& row : kResultCodes) {
        if (row.value != code || (row.exports & exports) == 0) continue;
        if (text.empty())
            text = Plain(row.meaning);
        else
            text += " (or: " + Plain(row.meaning) + ")";
    }
    if (!text.empty()) return text;
    if (exports & kRequestOutcomes) return StatusMeaning(code);
    return "unknown code";
}

std::string CodeTable() {
    std::string out =
        "Result codes (0 is success; every failure is negative)\n"
        "\n"
        "  code   name                        from: meaning\n";
    for (const ResultCodeRow& row : kResultCodes) {
        char head[64];
        std::snprintf(head, sizeof head, "  %-6d %-27s ", static_cast<int>(row.value), row.name);
        out += head;
        out += Plain(row.from) + ": " + Plain(row.meaning) + "\n";
    }
    out +=
        "  -2xx   (requests, jobs) the token endpoint answered 2xx without a usable token\n"
        "  -N     (requests, jobs) any other HTTP status N (e.g. -404)\n";
    return out;
}

}  // namespace movu::cli
