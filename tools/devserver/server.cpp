#include "server.h"

#include <boost/asio/redirect_error.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#include <process.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/sockios.h>
#endif
#endif

namespace movu::devserver {
namespace {
using namespace std::chrono_literals;
constexpr size_t kChunk = 256 * 1024;
constexpr auto kWriteLimit = 60s;  // a peer that reads nothing for this long is dropped
}  // namespace

// ---- Conn

Conn::Conn(tcp::socket socket, TlsContext* tls)
    : plain_(std::move(socket)), watchdog_(plain_.get_executor()), sleeper_(plain_.get_executor()) {
#ifdef MOVU_DEVSERVER_TLS
    if (tls) tls_ = std::make_unique<asio::ssl::stream<tcp::socket>>(std::move(plain_), *tls);
#else
    (void)tls;
#endif
}

Conn::~Conn() = default;

tcp::socket& Conn::Lowest() {
#ifdef MOVU_DEVSERVER_TLS
    if (tls_) return tls_->next_layer();
#endif
    return plain_;
}

bool Conn::tls() const {
#ifdef MOVU_DEVSERVER_TLS
    return tls_ != nullptr;
#else
    return false;
#endif
}

void Conn::FillTlsFacts(Request& r) const {
#ifdef MOVU_DEVSERVER_TLS
    if (!tls_) return;
    SSL* ssl = tls_->native_handle();
    r.tls_version = SSL_get_version(ssl);
    r.resumed = SSL_session_reused(ssl) == 1;
    if (const char* sni = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name)) r.sni = sni;
#else
    (void)r;
#endif
}

void Conn::Arm(std::chrono::milliseconds limit, bool keep_open) {
    watchdog_.expires_after(limit);
    watchdog_.async_wait([weak = weak_from_this(), keep_open = keep_open && !tls()](boost::system::error_code ec) {
        if (ec) return;
        auto self = weak.lock();
        if (!self) return;
        if (keep_open) {
            self->Lowest().cancel(ec);  // the pending read ends; the socket stays for an answer
        } else {
            self->Abort();
        }
    });
}

void Conn::Disarm() { watchdog_.cancel(); }

void Conn::Abort() {
    aborted_ = true;
    boost::system::error_code ec;
    Lowest().close(ec);
    watchdog_.cancel();
    sleeper_.cancel();
}

awaitable<bool> Conn::Handshake(std::chrono::milliseconds limit) {
#ifdef MOVU_DEVSERVER_TLS
    if (!tls_) co_return true;
    boost::system::error_code ec;
    Arm(limit);
    co_await tls_->async_handshake(asio::ssl::stream_base::server, asio::redirect_error(asio::use_awaitable, ec));
    Disarm();
    if (ec) Abort();
    co_return !ec;
#else
    (void)limit;
    co_return true;
#endif
}

awaitable<size_t> Conn::ReadSome(asio::mutable_buffer b) {
    boost::system::error_code ec;
    size_t n = 0;
#ifdef MOVU_DEVSERVER_TLS
    if (tls_)
        n = co_await tls_->async_read_some(b, asio::redirect_error(asio::use_awaitable, ec));
    else
#endif
        n = co_await plain_.async_read_some(b, asio::redirect_error(asio::use_awaitable, ec));
    co_return ec ? 0 : n;
}

awaitable<bool> Conn::ReadMore(std::chrono::milliseconds limit, bool keep_open) {
    if (aborted_) co_return false;
    char buf[16 * 1024];
    Arm(limit, keep_open);
    const size_t n = co_await ReadSome(asio::buffer(buf));
    Disarm();
    in.append(buf, n);
    co_return n > 0;
}

awaitable<bool> Conn::Write(std::string_view bytes) {
    if (aborted_) co_return false;
    boost::system::error_code ec;
    Arm(kWriteLimit);
#ifdef MOVU_DEVSERVER_TLS
    if (tls_)
        co_await asio::async_write(*tls_, asio::buffer(bytes), asio::redirect_error(asio::use_awaitable, ec));
    else
#endif
        co_await asio::async_write(plain_, asio::buffer(bytes), asio::redirect_error(asio::use_awaitable, ec));
    Disarm();
    co_return !ec && !aborted_;
}

awaitable<bool> Conn::WriteBody(const Body& body, std::uint64_t limit, bool chunked) {
    const std::uint64_t end = std::min(limit, body.size());
    std::string piece;
    for (std::uint64_t offset = 0; offset < end; offset += kChunk) {
        const size_t n = static_cast<size_t>(std::min<std::uint64_t>(kChunk, end - offset));
        piece.clear();
        if (chunked) {
            char size_line[32];
            std::snprintf(size_line, sizeof size_line, "%zx\r\n", n);
            piece += size_line;
        }
        if (body.generated)
            piece += GeneratedBytes(offset, n);
        else
            piece.append(body.data, static_cast<size_t>(offset), n);
        if (chunked) piece += "\r\n";
        if (!co_await Write(piece)) co_return false;
    }
    if (chunked) co_return co_await Write("0\r\n\r\n");
    co_return true;
}

awaitable<void> Conn::Sleep(std::chrono::milliseconds ms) {
    if (aborted_ || ms.count() <= 0) co_return;
    boost::system::error_code ec;
    sleeper_.expires_after(ms);
    co_await sleeper_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
}

awaitable<void> Conn::Flush() {
#if defined(__linux__)
    const int fd = Lowest().native_handle();
    for (int i = 0; i < 400 && !aborted_; ++i) {
        int unsent = 0;
        if (ioctl(fd, SIOCOUTQ, &unsent) != 0 || unsent == 0) co_return;
        co_await Sleep(5ms);
    }
#else
    co_await Sleep(50ms);
#endif
}

void Conn::Reset() {
    boost::system::error_code ec;
    Lowest().set_option(asio::socket_base::linger(true, 0), ec);
    Abort();
}

awaitable<void> Conn::CloseGracefully() {
    if (aborted_) co_return;
    boost::system::error_code ec;
#ifdef MOVU_DEVSERVER_TLS
    if (tls_) {
        Arm(1s);
        co_await tls_->async_shutdown(asio::redirect_error(asio::use_awaitable, ec));
        Disarm();
        Abort();
        co_return;
    }
#endif
    plain_.shutdown(tcp::socket::shutdown_send, ec);
    // Read what the peer still sends until it closes, so no unread byte turns our close into a reset.
    char buf[4096];
    Arm(2s);
    for (size_t total = 0; !aborted_ && total < (1u << 20);) {
        const size_t n =
            co_await plain_.async_read_some(asio::buffer(buf), asio::redirect_error(asio::use_awaitable, ec));
        if (ec || n == 0) break;
        total += n;
    }
    Disarm();
    Abort();
}

// ---- reading a request

awaitable<ReadResult> ReadRequest(Conn& c, const Limits& limits, Request& r,
                                  const std::function<bool(const std::string&)>& early) {
    ReadResult res;
    auto bad = [&](int status, std::string why) {
        res.outcome = ReadOutcome::kBad;
        res.status = status;
        res.why = std::move(why);
        return res;
    };
    // The whole head must arrive within head_time, not only each piece within idle.
    const auto deadline = std::chrono::steady_clock::now() + limits.head_time;
    auto read_head = [&]() -> awaitable<bool> {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) co_return false;
        co_return co_await c.ReadMore(std::min(limits.idle, left), left < limits.idle);
    };
    auto timed_out = [&] { return std::chrono::steady_clock::now() >= deadline; };
    auto late = [&] {
        return bad(408, "request head not complete within " + std::to_string(limits.head_time.count() / 1000) + " s");
    };
    // The request line; one stray empty line before it is allowed.
    size_t eol;
    bool skipped = false;
    for (;;) {
        eol = c.in.find('\n');
        if (eol != std::string::npos) {
            if (!skipped && (eol == 0 || (eol == 1 && c.in[0] == '\r'))) {
                c.in.erase(0, eol + 1);
                skipped = true;
                continue;
            }
            break;
        }
        if (c.in.size() > limits.head) co_return bad(431, "request line too long");
        if (!co_await read_head()) co_return timed_out() && !c.in.empty() ? late() : res;
    }
    std::string line = c.in.substr(0, eol);
    if (line.empty() || line.back() != '\r') co_return bad(400, "a line ends in LF alone; HTTP lines end in CR LF");
    line.pop_back();
    if (!SplitRequestLine(line, r)) co_return bad(400, "malformed request line");
    if (early && early(r.Path())) {
        res.outcome = ReadOutcome::kEarly;
        co_return res;
    }

    size_t end;
    bool bare_lf = false;
    while ((end = HeadEnd(c.in, bare_lf)) == std::string::npos) {
        if (bare_lf) co_return bad(400, "a line ends in LF alone; HTTP lines end in CR LF");
        if (c.in.size() > limits.head) co_return bad(431, "request head too large");
        if (!co_await read_head()) co_return timed_out() ? late() : res;
    }
    if (end > limits.head) co_return bad(431, "request head too large");
    c.head_read = true;
    RequestParser parser(limits);
    int status = 400;
    if (std::string why = parser.Head(std::string_view(c.in).substr(0, end), r, status); !why.empty())
        co_return bad(status, why);
    res.head_done = true;
    c.FillTlsFacts(r);
    c.in.erase(0, end);
    if (parser.ExpectsContinue()) co_await c.Write("HTTP/1.1 100 Continue\r\n\r\n");

    while (!parser.Done()) {
        if (!c.in.empty()) {
            std::string why;
            c.in.erase(0, parser.Body(c.in, why));
            if (!why.empty()) {
                r.body = std::move(parser.body());
                co_return bad(why.find("body limit") != std::string::npos ? 413 : 400, why);
            }
            if (parser.Done()) break;
        }
        if (!co_await c.ReadMore(limits.idle)) {
            if (parser.Eof()) break;
            r.body = std::move(parser.body());
            res.outcome = ReadOutcome::kTruncated;
            co_return res;
        }
    }
    r.body = std::move(parser.body());
    res.outcome = ReadOutcome::kOk;
    co_return res;
}

std::string ResponseHead(int status, const std::vector<std::pair<std::string, std::string>>& headers,
                         const std::string& reason) {
    std::string head =
        "HTTP/1.1 " + std::to_string(status) + " " + (reason.empty() ? ReasonPhrase(status) : reason) + "\r\n";
    for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
    return head + "\r\n";
}

awaitable<void> SendResponse(Conn& c, int status, std::vector<std::pair<std::string, std::string>> headers,
                             const Body& body, const std::string& reason, bool head_only) {
    bool chunked = false, has_length = false, has_connection = false;
    for (const auto& [name, value] : headers) {
        std::string lower = value;
        for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (EqualsIgnoreCase(name, "Transfer-Encoding") && lower.find("chunked") != std::string::npos) chunked = true;
        if (EqualsIgnoreCase(name, "Content-Length")) has_length = true;
        if (EqualsIgnoreCase(name, "Connection")) has_connection = true;
    }
    if (!chunked && !has_length) headers.emplace_back("Content-Length", std::to_string(body.size()));
    if (!has_connection) headers.emplace_back("Connection", "close");
    const std::string head = ResponseHead(status, headers, reason);
    if (head_only || body.size() == 0 || body.generated || body.size() > kChunk) {
        if (!co_await c.Write(head) || head_only) co_return;
        co_await c.WriteBody(body, body.size(), chunked);
    } else if (chunked) {
        if (co_await c.Write(head)) co_await c.WriteBody(body, body.size(), true);
    } else {
        co_await c.Write(head + body.data);  // one write for the common small answer
    }
}

// ---- Listener

Listener::Listener(asio::io_context& io, TlsContext* tls, Handler handler)
    : io_(io), acceptor_(io), tls_(tls), handler_(std::move(handler)) {}

void Listener::Start(const tcp::endpoint& at) {
    acceptor_.open(at.protocol());
#ifndef _WIN32
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
#endif
    acceptor_.bind(at);
    acceptor_.listen(4096);
    port_ = acceptor_.local_endpoint().port();
    asio::co_spawn(
        io_, [self = shared_from_this()]() { return self->Accept(); }, asio::detached);
}

awaitable<void> Listener::Accept() {
    auto self = shared_from_this();
    while (acceptor_.is_open()) {
        boost::system::error_code ec;
        tcp::socket socket = co_await acceptor_.async_accept(asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            if (ec == asio::error::operation_aborted || !acceptor_.is_open()) break;
            asio::steady_timer pause(io_, std::chrono::milliseconds(50));  // e.g. out of file descriptors
            co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
            continue;
        }
        socket.set_option(tcp::no_delay(true), ec);
        auto c = std::make_shared<Conn>(std::move(socket), tls_);
        if (!MakeRoom()) {
            if (refusing_ < cap_) asio::co_spawn(io_, Refuse(c), asio::detached);
            continue;  // beyond that, closed at once
        }
        const auto id = next_++;
        conns_[id] = c;
        asio::co_spawn(io_, Serve(self, c, id), asio::detached);
    }
}

awaitable<void> Listener::Serve(std::shared_ptr<Listener> self, std::shared_ptr<Conn> c, std::uint64_t id) {
    try {
        if (co_await c->Handshake(std::chrono::seconds(30))) co_await self->handler_(c);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "movu-devserver: connection failed: %s\n", e.what());
    }
    c->Abort();
    self->conns_.erase(id);
}

bool Listener::MakeRoom() {
    if (cap_ == 0 || conns_.size() < cap_) return true;
    for (auto& [id, weak] : conns_) {  // oldest first
        auto c = weak.lock();
        if (c && !c->head_read) {
            c->Abort();
            conns_.erase(id);
            return true;
        }
    }
    return false;
}

awaitable<void> Listener::Refuse(std::shared_ptr<Conn> c) {
    auto self = shared_from_this();
    ++refusing_;
    if (co_await c->Handshake(std::chrono::seconds(2)) && co_await c->Write(refusal_)) co_await c->CloseGracefully();
    c->Abort();
    --refusing_;
}

void Listener::Close() {
    boost::system::error_code ec;
    acceptor_.close(ec);
    for (auto& [id, weak] : conns_)
        if (auto c = weak.lock()) c->Abort();
}

// ---- files

void WriteAtomic(const std::string& path, const std::string& data) {
    namespace fs = std::filesystem;
    const fs::path target(path);
#ifdef _WIN32
    const auto pid = _getpid();
#else
    const auto pid = getpid();
#endif
    const fs::path temp =
        target.parent_path() / ("." + target.filename().string() + "." + std::to_string(pid) + ".tmp");
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << data;
        out.close();
        if (!out) {
            std::error_code ignored;
            fs::remove(temp, ignored);
            throw std::runtime_error("cannot write " + temp.string());
        }
    }
    std::error_code ec;
    fs::rename(temp, target, ec);
    if (ec) {
        fs::remove(temp, ec);
        throw std::runtime_error("cannot replace " + path + ": " + ec.message());
    }
}

}  // namespace movu::devserver
