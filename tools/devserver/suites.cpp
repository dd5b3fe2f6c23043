#include "suites.h"

#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "server.h"

#ifdef MOVU_DEVSERVER_TLS
#include "pki.h"
#endif
#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace movu::devserver {
namespace {
using json = nlohmann::json;
using namespace std::chrono_literals;

void Log(const char* level, const std::string& text) {
    const std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::fprintf(stderr, "%s %s %s\n", stamp, level, text.c_str());
    std::fflush(stderr);
}

struct ApiError {
    int status;
    std::string message;
    std::vector<std::pair<std::string, std::string>> headers{};
};

const std::set<std::string> kFaults = {
    "reset_after_request_line", "reset_mid_header",  "reset_mid_body", "stall",
    "malformed_status",         "close_no_response", "garbage",        "broken_chunked"};
// Faults that strike before the request head has been read.
const std::set<std::string> kEarlyFaults = {"reset_after_request_line"};

struct Scripted {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    Body body;
    int delay_ms = 0;
    bool repeat = false;
    std::string fault;
};

std::int64_t IntField(const json& obj, const char* key, std::int64_t fallback, std::int64_t low, std::int64_t high) {
    const json v = obj.value(key, json(fallback));
    if (!v.is_number_integer() || v.get<std::int64_t>() < low || v.get<std::int64_t>() > high ||
        (v.is_number_unsigned() && v.get<std::uint64_t>() > static_cast<std::uint64_t>(high)))
        throw std::invalid_argument("'" + std::string(key) + "' must be an integer from " + std::to_string(low) +
                                    " to " + std::to_string(high));
    return v.get<std::int64_t>();
}

// Strings carry bytes as Latin-1; a line break would end the head early.
std::string HeadText(const json& v) {
    auto bytes = Latin1TextToBytes(v.get<std::string>());
    if (!bytes || bytes->find_first_of("\r\n") != std::string::npos)
        throw std::invalid_argument(v.dump() + " holds a line break or characters beyond U+00FF");
    return *bytes;
}

Scripted ParseScripted(const json& obj) {
    static const std::set<std::string> fields = {"status",   "headers", "body_b64", "body_size",
                                                 "delay_ms", "repeat",  "fault"};
    if (!obj.is_object()) throw std::invalid_argument("a response must be a JSON object");
    for (const auto& [k, v] : obj.items())
        if (!fields.count(k)) throw std::invalid_argument("unknown response field " + k);
    Scripted r;
    r.status = static_cast<int>(IntField(obj, "status", 200, 100, 999));
    for (const json& pair : obj.value("headers", json::array())) {
        std::string name = HeadText(pair.at(0)), value = HeadText(pair.at(1));
        if (pair.size() != 2 || name.empty() || name.find(':') != std::string::npos)
            throw std::invalid_argument("header " + pair.dump() + " is not a [name, value] pair");
        r.headers.emplace_back(std::move(name), std::move(value));
    }
    if (obj.contains("body_b64") && obj.contains("body_size"))
        throw std::invalid_argument("give body_b64 or body_size");
    if (obj.contains("body_b64")) {
        auto bytes = Base64Decode(obj["body_b64"].get<std::string>());
        if (!bytes) throw std::invalid_argument("'body_b64' is not valid base64");
        r.body.data = std::move(*bytes);
    } else if (obj.contains("body_size")) {
        r.body.generated = static_cast<std::uint64_t>(IntField(obj, "body_size", 0, 0, std::int64_t{1} << 40));
    }
    r.delay_ms = static_cast<int>(IntField(obj, "delay_ms", 0, 0, 3'600'000));
    r.repeat = obj.value("repeat", false);
    r.fault = obj.value("fault", "");
    if (!r.fault.empty() && !kFaults.count(r.fault)) throw std::invalid_argument("unknown fault " + r.fault);
    return r;
}

json RequestJson(const Request& r) {
    json lines = json::array();
    for (const auto& l : r.header_lines) lines.push_back(BytesToLatin1Text(l));
    return {{"method", BytesToLatin1Text(r.method)}, {"target", BytesToLatin1Text(r.target)},
            {"path", BytesToLatin1Text(r.Path())},   {"header_lines", std::move(lines)},
            {"body_b64", Base64Encode(r.body)},      {"resumed", r.resumed}};
}

awaitable<void> SendJson(Conn& c, int status, const json& payload,
                         std::vector<std::pair<std::string, std::string>> headers = {}) {
    headers.emplace_back("Content-Type", "application/json");
    co_await SendResponse(c, status, std::move(headers), Body{payload.dump()});
}

// ---- faults: broken-server behaviours

awaitable<void> Fault(Conn& c, const Scripted& r) {
    const std::string& f = r.fault;
    if (f == "stall") co_return co_await c.Sleep(24h);  // ends when the site closes
    if (f == "garbage") {
        for (std::uint64_t left = r.body.size() ? r.body.size() : 256; left;) {
            const size_t n = static_cast<size_t>(std::min<std::uint64_t>(left, 256 * 1024));
            if (!co_await c.Write(RandomBytes(n))) co_return;
            left -= n;
        }
        co_return co_await c.CloseGracefully();
    }
    // Some bytes, then a reset (the faults named so) or a close.
    const Body body = r.body.size() ? r.body : Body::Generated(1024);
    std::string bytes;
    if (f == "reset_mid_header") bytes = "HTTP/1.1 200 OK\r\nContent-Le";
    if (f == "malformed_status") bytes = "HTTX/9 abc\r\n\r\nhello";
    if (f == "broken_chunked")
        bytes = ResponseHead(r.status, {{"Transfer-Encoding", "chunked"}, {"Connection", "close"}}) +
                "5\r\nhello\r\nzz-not-a-size\r\nworld\r\n0\r\n\r\n";
    if (f == "reset_mid_body") {  // half the body
        auto headers = r.headers;
        std::erase_if(headers, [](const auto& h) { return EqualsIgnoreCase(h.first, "Content-Length"); });
        headers.emplace_back("Content-Length", std::to_string(body.size()));
        headers.emplace_back("Connection", "close");
        bytes = ResponseHead(r.status, headers);
    }
    bool ok = bytes.empty() || co_await c.Write(bytes);
    if (f == "reset_mid_body") ok = ok && co_await c.WriteBody(body, body.size() / 2, false);
    if (f.rfind("reset_", 0) != 0) {
        if (ok) co_await c.CloseGracefully();
        co_return;
    }
    if (ok && !bytes.empty()) co_await c.Flush();
    c.Reset();
}

// ---- sites

struct Site {
    int id = 0;
    bool tls = false;
    std::string cert;
    std::map<std::string, std::deque<Scripted>> scripts;
    std::vector<Request> requests;
    std::shared_ptr<Listener> listener;
    bool verbose = false;

    std::optional<Scripted> Next(const std::string& path, bool early) {
        auto it = scripts.find(path);
        if (it == scripts.end() || it->second.empty()) return std::nullopt;
        auto& queue = it->second;
        if (early && !kEarlyFaults.count(queue.front().fault)) return std::nullopt;
        Scripted r = queue.front();
        if (!r.repeat) queue.pop_front();
        return r;
    }
};

awaitable<void> ServeSite(std::shared_ptr<Site> site, std::shared_ptr<Conn> c) {
    Limits limits;
    limits.head = 1 << 20;
    limits.body = 256u << 20;
    limits.idle = 120s;
    limits.head_time = 600s;  // the suites' own clients: only a bound, never a test's limit
    Request r;
    std::optional<Scripted> early;
    auto strike_early = [&](const std::string& path) {
        early = site->Next(path, true);
        return early.has_value();
    };
    const ReadResult got = co_await ReadRequest(*c, limits, r, strike_early);
    if (got.head_done) site->requests.push_back(r);
    if (got.outcome == ReadOutcome::kBad) {
        Log("INFO", "site " + std::to_string(site->id) + ": bad request: " + got.why);
        const json payload = {{"error", "bad request: " + got.why}};
        co_await SendJson(*c, got.status, payload);
        co_return co_await c->CloseGracefully();
    }
    if (got.outcome != ReadOutcome::kOk && !early) co_return;
    const auto response = early ? early : site->Next(r.Path(), false);
    if (site->verbose)
        Log("DEBUG", "site " + std::to_string(site->id) + ": " + r.method + " " + r.target + " -> " +
                         (!response                 ? "unscripted"
                          : response->fault.empty() ? std::to_string(response->status)
                                                    : response->fault));
    if (!response) {
        const json payload = {{"error", "unscripted"}, {"path", BytesToLatin1Text(r.Path())}};
        co_await SendJson(*c, 404, payload);
        co_return co_await c->CloseGracefully();
    }
    co_await c->Sleep(std::chrono::milliseconds(response->delay_ms));
    if (!response->fault.empty()) co_return co_await Fault(*c, *response);
    co_await SendResponse(*c, response->status, response->headers, response->body, "", r.method == "HEAD");
    co_await c->CloseGracefully();
}

// ---- the control API

class Control {
public:
    Control(asio::io_context& io, const SuitesOptions& o) : io_(io), options_(o) {}

    void Start() {
        listener_ = std::make_shared<Listener>(io_, nullptr, [this](std::shared_ptr<Conn> c) { return Serve(c); });
        listener_->Start(tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    }
    std::uint16_t port() const { return listener_->port(); }

    // Closes everything; the loop ends once the last connection is gone.
    void Stop() {
        if (stopping_) return;
        stopping_ = true;
        if (on_stop) on_stop();
        CloseAllSites();
        listener_->Close();
    }
    std::function<void()> on_stop;

private:
    awaitable<void> Serve(std::shared_ptr<Conn> c) {
        Limits limits;
        limits.body = 512u << 20;
        limits.idle = 60s;
        limits.head_time = 60s;
        Request r;
        const ReadResult got = co_await ReadRequest(*c, limits, r);
        if (got.outcome == ReadOutcome::kBad) {
            const json payload = {{"error", "bad request: " + got.why}};
            co_await SendJson(*c, got.status, payload);
        } else if (got.outcome == ReadOutcome::kOk) {
            int status = 200;
            json payload;
            std::vector<std::pair<std::string, std::string>> headers;
            try {
                payload = Dispatch(r);
            } catch (const ApiError& e) {
                status = e.status;
                payload = {{"error", e.message}};
                headers = e.headers;
            } catch (const std::exception& e) {
                status = 500;
                payload = {{"error", std::string("internal error: ") + e.what()}};
            }
            if (status >= 400)
                Log("INFO",
                    "control: " + r.method + " " + r.target + " -> " + std::to_string(status) + " " + payload.dump());
            co_await SendJson(*c, status, payload, headers);
        }
        co_await c->CloseGracefully();
    }

    std::shared_ptr<Site> SiteOf(const std::string& id_text) {
        int id = 0;
        try {
            id = std::stoi(id_text);
        } catch (const std::exception&) {
        }
        auto it = sites_.find(id);
        if (it == sites_.end()) throw ApiError{404, "no site " + id_text};
        return it->second;
    }

    static json JsonBody(const Request& r) {
        if (r.body.find_first_not_of(" \t\r\n") == std::string::npos) return json::object();
        json body;
        try {
            body = json::parse(r.body);
        } catch (const json::exception& e) {
            throw ApiError{400, std::string("request body is not valid JSON: ") + e.what()};
        }
        if (!body.is_object()) throw ApiError{400, "request body must be a JSON object"};
        return body;
    }

    json Dispatch(const Request& r) {
        const std::string path = r.Path();
        std::string site_id, rest;
        if (path.rfind("/sites/", 0) == 0) {
            const std::string tail = path.substr(7);
            const size_t slash = tail.find('/');
            site_id = tail.substr(0, slash);
            rest = slash == std::string::npos ? "" : tail.substr(slash);
            if (site_id.empty() || site_id.find_first_not_of("0123456789") != std::string::npos) rest = "?";
        }
        struct Route {
            const char* method;
            bool match;
            std::function<json()> run;
        };
        const bool is_site = !site_id.empty() && rest != "?";
        const std::vector<Route> routes = {
            {"GET", path == "/health", [&] { return Health(); }},
            {"POST", path == "/sites", [&] { return OpenSite(JsonBody(r)); }},
            {"DELETE", is_site && rest.empty(), [&] { return CloseSite(SiteOf(site_id)); }},
            {"POST", is_site && rest == "/script", [&] { return Script(SiteOf(site_id), JsonBody(r)); }},
            {"GET", is_site && rest == "/requests", [&] { return Requests(SiteOf(site_id)); }},
            {"DELETE", is_site && rest == "/requests", [&] { return Forget(SiteOf(site_id)); }},
            {"POST", path == "/reset", [&] { return CloseAllSites(); }},
            {"GET", path == "/closed-port", [&] { return Port(ClosedPort()); }},
            {"GET", path == "/unaccepting-port", [&] { return Port(UnacceptingPort()); }},
        };
        std::string allowed;
        for (const auto& route : routes) {
            if (!route.match) continue;
            if (r.method == route.method) return route.run();
            allowed += (allowed.empty() ? "" : ", ") + std::string(route.method);
        }
        if (!allowed.empty()) throw ApiError{405, r.method + " not allowed on " + path, {{"Allow", allowed}}};
        throw ApiError{404, "no such endpoint: " + r.method + " " + path};
    }

    TlsContext* ContextFor(const std::string& cert) {
#ifdef MOVU_DEVSERVER_TLS
        auto& slot = contexts_[cert];
        if (!slot) {
            auto ctx = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
            SSL_CTX* native = ctx->native_handle();
            // Older terminals still negotiate TLS 1.0/1.1; allow them where the local OpenSSL can.
            SSL_CTX_set_security_level(native, 0);
            // "tls13": the default certificate on a site that speaks TLS 1.3 only.
            SSL_CTX_set_min_proto_version(native, cert == "tls13" ? TLS1_3_VERSION : TLS1_VERSION);
            SSL_CTX_set_cipher_list(native, "DEFAULT:@SECLEVEL=0");
            // "askclient": the default certificate on a site that asks for a
            // client certificate and goes on without one.
            if (cert == "askclient")
                SSL_CTX_set_verify(native, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
            const bool own = cert != "tls13" && cert != "askclient";
            const CertFiles files = PkiCert(options_.state_dir, own ? cert : std::string("default"));
            ctx->use_certificate_chain_file(files.cert);
            ctx->use_private_key_file(files.key, asio::ssl::context::pem);
            slot = std::move(ctx);
        }
        return slot.get();
#else
        (void)cert;
        throw ApiError{400, "this build serves HTTP only"};
#endif
    }

    json OpenSite(const json& body) {
        for (const auto& [k, v] : body.items())
            if (k != "tls" && k != "cert" && k != "address") throw ApiError{400, "unknown field " + k};
        const json address = body.value("address", json("127.0.0.1"));
        // Sites listen on this machine only.
        if (address != "127.0.0.1" && address != "::1") throw ApiError{400, "'address' must be 127.0.0.1 or ::1"};
        static const std::set<std::string> kCerts = {"default", "untrusted", "wrongname", "tls13", "askclient"};
        auto site = std::make_shared<Site>();
        site->tls = body.value("tls", false);
        site->cert = body.value("cert", "default");
        if (!kCerts.count(site->cert)) throw ApiError{400, "unknown cert " + site->cert};
        site->id = ++next_id_;
        site->verbose = options_.verbose;
        std::weak_ptr<Site> weak = site;
        site->listener = std::make_shared<Listener>(io_, site->tls ? ContextFor(site->cert) : nullptr,
                                                    [weak](std::shared_ptr<Conn> c) -> awaitable<void> {
                                                        if (auto s = weak.lock()) co_await ServeSite(s, c);
                                                    });
        site->listener->Start(tcp::endpoint(asio::ip::make_address(address.get<std::string>()), 0));
        sites_[site->id] = site;
        Log("INFO", "site " + std::to_string(site->id) + " opened on port " + std::to_string(site->listener->port()) +
                        (site->tls ? " (tls, cert " + site->cert + ")" : " (plain)"));
        return {{"id", site->id}, {"port", site->listener->port()}};
    }

    json CloseSite(const std::shared_ptr<Site>& site) {
        sites_.erase(site->id);
        site->listener->Close();
        Log("INFO", "site " + std::to_string(site->id) + " closed");
        return {{"closed", site->id}};
    }

    json Script(const std::shared_ptr<Site>& site, const json& body) {
        for (const auto& [k, v] : body.items())
            if (k != "path" && k != "responses") throw ApiError{400, "unknown field " + k};
        const auto path = Latin1TextToBytes(body.value("path", ""));
        if (!path || path->rfind("/", 0) != 0 || path->find('?') != std::string::npos)
            throw ApiError{400, "'path' must start with '/', hold no query and carry bytes as Latin-1"};
        const json responses = body.value("responses", json());
        if (!responses.is_array() || responses.empty()) throw ApiError{400, "'responses' must be a non-empty list"};
        std::vector<Scripted> parsed;
        for (size_t i = 0; i < responses.size(); ++i) {
            try {
                parsed.push_back(ParseScripted(responses[i]));
            } catch (const std::exception& e) {
                throw ApiError{400, "responses[" + std::to_string(i) + "]: " + e.what()};
            }
        }
        auto& queue = site->scripts[*path];
        queue.insert(queue.end(), parsed.begin(), parsed.end());
        return {{"queued", queue.size()}};
    }

    json Health() const { return {{"status", "ok"}, {"pid", getpid()}, {"sites", sites_.size()}}; }
    static json Port(int port) { return {{"port", port}}; }
    static json Forget(const std::shared_ptr<Site>& site) {
        site->requests.clear();
        return {{"cleared", site->id}};
    }

    json Requests(const std::shared_ptr<Site>& site) const {
        json list = json::array();
        for (const auto& r : site->requests) list.push_back(RequestJson(r));
        return {{"requests", std::move(list)}};
    }

    int ClosedPort() {
        tcp::acceptor probe(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        return probe.local_endpoint().port();
    }

    // A port whose listener never accepts and whose queue is full: the
    // system drops further connection attempts, so a client's connect runs
    // into its own time-out. Kept until the next reset.
    int UnacceptingPort() {
#ifdef _WIN32
        throw ApiError{501, "an unaccepting port needs a POSIX system"};
#else
        Unaccepting u{tcp::acceptor(io_), {}};
        const tcp::endpoint loopback(asio::ip::make_address("127.0.0.1"), 0);
        u.acceptor.open(loopback.protocol());
        u.acceptor.bind(loopback);
        u.acceptor.listen(0);
        const tcp::endpoint at = u.acceptor.local_endpoint();
        // Connect until an attempt no longer completes: the queue is full.
        for (int i = 0; i < 64; ++i) {
            // A plain connect: Asio's own waits for the outcome without limit.
            tcp::socket filler(io_);
            filler.open(at.protocol());
            filler.non_blocking(true);
            const int started = ::connect(filler.native_handle(), at.data(), static_cast<socklen_t>(at.size()));
            pollfd pending{filler.native_handle(), POLLOUT, 0};
            if (started != 0 && ::poll(&pending, 1, 500) != 1) {
                unaccepting_.push_back(std::move(u));
                return at.port();
            }
            u.fillers.push_back(std::move(filler));
        }
        throw ApiError{500, "the listen queue never filled"};
#endif
    }

    json CloseAllSites() {
        unaccepting_.clear();
        auto sites = std::move(sites_);
        sites_.clear();
        for (auto& [id, s] : sites) s->listener->Close();
        return {{"reset", true}};
    }

    asio::io_context& io_;
    SuitesOptions options_;
    std::shared_ptr<Listener> listener_;
    std::map<int, std::shared_ptr<Site>> sites_;
    struct Unaccepting {
        tcp::acceptor acceptor;
        std::vector<tcp::socket> fillers;
    };
    std::vector<Unaccepting> unaccepting_;
    int next_id_ = 0;
    bool stopping_ = false;
#ifdef MOVU_DEVSERVER_TLS
    std::map<std::string, std::unique_ptr<asio::ssl::context>> contexts_;
#endif
};

void RemoveIfOurs(const std::string& path, const std::string& content) {
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    std::error_code ec;
    if (text == content) std::filesystem::remove(path, ec);
}

void RaiseFileLimit() {
#ifndef _WIN32
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max == RLIM_INFINITY ? 65536 : lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
#endif
}

}  // namespace

int RunSuitesService(const SuitesOptions& given) {
    SuitesOptions options = given;
    RaiseFileLimit();
    try {
        options.state_dir = std::filesystem::absolute(options.state_dir).lexically_normal().string();
        std::filesystem::create_directories(options.state_dir);
        for (const char* stale : {"control.port", "service.pid"})
            std::filesystem::remove(options.state_dir + "/" + stale);
#ifdef MOVU_DEVSERVER_TLS
        MakeTestPki(options.state_dir, options.extra_sans);
#endif
    } catch (const std::exception& e) {
        Log("ERROR", "cannot prepare " + options.state_dir + ": " + e.what());
        return 1;
    }
    asio::io_context io(1);
    Control control(io, options);
    try {
        control.Start();
    } catch (const std::exception& e) {
        Log("ERROR", std::string("cannot listen on 127.0.0.1: ") + e.what());
        return 1;
    }
    const std::string pid_text = std::to_string(getpid()) + "\n";
    const std::string port_text = std::to_string(control.port()) + "\n";
    const std::string pid_file = options.state_dir + "/service.pid", port_file = options.state_dir + "/control.port";
    asio::signal_set signals(io, SIGINT, SIGTERM);
    control.on_stop = [&] {
        Log("INFO", "stopping");
        RemoveIfOurs(port_file, port_text);
        signals.cancel();
    };
    signals.async_wait([&](boost::system::error_code ec, int) {
        if (!ec) control.Stop();
    });
    try {
        // pid first: once control.port exists, a fixture can always find whom to stop.
        WriteAtomic(pid_file, pid_text);
        WriteAtomic(port_file, port_text);
    } catch (const std::exception& e) {
        Log("ERROR", e.what());
        return 1;
    }
    Log("INFO", "control API on 127.0.0.1:" + std::to_string(control.port()) + " (pid " + std::to_string(getpid()) +
                    ", state dir " + options.state_dir + ")");
    io.run();
    RemoveIfOurs(pid_file, pid_text);
    Log("INFO", "stopped");
    return 0;
}

}  // namespace movu::devserver
