#include "requests/endpoints.h"

#include <string>

#include "api/text.h"
#include "requests/signed_request.h"

namespace movu {

Request DateRequest(Identity identity, const char* path, const std::optional<std::string>& date) {
    Request request;
    request.identity = std::move(identity);
    request.method = "GET";
    request.path = path;
    if (date && !date->empty()) request.query.emplace_back("date", *date);
    return request;
}

std::int32_t RequestAndCopy(const Request& request, ResultBuffer out) {
    std::string text;
    const std::int32_t rc = ExecuteSignedRequest(request, text);
    if (out.wide != nullptr)
        ResultCopyW(text, out.wide, out.capacity);
    else
        ResultCopyA(text, out.narrow, out.capacity);
    return rc;
}

}  // namespace movu
