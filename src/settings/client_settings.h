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
std::u16string_view SecondaryFallbackIpv4();

bool SplitBaseUrlList(std::u16string_view text, std::vector<std::u16string>& entries);

// The caller holds ProcessLock().
void EnsureDefaultBaseUrls();

// Setter bodies; the text is taken as given (already read from the caller).
void SetBaseUrl(std::u16string_view url);
void SetBaseUrls(std::u16string_view list);
void SetProductSecret(std::u16string_view secret);
void SetTerminalDataPath(std::u16string_view path);

// Snapshot reads and writes, each taking the lock for itself.
void InstallDefaultBaseUrls();
std::vector<std::u16string> SnapshotBaseUrls();
std::u16string SnapshotCurrentBaseUrl();
std::string SnapshotTerminalDataPath();
std::string SnapshotProductSecret();
void StoreCurrentBaseUrl(std::u16string_view url);

}  // namespace movu
