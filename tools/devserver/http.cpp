#include "http.h"

#include <boost/beast/core/detail/base64.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>

namespace movu::devserver {
namespace http = boost::beast::http;

namespace {
// The length of the UTF-8 sequence at `at` when it is well formed and names
// a printable code point (U+00A0 and up, no surrogates); 0 otherwise.
size_t PrintableSequence(std::string_view bytes, size_t at) {
    const auto c = static_cast<unsigned char>(bytes[at]);
    const size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (n == 0 || at + n > bytes.size()) return 0;
    std::uint32_t cp = c & (0xFF >> (n + 1));
    for (size_t i = 1; i < n; ++i) {
        const auto t = static_cast<unsigned char>(bytes[at + i]);
        if ((t & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (t & 0x3F);
    }
    const std::uint32_t least[] = {0, 0, 0xA0, 0x800, 0x10000};
    if (cp < least[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
    return n;
}
}  // namespace

std::string ConsoleText(std::string_view bytes, size_t limit) {
    std::string out;
    size_t i = 0;
    while (i < bytes.size() && i < limit) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if (const size_t n = c >= 0x80 ? PrintableSequence(bytes, i) : 0; n > 0) {
            out.append(bytes.substr(i, n));
            i += n;
            continue;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
        ++i;
    }
    if (i < bytes.size()) out += "...";
    return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return std::string(text);
}

std::string RequestPath(std::string_view target) {
    // Absolute form "scheme://authority/path": keep the path.
    size_t i = 0;
    if (!target.empty() && std::isalpha(static_cast<unsigned char>(target[0]))) {
        while (i < target.size() && (std::isalnum(static_cast<unsigned char>(target[i])) || target[i] == '+' ||
                                     target[i] == '.' || target[i] == '-'))
            ++i;
        if (target.substr(i, 3) == "://") {
            const size_t end = target.find_first_of("/?#", i + 3);
            target = end == std::string_view::npos ? std::string_view("/") : target.substr(end);
            if (target.front() != '/') return "/";
        }
    }
    return std::string(target.substr(0, target.find_first_of("?#")));
}

std::string Request::Path() const { return RequestPath(target); }

std::optional<std::string> Request::Header(std::string_view name) const {
    for (const auto& line : header_lines) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos && EqualsIgnoreCase(Trim(std::string_view(line).substr(0, colon)), name))
            return Trim(std::string_view(line).substr(colon + 1));
    }
    return std::nullopt;
}

bool SplitRequestLine(std::string_view line, Request& out) {
    const size_t a = line.find(' ');
    if (a == std::string_view::npos || a == 0) return false;
    const size_t b = line.find(' ', a + 1);
    if (b == std::string_view::npos || b == a + 1 || line.find(' ', b + 1) != std::string_view::npos) return false;
    if (line.substr(b + 1, 5) != "HTTP/") return false;
    out.method = line.substr(0, a);
    out.target = line.substr(a + 1, b - a - 1);
    out.version = line.substr(b + 1);
    return true;
}

RequestParser::RequestParser(const Limits& limits) {
    parser_.header_limit(static_cast<std::uint32_t>(std::min<size_t>(limits.head, UINT32_MAX)));
    parser_.body_limit(limits.body);
    parser_.eager(true);
}

std::string RequestParser::Head(std::string_view head, Request& out, int& status) {
    status = 400;
    const size_t line_end = head.find("\r\n");
    if (line_end == std::string_view::npos || !SplitRequestLine(head.substr(0, line_end), out))
        return "malformed request line";
    boost::system::error_code ec;
    size_t used = parser_.put(boost::asio::buffer(head.data(), head.size()), ec);
    if (ec == http::error::need_more || (!ec && !parser_.is_header_done())) return "request head incomplete";
    if (ec == http::error::body_limit) status = 413;  // a declared length over the limit
    if (ec) return ec.message();
    if (used != head.size() && !parser_.is_header_done()) return "request head incomplete";
    out.header_lines.clear();
    for (size_t at = line_end + 2; at < head.size();) {
        const size_t end = head.find("\r\n", at);
        if (end == std::string_view::npos || end == at) break;
        out.header_lines.emplace_back(head.substr(at, end - at));
        at = end + 2;
    }
    return {};
}

bool RequestParser::ExpectsContinue() const {
    const auto value = parser_.get()[http::field::expect];
    return !parser_.is_done() && EqualsIgnoreCase(Trim(std::string_view(value.data(), value.size())), "100-continue");
}

size_t RequestParser::Body(std::string_view bytes, std::string& why) {
    size_t used = 0;
    while (used < bytes.size() && !parser_.is_done()) {
        boost::system::error_code ec;
        const size_t n = parser_.put(boost::asio::buffer(bytes.data() + used, bytes.size() - used), ec);
        used += n;
        if (ec == http::error::need_more) break;
        if (ec) {
            why = ec.message();
            break;
        }
        if (n == 0) break;
    }
    return used;
}

bool RequestParser::Eof() {
    boost::system::error_code ec;
    parser_.put_eof(ec);
    return !ec && parser_.is_done();
}

size_t HeadEnd(std::string_view bytes, bool& bare_lf) {
    bare_lf = false;
    for (size_t at = bytes.find('\n'); at != std::string_view::npos; at = bytes.find('\n', at + 1)) {
        if (at == 0 || bytes[at - 1] != '\r') {
            bare_lf = true;
            return std::string_view::npos;
        }
        if (at >= 3 && bytes.substr(at - 3, 4) == "\r\n\r\n") return at + 1;
    }
    return std::string_view::npos;
}

std::string ParseRequest(std::string_view bytes, const Limits& limits, Request& out, bool& complete, int& status) {
    complete = false;
    status = 400;
    if (bytes.substr(0, 2) == "\r\n") bytes.remove_prefix(2);  // a stray empty line before the request
    bool bare_lf = false;
    const size_t end = HeadEnd(bytes.substr(0, limits.head + 1), bare_lf);
    if (bare_lf) return "a line ends in LF alone; HTTP lines end in CR LF";
    if (end == std::string_view::npos) {
        if (bytes.size() <= limits.head) return "";
        status = 431;
        return "request head too large";
    }
    RequestParser parser(limits);
    if (std::string why = parser.Head(bytes.substr(0, end), out, status); !why.empty()) return why;
    std::string why;
    parser.Body(bytes.substr(end), why);
    if (!why.empty()) status = why.find("body limit") != std::string::npos ? 413 : 400;
    out.body = std::move(parser.body());
    complete = parser.Done();
    return why;
}

// ---- text helpers

std::string BytesToLatin1Text(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::optional<std::string> Latin1TextToBytes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
            out += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F));
        } else {
            return std::nullopt;
        }
    }
    return out;
}

std::string GeneratedBytes(std::uint64_t offset, size_t size) {
    static constexpr std::string_view kPattern = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string out(size, '\0');
    size_t at = offset % kPattern.size();
    for (size_t i = 0; i < size; ++i) {
        out[i] = kPattern[at];
        if (++at == kPattern.size()) at = 0;
    }
    return out;
}

std::string Base64Encode(std::string_view bytes) {
    namespace b64 = boost::beast::detail::base64;
    std::string out(b64::encoded_size(bytes.size()), '\0');
    out.resize(b64::encode(out.data(), bytes.data(), bytes.size()));
    return out;
}

std::optional<std::string> Base64Decode(std::string_view text) {
    namespace b64 = boost::beast::detail::base64;
    if (text.size() % 4 != 0) return std::nullopt;
    size_t pad = 0;
    while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
    for (size_t i = 0; i + pad < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isalnum(c) && c != '+' && c != '/') return std::nullopt;
    }
    std::string out(b64::decoded_size(text.size()), '\0');
    const auto [written, read] = b64::decode(out.data(), text.data(), text.size());
    (void)read;
    out.resize(written);
    return out;
}

namespace {
int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string FormDecode(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}
}  // namespace

std::vector<std::pair<std::string, std::string>> QueryParams(std::string_view target) {
    std::vector<std::pair<std::string, std::string>> out;
    const size_t q = target.find('?');
    if (q == std::string_view::npos) return out;
    std::string_view query = target.substr(q + 1);
    query = query.substr(0, query.find('#'));
    while (!query.empty()) {
        const size_t amp = query.find('&');
        std::string_view item = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (item.empty()) continue;
        const size_t eq = item.find('=');
        std::string name = FormDecode(item.substr(0, eq));
        std::string value = eq == std::string_view::npos ? std::string() : FormDecode(item.substr(eq + 1));
        auto it = std::find_if(out.begin(), out.end(), [&](const auto& p) { return p.first == name; });
        if (it != out.end())
            it->second = std::move(value);
        else
            out.emplace_back(std::move(name), std::move(value));
    }
    return out;
}

const char* ReasonPhrase(int status) {
    if (status < 100 || status > 999) return "Unknown";
    const auto text = http::obsolete_reason(static_cast<http::status>(status));
    return text.empty() || text == "<unknown-status>" ? "Unknown" : text.data();
}

}  // namespace movu::devserver
