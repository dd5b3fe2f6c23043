// What the MQL program told the library about its environment. Every member
// is read and written under the process-wide lock; readers take copies.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/base_url.h"

namespace movu {

struct ClientSettings {
    std::vector<BaseUrl> baseUrls;  // cracked when set
    BaseUrl currentBaseUrl;
    std::string productSecret;
    std::string terminalDataPath;
};

// The record itself; the caller holds ProcessLock().
ClientSettings& Settings();

// The deployment's default base URLs, secondary host first.
std::string DefaultSecondaryBaseUrl();
std::string DefaultPrimaryBaseUrl();
std::string_view SecondaryHostName();
std::string_view SecondaryFallbackIpv4();  // an IPv4 literal

bool SplitBaseUrlList(std::string_view text, std::vector<std::string>& entries);

// Cracks text and marks whether it mentions the secondary default host.
BaseUrl MakeBaseUrl(std::string_view text);

// Setter bodies, given the caller's text as UTF-8.
void SetBaseUrl(std::string_view url);
void SetBaseUrls(std::string_view list);
void SetProductSecret(std::string_view secret);
void SetTerminalDataPath(std::string_view path);

// Snapshot reads and writes, each taking the lock for itself.
// Until a base URL is set, the deployment's defaults (secondary host first)
// become the list and the current base URL the first time a request needs one.
void ApplyDefaultBaseUrlsIfUnset();
// The list, with the defaults applied.
std::vector<BaseUrl> BaseUrlList();
BaseUrl SnapshotCurrentBaseUrl();
std::string SnapshotTerminalDataPath();
void StoreCurrentBaseUrl(const BaseUrl& url);

// Stable partition: entries that mention the secondary default host first.
void SecondaryHostFirst(std::vector<BaseUrl>& baseUrls);

enum class BaseUrlOrder { AsSet, SecondaryHostFirst };

// The one walk over the base URLs (defaults applied), taken from a snapshot:
// offers each to attempt, in order, until attempt returns true. False when
// there was no base URL to offer.
bool WalkBaseUrls(BaseUrlOrder order, const std::function<bool(const BaseUrl& baseUrl)>& attempt);

}  // namespace movu
