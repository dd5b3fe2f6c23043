// Base URLs and base URL lists as MQL programs set them (UTF-8 here, as the
// 8-bit setters take them). Cracked parts must re-assemble into a URL that
// cracks the same; a list splits into its text less the delimiters.
#include <algorithm>
#include <vector>

#include "api/text.h"
#include "fuzz_support.h"
#include "settings/client_settings.h"

using namespace movu;

static bool IsListDelimiter(char c) { return std::string_view(";,\n\r\t ").find(c) != std::string_view::npos; }

static void CheckCrack(std::string_view url) {
    BaseUrl parts, reread;
    if (!CrackBaseUrl(url, parts)) return;
    fuzz::Check(!parts.host.empty() && Utf8ToUtf16(parts.host).size() <= 255 && parts.port != 0);
    // A host holds no delimiter, but for an IPv6 literal's colons inside its brackets.
    const std::string& h = parts.host;
    const bool literal = h.size() > 2 && h.front() == '[' && h.back() == ']';
    const std::string inside = literal ? h.substr(1, h.size() - 2) : h;
    fuzz::Check(inside.find_first_of(literal ? "/@[]" : "/:@") == std::string::npos);
    std::string again = (parts.secure ? "https://" : "http://") + parts.host + ":" + std::to_string(parts.port);
    fuzz::Check(CrackBaseUrl(again, reread));
    fuzz::Check(reread.secure == parts.secure && reread.host == parts.host && reread.port == parts.port);
}

MOVU_FUZZ_TARGET(input) {
    const std::string text = ValidUtf8(input);  // as the setters store it
    CheckCrack(text);

    std::vector<std::string> entries;
    fuzz::Check(SplitBaseUrlList(text, entries) == !entries.empty());
    // The entries are the trimmed text less its delimiters, nothing else.
    std::string kept, joined;
    for (char c : TrimSpace(text))
        if (!IsListDelimiter(c)) kept.push_back(c);
    for (const auto& entry : entries) {
        fuzz::Check(!entry.empty() && std::none_of(entry.begin(), entry.end(), IsListDelimiter));
        joined += entry;
        CheckCrack(entry);
    }
    fuzz::Check(joined == kept);

    // Each entry is kept as its text less any space around it.
    std::vector<BaseUrl> ordered;
    for (auto& entry : entries) {
        ordered.push_back(MakeBaseUrl(entry));
        entry = TrimSpace(entry);
    }
    SecondaryHostFirst(ordered);
    std::vector<std::string> texts;
    for (const BaseUrl& url : ordered) texts.push_back(url.text);
    std::sort(texts.begin(), texts.end());
    std::sort(entries.begin(), entries.end());
    fuzz::Check(texts == entries);
}
