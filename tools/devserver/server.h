// Connections and listeners of movu-devserver: one thread, Asio coroutines,
// plain TCP or TLS. Every wait has a bound except a deliberate stall, and
// closing a listener ends the connections it accepted.
#pragma once

#include <utility>  // Boost 1.74's awaitable.hpp uses std::exchange without it

#include <boost/asio.hpp>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#ifdef MOVU_DEVSERVER_TLS
#include <boost/asio/ssl.hpp>
#endif

#include "calendar.h"
#include "http.h"

namespace movu::devserver {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
template <class T>
using awaitable = asio::awaitable<T>;

#ifdef MOVU_DEVSERVER_TLS
using TlsContext = asio::ssl::context;
#else
struct TlsContext {};
#endif

// An answer body: literal bytes, or `generated` bytes of a repeating pattern
// made while sending (so a 50 MiB answer costs no memory).
struct Body {
    Body() = default;
    explicit Body(std::string bytes) : data(std::move(bytes)) {}
    static Body Generated(std::uint64_t n) {
        Body b;
        b.generated = n;
        return b;
    }
    std::string data;
    std::optional<std::uint64_t> generated;
    std::uint64_t size() const { return generated ? *generated : data.size(); }
};

class Conn : public std::enable_shared_from_this<Conn> {
public:
    Conn(tcp::socket socket, TlsContext* tls);
    ~Conn();

    awaitable<bool> Handshake(std::chrono::milliseconds limit);
    // Reads at least one byte into `in`; false at the end of the stream, an
    // error, or when `limit` passed without a byte. That ends the connection,
    // unless `keep_open` asks to leave it open for an answer (plain TCP only).
    awaitable<bool> ReadMore(std::chrono::milliseconds limit, bool keep_open = false);
    awaitable<bool> Write(std::string_view bytes);
    // Sends the head, then the body (chunked when asked), up to `limit` body bytes.
    awaitable<bool> WriteBody(const Body& body, std::uint64_t limit, bool chunked);
    // FIN after everything sent, a short wait for the peer's end, close.
    awaitable<void> CloseGracefully();
    // Waits (bounded) until what was written has left this host, so a reset lands after it.
    awaitable<void> Flush();
    // Closes with a TCP RST.
    void Reset();
    // Ends the connection now: from the listener's owner or a watchdog.
    void Abort();
    awaitable<void> Sleep(std::chrono::milliseconds ms);
    bool open() { return Lowest().is_open(); }
    bool tls() const;
    void FillTlsFacts(Request& r) const;

    std::string in;          // received, not yet used
    bool head_read = false;  // the request's head has arrived: the connection is being served

private:
    void Arm(std::chrono::milliseconds limit, bool keep_open = false);
    void Disarm();
    awaitable<size_t> ReadSome(asio::mutable_buffer b);

    tcp::socket& Lowest();

    tcp::socket plain_;  // moved into tls_ for TLS
#ifdef MOVU_DEVSERVER_TLS
    std::unique_ptr<asio::ssl::stream<tcp::socket>> tls_;
#endif
    asio::steady_timer watchdog_, sleeper_;
    bool aborted_ = false;
};

// Reading one request: the request line first (a fault may strike right after
// it), then the head, then the body.
enum class ReadOutcome { kClosed, kEarly, kBad, kTruncated, kOk };
struct ReadResult {
    ReadOutcome outcome = ReadOutcome::kClosed;
    std::string why;         // for kBad
    int status = 400;        // for kBad
    bool head_done = false;  // the request holds a parsed head (worth recording)
};
awaitable<ReadResult> ReadRequest(Conn& c, const Limits& limits, Request& r,
                                  const std::function<bool(const std::string& path)>& early = {});

// A complete answer that ends the connection. Content-Length and
// Connection: close are added unless given; a given "Transfer-Encoding:
// chunked" sends the body chunked.
awaitable<void> SendResponse(Conn& c, int status, std::vector<std::pair<std::string, std::string>> headers,
                             const Body& body, const std::string& reason = {}, bool head_only = false);
std::string ResponseHead(int status, const std::vector<std::pair<std::string, std::string>>& headers,
                         const std::string& reason = {});

using Handler = std::function<awaitable<void>(std::shared_ptr<Conn>)>;

// A listener that owns its connections.
class Listener : public std::enable_shared_from_this<Listener> {
public:
    Listener(asio::io_context& io, TlsContext* tls, Handler handler);
    // Binds and starts accepting; throws boost::system::system_error.
    void Start(const tcp::endpoint& at);
    std::uint16_t port() const { return port_; }
    void Close();
    size_t connections() const { return conns_.size(); }
    // At most `max` connections (0: no cap). A new one beyond it takes the
    // place of the oldest that has not yet sent its head; when every one is
    // being served, it gets `refusal` (a whole response) and is closed.
    void SetCap(size_t max, std::string refusal) {
        cap_ = max;
        refusal_ = std::move(refusal);
    }

private:
    awaitable<void> Accept();
    // `self` is a parameter, so the frame holds the listener from its start:
    // a site closed before the coroutine first runs must not free it.
    static awaitable<void> Serve(std::shared_ptr<Listener> self, std::shared_ptr<Conn> c, std::uint64_t id);
    awaitable<void> Refuse(std::shared_ptr<Conn> c);
    bool MakeRoom();

    asio::io_context& io_;
    tcp::acceptor acceptor_;
    TlsContext* tls_;
    Handler handler_;
    std::uint16_t port_ = 0;
    std::uint64_t next_ = 0;
    std::map<std::uint64_t, std::weak_ptr<Conn>> conns_;
    size_t cap_ = 0, refusing_ = 0;
    std::string refusal_;
};

// Writes a file through a temporary beside it and a rename.
void WriteAtomic(const std::string& path, const std::string& data);

}  // namespace movu::devserver
