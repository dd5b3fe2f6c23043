// movu-devserver's answers in process: hostile bodies, the control API's
// guard, strict control input, tokens, the bounds on what it keeps, the
// console line, and the request reader's refusals.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>

#include "people_service.h"
#include "sample_calendar_text.h"
#include "temp_folder.h"

using namespace movu::devserver;

namespace {

PeopleService Service(ServiceOptions o = {}) {
    PeopleService s(std::move(o), std::make_unique<SampleCalendar>(SampleCalendar::FromText(kBuiltinSampleCalendar)));
    s.SetPort(8787);
    return s;
}

Request Make(const std::string& method, const std::string& target, std::vector<std::string> headers = {},
             std::string body = {}) {
    Request r;
    r.method = method;
    r.target = target;
    r.version = "HTTP/1.1";
    r.header_lines = std::move(headers);
    r.body = std::move(body);
    return r;
}

const std::string kOurs = "Host: 127.0.0.1:8787", kJson = "Content-Type: application/json";
const std::vector<std::string> kHost = {kOurs}, kJsonPost = {kOurs, kJson};

// The answer's body, parsed: nlohmann refuses text that is not UTF-8, so this
// also proves the bytes are.
ojson Parsed(const Answer& a) { return ojson::parse(a.Body()); }

std::vector<std::string> Auth(const std::string& token, const std::string& account) {
    return {"Authorization: Bearer " + token, "X-Client-Token: " + token, "X-Account: " + account};
}

std::vector<std::string> Signed(PeopleService& s, const std::string& account) {
    return Auth(Parsed(s.Handle(Make("GET", "/v1/client/token.php", {"X-Account: " + account})))["token"], account);
}

std::string Nested(size_t depth) { return std::string(depth, '[') + "1" + std::string(depth, ']'); }

}  // namespace

TEST(DevServerBodies, NoBodyCrashesTheServerOrLosesItsAnswer) {
    PeopleService s = Service();
    const auto auth = Signed(s, "1001");
    struct Case {
        const char* name;
        std::string body;
        int status;  // 200: echoed
    };
    const Case cases[] = {
        {"60,000 nested arrays", Nested(60000), 400},
        {"nesting at the limit", Nested(kJsonDepth), 200},
        {"one level over it", Nested(kJsonDepth + 1), 400},
        {"deep objects", std::string(50000, '{'), 400},
        {"a Latin-1 byte", "\xE9", 400},
        {"half a euro sign in a string", "[\"\xE2\x82", 400},
        {"text around the euro sign", " {\"a\": \"\xE2\x82\xAC\", \"b\": [1, {\"c\": null}]} ", 200},
        {"not JSON", "not json", 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Answer a = s.Handle(Make("POST", "/v1/client/heartbeat.php", auth, c.body));
        ASSERT_EQ(a.status, c.status);
        const ojson got = Parsed(a);
        if (c.status != 200) {
            EXPECT_EQ(got["error"], "INVALID_JSON");
            EXPECT_FALSE(got["detail"].get<std::string>().empty());
        } else {
            EXPECT_EQ(got["echo"], ojson::parse(c.body));
            EXPECT_EQ(got["account"], "1001");
        }
    }
    // An account of raw bytes is answered, with what cannot be shown replaced.
    const Answer token = s.Handle(Make("GET", "/v1/client/token.php", {"X-Account: caf\xE9"}));
    ASSERT_EQ(token.status, 200);
    EXPECT_EQ(Parsed(token)["account"], "caf\xEF\xBF\xBD");

    // A calendar file with a mistake next to a euro sign: the reason reaches the
    // caller.
    movu::test::TempFolder dir("devserver");
    const auto file = dir.path() / "calendar.json";
    std::ofstream(file, std::ios::binary) << "{\"sample\": true, \"currencies\": [\"\xE2\x82";
    ServiceOptions o;
    o.calendar_file = file.string();
    PeopleService reloading = Service(o);
    const Answer a = reloading.Handle(Make("POST", "/dev/reload", kJsonPost));
    EXPECT_EQ(a.status, 422);
    EXPECT_EQ(Parsed(a)["error"], "BAD_CALENDAR");
}

TEST(DevServerControl, AnswersOnlyItsOwnOriginJsonAndMachine) {
    struct Case {
        std::string method, target;
        std::vector<std::string> headers;
        int status;
        const char* error;  // nullptr: served
        bool control = true, remote = false;
    };
    const Case cases[] = {
        {"GET", "/dev/health", {kOurs}, 200, nullptr},
        {"GET", "/dev/health", {"Host: LocalHost:8787"}, 200, nullptr},
        {"GET", "/dev/health", {"Host: [::1]:8787"}, 200, nullptr},
        {"POST", "/dev/revoke", {"Host: localhost:8787", "Origin: http://localhost:8787", kJson}, 200, nullptr},
        {"POST", "/dev/expire", {kOurs, kJson + "; charset=utf-8"}, 200, nullptr},
        {"GET", "/dev/health", {}, 403, "BAD_HOST"},
        {"GET", "/dev/requests", {"Host: evil.example:8787"}, 403, "BAD_HOST"},
        {"GET", "/dev/health", {"Host: 127.0.0.1:8788"}, 403, "BAD_HOST"},
        {"GET", "/dev/health", {"Host: 127.0.0.1"}, 403, "BAD_HOST"},
        {"GET", "/dev/health", {"Host: evil127.0.0.1:8787"}, 403, "BAD_HOST"},
        {"GET", "/dev/health", {"Host: evil.example:8787", kOurs}, 403, "BAD_HOST"},
        {"POST", "/dev/revoke", {kOurs, "Origin: http://evil.example", kJson}, 403, "FOREIGN_ORIGIN"},
        {"POST", "/dev/faults", {kOurs, "Origin: null", kJson}, 403, "FOREIGN_ORIGIN"},
        {"GET", "/dev/requests", {kOurs, "Origin: http://127.0.0.1:80"}, 403, "FOREIGN_ORIGIN"},
        {"POST", "http://evil.example/dev/revoke", {kOurs, kJson}, 400, "NOT_ORIGIN_FORM"},
        {"POST", "/dev/faults", {kOurs, "Content-Type: text/plain"}, 415, "NOT_JSON"},  // a cross-site form
        {"POST", "/dev/revoke", {kOurs}, 415, "NOT_JSON"},
        {"POST", "/dev/revoke", {kOurs, kJson + "x"}, 415, "NOT_JSON"},
        {"GET", "/dev/health", {kOurs}, 403, "CONTROL_OFF", false},
        {"GET", "/dev/health", {"Host: 192.168.1.5:8787"}, 200, nullptr, true, true},
        {"GET", "/dev/health", {"Host: [fe80::1]:8787"}, 200, nullptr, true, true},
        {"GET", "/dev/health", {"Host: evil.example:8787"}, 403, "BAD_HOST", true, true},
        {"GET", "/dev/health", {"Host: 192.168.1.5:8787"}, 403, "BAD_HOST", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target + " " + (c.headers.empty() ? "" : c.headers.back()) + (c.remote ? " remote" : ""));
        ServiceOptions o;
        o.control = c.control;
        o.remote_control = c.remote;
        PeopleService s = Service(o);
        const auto auth = Signed(s, "7");  // the service itself answers whatever the control API does
        const Answer a = s.Handle(Make(c.method, c.target, c.headers, c.method == "POST" ? "{}" : ""));
        EXPECT_EQ(a.status, c.status) << a.Body();
        if (c.error) {
            EXPECT_EQ(Parsed(a)["error"], c.error);
            // Nothing happened: the token still works.
            EXPECT_EQ(s.Handle(Make("GET", "/v1/client/ping.php", auth)).status, 200);
        }
    }
}

TEST(DevServerControl, FaultInputIsCheckedStrictly) {
    const std::pair<const char*, const char*> cases[] = {
        // body, a part of the refusal (nullptr: planned)
        {R"({"fault":"503:2@/v1/calendar/day.php"})", "kind alone"},
        {R"({"fault":"503","count":4294967297})", "count must lie"},
        {R"({"fault":"slow","delay_ms":99999999999})", "delay_ms must lie"},
        {R"({"fault":"503","count":18446744073709551615})", "count must lie"},
        {R"({"fault":"503","count":true})", "count must be a whole number"},
        {R"({"fault":"503","count":1.5})", "count must be a whole number"},
        {R"({"fault":"503","count":0})", "count must lie"},
        {R"({"fault":"503","delay_ms":-1})", "delay_ms must lie"},
        {R"({"fault":"teapot"})", "unknown fault 'teapot'"},
        {R"({"fault":"399"})", "unknown fault '399'"},
        {R"({"fault":true})", "fault must be a text"},
        {R"({"count":2})", "fault is missing"},
        {R"({"fault":"503","path":"v1/x"})", "start with /"},
        {R"({"fault":"503","path":"/v1/x\r\nX: y"})", "control character"},
        {R"({"fault":"503","path":5})", "path must be a text"},
        {R"({"fault":"503","colour":"red"})", "unknown field 'colour'"},
        {R"(["503"])", "JSON object"},
        {R"({"fault":"503")", ""},
        {R"({"fault":"503","count":2,"path":"/v1/calendar/day.php","delay_ms":0})", nullptr},
        {R"({"fault":429,"path":null})", nullptr},
    };
    for (const auto& [body, refusal] : cases) {
        SCOPED_TRACE(body);
        PeopleService s = Service();
        const Answer a = s.Handle(Make("POST", "/dev/faults", kJsonPost, body));
        ASSERT_EQ(a.status, refusal ? 400 : 200) << a.Body();
        const ojson got = Parsed(a);
        if (refusal) {
            EXPECT_NE(got["detail"].get<std::string>().find(refusal), std::string::npos) << got["detail"];
            EXPECT_TRUE(Parsed(s.Handle(Make("GET", "/dev/faults", kHost)))["queued"].empty());
        } else {
            EXPECT_EQ(got["queued"].size(), 1u);
        }
    }
}

TEST(DevServerControl, PlannedFaultsStrikeOnlyTheirPathAndCount) {
    PeopleService s = Service();
    ASSERT_EQ(s.Handle(Make("POST", "/dev/faults", kJsonPost, R"({"fault":"503","count":2,"path":"/v1/a"})")).status,
              200);
    ASSERT_EQ(s.Handle(Make("POST", "/dev/faults", kJsonPost, R"({"fault":"slow","delay_ms":7})")).status, 200);
    const std::pair<const char*, int> sequence[] = {
        {"/v1/b", 0}, {"/v1/a", 503}, {"/dev/health", 0}, {"/v1/a", 503}, {"/v1/a", 0}};
    int slow = 0;
    for (const auto& [target, status] : sequence) {
        SCOPED_TRACE(target);
        const FaultPlan plan = s.PlanFaults(Make("GET", target, kHost));
        EXPECT_EQ(plan.answer ? plan.answer->status : 0, status);
        slow += plan.wait_ms;
    }
    EXPECT_EQ(slow, 7) << "the slow rule strikes once, on the first service request";
}

TEST(DevServerControl, QueriesAndRulesOfTheCommandLine) {
    PeopleService s = Service();
    for (const char* query :
         {"since=-1", "since=abc", "since=", "since=99999999999999999999", "limit=0", "limit=1001"}) {
        SCOPED_TRACE(query);
        const Answer a = s.Handle(Make("GET", std::string("/dev/requests?") + query, kHost));
        EXPECT_EQ(a.status, 400);
        EXPECT_EQ(Parsed(a)["error"], "BAD_QUERY");
    }
    const std::pair<const char*, const char*> rules[] = {
        {"", "give a fault rule"},         {"503:0", "count after :"},        {"503:1000001", "count after :"},
        {"503:x", "count after :"},        {"503@v1", "must start with /"},   {"nope", "unknown fault 'nope'"},
        {"503@/a b", "control character"}, {"503:2@/v1/calendar/day.php", ""}};
    for (const auto& [text, why] : rules) {
        SCOPED_TRACE(text);
        std::string got;
        const auto rule = ParseFaultSpec(text, got);
        EXPECT_EQ(rule.has_value(), *why == '\0');
        EXPECT_NE(got.find(why), std::string::npos) << got;
    }
}

TEST(DevServerTokens, EachBadTokenGets401WithItsReason) {
    PeopleService s = Service();
    const auto revoked = Signed(s, "1002");
    ASSERT_EQ(s.Handle(Make("POST", "/dev/revoke", kJsonPost)).status, 200);
    const std::string soon = IsoUtc(std::time(nullptr) + 3600);
    const ojson issued = Parsed(s.Handle(Make("GET", "/v1/client/token.php", {"X-Account: 1001"})));
    EXPECT_GE(issued["expires_at"].get<std::string>(), soon) << "tokens live an hour";
    EXPECT_LE(issued["expires_at"].get<std::string>(), IsoUtc(std::time(nullptr) + 3600));
    const auto good = Auth(issued["token"],
                           "1001");  // revoking must not spoil tokens handed out later
    EXPECT_NE(Signed(s, "1001"), good) << "every request gets its own token";
    auto differs = good;
    differs[1] += "x";
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"X-Account: 1001"}, "no bearer token"},
        {Auth("dev-unknown", "1001"), "unknown token"},
        {Auth(issued["token"], "1002"), "token of another account"},
        {differs, "X-Client-Token differs from the bearer token"},
        {revoked, "revoked token"},
    };
    for (const auto& [headers, note] : cases) {
        SCOPED_TRACE(note);
        const Answer a = s.Handle(Make("GET", "/v1/client/ping.php", headers));
        EXPECT_EQ(a.status, 401);
        EXPECT_EQ(a.note, note);
        EXPECT_EQ(Parsed(a), ojson::parse(R"({"ok":false,"error":"UNAUTHORIZED"})"));
    }
    EXPECT_EQ(s.Handle(Make("GET", "/v1/client/ping.php", good)).status, 200);
}

TEST(DevServerBounds, TokensExpireAndStayWithinTheirLimits) {
    ServiceOptions o;
    o.token_ttl = 0;
    o.limits.identity_bytes = 64;
    PeopleService expiring = Service(o);
    const auto first = Signed(expiring, "9001");
    for (int i = 0; i < 100; ++i) Signed(expiring, std::string(60, 'a'));
    const Answer a = expiring.Handle(Make("GET", "/v1/client/ping.php", first));
    EXPECT_EQ(a.status, 401);
    EXPECT_EQ(a.note, "expired token") << "an expired token, dropped, still names its reason";
    EXPECT_EQ(expiring.tokens(), 0u);
    const Answer long_account =
        expiring.Handle(Make("GET", "/v1/client/token.php", {"X-Account: " + std::string(65, 'a')}));
    EXPECT_EQ(long_account.status, 400);
    EXPECT_EQ(Parsed(long_account)["error"], "IDENTITY_TOO_LONG");

    ServiceOptions capped;
    capped.limits.tokens = 50;
    PeopleService s = Service(capped);
    const auto oldest = Signed(s, "1");
    std::vector<std::string> newest;
    for (int i = 0; i < 200; ++i) newest = Signed(s, "2");
    EXPECT_EQ(s.tokens(), 50u);
    EXPECT_EQ(s.Handle(Make("GET", "/v1/client/ping.php", newest)).status, 200);
    auto broker = newest;
    broker.push_back("X-Broker: " + std::string(1025, 'b'));
    const Answer long_broker = s.Handle(Make("GET", "/v1/client/register.php", broker));
    EXPECT_EQ(long_broker.status, 400);
    EXPECT_EQ(Parsed(long_broker)["error"], "IDENTITY_TOO_LONG");
    EXPECT_EQ(s.Handle(Make("GET", "/v1/client/ping.php", oldest)).note, "forgotten token (too many live tokens)");
    ASSERT_EQ(s.Handle(Make("POST", "/dev/revoke", kJsonPost)).status, 200);
    EXPECT_EQ(s.tokens(), 0u);
    EXPECT_EQ(s.Handle(Make("GET", "/v1/client/ping.php", newest)).note, "revoked token");
}
TEST(DevServerBounds, TheRecordHoldsBoundedBytesAndPagesItsAnswer) {
    ServiceOptions o;
    o.limits.record_bytes = 256 * 1024;
    o.limits.page = 100;
    PeopleService s = Service(o);
    const std::string huge = "/v1/calendar/day.php?x=" + std::string(60000, 'x');
    for (int i = 0; i < 2000; ++i) s.Record("GET", huge, std::string(60000, 'a'), 200, 1, "", 1.7e9);
    EXPECT_LE(s.record_bytes(), o.limits.record_bytes);
    EXPECT_GT(s.record_entries(), 20u) << "long texts are cut, not the record emptied";
    for (int i = 0; i < 250; ++i) s.Record("GET", "/v1/client/ping.php", "1", 200, 1, "", 1.7e9);
    const size_t entries = s.record_entries();
    EXPECT_NE(s.Record("GET", "/dev/health", "", 200, 1, "", 1.7e9).find("GET /dev/health 200"), std::string::npos);
    EXPECT_EQ(s.record_entries(), entries) << "control requests are shown, never recorded";

    std::vector<std::int64_t> seqs;
    std::int64_t since = 2000;
    for (bool more = true; more;) {
        const ojson page = Parsed(s.Handle(Make("GET", "/dev/requests?since=" + std::to_string(since), kHost)));
        ASSERT_LE(page["requests"].size(), 100u);
        for (const auto& e : page["requests"]) {
            seqs.push_back(e["seq"]);
            EXPECT_EQ(e["path"], "/v1/client/ping.php");
        }
        more = page["more"];
        since = page["next"];
    }
    ASSERT_EQ(seqs.size(), 250u);
    for (size_t i = 0; i < seqs.size(); ++i) EXPECT_EQ(seqs[i], 2001 + static_cast<std::int64_t>(i));

    const ojson cut = Parsed(s.Handle(Make("GET", "/dev/requests?since=1999&limit=1", kHost)))["requests"][0];
    EXPECT_EQ(cut["seq"], 2000);
    EXPECT_TRUE(cut["cut"].get<bool>());
    EXPECT_EQ(cut["target"].get<std::string>().size(), o.limits.record_text);
}

TEST(DevServerConsole, ControlCharactersAreShownEscaped) {
    PeopleService s = Service();
    struct Case {
        std::string method, target, note, shown;
    };
    const Case cases[] = {
        {"GET", "/v1/\x1b]0;owned\x07", "", "/v1/\\x1B]0;owned\\x07"},
        {"GET\r12:00:00.000 GET /fake 200", "/", "", "GET\\x0D12:00:00.000"},
        {"GET",
         "/\xc2\x9b"
         "2J",
         "", "/\\xC2\\x9B2J"},
        {"GET", "/caf\xc3\xa9/\xe2\x82\xac", "", "/caf\xc3\xa9/\xe2\x82\xac"},
        {"GET", "/back\\slash", "", "/back\\\\slash"},
        {"GET", "/", "token for \x1b[2J", "[token for \\x1B[2J]"},
        {"GET", "/" + std::string(5000, 'x'), "", std::string(511, 'x') + "..."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        const std::string line = s.Record(c.method, c.target, "", 200, 0, c.note, 1.7e9);
        EXPECT_NE(line.find(c.shown), std::string::npos) << line;
        for (unsigned char ch : line) EXPECT_TRUE(ch >= 0x20 && ch != 0x7F) << line;
    }
}

TEST(DevServerReading, RefusalsCarryTheirStatus) {
    Limits limits;
    struct Case {
        const char* name;
        std::string bytes;
        int status;  // 0: accepted
        bool complete;
    };
    const Case cases[] = {
        {"CR LF", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", 0, true},
        {"bare LF", "GET / HTTP/1.1\nHost: x\n\n", 400, false},
        {"bare LF in one header", "GET / HTTP/1.1\r\nHost: x\nA: b\r\n\r\n", 400, false},
        {"a declared body over 1 MiB", "POST / HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n", 413, false},
        {"a body of 1 MiB", "POST / HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n", 0, false},
        {"a head over 64 KiB", "GET / HTTP/1.1\r\nA: " + std::string(70000, 'a') + "\r\n\r\n", 431, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Request r;
        bool complete = false;
        int status = 0;
        const std::string why = ParseRequest(c.bytes, limits, r, complete, status);
        EXPECT_EQ(why.empty() ? 0 : status, c.status) << why;
        EXPECT_EQ(complete, c.complete);
    }
}
