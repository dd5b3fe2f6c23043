// What the MQL program told the library about its environment. Every member
// is read and written under the process-wide lock; readers take copies.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace movu {

struct ClientSettings {
    std::vector<std::string> baseUrls;  // UTF-8, as every text inside the library
    std::string currentBaseUrl;
    std::string productSecret;
    std::string terminalDataPath;
};

// The record itself; the caller holds ProcessLock().
ClientSettings& Settings();

// The deployment's default base URLs, secondary host first.
std::string DefaultSecondaryBaseUrl();
std::string DefaultPrimaryBaseUrl();
std::string_view SecondaryHostName();
std::string SecondaryFallbackIpv4();  // an IPv4 literal

bool SplitBaseUrlList(std::string_view text, std::vector<std::string>& entries);

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
std::vector<std::string> BaseUrlList();
// The list as set, without defaults.
std::vector<std::string> SnapshotBaseUrls();
std::string SnapshotCurrentBaseUrl();
std::string SnapshotTerminalDataPath();
std::string SnapshotProductSecret();
void StoreCurrentBaseUrl(std::string_view url);

}  // namespace movu
