// The movu host's texts for result codes, from the public header's list.
#include "result_codes.h"

#include <cstdio>
#include <initializer_list>

#include "movu_mt5.h"

namespace movu::cli {
namespace {

struct Code {
    std::int32_t value;
    const char* name;
    const char* text;
};

constexpr Code kCodes[] = {
#define MOVU_CLI_CODE_(name, value, text) {value, #name, text},
    MOVU_RESULT_CODES(MOVU_CLI_CODE_)
#undef MOVU_CLI_CODE_
};

// Values 0 to -4 have a name per family of exports: the names among them
// each family returns. Beyond -4 a name means the same everywhere; requests
// and jobs return them all, the other exports only the internal error.
bool Returns(Family family, const Code& code) {
    const std::string name = code.name;
    const auto any = [&](std::initializer_list<const char*> names) {
        for (const char* n : names)
            if (name == n) return true;
        return false;
    };
    if (code.value == MOVU_OK || code.value == MOVU_ERR_INTERNAL) return true;
    if (code.value < MOVU_ERR_THREAD) return family == Family::Request || family == Family::Poll;
    switch (family) {
        case Family::Request: return any({"MOVU_ERR_NO_ACCOUNT"});
        case Family::StartNarrow:
            return any({"MOVU_ERR_ARGUMENT", "MOVU_ERR_NO_ACCOUNT", "MOVU_ERR_EMPTY_ARGUMENT", "MOVU_ERR_THREAD"});
        case Family::StartWide: return any({"MOVU_ERR_ARGUMENT", "MOVU_ERR_EMPTY_ARGUMENT", "MOVU_ERR_THREAD"});
        case Family::Poll: return any({"MOVU_ERR_NO_JOB", "MOVU_ERR_NO_ACCOUNT"});
        case Family::Cancel: return any({"MOVU_ERR_NO_JOB"});
        case Family::Protect: return any({"MOVU_ERR_ARGUMENT", "MOVU_ERR_PROTECT", "MOVU_ERR_ENCODE"});
        case Family::Unprotect: return any({"MOVU_ERR_ARGUMENT", "MOVU_ERR_NOT_BASE64", "MOVU_ERR_UNPROTECT"});
        case Family::OpenUrl: return any({"MOVU_ERR_ARGUMENT", "MOVU_ERR_OPEN_FAILED"});
    }
    return false;
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

}  // namespace

std::string Meaning(Family family, std::int32_t code) {
    if (code == MOVU_OK) return "ok";
    std::string text;
    const auto add = [&](const Code& row) {
        text += text.empty() ? std::string(row.text) : std::string(" (or: ") + row.text + ")";
    };
    // A poll's own answer (no such job) comes before a finished request's code.
    for (const Code& row : kCodes)
        if (row.value == code && Returns(family, row) && std::string(row.name) == "MOVU_ERR_NO_JOB") add(row);
    for (const Code& row : kCodes)
        if (row.value == code && Returns(family, row) && std::string(row.name) != "MOVU_ERR_NO_JOB") add(row);
    if (!text.empty()) return text;
    if (family == Family::Request || family == Family::Poll) return StatusMeaning(code);
    return "unknown code";
}

std::string CodeTable() {
    std::string out =
        "Result codes (0 is success; every failure is negative)\n"
        "\n"
        "  code   name                        meaning\n";
    for (const Code& row : kCodes) {
        char head[64];
        std::snprintf(head, sizeof head, "  %-6d %-27s ", static_cast<int>(row.value), row.name);
        out += head;
        out += std::string(row.text) + "\n";
    }
    out +=
        "  -2xx   (requests, jobs) the token endpoint answered 2xx without a usable token\n"
        "  -N     (requests, jobs) any other HTTP status N (e.g. -404)\n";
    return out;
}

}  // namespace movu::cli
