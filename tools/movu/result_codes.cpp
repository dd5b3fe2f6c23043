#include "result_codes.h"

namespace movu::cli {
namespace {

const char* Transport(std::int32_t code) {
    switch (code) {
        case -10: return "bad base URL: it does not crack into http(s), host and port";
        case -11: return "transport: the HTTP session could not be opened";
        case -12: return "transport: connecting failed (nothing listening, or TLS refused)";
        case -13: return "transport: the request could not be opened";
        case -14: return "transport: sending the request failed";
        case -15: return "transport: no response arrived (connection dropped)";
        default: return nullptr;
    }
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

std::string RequestMeaning(std::int32_t code) {
    if (code == 0) return "ok";
    if (code == -2) return "account missing or empty";
    if (const char* t = Transport(code)) return t;
    switch (code) {
        case -70: return "the token endpoint answered with an empty token";
        case -99: return "internal error in the library (unexpected failure, e.g. out of memory)";
        case -100: return "no base URL to send to";
        case -401: return "unauthorized: HTTP 401, also after renewing the token";
        case -429: return "too many requests: HTTP 429";
        case -500: return "server error: HTTP 500 or above";
        default: break;
    }
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
    if (code == 0) return "ok";
    if (code == -99) return RequestMeaning(code);
    switch (family) {
        case Family::Request:
            return RequestMeaning(code);
        case Family::StartNarrow:
        case Family::StartWide:
            switch (code) {
                case -1: return "no job-id pointer";
                case -2:
                    return family == Family::StartNarrow ? "account, path or method missing"
                                                         : "unknown code";
                case -3: return "path or method empty";
                case -4: return "the worker thread could not be started";
                default: return "unknown code";
            }
        case Family::Poll:
            if (code == -2) return "no job with this id (or a job whose account was empty)";
            return RequestMeaning(code);
        case Family::Cancel:
            return code == -2 ? "no job with this id" : "unknown code";
        case Family::Protect:
            switch (code) {
                case -1: return "text or buffer missing, or buffer size below 1";
                case -2: return "the protection service refused";
                case -3: return "base64 encoding failed";
                default: return "unknown code";
            }
        case Family::Unprotect:
            switch (code) {
                case -1: return "text or buffer missing, or buffer size below 1";
                case -2: return "not valid base64";
                case -3: return "does not unprotect: another user or machine, damaged or foreign text";
                default: return "unknown code";
            }
        case Family::OpenUrl:
            switch (code) {
                case -1: return "url missing or blank";
                case -2: return "the desktop refused to open it";
                default: return "unknown code";
            }
    }
    return "unknown code";
}

std::string CodeTable() {
    return
        "Result codes (0 is success; every failure is negative)\n"
        "\n"
        "  code   meaning\n"
        "  0      ok\n"
        "  -1     jobs: no job-id pointer | protect/unprotect: text or buffer missing |\n"
        "         open-url: url missing or blank\n"
        "  -2     requests: account missing or empty | narrow starts: account, path or method\n"
        "         missing | poll/cancel: no job with this id | protect: protection refused |\n"
        "         unprotect: not valid base64 | open-url: the desktop refused\n"
        "  -3     starts: path or method empty | protect: base64 encoding failed |\n"
        "         unprotect: another user or machine, damaged or foreign text\n"
        "  -4     starts: the worker thread could not be started\n"
        "  -10    bad base URL (no http(s), host and port)\n"
        "  -11    HTTP session could not be opened\n"
        "  -12    connecting failed\n"
        "  -13    request could not be opened\n"
        "  -14    sending failed\n"
        "  -15    no response arrived\n"
        "  -70    the token endpoint answered with an empty token\n"
        "  -99    internal error in the library\n"
        "  -100   no base URL\n"
        "  -401   HTTP 401, also after renewing the token\n"
        "  -429   HTTP 429\n"
        "  -500   HTTP 500 or above\n"
        "  -2xx   the token endpoint answered 2xx without a usable token\n"
        "  -N     any other HTTP status N (e.g. -404)\n";
}

}  // namespace movu::cli
