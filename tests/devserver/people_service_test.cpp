// movu-devserver's answers in process: hostile bodies, the control API's
// guard, strict control input, the bounds on what it keeps, the console line,
// and the request reader's refusals.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "people_service.h"
#include "sample_calendar_text.h"
#include "temp_folder.h"

using namespace movu::devserver;

namespace {

constexpr int kPort = 8787;

std::unique_ptr<SampleCalendar> Sample() {
    return std::make_unique<SampleCalendar>(SampleCalendar::FromText(kBuiltinSampleCalendar));
}

PeopleService Service(ServiceOptions o = {}) {
    PeopleService s(std::move(o), Sample());
    s.SetPort(kPort);
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

const std::vector<std::string> kHost = {"Host: 127.0.0.1:8787"};
const std::vector<std::string> kJsonPost = {"Host: 127.0.0.1:8787", "Content-Type: application/json"};

// The answer's body, parsed: nlohmann refuses text that is not UTF-8, so this also proves the bytes are.
ojson Parsed(const Answer& a) { return ojson::parse(a.Body()); }

std::vector<std::string> Signed(PeopleService& s, const std::string& account) {
    const Answer t = s.Handle(Make("GET", "/v1/client/token.php", {"X-Account: " + account}));
    const std::string token = Parsed(t)["token"];
    return {"Authorization: Bearer " + token, "X-Client-Token: " + token, "X-Account: " + account};
}

std::string Nested(size_t depth, const std::string& inner = "1") {
    return std::string(depth, '[') + inner + std::string(depth, ']');
}

}  // namespace

TEST(DevServerBodies, NoBodyCrashesTheServerOrLosesItsAnswer) {
    PeopleService s = Service();
    const auto auth = Signed(s, "1001");
    struct Case {
        const char* name;
        std::string body;
        int status;
        const char* error;  // or nullptr for an echo
    };
    const Case cases[] = {
        {"60,000 nested arrays", Nested(60000), 400, "INVALID_JSON"},
        {"nesting at the limit", Nested(kJsonDepth), 200, nullptr},
        {"one level over it", Nested(kJsonDepth + 1), 400, "INVALID_JSON"},
        {"deep objects", std::string(50000, '{') + "", 400, "INVALID_JSON"},
        {"a Latin-1 byte", "\xE9", 400, "INVALID_JSON"},
        {"half a euro sign in a string", "[\"\xE2\x82", 400, "INVALID_JSON"},
        {"text around the euro sign", " {\"a\": \"\xE2\x82\xAC\", \"b\": [1, {\"c\": null}]} ", 200, nullptr},
        {"not JSON", "not json", 400, "INVALID_JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Answer a = s.Handle(Make("POST", "/v1/client/heartbeat.php", auth, c.body));
        ASSERT_EQ(a.status, c.status);
        const ojson got = Parsed(a);
        if (c.error) {
            EXPECT_EQ(got["error"], c.error);
            EXPECT_FALSE(got["detail"].get<std::string>().empty());
        } else {
            EXPECT_EQ(got["echo"], ojson::parse(c.body));
            EXPECT_EQ(got["account"], "1001");
        }
    }
}

TEST(DevServerBodies, TextsThatAreNotUtf8StillGiveValidAnswers) {
    PeopleService s = Service();
    // An account of raw bytes is answered, with what cannot be shown replaced.
    const Answer token = s.Handle(Make("GET", "/v1/client/token.php", {"X-Account: caf\xE9"}));
    ASSERT_EQ(token.status, 200);
    EXPECT_EQ(Parsed(token)["account"], "caf\xEF\xBF\xBD");

    // A calendar file with a mistake next to a euro sign: the reason reaches the caller.
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

TEST(DevServerControl, AnswersOnlyItsOwnOriginAndJson) {
    struct Case {
        const char* name;
        std::string method, target;
        std::vector<std::string> headers;
        int status;
        const char* error;  // nullptr: served
    };
    const std::string ct = "Content-Type: application/json";
    const Case cases[] = {
        {"127.0.0.1 with the port", "GET", "/dev/health", {"Host: 127.0.0.1:8787"}, 200, nullptr},
        {"localhost, any case", "GET", "/dev/health", {"Host: LocalHost:8787"}, 200, nullptr},
        {"[::1]", "GET", "/dev/health", {"Host: [::1]:8787"}, 200, nullptr},
        {"our own origin",
         "POST",
         "/dev/revoke",
         {"Host: localhost:8787", "Origin: http://localhost:8787", ct},
         200,
         nullptr},
        {"JSON with a charset", "POST", "/dev/expire", {"Host: 127.0.0.1:8787", ct + "; charset=utf-8"}, 200, nullptr},
        {"no Host", "GET", "/dev/health", {}, 403, "BAD_HOST"},
        {"a rebinding name", "GET", "/dev/requests", {"Host: evil.example:8787"}, 403, "BAD_HOST"},
        {"another port", "GET", "/dev/health", {"Host: 127.0.0.1:8788"}, 403, "BAD_HOST"},
        {"no port", "GET", "/dev/health", {"Host: 127.0.0.1"}, 403, "BAD_HOST"},
        {"a name ending like ours", "GET", "/dev/health", {"Host: evil127.0.0.1:8787"}, 403, "BAD_HOST"},
        {"two Host headers",
         "GET",
         "/dev/health",
         {"Host: evil.example:8787", "Host: 127.0.0.1:8787"},
         403,
         "BAD_HOST"},
        {"a foreign origin",
         "POST",
         "/dev/revoke",
         {"Host: 127.0.0.1:8787", "Origin: http://evil.example", ct},
         403,
         "FOREIGN_ORIGIN"},
        {"origin null", "POST", "/dev/faults", {"Host: 127.0.0.1:8787", "Origin: null", ct}, 403, "FOREIGN_ORIGIN"},
        {"origin on another port",
         "GET",
         "/dev/requests",
         {"Host: 127.0.0.1:8787", "Origin: http://127.0.0.1:80"},
         403,
         "FOREIGN_ORIGIN"},
        {"absolute form",
         "POST",
         "http://evil.example/dev/revoke",
         {"Host: 127.0.0.1:8787", ct},
         400,
         "NOT_ORIGIN_FORM"},
        {"text/plain, as a cross-site form",
         "POST",
         "/dev/faults",
         {"Host: 127.0.0.1:8787", "Content-Type: text/plain"},
         415,
         "NOT_JSON"},
        {"no Content-Type", "POST", "/dev/revoke", {"Host: 127.0.0.1:8787"}, 415, "NOT_JSON"},
        {"JSON as a prefix only", "POST", "/dev/revoke", {"Host: 127.0.0.1:8787", ct + "x"}, 415, "NOT_JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PeopleService s = Service();
        const auto auth = Signed(s, "7");
        const Answer a = s.Handle(Make(c.method, c.target, c.headers, c.method == "POST" ? "{}" : ""));
        EXPECT_EQ(a.status, c.status) << a.Body();
        if (c.error) {
            EXPECT_EQ(Parsed(a)["error"], c.error);
            // Nothing happened: the token still works.
            EXPECT_EQ(s.Handle(Make("GET", "/v1/client/ping.php", auth)).status, 200);
        }
    }
}

TEST(DevServerControl, OffBeyondLoopbackUnlessTurnedOn) {
    struct Case {
        bool control, remote;
        const char* host;
        int status;
    };
    const Case cases[] = {{false, false, "127.0.0.1:8787", 403},
                          {true, true, "192.168.1.5:8787", 200},
                          {true, true, "[fe80::1]:8787", 200},
                          {true, true, "evil.example:8787", 403},
                          {true, false, "192.168.1.5:8787", 403}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        ServiceOptions o;
        o.control = c.control;
        o.remote_control = c.remote;
        PeopleService s = Service(o);
        const Answer a = s.Handle(Make("GET", "/dev/health", {std::string("Host: ") + c.host}));
        EXPECT_EQ(a.status, c.status);
        if (!c.control) {
            EXPECT_EQ(Parsed(a)["error"], "CONTROL_OFF");
        }
        // The service itself answers whatever the control API does.
        EXPECT_EQ(s.Handle(Make("GET", "/v1/client/token.php", {"X-Account: 1"})).status, 200);
    }
}

TEST(DevServerControl, FaultInputIsCheckedStrictly) {
    struct Case {
        const char* body;
        int status;
        const char* detail;  // a part of the message
    };
    const Case cases[] = {
        {R"({"fault":"503:2@/v1/calendar/day.php"})", 400, "kind alone"},
        {R"({"fault":"503","count":4294967297})", 400, "count must lie"},
        {R"({"fault":"slow","delay_ms":99999999999})", 400, "delay_ms must lie"},
        {R"({"fault":"503","count":18446744073709551615})", 400, "count must lie"},
        {R"({"fault":"503","count":true})", 400, "count must be a whole number"},
        {R"({"fault":"503","count":1.5})", 400, "count must be a whole number"},
        {R"({"fault":"503","count":0})", 400, "count must lie"},
        {R"({"fault":"503","delay_ms":-1})", 400, "delay_ms must lie"},
        {R"({"fault":"teapot"})", 400, "unknown fault 'teapot'"},
        {R"({"fault":"399"})", 400, "unknown fault '399'"},
        {R"({"fault":true})", 400, "fault must be a text"},
        {R"({"count":2})", 400, "fault is missing"},
        {R"({"fault":"503","path":"v1/x"})", 400, "start with /"},
        {R"({"fault":"503","path":"/v1/x\r\nX: y"})", 400, "control character"},
        {R"({"fault":"503","path":5})", 400, "path must be a text"},
        {R"({"fault":"503","colour":"red"})", 400, "unknown field 'colour'"},
        {R"(["503"])", 400, "JSON object"},
        {R"({"fault":"503")", 400, ""},
        {R"({"fault":"503","count":2,"path":"/v1/calendar/day.php","delay_ms":0})", 200, nullptr},
        {R"({"fault":429,"path":null})", 200, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        PeopleService s = Service();
        const Answer a = s.Handle(Make("POST", "/dev/faults", kJsonPost, c.body));
        ASSERT_EQ(a.status, c.status) << a.Body();
        const ojson got = Parsed(a);
        if (c.detail) {
            EXPECT_NE(got["detail"].get<std::string>().find(c.detail), std::string::npos) << got["detail"];
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
    for (const char* target : {"/dev/requests?since=-1", "/dev/requests?since=abc",
                               "/dev/requests?since=", "/dev/requests?since=99999999999999999999",
                               "/dev/requests?limit=0", "/dev/requests?limit=1001"}) {
        SCOPED_TRACE(target);
        const Answer a = s.Handle(Make("GET", target, kHost));
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
