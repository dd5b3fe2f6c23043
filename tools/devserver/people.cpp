#include "people.h"

#include <boost/asio/redirect_error.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "calendar.h"
#include "sample_calendar_text.h"
#include "server.h"

#ifdef MOVU_DEVSERVER_TLS
#include "pki.h"
#endif
#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <unistd.h>
#endif

namespace movu::devserver {
namespace {
using namespace std::chrono_literals;

double Now() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

std::string ProgramDir() {
#ifdef _WIN32
    wchar_t buf[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    return std::filesystem::path(std::wstring(buf, n)).parent_path().string();
#else
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
#endif
}

// The connections of the service: read a request, plan its faults, wait,
// answer, record.
class People {
public:
    People(PeopleService& service, const PeopleOptions& o) : service_(service), o_(o) {}

    awaitable<void> Serve(std::shared_ptr<Conn> c) {
        const auto started = std::chrono::steady_clock::now();
        Limits limits;  // 64 KiB head, 1 MiB body, 30 s for each piece
        limits.head_time = std::chrono::seconds(o_.head_seconds);
        Request r;
        const ReadResult got = co_await ReadRequest(*c, limits, r);
        if (got.outcome == ReadOutcome::kBad) {
            Print(service_.Record(r.method.empty() ? "-" : r.method, r.target.empty() ? "-" : r.target, "", got.status,
                                  Millis(started), "bad request: " + got.why, Now()));
            co_await Send(*c, PeopleService::BadRequest(got.status, got.why));
            co_await c->CloseGracefully();
            co_return;
        }
        if (got.outcome != ReadOutcome::kOk) co_return;  // the client left or stalled: nothing to answer
        const FaultPlan plan = service_.PlanFaults(r);
        if (plan.wait_ms > 0) co_await c->Sleep(std::chrono::milliseconds(plan.wait_ms));
        Answer a = plan.answer ? *plan.answer : service_.Handle(r);
        if (!plan.note.empty()) a.note = a.note.empty() ? plan.note : plan.note + "; " + a.note;
        Print(service_.Record(r.method, r.target, Trim(r.Header("X-Account").value_or("")),
                              a.action == Action::kJson ? a.status : 0, Millis(started), a.note, Now()));
        switch (a.action) {
            case Action::kJson:
                co_await Send(*c, a);
                co_await c->CloseGracefully();
                break;
            case Action::kDrop: co_await c->CloseGracefully(); break;
            case Action::kReset: c->Reset(); break;
            case Action::kStall: co_await c->Sleep(std::chrono::milliseconds(a.hold_ms)); break;
            case Action::kGarbage:
                if (co_await c->Write(RandomBytes(256))) co_await c->CloseGracefully();
                break;
        }
    }

private:
    static std::int64_t Millis(std::chrono::steady_clock::time_point started) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
            .count();
    }
    static void Print(const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    static awaitable<void> Send(Conn& c, const Answer& a) {
        Headers headers = a.headers;
        headers.emplace_back("Content-Type", "application/json; charset=utf-8");
        co_await SendResponse(c, a.status, std::move(headers), Body{a.Body()});
    }

    PeopleService& service_;
    const PeopleOptions& o_;
};

bool ParentGone(long pid) {
#ifdef _WIN32
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!h) return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool gone = WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
    CloseHandle(h);
    return gone;
#else
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
#endif
}

}  // namespace

std::string DefaultStateDir() {
#ifdef _WIN32
    const char* base = std::getenv("LOCALAPPDATA");
    return std::string(base ? base : ".") + "\\movu-devserver";
#else
    if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x) return std::string(x) + "/movu-devserver";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : ".") + "/.local/state/movu-devserver";
#endif
}

int RunPeopleService(PeopleOptions options) {
    asio::io_context io(1);
    ServiceOptions& so = options.service;
    if (so.calendar_file.empty()) {
        const std::string beside = ProgramDir() + "/sample_calendar.json";
        if (std::filesystem::exists(beside)) so.calendar_file = beside;
    }
    std::unique_ptr<SampleCalendar> calendar;
    try {
        calendar = std::make_unique<SampleCalendar>(SampleCalendar::FromText(
            so.calendar_file.empty() ? std::string(kBuiltinSampleCalendar) : ReadFile(so.calendar_file)));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "movu-devserver: cannot use the calendar %s: %s\n",
                     so.calendar_file.empty() ? "(built-in)" : so.calendar_file.c_str(), e.what());
        return 2;
    }
    TlsContext* tls = nullptr;
    std::string ca;
#ifdef MOVU_DEVSERVER_TLS
    std::unique_ptr<asio::ssl::context> context;
    if (options.tls) {
        try {
            const std::string dir = options.state_dir.empty() ? DefaultStateDir() : options.state_dir;
            std::filesystem::create_directories(dir);
            EnsureTestPki(dir);
            context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
            SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_VERSION);
            SSL_CTX_set_security_level(context->native_handle(), 0);
            const CertFiles files = PkiCert(dir, "default");
            context->use_certificate_chain_file(files.cert);
            context->use_private_key_file(files.key, asio::ssl::context::pem);
            tls = context.get();
            ca = std::filesystem::absolute(dir + "/ca.pem").string();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "movu-devserver: cannot set up TLS: %s\n", e.what());
            return 1;
        }
    }
#else
    if (options.tls) {
        std::fprintf(stderr, "movu-devserver: this build serves HTTP only (no --tls)\n");
        return 2;
    }
#endif
    tcp::endpoint at;
    try {
        // "localhost" is this machine's loopback address, not a name to look up.
        at = tcp::endpoint(asio::ip::make_address(options.listen == "localhost" ? "127.0.0.1" : options.listen),
                           static_cast<unsigned short>(options.port));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "movu-devserver: cannot listen on %s: not an IP address (or localhost)\n",
                     options.listen.c_str());
        return 2;
    }
    const bool remote = !at.address().is_loopback();
    so.control = !remote || so.remote_control;
    PeopleService service(so, std::move(calendar));
    People people(service, options);
    auto listener = std::make_shared<Listener>(io, tls, [&people](std::shared_ptr<Conn> c) { return people.Serve(c); });
    const std::string refusal =
        R"({"ok":false,"error":"TOO_MANY_CONNECTIONS","detail":"every connection is busy; try again"})";
    listener->SetCap(options.max_connections, ResponseHead(503, {{"Content-Type", "application/json; charset=utf-8"},
                                                                 {"Retry-After", "1"},
                                                                 {"Content-Length", std::to_string(refusal.size())},
                                                                 {"Connection", "close"}}) +
                                                  refusal);
    try {
        listener->Start(at);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "movu-devserver: cannot listen on %s:%d: %s\n", options.listen.c_str(), options.port,
                     e.what());
        return 1;
    }
    const int port = listener->port();
    service.SetPort(port);
    // The port file comes before the banner: a script that waits for it must not miss a failure.
    const std::string port_text = std::to_string(port) + "\n";
    if (!options.port_file.empty()) {
        try {
            WriteAtomic(options.port_file, port_text);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "movu-devserver: %s\n", e.what());
            return 1;
        }
    }
    std::string host = at.address().to_string();
    if (at.address().is_unspecified()) host = "127.0.0.1";
    if (at.address().is_v6()) host = "[" + host + "]";
    if (options.tls) host = "localhost";
    const std::string base = std::string(options.tls ? "https" : "http") + "://" + host + ":" + std::to_string(port);
    std::printf("movu-devserver: serving %s (sample data; tokens live %lld s)\n", base.c_str(),
                static_cast<long long>(so.token_ttl));
    std::printf("  base URL for the library: %s\n", base.c_str());
    std::printf("  in MQL5:  Movu_SetBaseUrl(\"%s\");\n", base.c_str());
    if (remote) std::printf("  listening on %s: other machines can reach this server\n", options.listen.c_str());
    if (!ca.empty()) std::printf("  CA certificate: %s  (Linux: SSL_CERT_FILE=%s)\n", ca.c_str(), ca.c_str());
    std::printf("  sample data: %s\n", so.calendar_file.empty() ? "built in" : so.calendar_file.c_str());
    if (so.control) {
        std::string paths;
        for (const auto& route : PeopleService::Routes())
            if (route.kind == PeopleService::Kind::kControl)
                paths += (paths.empty() ? "" : " ") + std::string(route.path);
        std::printf("  control (from this machine%s): %s\n", remote ? " and others: --remote-control" : "",
                    paths.c_str());
    } else {
        std::printf("  control API: off on this address (--remote-control turns it on)\n");
    }
    if (so.fault_rate > 0 || so.fault_latency_ms > 0) {
        std::string kinds;
        for (const auto& k : so.random_faults) kinds += (kinds.empty() ? "" : ",") + k;
        std::printf("  faults: rate %g, kinds %s, latency %d ms\n", so.fault_rate, kinds.c_str(), so.fault_latency_ms);
    }
    for (const auto& f : so.fault_rules)
        std::printf("  fault: next %d request(s)%s%s get %s\n", f.count, f.path.empty() ? "" : " to ", f.path.c_str(),
                    f.kind.c_str());
    std::printf("  stop with Ctrl+C\n");
    std::fflush(stdout);

    asio::signal_set signals(io, SIGINT, SIGTERM);
    asio::steady_timer watch(io);
    auto stop = [&] {
        signals.cancel();
        watch.cancel();
        listener->Close();
    };
    signals.async_wait([&](boost::system::error_code ec, int) {
        if (!ec) stop();
    });
    std::function<void()> check_parent = [&] {
        watch.expires_after(1s);
        watch.async_wait([&](boost::system::error_code ec) {
            if (ec) return;
            if (ParentGone(options.parent_pid)) {
                std::printf("movu-devserver: process %ld has ended; stopping\n", options.parent_pid);
                stop();
            } else {
                check_parent();
            }
        });
    };
    if (options.parent_pid > 0) check_parent();
    io.run();
    if (!options.port_file.empty()) {
        std::ifstream in(options.port_file);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        in.close();
        std::error_code ec;
        if (text == port_text) std::filesystem::remove(options.port_file, ec);
    }
    std::printf("movu-devserver: stopped\n");
    return 0;
}

}  // namespace movu::devserver
