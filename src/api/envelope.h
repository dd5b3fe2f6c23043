// The failure envelope: the one-line JSON object a caller gets in place of an
// answer, {"ok":false,"error":"NAME", ...members in the order added}. Texts
// are JSON-escaped, so an envelope always parses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "api/text.h"

namespace movu {

class FailureEnvelope {
public:
    explicit FailureEnvelope(std::string_view error) : text_("{\"ok\":false,\"error\":\"") {
        text_ += JsonEscape(error);
        text_ += '"';
    }
    FailureEnvelope& Number(std::string_view key, std::int64_t value) {
        Key(key);
        text_ += std::to_string(value);
        return *this;
    }
    FailureEnvelope& Text(std::string_view key, std::string_view value) {
        Key(key);
        text_ += '"';
        text_ += JsonEscape(value);
        text_ += '"';
        return *this;
    }
    std::string Close() const { return text_ + '}'; }

private:
    void Key(std::string_view key) {
        text_ += ",\"";
        text_ += key;
        text_ += "\":";
    }
    std::string text_;
};

}  // namespace movu
