#include "transport/query_params.h"

#include <algorithm>

#include "platform/ascii.h"

namespace movu {

namespace {

bool IsUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

}  // namespace

QueryParams ParseQueryText(std::string_view text) {
    QueryParams params;
    if (!text.empty() && text.front() == '?') text.remove_prefix(1);
    if (text.empty()) return params;
    std::size_t pos = 0;
    while (true) {
        std::size_t amp = text.find('&', pos);
        std::string_view piece = text.substr(pos, amp == std::string_view::npos ? std::string_view::npos : amp - pos);
        std::size_t eq = piece.find('=');
        std::string key = PercentDecode(piece.substr(0, eq));
        std::string value = eq == std::string_view::npos ? std::string() : PercentDecode(piece.substr(eq + 1));
        if (!key.empty()) params.emplace_back(std::move(key), std::move(value));
        if (amp == std::string_view::npos) break;
        pos = amp + 1;
    }
    return params;
}

std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size() && ascii::HexValue(text[i + 1]) >= 0 &&
                   ascii::HexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(ascii::HexValue(text[i + 1]) * 16 + ascii::HexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::string BuildQueryText(const QueryParams& params) {
    QueryParams sorted(params);
    // Byte order; std::string compares as unsigned char via char_traits.
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string out;
    for (const auto& [key, value] : sorted) {
        if (!out.empty()) out.push_back('&');
        out += PercentEncode(key);
        out.push_back('=');
        out += PercentEncode(value);
    }
    return out;
}

std::string PercentEncode(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (char ch : bytes) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (IsUnreserved(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            ascii::AppendHex(out, c);
        }
    }
    return out;
}

}  // namespace movu
