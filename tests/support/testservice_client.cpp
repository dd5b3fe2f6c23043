#include "testservice_client.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace movu::test {
namespace {

using json = nlohmann::json;

constexpr int kControlTimeoutMs = 30000;

[[noreturn]] void Fail(const std::string& message) { throw std::runtime_error("test service: " + message); }

// Control-channel failures; Call() adds which call failed.
struct ChannelError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------- sockets

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
int LastError() { return WSAGetLastError(); }
void CloseSocket(Socket s) { closesocket(s); }
constexpr int kSendFlags = 0;

void EnsureWinsock() {
    static std::once_flag once;
    static int result = 0;
    std::call_once(once, [] {
        WSADATA data;
        result = WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (result != 0) throw ChannelError("WSAStartup failed with error " + std::to_string(result));
}
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
int LastError() { return errno; }
void CloseSocket(Socket s) { ::close(s); }
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;  // a dead service must not kill the test with SIGPIPE
#else
constexpr int kSendFlags = 0;
#endif
void EnsureWinsock() {}
#endif

std::string ErrorText(int code) {
    return std::system_category().message(code) + " (error " + std::to_string(code) + ")";
}

class Connection {
public:
    explicit Connection(int port) {
        EnsureWinsock();
        sock_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (sock_ == kNoSocket) throw ChannelError("cannot create a socket: " + ErrorText(LastError()));
#ifdef _WIN32
        DWORD timeout = kControlTimeoutMs;
#else
        timeval timeout{kControlTimeoutMs / 1000, 0};
#endif
        setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        setsockopt(sock_, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<unsigned short>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(sock_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            const int err = LastError();
            CloseSocket(sock_);
            throw ChannelError("cannot connect to the control port 127.0.0.1:" + std::to_string(port) + ": " +
                               ErrorText(err) + " (is the service running?)");
        }
    }
    ~Connection() { CloseSocket(sock_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void SendAll(const std::string& data) {
        size_t sent = 0;
        while (sent < data.size()) {
            const size_t left = std::min<size_t>(data.size() - sent, 1 << 20);
            const auto n = ::send(sock_, data.data() + sent, static_cast<int>(left), kSendFlags);
            if (n <= 0) throw ChannelError("sending to the control port failed: " + ErrorText(LastError()));
            sent += static_cast<size_t>(n);
        }
    }

    std::string ReceiveAll() {
        std::string out;
        char buf[64 * 1024];
        for (;;) {
            const auto n = ::recv(sock_, buf, static_cast<int>(sizeof buf), 0);
            if (n == 0) return out;
            if (n < 0) throw ChannelError("reading from the control port failed: " + ErrorText(LastError()));
            out.append(buf, static_cast<size_t>(n));
        }
    }

private:
    Socket sock_ = kNoSocket;
};

// ---------------------------------------------------------------- encodings

// The service carries raw bytes in JSON strings as Latin-1 code points.
std::string BytesToJsonText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string JsonTextToBytes(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
            out += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F));
        } else {
            Fail("answer holds a character beyond U+00FF where raw bytes were expected");
        }
    }
    return out;
}

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64Encode(std::string_view in) {
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8) |
                           static_cast<unsigned char>(in[i + 2]);
        out += kBase64[v >> 18];
        out += kBase64[(v >> 12) & 63];
        out += kBase64[(v >> 6) & 63];
        out += kBase64[v & 63];
    }
    if (i < in.size()) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        out += kBase64[v >> 18];
        out += kBase64[(v >> 12) & 63];
        out += i + 1 < in.size() ? kBase64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string Base64Decode(const std::string& in) {
    std::string out;
    out.reserve(in.size() / 4 * 3);
    unsigned acc = 0;
    int bits = 0;
    for (char c : in) {
        if (c == '=') break;
        const char* p = std::char_traits<char>::find(kBase64, 64, c);
        if (p == nullptr) Fail("answer holds invalid base64");
        acc = (acc << 6) | static_cast<unsigned>(p - kBase64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// Splits "Name: value" into the name and the value without surrounding blanks.
bool SplitHeader(const std::string& line, std::string_view* name, std::string_view* value) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return false;
    std::string_view v(line);
    *name = v.substr(0, colon);
    v.remove_prefix(colon + 1);
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    *value = v;
    return true;
}

json ParseJson(const std::string& text, const std::string& what) {
    try {
        return json::parse(text);
    } catch (const json::exception& e) {
        Fail(what + " answered with invalid JSON: " + e.what());
    }
}

json ResponseToJson(const ScriptedResponse& r) {
    json j;
    j["status"] = r.status;
    if (!r.reason.empty()) j["reason"] = BytesToJsonText(r.reason);
    json headers = json::array();
    for (const auto& [name, value] : r.headers) {
        headers.push_back(json::array({BytesToJsonText(name), BytesToJsonText(value)}));
    }
    j["headers"] = std::move(headers);
    if (!r.body.empty()) j["body_b64"] = Base64Encode(r.body);
    if (r.body_size > 0) j["body_size"] = r.body_size;
    if (r.delay_ms != 0) j["delay_ms"] = r.delay_ms;
    if (!r.fault.empty()) j["fault"] = r.fault;
    if (r.repeat) j["repeat"] = true;
    return j;
}

}  // namespace

// ---------------------------------------------------------------- RecordedRequest

std::optional<std::string> RecordedRequest::Header(std::string_view name) const {
    for (const auto& line : header_lines) {
        std::string_view key, value;
        if (SplitHeader(line, &key, &value) && EqualsIgnoreCase(key, name)) {
            return std::string(value);
        }
    }
    return std::nullopt;
}

int RecordedRequest::HeaderCount(std::string_view name) const {
    int count = 0;
    for (const auto& line : header_lines) {
        std::string_view key, value;
        if (SplitHeader(line, &key, &value) && EqualsIgnoreCase(key, name)) ++count;
    }
    return count;
}

std::string GeneratedBody(size_t size, size_t offset) {
    static constexpr std::string_view kPattern = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) out[i] = kPattern[(offset + i) % kPattern.size()];
    return out;
}

// ---------------------------------------------------------------- Site

Site::Site(Site&& other) noexcept : service_(other.service_), id_(other.id_), port_(other.port_), tls_(other.tls_) {
    other.id_ = 0;
}

Site& Site::operator=(Site&& other) noexcept {
    if (this != &other) {
        CloseQuietly();
        service_ = other.service_;
        id_ = other.id_;
        port_ = other.port_;
        tls_ = other.tls_;
        other.id_ = 0;
    }
    return *this;
}

Site::~Site() { CloseQuietly(); }

void Site::CloseQuietly() noexcept {
    const int id = id_;
    try {
        Close();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "warning: closing test site %d failed: %s\n", id, e.what());
    }
}

void Site::Close() {
    if (id_ == 0) return;
    const int id = id_;
    id_ = 0;
    service_->Call("DELETE", "/sites/" + std::to_string(id));
}

std::string Site::BaseUrl(std::string_view host) const {
    return std::string(tls_ ? "https://" : "http://") + std::string(host) + ":" + std::to_string(port_);
}

void Site::Script(const std::string& path, const ScriptedResponse& r) {
    Script(path, std::vector<ScriptedResponse>{r});
}

void Site::Script(const std::string& path, const std::vector<ScriptedResponse>& rs) {
    if (id_ == 0) Fail("Script() on a closed or moved-from site");
    json body;
    body["path"] = BytesToJsonText(path);
    body["responses"] = json::array();
    for (const auto& r : rs) body["responses"].push_back(ResponseToJson(r));
    service_->Call("POST", "/sites/" + std::to_string(id_) + "/script", body.dump());
}

std::vector<RecordedRequest> Site::Requests() const {
    if (id_ == 0) Fail("Requests() on a closed or moved-from site");
    const std::string target = "/sites/" + std::to_string(id_) + "/requests";
    const json answer = ParseJson(service_->Call("GET", target), "GET " + target);
    std::vector<RecordedRequest> out;
    try {
        for (const auto& j : answer.at("requests")) {
            RecordedRequest r;
            r.method = JsonTextToBytes(j.at("method").get<std::string>());
            r.target = JsonTextToBytes(j.at("target").get<std::string>());
            r.path = JsonTextToBytes(j.at("path").get<std::string>());
            for (const auto& line : j.at("header_lines")) {
                r.header_lines.push_back(JsonTextToBytes(line.get<std::string>()));
            }
            r.body = Base64Decode(j.at("body_b64").get<std::string>());
            r.resumed = j.value("resumed", false);
            out.push_back(std::move(r));
        }
    } catch (const json::exception& e) {
        Fail("GET " + target + " answered with unexpected JSON: " + e.what());
    }
    return out;
}

std::vector<RecordedRequest> Site::Requests(const std::string& path) const {
    auto all = Requests();
    all.erase(std::remove_if(all.begin(), all.end(), [&](const RecordedRequest& r) { return r.path != path; }),
              all.end());
    return all;
}

void Site::ClearRequests() {
    if (id_ == 0) Fail("ClearRequests() on a closed or moved-from site");
    service_->Call("DELETE", "/sites/" + std::to_string(id_) + "/requests");
}

// ---------------------------------------------------------------- TestService

TestService& TestService::Instance() {
    static TestService instance;
    return instance;
}

TestService::TestService() {
    const char* dir = std::getenv("MOVU_TESTSERVICE_DIR");
    if (dir == nullptr || *dir == '\0') {
        error_ =
            "MOVU_TESTSERVICE_DIR is not set; start the service with "
            "tools/devserver/run_fixture.sh start DIR and export MOVU_TESTSERVICE_DIR=DIR";
        return;
    }
    state_dir_ = dir;
#ifdef _WIN32
    // Under Wine the variable holds the Unix path; Z: maps the Unix root.
    if (state_dir_.front() == '/') state_dir_ = "Z:" + state_dir_;
#endif
    const std::string port_file = state_dir_ + "/control.port";
    std::ifstream in(port_file);
    int port = 0;
    if (!in || !(in >> port) || port <= 0 || port > 65535) {
        error_ = "cannot read a port number from " + port_file + " (is the service running?)";
        return;
    }
    control_port_ = port;
    try {
        Call("GET", "/health");
    } catch (const std::exception& e) {
        error_ = e.what();
    }
}

void TestService::RequireAvailable() const {
    if (!error_.empty()) Fail("not available: " + error_);
}

std::string TestService::StateDir() const {
    RequireAvailable();
    return state_dir_;
}

std::string TestService::CaFile() const { return StateDir() + "/ca.pem"; }

std::string TestService::Call(const std::string& method, const std::string& target,
                              const std::string& json_body) const {
    if (control_port_ == 0) RequireAvailable();
    const std::string what = method + " " + target;
    std::ostringstream request;
    request << method << ' ' << target << " HTTP/1.1\r\n"
            << "Host: 127.0.0.1:" << control_port_ << "\r\n"
            << "Connection: close\r\n";
    if (!json_body.empty()) request << "Content-Type: application/json\r\n";
    request << "Content-Length: " << json_body.size() << "\r\n\r\n" << json_body;

    std::string response;
    try {
        Connection conn(control_port_);
        conn.SendAll(request.str());
        response = conn.ReceiveAll();
    } catch (const ChannelError& e) {
        Fail(what + ": " + e.what());
    }

    const size_t head_end = response.find("\r\n\r\n");
    int status = 0;
    if (head_end == std::string::npos || std::sscanf(response.c_str(), "HTTP/1.%*d %d", &status) != 1) {
        Fail(what + ": answer is not HTTP (" + std::to_string(response.size()) + " bytes)");
    }
    std::string body = response.substr(head_end + 4);
    std::istringstream head(response.substr(0, head_end));
    for (std::string line; std::getline(head, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string_view name, value;
        if (SplitHeader(line, &name, &value) && EqualsIgnoreCase(name, "Content-Length")) {
            const size_t length = std::strtoull(std::string(value).c_str(), nullptr, 10);
            if (body.size() < length) {
                Fail(what + ": answer truncated (" + std::to_string(body.size()) + " of " + std::to_string(length) +
                     " body bytes)");
            }
            body.resize(length);
        }
    }
    if (status < 200 || status > 299) {
        std::string reason = body;
        try {
            reason = json::parse(body).at("error").get<std::string>();
        } catch (const json::exception&) {
        }
        Fail(what + " failed with HTTP " + std::to_string(status) + ": " + reason);
    }
    return body;
}

Site TestService::OpenSite(bool tls, const std::string& cert) {
    RequireAvailable();
    const json request = {{"tls", tls}, {"cert", cert}};
    const json answer = ParseJson(Call("POST", "/sites", request.dump()), "POST /sites");
    try {
        return Site(this, answer.at("id").get<int>(), answer.at("port").get<int>(), tls);
    } catch (const json::exception& e) {
        Fail("POST /sites answered with unexpected JSON: " + std::string(e.what()));
    }
}

int TestService::ClosedPort() {
    RequireAvailable();
    const json answer = ParseJson(Call("GET", "/closed-port"), "GET /closed-port");
    try {
        return answer.at("port").get<int>();
    } catch (const json::exception& e) {
        Fail("GET /closed-port answered with unexpected JSON: " + std::string(e.what()));
    }
}

void TestService::Reset() {
    RequireAvailable();
    Call("POST", "/reset", "{}");
}

}  // namespace movu::test
