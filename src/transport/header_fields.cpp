#include "transport/header_fields.h"

#include "platform/ascii.h"

namespace movu {
namespace {

std::string SafeValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char ch : value) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c != 0x7F) out.push_back(ch);
    }
    const std::size_t first = out.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    out.erase(out.find_last_not_of(' ') + 1);
    out.erase(0, first);
    return out;
}

}  // namespace

void SetHeader(HeaderFields& fields, std::string_view name, std::string_view value) {
    for (platform::HeaderField& f : fields) {
        if (ascii::EqualsIgnoreCase(f.name, name)) {
            f.value = SafeValue(value);
            return;
        }
    }
    fields.push_back({std::string(name), SafeValue(value)});
}

void AddIdentityHeaders(HeaderFields& fields, const Identity& identity, EmptyIdentity empty) {
    SetHeader(fields, "X-Account", identity.account.value_or(std::string()));
    const std::pair<const char*, const std::optional<std::string>*> rest[] = {
        {"X-Platform", &identity.platform},
        {"X-Broker", &identity.broker},
        {"X-Server", &identity.server},
        {"X-Client-Version", &identity.clientVersion}};
    for (const auto& [name, value] : rest) {
        if (!value->has_value()) continue;
        if (empty == EmptyIdentity::Omitted && (*value)->empty()) continue;
        SetHeader(fields, name, **value);
    }
}

}  // namespace movu
