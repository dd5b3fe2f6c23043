// The sample calendar: events made from the templates of a JSON file, placed
// on the weekdays each names. Values come from a hash of the date, so any
// date works and the same date always gives the same events.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "json_text.h"

namespace movu::devserver {

std::array<unsigned char, 32> Sha256(const std::string& data);
std::string Sha256Hex(const std::string& data);
// Bytes from the system's cryptographic generator; throws std::runtime_error.
std::string RandomBytes(size_t n);
std::uint64_t RandomU64();
// "YYYY-MM-DDTHH:MM:SSZ"
std::string IsoUtc(std::int64_t unix_seconds);

// Days since 1970-01-01 of "YYYY-MM-DD"; nullopt with `why` set when unusable.
std::optional<std::int64_t> ParseDay(const std::string& text, std::string& why);
std::string DayText(std::int64_t day);

class SampleCalendar {
public:
    // Throws std::runtime_error naming what is wrong with the data.
    explicit SampleCalendar(ojson data);
    static SampleCalendar FromText(const std::string& text);
    ojson Events(std::int64_t day) const;
    ojson Meta() const;  // currencies, importance_levels, sources, events
    size_t templates() const { return data_["templates"].size(); }

private:
    ojson data_;
};

}  // namespace movu::devserver
