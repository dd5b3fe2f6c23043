#include "token/token_cache.h"

#include <cstdio>

#include "api/text.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "settings/client_settings.h"
#include "token/client_token.h"
#include "token/protected_text.h"

namespace movu {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::string JoinPath(std::string_view a, std::string_view b) {
    if (a.empty()) return std::string(b);
    if (b.empty()) return std::string(a);
    std::string joined(a);
    if (!IsSeparator(joined.back())) joined.push_back(platform::PathSeparator());
    joined.append(b);
    return joined;
}

// The file name depends on the account alone. The folder keeps the name
// "MQL4" that existing installations already hold their files under.
std::string TokenCachePath(std::string_view account) {
    const std::string dataPath = SnapshotTerminalDataPath();
    if (dataPath.empty()) return {};
    std::string digest;
    if (!Sha256Hex(account, digest)) return {};
    const std::string fileName = "token_" + digest.substr(0, 16) + ".dat";
    std::string path = JoinPath(dataPath, "MQL4");
    path = JoinPath(path, "Files");
    path = JoinPath(path, "qz_movu");
    return JoinPath(path, fileName);
}

bool ReadSmallFile(const std::string& path, std::string& content) {
    content.clear();
    std::FILE* file = platform::OpenFile(path, false);
    if (file == nullptr) return false;
    content.resize(kTokenCacheReadLimit);
    content.resize(std::fread(&content[0], 1, kTokenCacheReadLimit, file));
    std::fclose(file);
    return true;
}

bool LoadTokenCache(std::string_view account) {
    ClientToken& held = TokenState();
    if (!held.token.empty() && held.expiry >= 1 && held.ownerAccount == account) return true;

    const std::string path = TokenCachePath(account);
    if (path.empty()) return false;
    std::string content;
    if (!ReadSmallFile(path, content)) return false;
    std::string_view text = ascii::TrimSpace(content);
    if (text.empty()) return false;
    std::string plain;
    if (UnprotectFromText(text, plain) != UnprotectOutcome::Ok) return false;
    std::string_view json = ascii::TrimSpace(plain);
    if (json.empty()) return false;

    std::string token, expiresAt;
    if (!ExtractJsonString(json, "token", token) || !ExtractJsonString(json, "expires_at", expiresAt)) return false;
    std::int64_t expiry = 0;
    if (!ParseIsoTimestamp(expiresAt, expiry)) return false;
    if (token.empty() || expiry <= 0) return false;

    // A past expiry is taken all the same; the caller's validity check
    // decides whether the token can still be used. A file written elsewhere
    // may hold any bytes: the token is checked once, here.
    held.token = ValidUtf8(token);
    held.expiry = expiry;
    held.ownerAccount.assign(account.data(), account.size());
    return true;
}

void SaveTokenCache(std::string_view account, std::string_view token, std::int64_t expiry) {
    const std::string path = TokenCachePath(account);
    if (path.empty()) return;
    std::size_t cut = path.find_last_of("\\/");
    if (cut != std::string::npos && cut > 0) platform::CreateDirectories(path.substr(0, cut));

    std::string plain = "{\"ok\":true,\"token\":\"";
    plain.append(token.data(), token.size());
    plain += "\",\"expires_at\":\"";
    plain += FormatIsoTimestamp(expiry);
    plain += "\"}";

    std::string text;
    if (ProtectToText(plain, text) != ProtectOutcome::Ok) return;
    // Written in place: a file cut short by a crash no longer unprotects and
    // is simply fetched anew.
    std::FILE* file = platform::OpenFile(path, true);
    if (file == nullptr) return;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

}  // namespace movu
