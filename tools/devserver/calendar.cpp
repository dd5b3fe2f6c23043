#include "calendar.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <set>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#include <openssl/rand.h>
#endif

namespace movu::devserver {
namespace {
namespace chr = std::chrono;

[[noreturn]] void Bad(const std::string& what) { throw std::runtime_error(what); }

// A double in [0, 1) from the first 8 bytes of the SHA-256 of the parts.
double Fraction(const std::string& text) {
    const auto d = Sha256(text);
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | d[i];
    return static_cast<double>(v) / 18446744073709551616.0;
}

// Rounds to `decimals` places the way the values were always rounded:
// correctly, ties to even, on the exact binary value.
double RoundTo(double value, int decimals) {
    char buf[512];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    double out = value;
    std::from_chars(buf, r.ptr, out);
    return out;
}

bool IsHhMm(const std::string& t) {
    return t.size() == 5 && t[2] == ':' && std::isdigit(static_cast<unsigned char>(t[0])) &&
           std::isdigit(static_cast<unsigned char>(t[1])) && std::isdigit(static_cast<unsigned char>(t[3])) &&
           std::isdigit(static_cast<unsigned char>(t[4])) && (t[0] - '0') * 10 + (t[1] - '0') < 24 && t[3] < '6';
}
}  // namespace

std::array<unsigned char, 32> Sha256(const std::string& data) {
    std::array<unsigned char, 32> out{};
#ifdef _WIN32
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
              BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) == 0 &&
              BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                             static_cast<ULONG>(data.size()), 0) == 0 &&
              BCryptFinishHash(hash, out.data(), 32, 0) == 0;
    if (hash) BCryptDestroyHash(hash);
    if (alg) BCryptCloseAlgorithmProvider(alg, 0);
    if (!ok) Bad("SHA-256 failed");
#else
    unsigned int n = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_sha256(), nullptr) != 1) Bad("SHA-256 failed");
#endif
    return out;
}

std::string Sha256Hex(const std::string& data) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : Sha256(data)) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

std::string IsoUtc(std::int64_t unix_seconds) {
    const chr::sys_seconds t{chr::seconds(unix_seconds)};
    const auto day = chr::floor<chr::days>(t);
    const chr::year_month_day ymd{day};
    const chr::hh_mm_ss hms{t - day};
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                  static_cast<int>(hms.seconds().count()));
    return buf;
}

std::optional<std::int64_t> ParseDay(const std::string& text, std::string& why) {
    const bool shape = text.size() == 10 && text[4] == '-' && text[7] == '-' &&
                       std::all_of(text.begin(), text.end(),
                                   [](char c) { return c == '-' || std::isdigit(static_cast<unsigned char>(c)); }) &&
                       std::count(text.begin(), text.end(), '-') == 2;
    if (!shape) {
        why = "date must be YYYY-MM-DD";
        return std::nullopt;
    }
    const int y = std::stoi(text.substr(0, 4));
    const unsigned m = static_cast<unsigned>(std::stoi(text.substr(5, 2)));
    const unsigned d = static_cast<unsigned>(std::stoi(text.substr(8, 2)));
    const chr::year_month_day ymd{chr::year(y), chr::month(m), chr::day(d)};
    if (y < 1 || !ymd.ok()) {
        why = "no such day";
        return std::nullopt;
    }
    return chr::sys_days(ymd).time_since_epoch().count();
}

std::string DayText(std::int64_t day) { return IsoUtc(day * 86400).substr(0, 10); }

SampleCalendar::SampleCalendar(ojson data) : data_(std::move(data)) {
    if (!data_.is_object() || data_.value("sample", ojson()) != ojson(true))
        Bad("the calendar file must say \"sample\": true at its top");
    for (const char* key : {"templates", "importance_levels", "currencies", "sources"})
        if (!data_.contains(key) || !data_[key].is_array())
            Bad(std::string("the calendar file lacks the list '") + key + "'");
    std::set<std::string> levels, currencies, sources;
    try {
        for (const auto& l : data_["importance_levels"]) levels.insert(l.get<std::string>());
        for (const auto& c : data_["currencies"]) currencies.insert(c.at("code").get<std::string>());
        for (const auto& s : data_["sources"]) {
            sources.insert(s.at("id").get<std::string>());
            (void)s.at("name").get<std::string>();
        }
        for (const auto& t : data_["templates"]) {
            const std::string id = t.contains("id") && t["id"].is_string() ? t["id"].get<std::string>() : "?";
            std::string missing;
            for (const char* f : {"id", "title", "currency", "importance", "source", "weekdays", "time", "unit", "base",
                                  "spread", "decimals", "revision_minutes"})
                if (!t.contains(f)) missing += std::string(missing.empty() ? "" : ", ") + f;
            if (!missing.empty()) Bad("template '" + id + "' lacks " + missing);
            if (!levels.count(t["importance"].get<std::string>()) ||
                !currencies.count(t["currency"].get<std::string>()) || !sources.count(t["source"].get<std::string>()))
                Bad("template '" + id + "' names an unknown importance, currency or source");
            if (!IsHhMm(t["time"].get<std::string>())) Bad("template '" + id + "': time must be HH:MM");
            for (const auto& w : t["weekdays"]) (void)w.get<int>();
            (void)t["base"].get<double>();
            (void)t["spread"].get<double>();
            const int decimals = t["decimals"].get<int>();
            if (decimals < 0 || decimals > 15) Bad("template '" + id + "': decimals must lie between 0 and 15");
            (void)t["revision_minutes"].get<std::int64_t>();
            (void)t["title"].get<std::string>();
            (void)t["unit"].get<std::string>();
        }
    } catch (const ojson::exception& e) {
        Bad(std::string("the calendar file holds a value of the wrong type: ") + e.what());
    }
}

SampleCalendar SampleCalendar::FromText(const std::string& text) {
    try {
        return SampleCalendar(ParseJson(text));
    } catch (const std::invalid_argument& e) {
        Bad(std::string("the calendar file is not valid JSON: ") + e.what());
    }
}

ojson SampleCalendar::Events(std::int64_t day) const {
    const std::string date = DayText(day);
    const chr::weekday wd{chr::sys_days(chr::days(day))};
    const int weekday = static_cast<int>(wd.iso_encoding()) - 1;  // Monday 0
    const std::int64_t day_number = std::stoll(date.substr(0, 4) + date.substr(5, 2) + date.substr(8, 2));
    std::vector<ojson> out;
    const auto& templates = data_["templates"];
    for (size_t index = 0; index < templates.size(); ++index) {
        const auto& t = templates[index];
        const auto& days = t["weekdays"];
        if (std::find(days.begin(), days.end(), ojson(weekday)) == days.end()) continue;
        const std::string time = t["time"].get<std::string>();
        const std::int64_t moment =
            day * 86400 + std::stoi(time.substr(0, 2)) * 3600 + std::stoi(time.substr(3, 2)) * 60;
        std::string source;
        for (const auto& s : data_["sources"])
            if (s["id"] == t["source"]) {
                source = s["name"].get<std::string>();
                break;
            }
        const std::string id = t["id"].get<std::string>();
        const int decimals = t["decimals"].get<int>();
        auto value = [&](const char* which) {
            const double v = RoundTo(
                t["base"].get<double>() + t["spread"].get<double>() * (Fraction(date + "|" + id + "|" + which) - 0.5),
                decimals);
            return decimals == 0 ? ojson(static_cast<std::int64_t>(v)) : ojson(v);
        };
        ojson e;
        e["id"] = day_number * 100 + static_cast<std::int64_t>(index);
        e["sample"] = true;
        e["event"] = id;
        e["title"] = t["title"];
        e["currency"] = t["currency"];
        e["importance"] = t["importance"];
        e["source"] = source;
        e["time"] = IsoUtc(moment);
        e["timestamp"] = moment;
        e["unit"] = t["unit"];
        e["actual"] = value("actual");
        e["forecast"] = value("forecast");
        e["previous"] = value("previous");
        e["updated_at"] = moment + 60 * t["revision_minutes"].get<std::int64_t>();
        out.push_back(std::move(e));
    }
    std::stable_sort(out.begin(), out.end(), [](const ojson& a, const ojson& b) {
        return std::pair(a["timestamp"].get<std::int64_t>(), a["id"].get<std::int64_t>()) <
               std::pair(b["timestamp"].get<std::int64_t>(), b["id"].get<std::int64_t>());
    });
    return ojson(out);
}

ojson SampleCalendar::Meta() const {
    ojson events = ojson::array();
    for (const auto& t : data_["templates"]) {
        events.push_back({{"event", t["id"]},
                          {"title", t["title"]},
                          {"currency", t["currency"]},
                          {"importance", t["importance"]},
                          {"unit", t["unit"]},
                          {"weekdays", t["weekdays"]},
                          {"time", t["time"]}});
    }
    return {{"currencies", data_["currencies"]},
            {"importance_levels", data_["importance_levels"]},
            {"sources", data_["sources"]},
            {"events", events}};
}

std::string RandomBytes(size_t n) {
    std::string out(n, '\0');
#ifdef _WIN32
    if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(out.data()), static_cast<ULONG>(n),
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
        throw std::runtime_error("BCryptGenRandom failed");
#else
    if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n)) != 1)
        throw std::runtime_error("RAND_bytes failed");
#endif
    return out;
}

std::uint64_t RandomU64() {
    const std::string b = RandomBytes(8);
    std::uint64_t v = 0;
    for (unsigned char c : b) v = (v << 8) | c;
    return v;
}

}  // namespace movu::devserver
