// JSON in and out of movu-devserver: bodies parsed with a bound on nesting (a
// deep document must not cost the stack), answers written as valid UTF-8
// whatever bytes a client managed to get into them.
#pragma once

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

namespace movu::devserver {

using ojson = nlohmann::ordered_json;

inline constexpr int kJsonDepth = 64;

// Parses `text`; throws std::invalid_argument naming what is wrong (the
// parser's message, or the nesting limit).
inline ojson ParseJson(std::string_view text, int max_depth = kJsonDepth) {
    // The nesting is checked before anything is built: the callback sees each
    // opening bracket at its depth.
    auto limit = [max_depth](int depth, ojson::parse_event_t event, ojson&) {
        if ((event == ojson::parse_event_t::object_start || event == ojson::parse_event_t::array_start) &&
            depth >= max_depth)
            throw std::invalid_argument("JSON nested deeper than " + std::to_string(max_depth) + " levels");
        return true;
    };
    try {
        return ojson::parse(text, limit);
    } catch (const ojson::exception& e) {
        // The message may quote half a character; JsonText repairs that where it is shown.
        throw std::invalid_argument(e.what());
    }
}

// `value` as compact JSON text; bytes that are not UTF-8 become U+FFFD.
inline std::string JsonText(const ojson& value) { return value.dump(-1, ' ', false, ojson::error_handler_t::replace); }

}  // namespace movu::devserver
