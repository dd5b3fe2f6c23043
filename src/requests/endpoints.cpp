#include "requests/endpoints.h"

namespace movu {

Request DatedGet(Identity identity, const char* path, std::string_view date) {
    Request request;
    request.identity = std::move(identity);
    request.method = "GET";
    request.path = path;
    if (!date.empty()) request.query.emplace_back("date", std::string(date));
    return request;
}

}  // namespace movu
