#include "settings/client_settings.h"

#include <algorithm>
#include <mutex>

#include "api/lifetime.h"
#include "api/process_lock.h"
#include "api/text.h"
#include "platform/ascii.h"

#ifndef MOVU_PRIMARY_HOST
#error "MOVU_PRIMARY_HOST must name the primary default host"
#endif
#ifndef MOVU_SECONDARY_HOST
#error "MOVU_SECONDARY_HOST must name the secondary default host"
#endif
#ifndef MOVU_SECONDARY_IPV4
#error "MOVU_SECONDARY_IPV4 must give the secondary host's fallback IPv4"
#endif

namespace movu {

namespace {

constexpr char kPrimaryHost[] = MOVU_PRIMARY_HOST;
constexpr char kSecondaryHost[] = MOVU_SECONDARY_HOST;
constexpr char kSecondaryIpv4[] = MOVU_SECONDARY_IPV4;

bool IsListDelimiter(char c) { return c == ';' || c == ',' || c == '\n' || c == '\r' || c == '\t' || c == ' '; }

}  // namespace

std::string DefaultSecondaryBaseUrl() { return "https://" + std::string(kSecondaryHost); }
std::string DefaultPrimaryBaseUrl() { return "https://" + std::string(kPrimaryHost); }
std::string_view SecondaryHostName() { return kSecondaryHost; }
std::string_view SecondaryFallbackIpv4() { return kSecondaryIpv4; }

ClientSettings& Settings() {
    // The current base URL names the primary host from load on.
    static LibraryLifetime<ClientSettings> settings(ClientSettings{{}, MakeBaseUrl(DefaultPrimaryBaseUrl()), {}, {}});
    return settings.get();
}

bool SplitBaseUrlList(std::string_view text, std::vector<std::string>& entries) {
    entries.clear();
    std::string trimmed = TrimSpace(text);
    std::size_t pos = 0;
    while (pos <= trimmed.size()) {
        std::size_t end = pos;
        while (end < trimmed.size() && !IsListDelimiter(trimmed[end])) ++end;
        if (end > pos) entries.push_back(trimmed.substr(pos, end - pos));
        pos = end + 1;
    }
    return !entries.empty();
}

// The host name is ASCII, so folding ASCII letters is the whole of the
// case-insensitive match; no other letter can fold into it.
BaseUrl MakeBaseUrl(std::string_view text) {
    BaseUrl url;
    CrackBaseUrl(text, url);
    const std::string name = ascii::Lower(SecondaryHostName());
    url.secondaryHost = ascii::Lower(url.text).find(name) != std::string::npos;
    return url;
}

namespace {

// The caller holds ProcessLock().
void ApplyDefaultsLocked() {
    ClientSettings& s = Settings();
    if (!s.baseUrls.empty()) return;
    s.baseUrls.push_back(MakeBaseUrl(DefaultSecondaryBaseUrl()));
    s.baseUrls.push_back(MakeBaseUrl(DefaultPrimaryBaseUrl()));
    s.currentBaseUrl = s.baseUrls.front();
}

}  // namespace

void SetBaseUrl(std::string_view url) {
    BaseUrl cracked = MakeBaseUrl(url);
    if (cracked.text.empty()) return;
    std::lock_guard<std::mutex> lock(ProcessLock());
    ClientSettings& s = Settings();
    s.currentBaseUrl = cracked;
    s.baseUrls.assign(1, std::move(cracked));
}

void SetBaseUrls(std::string_view list) {
    std::vector<std::string> entries;
    if (!SplitBaseUrlList(list, entries)) return;
    std::vector<BaseUrl> urls;
    urls.reserve(entries.size());
    for (const std::string& entry : entries) urls.push_back(MakeBaseUrl(entry));
    std::lock_guard<std::mutex> lock(ProcessLock());
    ClientSettings& s = Settings();
    s.currentBaseUrl = urls.front();
    s.baseUrls = std::move(urls);
}

void SetProductSecret(std::string_view secret) {
    std::string utf8 = TrimSpace(secret);
    std::lock_guard<std::mutex> lock(ProcessLock());
    Settings().productSecret = std::move(utf8);
}

void SetTerminalDataPath(std::string_view path) {
    std::string utf8 = TrimSpace(path);
    std::lock_guard<std::mutex> lock(ProcessLock());
    Settings().terminalDataPath = std::move(utf8);
}

void ApplyDefaultBaseUrlsIfUnset() {
    std::lock_guard<std::mutex> lock(ProcessLock());
    ApplyDefaultsLocked();
}

std::vector<BaseUrl> BaseUrlList() {
    std::lock_guard<std::mutex> lock(ProcessLock());
    ApplyDefaultsLocked();
    return Settings().baseUrls;
}

BaseUrl SnapshotCurrentBaseUrl() {
    std::lock_guard<std::mutex> lock(ProcessLock());
    return Settings().currentBaseUrl;
}

std::string SnapshotTerminalDataPath() {
    std::lock_guard<std::mutex> lock(ProcessLock());
    return Settings().terminalDataPath;
}

#ifdef MOVU_TEST_HOOKS
std::vector<std::string> SnapshotBaseUrls() {
    std::lock_guard<std::mutex> lock(ProcessLock());
    std::vector<std::string> texts;
    for (const BaseUrl& url : Settings().baseUrls) texts.push_back(url.text);
    return texts;
}

std::string SnapshotProductSecret() {
    std::lock_guard<std::mutex> lock(ProcessLock());
    return Settings().productSecret;
}
#endif

void StoreCurrentBaseUrl(const BaseUrl& url) {
    std::lock_guard<std::mutex> lock(ProcessLock());
    Settings().currentBaseUrl = url;
}

void SecondaryHostFirst(std::vector<BaseUrl>& baseUrls) {
    std::stable_partition(baseUrls.begin(), baseUrls.end(), [](const BaseUrl& url) { return url.secondaryHost; });
}

bool WalkBaseUrls(BaseUrlOrder order, const std::function<bool(const BaseUrl& baseUrl)>& attempt) {
    std::vector<BaseUrl> urls = BaseUrlList();
    if (order == BaseUrlOrder::SecondaryHostFirst) SecondaryHostFirst(urls);
    for (const BaseUrl& url : urls)
        if (attempt(url)) break;
    return !urls.empty();
}

}  // namespace movu
