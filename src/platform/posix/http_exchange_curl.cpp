// One HTTP exchange over libcurl: one easy handle per exchange, never reused.
//
// libcurl does the whole exchange in one call, so the step that failed is
// read from its result code. The steps are those of the Windows stack, where
// the TLS handshake and the connection's first write belong to "send" and
// everything after the request went out belongs to "receive":
//   resolve / connect / connect timeout (5, 6, 7, 28)      -> Connect
//   a limit of ours struck (42 from the progress call)       -> as 28
//   28 after the connection stood: Send in the TLS handshake, else Receive
//   a cracked host libcurl refuses (3)                      -> Connect
//   setting up the handle (2, 4, 27, 43, 48, before perform) -> OpenRequest
//   TLS handshake, certificate, sending (26, 35, 53, 54, 55, 58, 59, 60,
//     64, 65, 66, 77, 80, 82, 83, 90, 91, 98)              -> Send
//   anything else (no answer, reset, malformed status line, cut body,
//     HTTP/0.9, our own write refusal: 1, 8, 18, 23, 52, 56, ...) -> Receive
// Redirects are not followed (libcurl's default, kept deliberately).
#include <curl/curl.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>

#include "platform/ascii.h"
#include "platform/platform.h"

namespace movu::platform {
namespace {

// Never undone: workers may be inside an exchange until the process ends
// (see system_posix.cpp for the TLS library's own exit cleanup).
bool GlobalInit() {
    static std::once_flag once;
    static CURLcode result = CURLE_FAILED_INIT;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result == CURLE_OK;
}

// TLS sessions are kept process-wide, as the Windows TLS layer keeps them:
// a later handshake with the same host, port and TLS settings resumes one,
// while every exchange still opens and closes its own connection (neither
// connections nor name lookups are shared). The cache lives in memory only.
CURLSH* TlsSessionShare() {
    static std::once_flag once;
    static CURLSH* share = nullptr;
    static std::mutex locks[CURL_LOCK_DATA_LAST];
    std::call_once(once, [] {
        CURLSH* s = curl_share_init();
        if (!s) return;
        auto lock = +[](CURL*, curl_lock_data data, curl_lock_access, void*) { locks[data].lock(); };
        auto unlock = +[](CURL*, curl_lock_data data, void*) { locks[data].unlock(); };
        if (curl_share_setopt(s, CURLSHOPT_LOCKFUNC, lock) != CURLSHE_OK ||
            curl_share_setopt(s, CURLSHOPT_UNLOCKFUNC, unlock) != CURLSHE_OK ||
            curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK) {
            curl_share_cleanup(s);
            return;
        }
        share = s;
    });
    return share;
}

struct EasyHandle {
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    curl_slist* resolve = nullptr;
    CURLU* url = curl_url();
    EasyHandle() = default;
    EasyHandle(const EasyHandle&) = delete;
    EasyHandle& operator=(const EasyHandle&) = delete;
    ~EasyHandle() {
        if (curl) curl_easy_cleanup(curl);
        curl_slist_free_all(headers);
        curl_slist_free_all(resolve);
        curl_url_cleanup(url);
    }
};

bool Append(curl_slist*& list, const std::string& line) {
    curl_slist* grown = curl_slist_append(list, line.c_str());
    if (!grown) return false;
    list = grown;
    return true;
}

ExchangeStep StepOf(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:  // before the connection stood; see TimeoutStep
        case CURLE_URL_MALFORMAT: return ExchangeStep::Connect;
        case CURLE_FAILED_INIT:
        case CURLE_NOT_BUILT_IN:
        case CURLE_OUT_OF_MEMORY:
        case CURLE_BAD_FUNCTION_ARGUMENT:
        case CURLE_UNKNOWN_OPTION: return ExchangeStep::OpenRequest;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CLIENTCERT:
        case CURLE_USE_SSL_FAILED:
        case CURLE_READ_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_SEND_FAIL_REWIND: return ExchangeStep::Send;
        default: return ExchangeStep::Receive;
    }
}

size_t CollectBody(char* data, size_t size, size_t count, void* user) {
    const size_t n = size * count;
    try {
        static_cast<std::string*>(user)->append(data, n);
    } catch (...) {
        return 0;  // libcurl ends the transfer with CURLE_WRITE_ERROR
    }
    return n;
}

// The limits libcurl has no option for, checked from its progress calls
// (at least one a second, data or not): once the connection stands, a peer
// silent for the send or receive limit, or an answer head that has not
// begun within the head limit once the request is out, ends the exchange.
struct Watch {
    using Clock = std::chrono::steady_clock;
    CURL* curl = nullptr;
    const ExchangeLimits* limits = nullptr;
    Clock::time_point lastByte = Clock::now(), requestOut;
    curl_off_t down = -1, up = -1;
    bool connected = false, sent = false, headBegun = false, expired = false;

    static bool Over(Clock::time_point since, Clock::time_point now, std::uint32_t ms) {
        return ms != 0 && now - since > std::chrono::milliseconds(ms);
    }
};

int OnProgress(void* user, curl_off_t, curl_off_t downNow, curl_off_t upTotal, curl_off_t upNow) {
    Watch& w = *static_cast<Watch*>(user);
    const Watch::Clock::time_point now = Watch::Clock::now();
    if (!w.connected) {
        curl_off_t connectedAt = 0;
        curl_easy_getinfo(w.curl, CURLINFO_CONNECT_TIME_T, &connectedAt);
        w.connected = connectedAt > 0;
        w.lastByte = now;  // until then the connect limit governs
        return 0;
    }
    if (downNow != w.down || upNow != w.up) {
        w.down = downNow;
        w.up = upNow;
        w.lastByte = now;
    }
    if (!w.sent && upNow >= upTotal) {
        w.sent = true;
        w.requestOut = now;
    }
    const std::uint32_t silence = w.sent ? w.limits->receiveMs : w.limits->sendMs;
    w.expired = Watch::Over(w.lastByte, now, silence) ||
                (w.sent && !w.headBegun && Watch::Over(w.requestOut, now, w.limits->headMs));
    return w.expired ? 1 : 0;
}

size_t OnHeader(char*, size_t size, size_t count, void* user) {
    Watch& w = *static_cast<Watch*>(user);
    w.headBegun = true;
    w.lastByte = Watch::Clock::now();
    return size * count;
}

// Which step a timeout struck: before the connection stood, during the TLS
// handshake (the Windows stack's send), or in the peer's silence afterwards.
ExchangeStep TimeoutStep(CURL* c, bool secure) {
    curl_off_t connected = 0, handshaken = 0;
    curl_easy_getinfo(c, CURLINFO_CONNECT_TIME_T, &connected);
    curl_easy_getinfo(c, CURLINFO_APPCONNECT_TIME_T, &handshaken);
    if (connected <= 0) return ExchangeStep::Connect;
    if (secure && handshaken <= 0) return ExchangeStep::Send;
    return ExchangeStep::Receive;
}

ExchangeReply Fail(ExchangeStep step, CURLcode code) {
    ExchangeReply r;
    r.step = step;
    r.errorCode = static_cast<std::uint32_t>(code);
    return r;
}

}  // namespace

std::uint32_t InvalidArgumentError() { return CURLE_BAD_FUNCTION_ARGUMENT; }

ExchangeReply PerformExchange(const ExchangeRequest& request) {
    if (!GlobalInit()) return Fail(ExchangeStep::Session, CURLE_FAILED_INIT);
    EasyHandle h;
    if (!h.curl) return Fail(ExchangeStep::Session, CURLE_FAILED_INIT);
    CURL* c = h.curl;

    // Session: identity, TLS range, trust store, no signals from worker threads.
    CURLcode rc = CURLE_OK;
    auto set = [&rc](CURLcode r) {
        if (rc == CURLE_OK) rc = r;
    };
    set(curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L));
    set(curl_easy_setopt(c, CURLOPT_USERAGENT, "movu-client/1.0"));
    set(curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https"));
    set(curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)));
    // Name resolution has no limit of its own here: the connect limit covers it.
    set(curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.limits.connectMs)));
    Watch watch;
    watch.curl = c;
    watch.limits = &request.limits;
    set(curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &OnProgress));
    set(curl_easy_setopt(c, CURLOPT_XFERINFODATA, &watch));
    set(curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L));
    set(curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &OnHeader));
    set(curl_easy_setopt(c, CURLOPT_HEADERDATA, &watch));
    if (rc != CURLE_OK) return Fail(ExchangeStep::Session, rc);
    // Outcome ignored, as the TLS restriction is on Windows.
    curl_easy_setopt(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_0 | CURL_SSLVERSION_MAX_TLSv1_2));
    if (const char* file = std::getenv("SSL_CERT_FILE"); file && *file) curl_easy_setopt(c, CURLOPT_CAINFO, file);
    if (const char* dir = std::getenv("SSL_CERT_DIR"); dir && *dir) curl_easy_setopt(c, CURLOPT_CAPATH, dir);
    // Without the share each handshake is a full one; the exchange still works.
    if (CURLSH* share = TlsSessionShare()) curl_easy_setopt(c, CURLOPT_SHARE, share);

    // Connection: scheme, host and port; the pin keeps the host name for the
    // Host header, the TLS server name and the certificate check.
    // The URL is built from the cracked parts, never from text libcurl would
    // read again: a host it refuses ends here instead of reaching another
    // host or port than the envelope and the Host header name.
    const std::string& host = request.host;
    const std::string port = std::to_string(request.port);
    if (!h.url) return Fail(ExchangeStep::Session, CURLE_OUT_OF_MEMORY);
    if (curl_url_set(h.url, CURLUPART_SCHEME, request.secure ? "https" : "http", 0) != CURLUE_OK ||
        curl_url_set(h.url, CURLUPART_HOST, host.c_str(), 0) != CURLUE_OK ||
        curl_url_set(h.url, CURLUPART_PORT, port.c_str(), 0) != CURLUE_OK ||
        curl_url_set(h.url, CURLUPART_PATH, "/", 0) != CURLUE_OK)
        return Fail(ExchangeStep::Connect, CURLE_URL_MALFORMAT);
    rc = curl_easy_setopt(c, CURLOPT_CURLU, h.url);
    if (rc != CURLE_OK) return Fail(ExchangeStep::Connect, rc);
    if (!request.pinAddress.empty()) {
        const std::string entry = host + ":" + port + ":" + request.pinAddress;
        if (!Append(h.resolve, entry)) return Fail(ExchangeStep::Connect, CURLE_OUT_OF_MEMORY);
        curl_easy_setopt(c, CURLOPT_RESOLVE, h.resolve);
    }

    // Request: verb, target, header lines, body.
    const std::string& verb = request.method;
    set(curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, verb.c_str()));
    set(curl_easy_setopt(c, CURLOPT_REQUEST_TARGET, request.target.c_str()));
    if (rc != CURLE_OK) return Fail(ExchangeStep::OpenRequest, rc);

    const bool head = verb == "HEAD";
    const bool sendsBody = !head && (!request.body.empty() || (verb != "GET"));
    if (head) {
        curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else if (sendsBody) {
        // Sent with its length for every verb; an empty body as length 0.
        set(curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size())));
        set(curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body.data()));
    }
    if (rc != CURLE_OK) return Fail(ExchangeStep::OpenRequest, rc);

    // Only the caller's headers go out: libcurl's own Accept, Content-Type
    // and Expect are withdrawn unless the request names them.
    bool ok = true;
    for (const char* own : {"Accept", "Content-Type", "Expect"}) {
        bool named = false;
        for (const HeaderField& f : request.headers) named = named || ascii::EqualsIgnoreCase(f.name, own);
        if (!named) ok = ok && Append(h.headers, std::string(own) + ":");
    }
    // libcurl sends "Name;" as a header with an empty value ("Name:" would
    // withdraw it).
    for (const HeaderField& f : request.headers)
        ok = ok && Append(h.headers, f.value.empty() ? f.name + ";" : f.name + ": " + f.value);
    if (!ok) return Fail(ExchangeStep::OpenRequest, CURLE_OUT_OF_MEMORY);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, h.headers);

    ExchangeReply result;
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &CollectBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &result.body);

    rc = curl_easy_perform(c);
    if (rc == CURLE_ABORTED_BY_CALLBACK && watch.expired) rc = CURLE_OPERATION_TIMEDOUT;
    if (rc == CURLE_OPERATION_TIMEDOUT) return Fail(TimeoutStep(c, request.secure), rc);
    if (rc != CURLE_OK) return Fail(StepOf(rc), rc);

    long status = 0;
    if (curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status > 0)
        result.status = static_cast<std::uint32_t>(status);
    result.step = ExchangeStep::Done;
    return result;
}

}  // namespace movu::platform
