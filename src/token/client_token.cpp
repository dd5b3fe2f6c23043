#include "token/client_token.h"

#include <cstdio>

#include "api/lifetime.h"
#include "platform/platform.h"

namespace movu {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
std::int64_t DaysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2);
}

// timegm without range checks: out-of-range fields carry over.
std::int64_t CalendarToSeconds(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour,
                               std::int64_t minute, std::int64_t second) {
    std::int64_t m0 = month - 1;
    std::int64_t carry = m0 >= 0 ? m0 / 12 : -((11 - m0) / 12);
    year += carry;
    m0 -= carry * 12;
    std::int64_t days = DaysFromCivil(year, m0 + 1, 1) + (day - 1);
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

const std::int64_t kLatest = CalendarToSeconds(3001, 1, 1, 0, 0, 0) - 1;  // 3000-12-31T23:59:59Z

}  // namespace

std::mutex& TokenLock() {
    static LibraryLifetime<std::mutex> lock;
    return lock.get();
}

ClientToken& TokenState() {
    static LibraryLifetime<ClientToken> token;
    return token.get();
}

void ClearTokenState() { TokenState() = ClientToken{}; }

std::int64_t Now() { return platform::NowUnixSeconds(); }

bool IsUsableFor(const ClientToken& held, std::string_view account, std::int64_t now) {
    return !held.token.empty() && held.ownerAccount == account && held.expiry > now + 300;
}

bool ExtractJsonString(std::string_view json, std::string_view key, std::string& value) {
    value.clear();
    std::string needle;
    needle.reserve(key.size() + 2);
    needle += '"';
    needle += key;
    needle += '"';
    std::size_t found = json.find(needle);
    if (found == std::string_view::npos) return false;
    std::size_t p = found + needle.size();
    if (p >= json.size()) return false;
    std::size_t colon = json.find(':', p);
    if (colon == std::string_view::npos) return false;
    std::size_t q1 = json.find('"', colon + 1);
    if (q1 == std::string_view::npos) return false;
    std::size_t q2 = json.find('"', q1 + 1);
    if (q2 == std::string_view::npos) return false;
    value.assign(json.substr(q1 + 1, q2 - q1 - 1));
    return true;
}

bool ParseIsoTimestamp(std::string_view text, std::int64_t& seconds) {
    seconds = 0;
    if (text.size() < 19) return false;
    // The scan functions want a terminated text; a zero byte inside ends it
    // there, as it would for them.
    const std::string s(text);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &year, &month, &day, &hour, &minute, &second) < 6)
        return false;

    int sign = 0, offsetHours = 0, offsetMinutes = 0;
    if (s.size() >= 20 && (s[19] == '+' || s[19] == '-')) {
        sign = s[19] == '+' ? 1 : -1;
        if (s.size() >= 25) {
            int h = 0, m = 0;
            int got = std::sscanf(s.c_str() + 20, "%2d:%2d", &h, &m);
            if (got >= 1) offsetHours = h;
            if (got >= 2) offsetMinutes = m;
        }
    }

    std::int64_t t = CalendarToSeconds(year, month, day, hour, minute, second);
    if (t < 0 || t > kLatest) return false;
    seconds = t - static_cast<std::int64_t>(sign) * (offsetHours * 60 + offsetMinutes) * 60;
    return true;
}

std::string FormatIsoTimestamp(std::int64_t seconds) {
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    std::int64_t year;
    int month, day;
    CivilFromDays(days, year, month, day);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(year), month, day,
                  static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
    return buf;
}

}  // namespace movu
