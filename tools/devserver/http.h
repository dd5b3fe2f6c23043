// HTTP/1.1 requests as movu-devserver reads them: Beast's parser checks the
// syntax and decodes the body; the raw header lines are kept as they arrived
// because the suites assert on the exact bytes a client sent.
#pragma once

#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace movu::devserver {

struct Limits {
    size_t head = 64 * 1024;                     // request line and headers together
    size_t body = 1024 * 1024;                   // decoded body
    std::chrono::milliseconds idle{30000};       // longest wait for the next bytes of a request
    std::chrono::milliseconds head_time{10000};  // longest wait for the whole head, however it trickles in
};

struct Request {
    std::string method, target, version;
    std::vector<std::string> header_lines;  // without CR LF, in received order
    std::string body;
    std::string tls_version, sni;  // empty over plain HTTP
    bool resumed = false;          // the TLS handshake resumed a session

    std::string Path() const;
    // The first header of this name (case-insensitive), without surrounding blanks.
    std::optional<std::string> Header(std::string_view name) const;
};

// The path of a request target: no query, no fragment, no scheme and authority.
std::string RequestPath(std::string_view target);

// Splits "METHOD TARGET HTTP/x.y"; false when it is not of that shape.
bool SplitRequestLine(std::string_view line, Request& out);

// Beast's request parser with the head handed over as a whole, so the raw
// header lines can be taken from the same bytes.
class RequestParser {
public:
    explicit RequestParser(const Limits& limits);
    // `head` runs from the request line to the empty line, inclusive. Returns
    // an empty string, or why the head is refused; `status` says with what.
    std::string Head(std::string_view head, Request& out, int& status);
    bool Done() const { return parser_.is_done(); }
    bool ExpectsContinue() const;
    // Body bytes; returns how many were used, and sets `why` on a bad body.
    size_t Body(std::string_view bytes, std::string& why);
    // The peer ended the stream; true when that ends the body correctly.
    bool Eof();
    std::string& body() { return parser_.get().body(); }

private:
    boost::beast::http::request_parser<boost::beast::http::string_body> parser_;
};

// Where the head in `bytes` ends (after its empty line), or npos; a line
// that ends in LF alone sets `bare_lf`, since HTTP lines end in CR LF.
size_t HeadEnd(std::string_view bytes, bool& bare_lf);

// What a fuzzer and the server both do with bytes that arrived: parse one
// request from `bytes`. Returns an empty string or why it was refused (with
// `status`); `complete` says whether the request ended within the bytes.
std::string ParseRequest(std::string_view bytes, const Limits& limits, Request& out, bool& complete, int& status);

// ---- small text helpers shared by both roles

// Bytes as JSON text of Latin-1 code points (the control API's convention) and back.
std::string BytesToLatin1Text(std::string_view bytes);
std::optional<std::string> Latin1TextToBytes(std::string_view utf8);
std::string Base64Encode(std::string_view bytes);
std::optional<std::string> Base64Decode(std::string_view text);
// [offset, offset + size) of the endless 62-character pattern a generated body carries.
std::string GeneratedBytes(std::uint64_t offset, size_t size);
// Bytes fit for a console line: control characters (C0, DEL, C1), bytes that
// are not UTF-8 as \xNN, backslash doubled, cut after `limit` bytes with "...".
std::string ConsoleText(std::string_view bytes, size_t limit);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
std::string Trim(std::string_view text);
// Query parameters with '+' and %XX decoded; the last of a repeated name wins.
std::vector<std::pair<std::string, std::string>> QueryParams(std::string_view target);
const char* ReasonPhrase(int status);

}  // namespace movu::devserver
