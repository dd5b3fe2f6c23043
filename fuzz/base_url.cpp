// Base URLs and base URL lists as MQL programs set them (UTF-8 here, as the
// 8-bit setters take them). Cracked parts must re-assemble into a URL that
// cracks the same; a list splits into its text less the delimiters.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "api/text.h"
#include "fuzz_support.h"
#include "settings/client_settings.h"
#include "transport/endpoint_url.h"

using namespace movu;

namespace {

bool IsListDelimiter(char16_t c) {
    return c == u';' || c == u',' || c == u'\n' || c == u'\r' || c == u'\t' || c == u' ';
}

void CheckCrack(std::u16string_view url) {
    EndpointUrl parts;
    if (!CrackBaseUrl(url, parts)) return;
    MOVU_FUZZ_CHECK(!parts.host.empty() && parts.host.size() <= 255 && parts.port != 0);
    MOVU_FUZZ_CHECK(parts.host.find_first_of(u"/:@") == std::u16string::npos);
    std::u16string again =
        (parts.secure ? u"https://" : u"http://") + parts.host + u":" + Utf8ToUtf16(std::to_string(parts.port));
    EndpointUrl reread;
    MOVU_FUZZ_CHECK(CrackBaseUrl(again, reread));
    MOVU_FUZZ_CHECK(reread.secure == parts.secure && reread.host == parts.host && reread.port == parts.port);
    IsSecondaryHost(parts.host);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string text = Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
    CheckCrack(text);

    std::vector<std::u16string> entries;
    bool any = SplitBaseUrlList(text, entries);
    MOVU_FUZZ_CHECK(any == !entries.empty());
    // The entries are the trimmed text less its delimiters, nothing else.
    std::u16string kept, joined;
    for (char16_t c : TrimSpace(text))
        if (!IsListDelimiter(c)) kept.push_back(c);
    for (const auto& entry : entries) {
        MOVU_FUZZ_CHECK(!entry.empty() && std::none_of(entry.begin(), entry.end(), IsListDelimiter));
        joined += entry;
        CheckCrack(entry);
    }
    MOVU_FUZZ_CHECK(joined == kept);

    std::vector<std::u16string> ordered = entries;
    SecondaryHostFirst(ordered);
    std::sort(ordered.begin(), ordered.end());
    std::sort(entries.begin(), entries.end());
    MOVU_FUZZ_CHECK(ordered == entries);
    return 0;
}
