// What the MQL program told the library about its environment. Every member
// is read and written under the process-wide lock; readers take copies.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace movu {

struct ClientSettings {
    std::vector<std::u16string> baseUrls;
    std::u16string currentBaseUrl;
    std::string productSecret;
    std::string terminalDataPath;
};

// The record itself; the caller holds ProcessLock().
ClientSettings& Settings();

// The deployment's default base URLs, secondary host first.
std::u16string DefaultSecondaryBaseUrl();
std::u16string DefaultPrimaryBaseUrl();
std::u16string_view SecondaryHostName();
std::string SecondaryFallbackIpv4();  // an IPv4 literal

bool SplitBaseUrlList(std::u16string_view text, std::vector<std::u16string>& entries);

// Setter bodies; the text is taken as given (already read from the caller).
void SetBaseUrl(std::u16string_view url);
void SetBaseUrls(std::u16string_view list);
void SetProductSecret(std::u16string_view secret);
void SetTerminalDataPath(std::u16string_view path);

// Snapshot reads and writes, each taking the lock for itself.
// Until a base URL is set, the deployment's defaults (secondary host first)
// become the list and the current base URL the first time a request needs one.
void ApplyDefaultBaseUrlsIfUnset();
// The list, with the defaults applied.
std::vector<std::u16string> BaseUrlList();
// The list as set, without defaults.
std::vector<std::u16string> SnapshotBaseUrls();
std::u16string SnapshotCurrentBaseUrl();
std::string SnapshotTerminalDataPath();
std::string SnapshotProductSecret();
void StoreCurrentBaseUrl(std::u16string_view url);

}  // namespace movu
