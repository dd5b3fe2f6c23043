#include "people.h"

#include <boost/asio/redirect_error.hpp>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "calendar.h"
#include "sample_calendar_text.h"
#include "server.h"

#ifdef MOVU_DEVSERVER_TLS
#include "pki.h"
#endif
#ifdef _WIN32
#include <windows.h>
#include <process.h>
#define getpid _getpid
#else
#include <csignal>
#include <unistd.h>
#endif

namespace movu::devserver {
namespace {
using namespace std::chrono_literals;
using Headers = std::vector<std::pair<std::string, std::string>>;
constexpr size_t kLogLimit = 10000;

double Now() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

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

bool IsStatus(const std::string& kind) {
    return kind.size() == 3 && std::all_of(kind.begin(), kind.end(), ::isdigit) && kind >= "400" && kind <= "599";
}

const char* ErrorName(int status) {
    switch (status) {
        case 401: return "UNAUTHORIZED";
        case 429: return "RATE_LIMITED";
        case 500: return "INTERNAL_ERROR";
        case 502: return "BAD_GATEWAY";
        case 503: return "UNAVAILABLE";
        case 504: return "GATEWAY_TIMEOUT";
        default: return "INJECTED_FAULT";
    }
}

struct HttpError {
    int status;
    ojson payload;
    Headers headers{};
};

HttpError Error(int status, const std::string& error, ojson extra = ojson::object()) {
    ojson p = {{"ok", false}, {"error", error}};
    for (auto& [k, v] : extra.items()) p[k] = v;
    return {status, p};
}

// What to do with a request: answer with JSON, or one of the faults.
enum class Action { kJson, kDrop, kReset, kStall, kGarbage };
struct Answer {
    int status = 200;
    ojson payload;
    Headers headers;
    std::string note;
    Action action = Action::kJson;
    int hold_ms = 0;
};

struct Token {
    std::string account;
    double expires;
};

class People {
public:
    People(asio::io_context& io, PeopleOptions o)
        : io_(io), o_(std::move(o)), rng_(o_.fault_seed ? *o_.fault_seed : RandomU64()), rules_(o_.fault_rules) {}

    void LoadCalendar() {
        if (o_.calendar_file.empty()) {
            const std::string beside = ProgramDir() + "/sample_calendar.json";
            if (std::filesystem::exists(beside)) o_.calendar_file = beside;
        }
        calendar_ = std::make_unique<SampleCalendar>(SampleCalendar::FromText(
            o_.calendar_file.empty() ? std::string(kBuiltinSampleCalendar) : ReadFile(o_.calendar_file)));
    }
    const std::string& calendar_file() const { return o_.calendar_file; }

    awaitable<void> Serve(std::shared_ptr<Conn> c) {
        const auto started = std::chrono::steady_clock::now();
        Limits limits;  // the defaults: 64 KiB head, 1 MiB body, 30 s for a slow client
        Request r;
        const ReadResult got = co_await ReadRequest(*c, limits, r);
        if (got.outcome == ReadOutcome::kBad) {
            Record(r.method.empty() ? "-" : r.method, r.target.empty() ? "-" : r.target, "", got.status, started,
                   "bad request: " + got.why);
            Answer bad;
            bad.status = got.status;
            bad.payload = Error(got.status, "BAD_REQUEST", {{"detail", got.why}}).payload;
            co_await SendJson(*c, bad);
            co_await c->CloseGracefully();
            co_return;
        }
        if (got.outcome != ReadOutcome::kOk) co_return;  // the client left or stalled: nothing to answer
        const std::string account = Trim(r.Header("X-Account").value_or(""));
        Answer a;
        try {
            a = co_await Route(*c, r, account);
        } catch (const HttpError& e) {
            a.status = e.status;
            a.payload = e.payload;
            a.headers = e.headers;
        } catch (const std::exception& e) {  // a fault of ours must still answer and be logged
            a.status = 500;
            a.payload = Error(500, "DEVSERVER_BUG", {{"detail", e.what()}}).payload;
        }
        Record(r.method, r.target, account, a.action == Action::kJson ? a.status : 0, started, a.note);
        switch (a.action) {
            case Action::kJson:
                co_await SendJson(*c, a);
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

    void Stop() {
        if (listener_) listener_->Close();
    }
    std::shared_ptr<Listener> listener_;

private:
    static awaitable<void> SendJson(Conn& c, const Answer& a) {
        Headers headers = a.headers;
        headers.emplace_back("Content-Type", "application/json; charset=utf-8");
        co_await SendResponse(c, a.status, std::move(headers), Body{a.payload.dump()});
    }

    void Record(const std::string& method, const std::string& target, const std::string& account, int status,
                std::chrono::steady_clock::time_point started, const std::string& note) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
        const double now = Now();
        const std::string path = RequestPath(target);
        if (path.rfind("/dev/", 0) != 0) {  // the record is of the service's traffic only
            ojson entry = {{"seq", ++seq_},
                           {"time", IsoUtc(static_cast<std::int64_t>(now))},
                           {"method", BytesToLatin1Text(method)},
                           {"target", BytesToLatin1Text(target)},
                           {"path", BytesToLatin1Text(path)},
                           {"account", BytesToLatin1Text(account)},
                           {"status", status},
                           {"ms", ms},
                           {"note", note}};
            log_.push_back(std::move(entry));
            if (log_.size() > kLogLimit) log_.pop_front();
        }
        const auto secs = static_cast<std::int64_t>(now);
        const std::string clock = IsoUtc(secs).substr(11, 8);
        std::printf("%s.%03d %s %s %s %lldms%s%s\n", clock.c_str(), static_cast<int>((now - secs) * 1000),
                    method.c_str(), target.c_str(), status == 0 ? "dropped" : std::to_string(status).c_str(),
                    static_cast<long long>(ms), note.empty() ? "" : "  [", note.empty() ? "" : (note + "]").c_str());
        std::fflush(stdout);
    }

    static void Allow(const std::string& method, std::initializer_list<const char*> methods) {
        ojson allowed = ojson::array();
        std::string header;
        for (const char* m : methods) {
            if (method == m) return;
            allowed.push_back(m);
            header += (header.empty() ? "" : ", ") + std::string(m);
        }
        HttpError e = Error(405, "METHOD_NOT_ALLOWED", {{"allowed", allowed}});
        e.headers.emplace_back("Allow", header);
        throw e;
    }

    // The next planned fault for this path, if any.
    std::optional<FaultRule> TakeRule(const std::string& path) {
        for (auto it = rules_.begin(); it != rules_.end(); ++it) {
            if (!it->path.empty() && it->path != path) continue;
            FaultRule rule = *it;
            if (--it->count <= 0) rules_.erase(it);
            return rule;
        }
        return std::nullopt;
    }

    // Turns a fault kind into an answer; false for "slow" (the request goes on after the delay).
    static bool FaultAnswer(const FaultRule& f, Answer& a) {
        if (IsStatus(f.kind)) {
            const int status = std::stoi(f.kind);
            a.status = status;
            a.payload = status == 401 ? ojson{{"ok", false}, {"error", "UNAUTHORIZED"}}
                                      : ojson{{"ok", false}, {"error", ErrorName(status)}, {"injected", true}};
            if (status == 429 || status == 503) a.headers.emplace_back("Retry-After", "1");
            a.note = "fault: " + f.kind;
        } else if (f.kind == "drop") {
            a.action = Action::kDrop;
            a.note = "fault: dropped";
        } else if (f.kind == "reset") {
            a.action = Action::kReset;
            a.note = "fault: reset";
        } else if (f.kind == "garbage") {
            a.action = Action::kGarbage;
            a.note = "fault: garbage";
        } else if (f.kind == "stall") {
            a.action = Action::kStall;
            a.hold_ms = f.delay_ms > 0 ? f.delay_ms : 600000;
            a.note = "fault: stall " + std::to_string(a.hold_ms) + " ms";
        } else {
            return false;
        }
        return true;
    }

    awaitable<Answer> Route(Conn& c, const Request& r, const std::string& account) {
        const std::string path = r.Path();
        std::map<std::string, std::string> query;
        for (auto& [k, v] : QueryParams(r.target)) query[k] = v;
        if (path.rfind("/dev/", 0) == 0) co_return Dev(r, path, query);

        std::string slow_note;
        if (o_.fault_latency_ms > 0) co_await c.Sleep(std::chrono::milliseconds(o_.fault_latency_ms));
        if (auto rule = TakeRule(path)) {
            Answer a;
            if (FaultAnswer(*rule, a)) co_return a;
            const int ms = rule->delay_ms > 0 ? rule->delay_ms : 5000;
            co_await c.Sleep(std::chrono::milliseconds(ms));
            slow_note = "fault: slow " + std::to_string(ms) + " ms";
        }
        if (o_.fault_rate > 0 && !o_.random_faults.empty() &&
            std::uniform_real_distribution<double>(0, 1)(rng_) < o_.fault_rate) {
            Answer a;
            FaultRule pick;
            pick.kind = o_.random_faults[std::uniform_int_distribution<size_t>(0, o_.random_faults.size() - 1)(rng_)];
            FaultAnswer(pick, a);
            co_return a;
        }
        Answer a = Service(r, path, query, account);
        if (!slow_note.empty()) a.note = a.note.empty() ? slow_note : slow_note + "; " + a.note;
        co_return a;
    }

    Answer Service(const Request& r, const std::string& path, std::map<std::string, std::string>& query,
                   const std::string& account) {
        static const std::map<std::string, std::vector<const char*>> signed_paths = {
            {"/v1/calendar/day.php", {"GET"}},        {"/v1/calendar/meta.php", {"GET"}},
            {"/v1/calendar/changes.php", {"GET"}},    {"/v1/client/heartbeat.php", {"POST"}},
            {"/v1/client/ping.php", {"GET", "POST"}}, {"/v1/client/register.php", {"GET", "POST"}},
            {"/v1/client/vip_status.php", {"GET"}}};
        if (path == "/v1/client/token.php") {
            Allow(r.method, {"GET"});
            if (account.empty()) throw Error(400, "MISSING_ACCOUNT", {{"detail", "send the account in X-Account"}});
            std::string token = "dev-";
            for (unsigned char b : RandomBytes(16)) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02x", b);
                token += hex;
            }
            const auto expires = static_cast<std::int64_t>(Now()) + o_.token_ttl;
            tokens_[token] = Token{account, static_cast<double>(expires)};
            return {200,
                    {{"ok", true}, {"token", token}, {"expires_at", IsoUtc(expires)}, {"account", account}},
                    {},
                    "token for " + account};
        }
        const auto route = signed_paths.find(path);
        if (route == signed_paths.end()) throw Error(404, "NOT_FOUND", {{"path", BytesToLatin1Text(path)}});
        bool allowed = false;
        for (const char* m : route->second) allowed |= r.method == m;
        if (!allowed) {
            if (route->second.size() == 1) Allow(r.method, {route->second[0]});
            Allow(r.method, {route->second[0], route->second[1]});
        }
        const std::string bearer = r.Header("Authorization").value_or("");
        std::optional<std::string> token;
        if (bearer.size() >= 7 && EqualsIgnoreCase(bearer.substr(0, 7), "bearer ")) token = Trim(bearer.substr(7));
        std::string refusal = Refusal(token, account);
        if (refusal.empty() && r.Header("X-Client-Token") != token)
            refusal = "X-Client-Token differs from the bearer token";
        if (!refusal.empty()) return {401, {{"ok", false}, {"error", "UNAUTHORIZED"}}, {}, refusal};
        return {200, Signed(path, query, r, account), {}, ""};
    }

    std::string Refusal(const std::optional<std::string>& token, const std::string& account) const {
        if (!token || token->empty()) return "no bearer token";
        const auto held = tokens_.find(*token);
        if (held == tokens_.end()) return revoked_set_.count(*token) ? "revoked token" : "unknown token";
        if (Now() >= held->second.expires) return "expired token";
        if (held->second.account != account) return "token of another account";
        return {};
    }

    std::int64_t DayParam(const std::map<std::string, std::string>& query) const {
        const auto it = query.find("date");
        if (it == query.end() || it->second.empty()) return static_cast<std::int64_t>(Now()) / 86400 - (Now() < 0);
        std::string why;
        const auto day = ParseDay(it->second, why);
        if (!day) throw Error(400, "BAD_DATE", {{"detail", why}});
        return *day;
    }

    ojson Signed(const std::string& path, const std::map<std::string, std::string>& query, const Request& r,
                 const std::string& account) {
        const auto now = static_cast<std::int64_t>(Now());
        if (path == "/v1/calendar/day.php") {
            const auto day = DayParam(query);
            ojson events = calendar_->Events(day);
            return {
                {"ok", true}, {"sample", true}, {"date", DayText(day)}, {"count", events.size()}, {"events", events}};
        }
        if (path == "/v1/calendar/meta.php") {
            ojson out = {{"ok", true}, {"sample", true}, {"date", nullptr}};
            if (query.count("date") && !query.at("date").empty()) out["date"] = DayText(DayParam(query));
            const ojson meta = calendar_->Meta();
            for (auto& [k, v] : meta.items()) out[k] = v;
            return out;
        }
        if (path == "/v1/calendar/changes.php") {
            const auto day = DayParam(query);
            const std::string since_text = query.count("since") ? query.at("since") : "0";
            std::int64_t since = 0;
            const bool shape = !since_text.empty() && since_text.size() <= 20 &&
                               since_text.find_first_not_of("0123456789", since_text[0] == '-') == std::string::npos &&
                               since_text.size() > static_cast<size_t>(since_text[0] == '-');
            try {
                if (!shape) throw std::invalid_argument(since_text);
                since = std::stoll(since_text);
            } catch (const std::exception&) {
                throw Error(400, "BAD_SINCE", {{"detail", "since must be a unix time in seconds"}});
            }
            ojson events = ojson::array();
            for (auto& e : calendar_->Events(day))
                if (e["updated_at"].get<std::int64_t>() > since) events.push_back(e);
            return {{"ok", true},     {"sample", true},         {"date", DayText(day)},
                    {"since", since}, {"count", events.size()}, {"events", events}};
        }
        if (path == "/v1/client/heartbeat.php") {
            ojson echo;
            try {
                echo = ojson::parse(r.body);
            } catch (const ojson::exception& e) {
                throw Error(400, "INVALID_JSON", {{"detail", e.what()}});
            }
            return {
                {"ok", true}, {"account", account}, {"server_time", IsoUtc(now)}, {"server_unix", now}, {"echo", echo}};
        }
        if (path == "/v1/client/ping.php") return {{"ok", true}, {"pong", true}, {"server_time", IsoUtc(now)}};
        if (path == "/v1/client/register.php") {
            ojson out = {{"ok", true}, {"registered", true}, {"account", account}, {"client_id", ""}};
            std::string joined = account;
            for (const auto& [name, header] :
                 std::vector<std::pair<const char*, const char*>>{{"platform", "X-Platform"},
                                                                  {"broker", "X-Broker"},
                                                                  {"server", "X-Server"},
                                                                  {"client_version", "X-Client-Version"}}) {
                const std::string value = r.Header(header).value_or("");
                joined += "|" + value;
                out[name] = BytesToLatin1Text(value);
            }
            out["client_id"] = "dev-" + Sha256Hex(joined).substr(0, 16);
            return out;
        }
        // vip_status: the same answer for an account every time
        static const char* levels[] = {"none", "bronze", "silver", "gold"};
        const std::string level = levels[Sha256(account)[0] % 4];
        return {{"ok", true}, {"sample", true}, {"account", account}, {"vip", level != "none"}, {"level", level}};
    }

    Answer Dev(const Request& r, const std::string& path, const std::map<std::string, std::string>& query) {
        if (path == "/dev/revoke") {
            Allow(r.method, {"POST"});
            const size_t count = tokens_.size();
            for (auto& [token, held] : tokens_) {
                revoked_.push_back(token);
                revoked_set_.insert(token);
            }
            while (revoked_.size() > kLogLimit) {
                revoked_set_.erase(revoked_.front());
                revoked_.pop_front();
            }
            tokens_.clear();
            return {200, {{"ok", true}, {"revoked", count}}, {}, "revoked " + std::to_string(count) + " token(s)"};
        }
        if (path == "/dev/expire") {
            Allow(r.method, {"POST"});
            const double now = Now();
            for (auto& [token, held] : tokens_) held.expires = std::min(held.expires, now);
            return {200,
                    {{"ok", true}, {"expired", tokens_.size()}},
                    {},
                    "expired " + std::to_string(tokens_.size()) + " token(s)"};
        }
        if (path == "/dev/requests") {
            Allow(r.method, {"GET"});
            std::int64_t since = 0;
            if (query.count("since") && !query.at("since").empty() &&
                query.at("since").find_first_not_of("0123456789") == std::string::npos && query.at("since").size() < 19)
                since = std::stoll(query.at("since"));
            ojson list = ojson::array();
            for (const auto& e : log_)
                if (e["seq"].get<std::int64_t>() > since) list.push_back(e);
            return {200, {{"ok", true}, {"requests", list}}, {}, ""};
        }
        if (path == "/dev/health") {
            Allow(r.method, {"GET"});
            return {200, {{"ok", true}, {"pid", getpid()}, {"tokens", tokens_.size()}}, {}, ""};
        }
        if (path == "/dev/reload") {
            Allow(r.method, {"POST"});
            if (o_.calendar_file.empty())
                throw Error(409, "NO_CALENDAR_FILE",
                            {{"detail", "this server uses its built-in sample; start it with --calendar FILE"}});
            try {
                calendar_ = std::make_unique<SampleCalendar>(SampleCalendar::FromText(ReadFile(o_.calendar_file)));
            } catch (const std::exception& e) {
                throw Error(422, "BAD_CALENDAR", {{"detail", e.what()}, {"file", o_.calendar_file}});
            }
            return {200,
                    {{"ok", true}, {"file", o_.calendar_file}, {"templates", calendar_->templates()}},
                    {},
                    "reloaded " + o_.calendar_file};
        }
        if (path == "/dev/faults") {
            Allow(r.method, {"GET", "POST", "DELETE"});
            if (r.method == "DELETE") {
                const size_t n = rules_.size();
                rules_.clear();
                o_.fault_rate = 0;
                o_.fault_latency_ms = 0;
                return {200, {{"ok", true}, {"cleared", n}}, {}, "faults cleared"};
            }
            if (r.method == "POST") {
                ojson body;
                try {
                    body = ojson::parse(r.body);
                } catch (const ojson::exception& e) {
                    throw Error(400, "INVALID_JSON", {{"detail", e.what()}});
                }
                FaultRule rule;
                try {
                    if (!body.is_object()) throw std::invalid_argument("the body must be a JSON object");
                    for (auto& [k, v] : body.items())
                        if (k != "fault" && k != "count" && k != "path" && k != "delay_ms")
                            throw std::invalid_argument("unknown field " + k);
                    rule.kind = body.at("fault").is_number_integer() ? std::to_string(body["fault"].get<int>())
                                                                     : body.at("fault").get<std::string>();
                    rule.count = body.value("count", 1);
                    rule.path = body.value("path", std::string());
                    rule.delay_ms = body.value("delay_ms", 0);
                } catch (const std::exception& e) {
                    throw Error(400, "BAD_FAULT", {{"detail", e.what()}});
                }
                std::string why;
                if (!ParseFaultSpec(rule.kind, why) || rule.count < 1 || rule.delay_ms < 0 ||
                    (!rule.path.empty() && rule.path[0] != '/'))
                    throw Error(
                        400, "BAD_FAULT",
                        {{"detail",
                          why.empty() ? "count must be 1 or more, delay_ms 0 or more, path start with /" : why}});
                rules_.push_back(rule);
                return {200,
                        {{"ok", true}, {"queued", Rules()}},
                        {},
                        "fault " + rule.kind + " x" + std::to_string(rule.count) +
                            (rule.path.empty() ? "" : " on " + rule.path)};
            }
            return {200,
                    {{"ok", true}, {"queued", Rules()}, {"rate", o_.fault_rate}, {"latency_ms", o_.fault_latency_ms}},
                    {},
                    ""};
        }
        throw Error(404, "NOT_FOUND", {{"path", BytesToLatin1Text(path)}});
    }

    ojson Rules() const {
        ojson list = ojson::array();
        for (const auto& f : rules_)
            list.push_back({{"fault", f.kind},
                            {"count", f.count},
                            {"path", f.path.empty() ? ojson() : ojson(f.path)},
                            {"delay_ms", f.delay_ms}});
        return list;
    }

    asio::io_context& io_;
    PeopleOptions o_;
    std::mt19937_64 rng_;
    std::unique_ptr<SampleCalendar> calendar_;
    std::map<std::string, Token> tokens_;
    std::deque<std::string> revoked_;
    std::set<std::string> revoked_set_;
    std::deque<ojson> log_;
    std::int64_t seq_ = 0;
    std::vector<FaultRule> rules_;
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

bool ValidRandomFault(const std::string& kind) {
    return IsStatus(kind) || kind == "drop" || kind == "reset" || kind == "garbage";
}

std::optional<FaultRule> ParseFaultSpec(const std::string& rule_text, std::string& why) {
    FaultRule rule;
    std::string rest = rule_text;
    if (const size_t at = rest.find('@'); at != std::string::npos) {
        rule.path = rest.substr(at + 1);
        rest = rest.substr(0, at);
        if (rule.path.empty() || rule.path[0] != '/') {
            why = "the path after @ must start with /";
            return std::nullopt;
        }
    }
    if (const size_t colon = rest.find(':'); colon != std::string::npos) {
        const std::string count = rest.substr(colon + 1);
        if (count.empty() || count.size() > 6 || count.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(count) < 1) {
            why = "the count after : must be a whole number from 1";
            return std::nullopt;
        }
        rule.count = std::stoi(count);
        rest = rest.substr(0, colon);
    }
    if (!IsStatus(rest) && rest != "slow" && rest != "reset" && rest != "stall" && rest != "garbage" &&
        rest != "drop") {
        why = "unknown fault '" + rest + "': give an HTTP status 400-599, slow, reset, stall, garbage or drop";
        return std::nullopt;
    }
    rule.kind = rest;
    return rule;
}

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
    People people(io, options);
    try {
        people.LoadCalendar();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "movu-devserver: cannot use the calendar %s: %s\n",
                     options.calendar_file.empty() ? "(built-in)" : options.calendar_file.c_str(), e.what());
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
    people.listener_ =
        std::make_shared<Listener>(io, tls, [&people](std::shared_ptr<Conn> c) { return people.Serve(c); });
    tcp::endpoint at;
    try {
        at = tcp::endpoint(asio::ip::make_address(options.listen), static_cast<unsigned short>(options.port));
        people.listener_->Start(at);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "movu-devserver: cannot listen on %s:%d: %s\n", options.listen.c_str(), options.port,
                     e.what());
        return 1;
    }
    const int port = people.listener_->port();
    std::string host = options.listen;
    if (at.address().is_unspecified()) host = "127.0.0.1";
    if (at.address().is_v6()) host = "[" + host + "]";
    if (options.tls) host = "localhost";
    const std::string base = std::string(options.tls ? "https" : "http") + "://" + host + ":" + std::to_string(port);
    std::printf("movu-devserver: serving %s (sample data; tokens live %lld s)\n", base.c_str(),
                static_cast<long long>(options.token_ttl));
    std::printf("  base URL for the library: %s\n", base.c_str());
    std::printf("  in MQL5:  Movu_SetBaseUrl(\"%s\");\n", base.c_str());
    if (!at.address().is_loopback())
        std::printf("  listening on %s: other machines can reach this server\n", options.listen.c_str());
    if (!ca.empty()) std::printf("  CA certificate: %s  (Linux: SSL_CERT_FILE=%s)\n", ca.c_str(), ca.c_str());
    std::printf("  sample data: %s\n", people.calendar_file().empty() ? "built in" : people.calendar_file().c_str());
    std::printf("  control: POST %s/dev/revoke | /dev/expire | /dev/reload | /dev/faults, GET /dev/requests\n",
                base.c_str());
    if (options.fault_rate > 0 || options.fault_latency_ms > 0) {
        std::string kinds;
        for (const auto& k : options.random_faults) kinds += (kinds.empty() ? "" : ",") + k;
        std::printf("  faults: rate %g, kinds %s, latency %d ms\n", options.fault_rate, kinds.c_str(),
                    options.fault_latency_ms);
    }
    for (const auto& f : options.fault_rules)
        std::printf("  fault: next %d request(s)%s%s get %s\n", f.count, f.path.empty() ? "" : " to ", f.path.c_str(),
                    f.kind.c_str());
    std::printf("  stop with Ctrl+C\n");
    std::fflush(stdout);

    const std::string port_text = std::to_string(port) + "\n";
    if (!options.port_file.empty()) {
        try {
            WriteAtomic(options.port_file, port_text);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "movu-devserver: %s\n", e.what());
            return 1;
        }
    }
    asio::signal_set signals(io, SIGINT, SIGTERM);
    asio::steady_timer watch(io);
    auto stop = [&] {
        signals.cancel();
        watch.cancel();
        people.Stop();
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
