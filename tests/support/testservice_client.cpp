#include "testservice_client.h"

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "http.h"  // the dev server's own byte codecs: the control API's conventions

#ifdef _WIN32
#include <windows.h>
#endif

namespace movu::test {
namespace {

using json = nlohmann::json;
using devserver::BytesToLatin1Text;
namespace http = boost::beast::http;

[[noreturn]] void Fail(const std::string& message) { throw std::runtime_error("test service: " + message); }

std::string JsonTextToBytes(const std::string& text) {
    auto bytes = devserver::Latin1TextToBytes(text);
    if (!bytes) Fail("answer holds a character beyond U+00FF where raw bytes were expected");
    return *bytes;
}

std::string Base64Decode(const std::string& text) {
    auto bytes = devserver::Base64Decode(text);
    if (!bytes) Fail("answer holds invalid base64");
    return *bytes;
}

// Splits "Name: value" into the name and the value without surrounding blanks.
bool SplitHeader(const std::string& line, std::string_view name, std::string* value) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos || !devserver::EqualsIgnoreCase(std::string_view(line).substr(0, colon), name))
        return false;
    *value = devserver::Trim(std::string_view(line).substr(colon + 1));
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
    json headers = json::array();
    for (const auto& [name, value] : r.headers) {
        headers.push_back(json::array({BytesToLatin1Text(name), BytesToLatin1Text(value)}));
    }
    j["headers"] = std::move(headers);
    if (!r.body.empty()) j["body_b64"] = devserver::Base64Encode(r.body);
    if (r.body_size > 0) j["body_size"] = r.body_size;
    if (r.delay_ms != 0) j["delay_ms"] = r.delay_ms;
    if (!r.fault.empty()) j["fault"] = r.fault;
    if (r.repeat) j["repeat"] = true;
    return j;
}

}  // namespace

// ---------------------------------------------------------------- RecordedRequest

std::optional<std::string> RecordedRequest::Header(std::string_view name) const {
    std::string value;
    for (const auto& line : header_lines)
        if (SplitHeader(line, name, &value)) return value;
    return std::nullopt;
}

int RecordedRequest::HeaderCount(std::string_view name) const {
    std::string value;
    return static_cast<int>(
        std::count_if(header_lines.begin(), header_lines.end(), [&](auto& l) { return SplitHeader(l, name, &value); }));
}

std::string GeneratedBody(size_t size, size_t offset) { return devserver::GeneratedBytes(offset, size); }

std::string HttpsUnavailable() {
    const char* wine = std::getenv("MOVU_WINE_HTTPS");
    if (wine && std::string(wine) == "0") return "HTTPS under Wine needs a private mount namespace for the test CA";
    return {};
}

bool UnderWine() {
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
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
    body["path"] = BytesToLatin1Text(path);
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
    http::response_parser<http::string_body> parser;
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());  // request records can be large
    try {
        boost::asio::io_context io;
        boost::asio::ip::tcp::socket socket(io);
        socket.connect({boost::asio::ip::address_v4::loopback(), static_cast<unsigned short>(control_port_)});
        http::request<http::string_body> request(http::string_to_verb(method), target, 11);
        request.set(http::field::host, "127.0.0.1");
        if (!json_body.empty()) request.set(http::field::content_type, "application/json");
        request.body() = json_body;
        request.prepare_payload();
        http::write(socket, request);
        boost::beast::flat_buffer buffer;
        http::read(socket, buffer, parser);
    } catch (const boost::system::system_error& e) {
        Fail(what + " on control port " + std::to_string(control_port_) + ": " + e.what() +
             " (is the service running?)");
    }
    const int status = parser.get().result_int();
    std::string body = std::move(parser.get().body());
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

Site TestService::OpenSite(bool tls, const std::string& cert, const std::string& address) {
    RequireAvailable();
    const json request = {{"tls", tls}, {"cert", cert}, {"address", address}};
    const json answer = ParseJson(Call("POST", "/sites", request.dump()), "POST /sites");
    try {
        return Site(this, answer.at("id").get<int>(), answer.at("port").get<int>(), tls);
    } catch (const json::exception& e) {
        Fail("POST /sites answered with unexpected JSON: " + std::string(e.what()));
    }
}

int TestService::ClosedPort() { return PortFrom("/closed-port"); }

int TestService::UnacceptingPort() { return PortFrom("/unaccepting-port"); }

int TestService::PortFrom(const std::string& target) {
    RequireAvailable();
    const json answer = ParseJson(Call("GET", target), "GET " + target);
    try {
        return answer.at("port").get<int>();
    } catch (const json::exception& e) {
        Fail("GET " + target + " answered with unexpected JSON: " + std::string(e.what()));
    }
}

void TestService::Reset() {
    RequireAvailable();
    Call("POST", "/reset", "{}");
}

}  // namespace movu::test
