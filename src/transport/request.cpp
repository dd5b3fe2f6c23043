#include "transport/request.h"

#include "api/text.h"

namespace movu {

Identity ReadIdentity(const movu_char16* account, const movu_char16* platform, const movu_char16* broker,
                      const movu_char16* server, const movu_char16* clientVersion) {
    return {TrimmedText(account), TrimmedText(platform), TrimmedText(broker), TrimmedText(server),
            TrimmedText(clientVersion)};
}

Identity ReadIdentity(const char* account, const char* platform, const char* broker, const char* server,
                      const char* clientVersion) {
    return {TrimmedText(account), TrimmedText(platform), TrimmedText(broker), TrimmedText(server),
            TrimmedText(clientVersion)};
}

std::string RequestTarget(const Request& request) {
    std::string target = request.path;
    const std::string query = BuildQueryText(request.query);
    if (query.empty()) return target;
    target.push_back(target.find('?') == std::string::npos ? '?' : '&');
    return target + query;
}

}  // namespace movu
