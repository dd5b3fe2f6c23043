// The static core against bare baselines, in one run against one local
// service: one exchange through the library against a bare libcurl GET of the
// same request (fresh easy handle each time) over HTTP, HTTPS and for a
// 50 MiB answer; and the token answered from memory against a bare lock and
// copy (with the clock read that path makes, on its own). Prints library / baseline as a last line per pair. Uses the
// test service named by MOVU_TESTSERVICE_DIR, or starts one of its own for the run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "api/text.h"
#include "settings/client_settings.h"
#include "testservice_client.h"
#include "token/acquire_token.h"
#include "token/client_token.h"
#include "transport/http_exchange.h"
#include "bench_service.h"

namespace {

const char* const kPath = "/v1/calendar/day.php";
const char* const kQuery = "?date=2024-01-02";
const char* const kBigPath = "/v1/calendar/big.php";
const std::size_t kBigSize = 50u << 20;
const char* const kAnswer = "{\"date\":\"2024-01-02\",\"events\":[{\"id\":1,\"title\":\"CPI\"}]}";
const std::vector<std::string> kHeaderLines{"Content-Type: application/json",
                                            "Authorization: Bearer bench-token",
                                            "X-Account: 1001",
                                            "X-Platform: MT5",
                                            "X-Broker: Bench Broker",
                                            "X-Server: Bench-Live",
                                            "X-Client-Version: 1.0"};
// The library withdraws libcurl's own Accept and Expect; the bare GET too.
const std::vector<std::string> kBareWithdrawn{"Accept:", "Expect:"};

struct Case {
    std::string baseUrl, target;
    std::string caFile;  // for the bare client over TLS
    std::size_t size = 0;
};
std::map<std::string, Case> g_cases;  // "http", "https", "50MiB"

void LibraryExchange(benchmark::State& state, const std::string& name) {
    const Case& k = g_cases.at(name);
    const movu::BaseUrl base = movu::MakeBaseUrl(k.baseUrl);
    movu::HeaderFields fields;
    for (const std::string& l : kHeaderLines) {
        const std::size_t colon = l.find(':');
        movu::SetHeader(fields, l.substr(0, colon), l.substr(colon + 1));
    }
    for (auto _ : state) {
        std::string body;
        std::uint32_t status = 0;
        const std::int32_t code =
            movu::HttpExchange(base, movu::SecondaryHostPin(), "GET", k.target, fields, {}, body, status);
        if (code != 0 || status != 200 || body.size() != k.size) {
            state.SkipWithError(("exchange failed: " + std::to_string(code) + " " + body.substr(0, 200)).c_str());
            break;
        }
        benchmark::DoNotOptimize(body.data());
    }
}

// A fresh body each time, as the library's: reusing one would spare the bare
// side the growth of a 50 MiB buffer.
void BareCurlGet(benchmark::State& state, const std::string& name) {
    const Case& k = g_cases.at(name);
    std::vector<std::string> lines = kHeaderLines;
    lines.insert(lines.end(), kBareWithdrawn.begin(), kBareWithdrawn.end());
    const std::string url = k.baseUrl + k.target;
    for (auto _ : state) {
        std::string body;
        std::string error = movu::bench::BareGet(url, lines, k.caFile, body);
        if (error.empty() && body.size() != k.size) error = "bare GET: " + std::to_string(body.size()) + " bytes";
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            break;
        }
        benchmark::DoNotOptimize(body.data());
    }
}

const movu::Identity kIdentity{"100200", "MT5", "Bench Broker", "Bench-Live", "1.0"};
const std::string kToken(64, 'k');

// The warm path every signed request takes first.
void TokenFromMemory(benchmark::State& state) {
    {
        std::lock_guard<std::mutex> lock(movu::TokenLock());
        movu::TokenState() = {kToken, movu::Now() + 86400, *kIdentity.account};
    }
    std::string token;
    for (auto _ : state) {
        if (movu::AcquireToken(kIdentity, token) != 0 || token != kToken) {
            state.SkipWithError("token not answered from memory");
            break;
        }
        benchmark::DoNotOptimize(token.data());
    }
}

// The least the same answer can cost: a lock taken and released around a copy
// of the token into the caller's string.
void BareLockAndCopy(benchmark::State& state) {
    std::mutex lock;
    const std::string held = kToken;
    std::string token;
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> guard(lock);
            token = held;
        }
        benchmark::DoNotOptimize(token.data());
    }
}

// The clock read the expiry check needs, which the bare side does without.
void ClockRead(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(movu::Now());
}

// Forwards to the console and keeps each benchmark's time per iteration: the
// median when repetitions were asked for, else the single run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            const std::string& name = r.run_name.function_name;
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                seconds[name] = r.GetAdjustedRealTime();
                medians_.insert(name);
            } else if (r.run_type == Run::RT_Iteration && r.iterations > 0 && !medians_.count(name)) {
                seconds[name] = r.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

private:
    std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    curl_global_init(CURL_GLOBAL_DEFAULT);

    movu::bench::ServiceForRun run;
    auto& service = movu::test::TestService::Instance();
    if (!service.available()) {
        std::fprintf(stderr, "test service unavailable: %s\n", service.error().c_str());
        return 1;
    }
    // The library's TLS trusts the test CA the way the tests do.
    setenv("SSL_CERT_FILE", service.CaFile().c_str(), 1);

    movu::test::ScriptedResponse answer;
    answer.body = kAnswer;
    answer.headers = {{"Content-Type", "application/json"}};
    answer.repeat = true;
    movu::test::ScriptedResponse big;
    big.body_size = kBigSize;
    big.repeat = true;
    std::vector<std::unique_ptr<movu::test::Site>> sites;
    for (bool tls : {false, true}) {
        sites.push_back(std::make_unique<movu::test::Site>(service.OpenSite(tls)));
        sites.back()->Script(kPath, answer);
        g_cases[tls ? "https" : "http"] = {sites.back()->BaseUrl(), std::string(kPath) + kQuery,
                                           tls ? service.CaFile() : std::string(), std::string(kAnswer).size()};
    }
    sites.front()->Script(kBigPath, big);
    g_cases["50MiB"] = {sites.front()->BaseUrl(), kBigPath, {}, kBigSize};

    const std::vector<std::pair<std::string, std::string>> pairs{{"HttpExchange/http", "BareCurlGet/http"},
                                                                 {"HttpExchange/https", "BareCurlGet/https"},
                                                                 {"HttpExchange/50MiB", "BareCurlGet/50MiB"},
                                                                 {"AcquireToken/memory", "BareLockAndCopy"}};
    for (const char* name : {"http", "https", "50MiB"}) {
        benchmark::RegisterBenchmark((std::string("HttpExchange/") + name).c_str(), LibraryExchange, std::string(name))
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark((std::string("BareCurlGet/") + name).c_str(), BareCurlGet, std::string(name))
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    }
    benchmark::RegisterBenchmark("AcquireToken/memory", TokenFromMemory)->UseRealTime();
    benchmark::RegisterBenchmark("BareLockAndCopy", BareLockAndCopy)->UseRealTime();
    benchmark::RegisterBenchmark("ClockRead", ClockRead)->UseRealTime();

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const auto& [library, bare] : pairs) {
        const auto lib = reporter.seconds.find(library);
        const auto base = reporter.seconds.find(bare);
        if (lib != reporter.seconds.end() && base != reporter.seconds.end() && base->second > 0)
            std::printf("ratio %s / %s: %.3f\n", library.c_str(), bare.c_str(), lib->second / base->second);
    }
    sites.clear();
    benchmark::Shutdown();
    curl_global_cleanup();
    return 0;
}
