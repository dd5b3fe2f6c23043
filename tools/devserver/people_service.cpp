#include "people_service.h"

#include <algorithm>
#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace movu::devserver {

struct PeopleService::Call {
    const Request& r;
    std::string path;
    std::map<std::string, std::string> query;
    std::string account;
    double now;
};

namespace {

constexpr size_t kMaxRules = 1000;
constexpr const char* kFaultKinds = "an HTTP status 400-599, slow, reset, stall, garbage or drop";

struct HttpError {
    int status;
    ojson payload;
    Headers headers{};
};

HttpError Error(int status, const std::string& error, const std::string& detail = {}) {
    ojson p = {{"ok", false}, {"error", error}};
    if (!detail.empty()) p["detail"] = detail;
    return {status, p};
}

Answer From(HttpError e) {
    Answer a;
    a.status = e.status;
    a.payload = std::move(e.payload);
    a.headers = std::move(e.headers);
    return a;
}

Answer Json(ojson payload, std::string note = {}) {
    Answer a;
    a.payload = std::move(payload);
    a.note = std::move(note);
    return a;
}

double Now() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

bool IsStatus(const std::string& kind) {
    return kind.size() == 3 && std::all_of(kind.begin(), kind.end(), ::isdigit) && kind >= "400" && kind <= "599";
}

bool KnownKind(const std::string& kind) {
    return IsStatus(kind) || kind == "slow" || kind == "reset" || kind == "stall" || kind == "garbage" ||
           kind == "drop";
}

// Why a fault's path is unusable, or empty.
std::string PathProblem(const std::string& path) {
    if (path.empty() || path[0] != '/') return "the path must start with /";
    if (path.size() > kMaxFaultPath) return "the path is longer than " + std::to_string(kMaxFaultPath) + " bytes";
    for (unsigned char c : path)
        if (c <= ' ' || c == 0x7F || c == '?' || c == '#')
            return "the path holds a space, control character, ? or #; give the path alone";
    return {};
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

// Turns a fault kind into an answer; false for "slow" (the request goes on after the delay).
bool FaultAnswer(const FaultRule& f, Answer& a) {
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

// A JSON integer as a 64-bit number; nullopt for other types (true is not a number).
std::optional<std::int64_t> WholeNumber(const ojson& v) {
    if (v.is_number_unsigned())
        return v.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                   ? std::optional<std::int64_t>(std::numeric_limits<std::int64_t>::max())
                   : std::optional<std::int64_t>(v.get<std::int64_t>());
    if (v.is_number_integer()) return v.get<std::int64_t>();
    return std::nullopt;
}

std::int64_t NumberField(const ojson& body, const char* name, std::int64_t fallback, std::int64_t low,
                         std::int64_t high) {
    const auto it = body.find(name);
    if (it == body.end()) return fallback;
    const auto n = WholeNumber(*it);
    const std::string range = std::to_string(low) + " to " + std::to_string(high);
    if (!n) throw Error(400, "BAD_FAULT", std::string(name) + " must be a whole number from " + range);
    if (*n < low || *n > high) throw Error(400, "BAD_FAULT", std::string(name) + " must lie from " + range);
    return *n;
}

// Digits only, at most 18 of them: a whole number 0 or more.
std::optional<std::int64_t> Count(const std::string& text) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoll(text);
}

// `text` cut to `limit` bytes; `cut` is set when it was.
std::string Cut(const std::string& text, size_t limit, bool& cut) {
    if (text.size() <= limit) return text;
    cut = true;
    return text.substr(0, limit);
}

bool SameAuthority(std::string_view value, int port, bool any_address) {
    const std::string host = [&] {
        std::string lower(value);
        for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        return lower;
    }();
    const std::string suffix = ":" + std::to_string(port);
    if (host.size() <= suffix.size() || host.compare(host.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    std::string name = host.substr(0, host.size() - suffix.size());
    if (name == "127.0.0.1" || name == "localhost" || name == "[::1]") return true;
    if (!any_address) return false;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    boost::system::error_code ec;
    boost::asio::ip::make_address(name, ec);
    return !ec;  // an address, never a name another party's DNS could point here
}

}  // namespace

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool ValidRandomFault(const std::string& kind) {
    return IsStatus(kind) || kind == "drop" || kind == "reset" || kind == "garbage";
}

std::optional<FaultRule> ParseFaultSpec(const std::string& rule_text, std::string& why) {
    if (rule_text.empty()) {
        why = "give a fault rule KIND[:COUNT][@PATH], e.g. 503:2@/v1/calendar/day.php";
        return std::nullopt;
    }
    FaultRule rule;
    std::string rest = rule_text;
    if (const size_t at = rest.find('@'); at != std::string::npos) {
        rule.path = rest.substr(at + 1);
        rest = rest.substr(0, at);
        if (const std::string problem = PathProblem(rule.path); !problem.empty()) {
            why = problem.substr(0, 4) == "the " ? "after @, " + problem : problem;
            return std::nullopt;
        }
    }
    if (const size_t colon = rest.find(':'); colon != std::string::npos) {
        const auto count = Count(rest.substr(colon + 1));
        if (!count || *count < 1 || *count > kMaxFaultCount) {
            why = "the count after : must be a whole number from 1 to " + std::to_string(kMaxFaultCount);
            return std::nullopt;
        }
        rule.count = static_cast<int>(*count);
        rest = rest.substr(0, colon);
    }
    if (!KnownKind(rest)) {
        why = "unknown fault '" + rest + "': give " + kFaultKinds;
        return std::nullopt;
    }
    rule.kind = rest;
    return rule;
}

// ---- the table

const std::vector<PeopleService::Route>& PeopleService::Routes() {
    using P = PeopleService;
    static const std::vector<Route> routes = {
        {"/v1/client/token.php", Kind::kOpen, {{"GET", &P::Token_}}},
        {"/v1/calendar/day.php", Kind::kSigned, {{"GET", &P::Day}}},
        {"/v1/calendar/meta.php", Kind::kSigned, {{"GET", &P::Meta}}},
        {"/v1/calendar/changes.php", Kind::kSigned, {{"GET", &P::Changes}}},
        {"/v1/client/heartbeat.php", Kind::kSigned, {{"POST", &P::Heartbeat}}},
        {"/v1/client/ping.php", Kind::kSigned, {{"GET", &P::Ping}, {"POST", &P::Ping}}},
        {"/v1/client/register.php", Kind::kSigned, {{"GET", &P::Register}, {"POST", &P::Register}}},
        {"/v1/client/vip_status.php", Kind::kSigned, {{"GET", &P::Vip}}},
        {"/dev/revoke", Kind::kControl, {{"POST", &P::Revoke}}},
        {"/dev/expire", Kind::kControl, {{"POST", &P::Expire}}},
        {"/dev/reload", Kind::kControl, {{"POST", &P::Reload}}},
        {"/dev/requests", Kind::kControl, {{"GET", &P::Requests}}},
        {"/dev/faults", Kind::kControl, {{"GET", &P::ListFaults}, {"POST", &P::AddFault}, {"DELETE", &P::ClearFaults}}},
        {"/dev/health", Kind::kControl, {{"GET", &P::Health}}},
    };
    return routes;
}

PeopleService::PeopleService(ServiceOptions options, std::unique_ptr<SampleCalendar> calendar)
    : o_(std::move(options)),
      calendar_(std::move(calendar)),
      rng_(o_.fault_seed ? *o_.fault_seed : RandomU64()),
      rules_(o_.fault_rules) {}

bool PeopleService::IsControl(const Request& r) const { return r.Path().rfind("/dev/", 0) == 0; }

Answer PeopleService::BadRequest(int status, const std::string& why) {
    const char* name = status == 413   ? "BODY_TOO_LARGE"
                       : status == 431 ? "HEAD_TOO_LARGE"
                       : status == 408 ? "REQUEST_TIMEOUT"
                                       : "BAD_REQUEST";
    return From(Error(status, name, why));
}

FaultPlan PeopleService::PlanFaults(const Request& r) {
    FaultPlan plan;
    if (IsControl(r)) return plan;
    plan.wait_ms = o_.fault_latency_ms;
    const std::string path = r.Path();
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if (!it->path.empty() && it->path != path) continue;
        const FaultRule rule = *it;
        if (--it->count <= 0) rules_.erase(it);
        Answer a;
        if (FaultAnswer(rule, a)) {
            plan.answer = std::move(a);
            return plan;
        }
        const int ms = rule.delay_ms > 0 ? rule.delay_ms : 5000;
        plan.wait_ms += ms;
        plan.note = "fault: slow " + std::to_string(ms) + " ms";
        break;
    }
    if (o_.fault_rate > 0 && !o_.random_faults.empty() &&
        std::uniform_real_distribution<double>(0, 1)(rng_) < o_.fault_rate) {
        FaultRule pick;
        pick.kind = o_.random_faults[std::uniform_int_distribution<size_t>(0, o_.random_faults.size() - 1)(rng_)];
        Answer a;
        FaultAnswer(pick, a);
        plan.answer = std::move(a);
    }
    return plan;
}

std::string PeopleService::ControlRefusal(const Request& r, int& status, std::string& error) const {
    status = 403;
    if (!o_.control) {
        error = "CONTROL_OFF";
        return "the control API is off because the server listens beyond this machine; start it with "
               "--remote-control to turn it on";
    }
    if (r.target.empty() || r.target[0] != '/') {
        status = 400;
        error = "NOT_ORIGIN_FORM";
        return "control requests name the path alone, e.g. /dev/health";
    }
    const std::string port = std::to_string(port_);
    size_t hosts = 0;
    std::string host;
    for (const auto& line : r.header_lines) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos && EqualsIgnoreCase(Trim(std::string_view(line).substr(0, colon)), "Host")) {
            ++hosts;
            host = Trim(std::string_view(line).substr(colon + 1));
        }
    }
    if (hosts != 1 || !SameAuthority(host, port_, o_.remote_control)) {
        error = "BAD_HOST";
        return "Host must be 127.0.0.1:" + port + ", localhost:" + port + " or [::1]:" + port;
    }
    if (const auto origin = r.Header("Origin")) {
        const std::string_view o(*origin);
        const bool ours = (o.rfind("http://", 0) == 0 && SameAuthority(o.substr(7), port_, o_.remote_control)) ||
                          (o.rfind("https://", 0) == 0 && SameAuthority(o.substr(8), port_, o_.remote_control));
        if (!ours) {
            error = "FOREIGN_ORIGIN";
            return "control requests from web pages of other origins are refused";
        }
    }
    if (r.method == "POST") {
        const std::string type = r.Header("Content-Type").value_or("");
        if (!EqualsIgnoreCase(Trim(std::string_view(type).substr(0, type.find(';'))), "application/json")) {
            status = 415;
            error = "NOT_JSON";
            return "control POST requests need Content-Type: application/json";
        }
    }
    return {};
}

Answer PeopleService::Handle(const Request& r) {
    const double now = Now();
    DropExpired(now);
    Call c{r, r.Path(), {}, {}, now};
    for (auto& [k, v] : QueryParams(r.target)) c.query[k] = v;
    const bool control = IsControl(r);
    try {
        if (control) {
            int status = 0;
            std::string error;
            if (const std::string why = ControlRefusal(r, status, error); !why.empty()) throw Error(status, error, why);
        }
        const auto& routes = Routes();
        const auto route = std::find_if(routes.begin(), routes.end(), [&](const Route& x) { return c.path == x.path; });
        if (route == routes.end()) {
            HttpError e = Error(404, "NOT_FOUND");
            e.payload["path"] = BytesToLatin1Text(c.path);
            throw e;
        }
        const auto method = std::find_if(route->methods.begin(), route->methods.end(),
                                         [&](const auto& m) { return r.method == m.first; });
        if (method == route->methods.end()) {
            HttpError e = Error(405, "METHOD_NOT_ALLOWED");
            e.payload["allowed"] = ojson::array();
            std::string allow;
            for (const auto& [name, run] : route->methods) {
                e.payload["allowed"].push_back(name);
                allow += (allow.empty() ? "" : ", ") + std::string(name);
            }
            e.headers.emplace_back("Allow", allow);
            throw e;
        }
        if (!control) {
            c.account = Trim(r.Header("X-Account").value_or(""));
            if (c.account.size() > o_.limits.identity_bytes)
                throw Error(400, "IDENTITY_TOO_LONG",
                            "X-Account holds more than " + std::to_string(o_.limits.identity_bytes) + " bytes");
        }
        if (route->kind == Kind::kSigned) {
            const std::string bearer = r.Header("Authorization").value_or("");
            std::optional<std::string> token;
            if (bearer.size() >= 7 && EqualsIgnoreCase(bearer.substr(0, 7), "bearer ")) token = Trim(bearer.substr(7));
            std::string refusal = Refusal(token, c.account);
            if (refusal.empty() && r.Header("X-Client-Token") != token)
                refusal = "X-Client-Token differs from the bearer token";
            if (!refusal.empty()) {
                Answer a = From(Error(401, "UNAUTHORIZED"));
                a.note = refusal;
                return a;
            }
        }
        return (this->*(method->second))(c);
    } catch (const HttpError& e) {
        return From(e);
    } catch (const std::exception& e) {  // a fault of ours must still answer and be logged
        return From(Error(500, "DEVSERVER_BUG", e.what()));
    }
}

// ---- tokens

void PeopleService::Retire(const std::string& token, const char* reason) {
    if (retired_.insert_or_assign(token, reason).second) retired_order_.push_back(token);
    while (retired_order_.size() > o_.limits.retired) {
        retired_.erase(retired_order_.front());
        retired_order_.pop_front();
    }
}

void PeopleService::DropExpired(double now) {
    while (!issued_.empty()) {
        const auto held = tokens_.find(issued_.front());
        if (held != tokens_.end()) {
            if (held->second.expires > now) break;
            Retire(held->first, "expired token");
            tokens_.erase(held);
        }
        issued_.pop_front();
    }
}

std::string PeopleService::Refusal(const std::optional<std::string>& token, const std::string& account) {
    if (!token || token->empty()) return "no bearer token";
    const auto held = tokens_.find(*token);
    if (held == tokens_.end()) {
        const auto gone = retired_.find(*token);
        return gone == retired_.end() ? "unknown token" : gone->second;
    }
    if (Now() >= held->second.expires) return "expired token";
    if (held->second.account != account) return "token of another account";
    return {};
}

Answer PeopleService::Token_(const Call& c) {
    if (c.account.empty()) throw Error(400, "MISSING_ACCOUNT", "send the account in X-Account");
    while (tokens_.size() >= o_.limits.tokens && !issued_.empty()) {  // the oldest gives way
        if (tokens_.erase(issued_.front())) Retire(issued_.front(), "forgotten token (too many live tokens)");
        issued_.pop_front();
    }
    std::string token = "dev-";
    for (unsigned char b : RandomBytes(16)) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", b);
        token += hex;
    }
    const auto expires = static_cast<std::int64_t>(c.now) + o_.token_ttl;
    tokens_[token] = Token{c.account, static_cast<double>(expires)};
    issued_.push_back(token);
    return Json({{"ok", true}, {"token", token}, {"expires_at", IsoUtc(expires)}, {"account", c.account}},
                "token for " + c.account);
}

// ---- the service

std::int64_t PeopleService::DayParam(const Call& c) const {
    const auto it = c.query.find("date");
    if (it == c.query.end() || it->second.empty()) return static_cast<std::int64_t>(c.now) / 86400 - (c.now < 0);
    std::string why;
    const auto day = ParseDay(it->second, why);
    if (!day) throw Error(400, "BAD_DATE", why);
    return *day;
}

Answer PeopleService::Day(const Call& c) {
    const auto day = DayParam(c);
    ojson events = calendar_->Events(day);
    return Json({{"ok", true}, {"sample", true}, {"date", DayText(day)}, {"count", events.size()}, {"events", events}});
}

Answer PeopleService::Meta(const Call& c) {
    ojson out = {{"ok", true}, {"sample", true}, {"date", nullptr}};
    if (c.query.count("date") && !c.query.at("date").empty()) out["date"] = DayText(DayParam(c));
    const ojson meta = calendar_->Meta();
    for (const auto& [k, v] : meta.items()) out[k] = v;
    return Json(out);
}

Answer PeopleService::Changes(const Call& c) {
    const auto day = DayParam(c);
    const std::string since_text = c.query.count("since") ? c.query.at("since") : "0";
    const bool negative = !since_text.empty() && since_text[0] == '-';
    const auto magnitude = Count(since_text.substr(negative));
    if (!magnitude) throw Error(400, "BAD_SINCE", "since must be a unix time in seconds");
    const std::int64_t since = negative ? -*magnitude : *magnitude;
    ojson events = ojson::array();
    for (auto& e : calendar_->Events(day))
        if (e["updated_at"].get<std::int64_t>() > since) events.push_back(e);
    return Json({{"ok", true},
                 {"sample", true},
                 {"date", DayText(day)},
                 {"since", since},
                 {"count", events.size()},
                 {"events", events}});
}

Answer PeopleService::Heartbeat(const Call& c) {
    try {
        ParseJson(c.r.body);  // checked only: the echo is the body's own text
    } catch (const std::invalid_argument& e) {
        throw Error(400, "INVALID_JSON", e.what());
    }
    const auto now = static_cast<std::int64_t>(c.now);
    Answer a = Json({{"ok", true}, {"account", c.account}, {"server_time", IsoUtc(now)}, {"server_unix", now}});
    const std::string echo = Trim(c.r.body);
    std::string text = a.Body();
    text.pop_back();
    a.raw = text + ",\"echo\":" + echo + "}";
    return a;
}

Answer PeopleService::Ping(const Call& c) {
    return Json({{"ok", true}, {"pong", true}, {"server_time", IsoUtc(static_cast<std::int64_t>(c.now))}});
}

Answer PeopleService::Register(const Call& c) {
    ojson out = {{"ok", true}, {"registered", true}, {"account", c.account}, {"client_id", ""}};
    std::string joined = c.account;
    for (const auto& [name, header] :
         std::vector<std::pair<const char*, const char*>>{{"platform", "X-Platform"},
                                                          {"broker", "X-Broker"},
                                                          {"server", "X-Server"},
                                                          {"client_version", "X-Client-Version"}}) {
        const std::string value = c.r.Header(header).value_or("");
        if (value.size() > o_.limits.identity_bytes)
            throw Error(
                400, "IDENTITY_TOO_LONG",
                std::string(header) + " holds more than " + std::to_string(o_.limits.identity_bytes) + " bytes");
        joined += "|" + value;
        out[name] = BytesToLatin1Text(value);
    }
    out["client_id"] = "dev-" + Sha256Hex(joined).substr(0, 16);
    return Json(out);
}

Answer PeopleService::Vip(const Call& c) {
    static const char* levels[] = {"none", "bronze", "silver", "gold"};
    const std::string level = levels[Sha256(c.account)[0] % 4];  // the same answer for an account every time
    return Json({{"ok", true}, {"sample", true}, {"account", c.account}, {"vip", level != "none"}, {"level", level}});
}

// ---- the control API

Answer PeopleService::Revoke(const Call&) {
    const size_t count = tokens_.size();
    for (const auto& [token, held] : tokens_) Retire(token, "revoked token");
    tokens_.clear();
    issued_.clear();
    return Json({{"ok", true}, {"revoked", count}}, "revoked " + std::to_string(count) + " token(s)");
}

Answer PeopleService::Expire(const Call& c) {
    for (auto& [token, held] : tokens_) held.expires = std::min(held.expires, c.now);
    return Json({{"ok", true}, {"expired", tokens_.size()}}, "expired " + std::to_string(tokens_.size()) + " token(s)");
}

Answer PeopleService::Reload(const Call&) {
    if (o_.calendar_file.empty())
        throw Error(409, "NO_CALENDAR_FILE", "this server uses its built-in sample; start it with --calendar FILE");
    try {
        calendar_ = std::make_unique<SampleCalendar>(SampleCalendar::FromText(ReadFile(o_.calendar_file)));
    } catch (const std::exception& e) {
        HttpError error = Error(422, "BAD_CALENDAR", e.what());
        error.payload["file"] = o_.calendar_file;
        throw error;
    }
    return Json({{"ok", true}, {"file", o_.calendar_file}, {"templates", calendar_->templates()}},
                "reloaded " + o_.calendar_file);
}

Answer PeopleService::Requests(const Call& c) {
    const auto number = [&](const char* name, std::int64_t fallback) -> std::int64_t {
        const auto it = c.query.find(name);
        if (it == c.query.end()) return fallback;
        const auto n = Count(it->second);
        if (!n) throw Error(400, "BAD_QUERY", std::string(name) + " must be a whole number 0 or more");
        return *n;
    };
    const std::int64_t since = number("since", 0);
    const std::int64_t limit = number("limit", static_cast<std::int64_t>(o_.limits.page));
    if (limit < 1 || limit > static_cast<std::int64_t>(o_.limits.page))
        throw Error(400, "BAD_QUERY", "limit must lie from 1 to " + std::to_string(o_.limits.page));
    auto at = std::upper_bound(record_.begin(), record_.end(), since,
                               [](std::int64_t s, const Entry& e) { return s < e.seq; });
    ojson list = ojson::array();
    std::int64_t next = since;
    for (; at != record_.end() && static_cast<std::int64_t>(list.size()) < limit; ++at) {
        list.push_back(at->fields);
        next = at->seq;
    }
    return Json({{"ok", true}, {"requests", std::move(list)}, {"next", next}, {"more", at != record_.end()}});
}

Answer PeopleService::Health(const Call&) {
    return Json({{"ok", true}, {"pid", getpid()}, {"tokens", tokens_.size()}});
}

ojson PeopleService::Rules() const {
    ojson list = ojson::array();
    for (const auto& f : rules_)
        list.push_back({{"fault", f.kind},
                        {"count", f.count},
                        {"path", f.path.empty() ? ojson() : ojson(f.path)},
                        {"delay_ms", f.delay_ms}});
    return list;
}

Answer PeopleService::ListFaults(const Call&) {
    return Json({{"ok", true}, {"queued", Rules()}, {"rate", o_.fault_rate}, {"latency_ms", o_.fault_latency_ms}});
}

Answer PeopleService::ClearFaults(const Call&) {
    const size_t n = rules_.size();
    rules_.clear();
    o_.fault_rate = 0;
    o_.fault_latency_ms = 0;
    return Json({{"ok", true}, {"cleared", n}}, "faults cleared");
}

Answer PeopleService::AddFault(const Call& c) {
    ojson body;
    try {
        body = ParseJson(c.r.body);
    } catch (const std::invalid_argument& e) {
        throw Error(400, "INVALID_JSON", e.what());
    }
    if (!body.is_object()) throw Error(400, "BAD_FAULT", "the body must be a JSON object");
    for (const auto& [k, v] : body.items())
        if (k != "fault" && k != "count" && k != "path" && k != "delay_ms")
            throw Error(400, "BAD_FAULT", "unknown field '" + k + "': give fault, count, path and delay_ms");
    FaultRule rule;
    const auto kind = body.find("fault");
    if (kind == body.end()) throw Error(400, "BAD_FAULT", "fault is missing: give " + std::string(kFaultKinds));
    if (const auto status = WholeNumber(*kind))
        rule.kind = std::to_string(*status);
    else if (kind->is_string())
        rule.kind = kind->get<std::string>();
    else
        throw Error(400, "BAD_FAULT", "fault must be a text: " + std::string(kFaultKinds));
    if (rule.kind.find_first_of(":@") != std::string::npos)
        throw Error(400, "BAD_FAULT", "fault takes the kind alone; give count and path as fields of their own");
    if (!KnownKind(rule.kind))
        throw Error(400, "BAD_FAULT", "unknown fault '" + rule.kind + "': give " + std::string(kFaultKinds));
    rule.count = static_cast<int>(NumberField(body, "count", 1, 1, kMaxFaultCount));
    rule.delay_ms = static_cast<int>(NumberField(body, "delay_ms", 0, 0, kMaxDelayMs));
    if (const auto path = body.find("path"); path != body.end() && !path->is_null()) {
        if (!path->is_string()) throw Error(400, "BAD_FAULT", "path must be a text starting with /");
        rule.path = path->get<std::string>();
        if (const std::string problem = PathProblem(rule.path); !rule.path.empty() && !problem.empty())
            throw Error(400, "BAD_FAULT", problem);
    }
    if (rules_.size() >= kMaxRules)
        throw Error(409, "TOO_MANY_FAULTS",
                    "already " + std::to_string(kMaxRules) + " planned faults; clear them with DELETE /dev/faults");
    rules_.push_back(rule);
    return Json({{"ok", true}, {"queued", Rules()}}, "fault " + rule.kind + " x" + std::to_string(rule.count) +
                                                         (rule.path.empty() ? "" : " on " + rule.path));
}

// ---- the record

std::string PeopleService::Record(const std::string& method, const std::string& target, const std::string& account,
                                  int status, std::int64_t ms, const std::string& note, double now) {
    const std::string path = RequestPath(target);
    if (path.rfind("/dev/", 0) != 0) {  // the record is of the service's traffic only
        const size_t limit = o_.limits.record_text;
        bool cut = false;
        Entry e{++seq_, {}, 0};
        e.fields = {{"seq", e.seq},
                    {"time", IsoUtc(static_cast<std::int64_t>(now))},
                    {"method", BytesToLatin1Text(Cut(method, limit, cut))},
                    {"target", BytesToLatin1Text(Cut(target, limit, cut))},
                    {"path", BytesToLatin1Text(Cut(path, limit, cut))},
                    {"account", BytesToLatin1Text(Cut(account, limit, cut))},
                    {"status", status},
                    {"ms", ms},
                    {"note", Cut(note, limit, cut)}};
        if (cut) e.fields["cut"] = true;
        e.bytes = 256;  // the entry's own overhead, roughly
        for (const char* k : {"method", "target", "path", "account", "note"})
            e.bytes += e.fields[k].get_ref<const std::string&>().size();
        record_bytes_ += e.bytes;
        record_.push_back(std::move(e));
        while (record_.size() > o_.limits.record_entries || record_bytes_ > o_.limits.record_bytes) {
            record_bytes_ -= record_.front().bytes;
            record_.pop_front();
        }
    }
    const auto secs = static_cast<std::int64_t>(now);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03d", static_cast<int>((now - secs) * 1000) % 1000);
    const size_t text = o_.limits.log_text;
    return IsoUtc(secs).substr(11, 8) + millis + " " + ConsoleText(method, 32) + " " + ConsoleText(target, text) + " " +
           (status == 0 ? std::string("dropped") : std::to_string(status)) + " " + std::to_string(ms) + "ms" +
           (note.empty() ? "" : "  [" + ConsoleText(note, text) + "]");
}

}  // namespace movu::devserver
