// The actions that talk to a running movu-devserver over its /dev/ endpoints.
#include <boost/asio/redirect_error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <cstdio>
#include <fstream>

#include "calendar.h"
#include "people.h"
#include "server.h"

#ifdef MOVU_DEVSERVER_TLS
#include <boost/asio/ssl/host_name_verification.hpp>
#endif

namespace movu::devserver {
namespace {
namespace http = boost::beast::http;
using namespace std::chrono_literals;

struct Reply {
    int status = 0;
    std::string body;
    std::string error;
};

template <class Stream>
awaitable<void> Exchange(Stream& stream, http::request<http::string_body>& req, Reply& out) {
    boost::system::error_code ec;
    co_await http::async_write(stream, req, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
        out.error = "sending failed: " + ec.message();
        co_return;
    }
    boost::beast::flat_buffer buffer;
    http::response<http::string_body> res;
    co_await http::async_read(stream, buffer, res, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
        out.error = "no answer: " + ec.message();
        co_return;
    }
    out.status = res.result_int();
    out.body = std::move(res.body());
}

Reply Call(int port, bool tls, const std::string& ca, const std::string& method, const std::string& target,
           const std::string& body) {
    asio::io_context io;
    Reply out;
    http::request<http::string_body> req(http::string_to_verb(method), target, 11);
    req.set(http::field::host, (tls ? "localhost:" : "127.0.0.1:") + std::to_string(port));
    req.set(http::field::connection, "close");
    if (method == "POST") req.set(http::field::content_type, "application/json");
    req.body() = body;
    req.prepare_payload();
    const tcp::endpoint at(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
#ifdef MOVU_DEVSERVER_TLS
    asio::ssl::context ctx(asio::ssl::context::tls_client);
#endif
    asio::co_spawn(
        io,
        [&]() -> awaitable<void> {
            boost::system::error_code ec;
            tcp::socket socket(io);
            co_await socket.async_connect(at, asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
                out.error = "cannot connect: " + ec.message();
                co_return;
            }
            if (!tls) {
                co_await Exchange(socket, req, out);
                co_return;
            }
#ifdef MOVU_DEVSERVER_TLS
            if (ca.empty())
                ctx.set_default_verify_paths();
            else
                ctx.load_verify_file(ca);
            ctx.set_verify_mode(asio::ssl::verify_peer);
            asio::ssl::stream<tcp::socket> stream(std::move(socket), ctx);
            stream.set_verify_callback(asio::ssl::host_name_verification("localhost"));
            SSL_set_tlsext_host_name(stream.native_handle(), "localhost");
            co_await stream.async_handshake(asio::ssl::stream_base::client,
                                            asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
                out.error = "TLS handshake failed: " + ec.message();
                co_return;
            }
            co_await Exchange(stream, req, out);
#else
            out.error = "this build speaks HTTP only";
#endif
        },
        [&](std::exception_ptr e) {
            if (!e) return;
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& x) {
                out.error = x.what();
            }
        });
    io.run_for(15s);
    if (out.status == 0 && out.error.empty()) out.error = "no answer within 15 s";
    return out;
}

int Usage(const std::string& action, FILE* to = stderr) {
    std::fprintf(to, "usage: movu-devserver %s [--port P | --port-file F] [--tls [--ca FILE]]%s\n", action.c_str(),
                 action == "requests" ? " [--since N]"
                 : action == "fault"  ? " KIND[:COUNT][@PATH] [--delay-ms MS]"
                 : action == "faults" ? " [--clear]"
                                      : "");
    return to == stderr ? 2 : 0;
}

}  // namespace

int RunClientAction(const std::string& action, const std::vector<std::string>& args) {
    int port = 8787;
    bool tls = false, clear = false;
    std::string ca, since = "0", rule_text, port_file;
    int delay_ms = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        auto number = [&](int low, int high) -> std::optional<int> {
            const auto v = value();
            if (!v || v->empty() || v->size() > 9 || v->find_first_not_of("0123456789") != std::string::npos)
                return std::nullopt;
            const int n = std::stoi(*v);
            return n < low || n > high ? std::nullopt : std::optional<int>(n);
        };
        if (a == "--help" || a == "-h") {
            return Usage(action, stdout);
        } else if (a == "--port") {
            const auto p = number(1, 65535);
            if (!p) return Usage(action);
            port = *p;
        } else if (a == "--port-file") {
            const auto f = value();
            if (!f) return Usage(action);
            port_file = *f;
        } else if (a == "--tls") {
            tls = true;
        } else if (a == "--ca") {
            const auto f = value();
            if (!f) return Usage(action);
            ca = *f;
        } else if (a == "--since" && action == "requests") {
            const auto n = number(0, 999999999);
            if (!n) return Usage(action);
            since = std::to_string(*n);
        } else if (a == "--delay-ms" && action == "fault") {
            const auto n = number(0, 3600000);
            if (!n) return Usage(action);
            delay_ms = *n;
        } else if (a == "--clear" && action == "faults") {
            clear = true;
        } else if (action == "fault" && rule_text.empty() && !a.empty() && a[0] != '-') {
            rule_text = a;
        } else {
            std::fprintf(stderr, "movu-devserver %s: unexpected argument '%s'\n", action.c_str(), a.c_str());
            return Usage(action);
        }
    }
    if (!port_file.empty()) {
        std::ifstream in(port_file);
        if (!(in >> port) || port < 1 || port > 65535) {
            std::fprintf(stderr, "movu-devserver: cannot read the port from %s\n", port_file.c_str());
            return 1;
        }
    }
    std::string method = "POST", target = "/dev/" + action, body;
    if (action == "requests") {
        method = "GET";
        target += "?since=" + since;
    } else if (action == "faults") {
        method = clear ? "DELETE" : "GET";
    } else if (action == "fault") {
        std::string why;
        const auto rule = ParseFaultSpec(rule_text, why);
        if (!rule) {
            std::fprintf(stderr, "movu-devserver fault: %s\n", why.c_str());
            return Usage(action);
        }
        target = "/dev/faults";
        body =
            ojson{{"fault", rule->kind}, {"count", rule->count}, {"path", rule->path}, {"delay_ms", delay_ms}}.dump();
    }
    // One exchange; false after saying why on stderr.
    auto exchange = [&](const std::string& to, ojson& answer) {
        const Reply reply = Call(port, tls, ca, method, to, body);
        if (!reply.error.empty()) {
            std::fprintf(stderr, "movu-devserver: no devserver answered on port %d: %s\n", port, reply.error.c_str());
            return false;
        }
        try {
            answer = ParseJson(reply.body);
        } catch (const std::invalid_argument&) {
            std::fprintf(stderr, "movu-devserver: the answer on port %d is not JSON (HTTP %d)\n", port, reply.status);
            return false;
        }
        if (reply.status != 200) {
            std::fprintf(stderr, "movu-devserver %s: HTTP %d %s\n", action.c_str(), reply.status,
                         JsonText(answer).c_str());
            return false;
        }
        return true;
    };
    ojson answer;
    if (action == "requests") {  // page by page, each its own bounded exchange
        ojson all = ojson::array();
        for (;;) {
            if (!exchange(target, answer)) return 1;
            for (auto& e : answer["requests"]) all.push_back(std::move(e));
            if (!answer.value("more", false)) break;
            target = "/dev/requests?since=" + answer["next"].dump();
        }
        std::printf("%s\n", all.dump(2, ' ', false, ojson::error_handler_t::replace).c_str());
        return 0;
    }
    if (!exchange(target, answer)) return 1;
    if (action == "revoke")
        std::printf("revoked %s token(s)\n", answer.value("revoked", ojson(0)).dump().c_str());
    else if (action == "expire")
        std::printf("expired %s token(s)\n", answer.value("expired", ojson(0)).dump().c_str());
    else if (action == "reload")
        std::printf("reloaded %s (%s templates)\n", answer.value("file", std::string()).c_str(),
                    answer.value("templates", ojson(0)).dump().c_str());
    else
        std::printf("%s\n", answer.dump(2, ' ', false, ojson::error_handler_t::replace).c_str());
    return 0;
}

}  // namespace movu::devserver
