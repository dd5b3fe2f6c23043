// One exchange through the library against a bare libcurl GET of the same
// request (fresh easy handle each time), in one run against one local site.
// Prints library / bare as a last line per scheme. Uses the test service
// named by MOVU_TESTSERVICE_DIR, or starts one of its own for the run.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "api/text.h"
#include "testservice_client.h"
#include "transport/http_exchange.h"
#include "bench_service.h"

namespace {

const char* const kTarget = "/v1/calendar/day.php?date=2024-01-02";
const char* const kPath = "/v1/calendar/day.php";
const char* const kAnswer = "{\"date\":\"2024-01-02\",\"events\":[{\"id\":1,\"title\":\"CPI\"}]}";
const std::vector<std::string> kHeaderLines{
    "Content-Type: application/json", "Authorization: Bearer bench-token", "X-Account: 1001",
    "X-Platform: MT5",                "X-Broker: Bench Broker",             "X-Server: Bench-Live",
    "X-Client-Version: 1.0"};

struct Target {
    std::string baseUrl;
    std::string caFile;  // for the bare client over TLS
};
std::map<std::string, Target> g_targets;  // "http", "https"

void LibraryExchange(benchmark::State& state, const std::string& scheme) {
    const Target& t = g_targets.at(scheme);
    const std::u16string base = movu::Utf8ToUtf16(t.baseUrl);
    const std::u16string target = movu::Utf8ToUtf16(kTarget);
    std::vector<std::u16string> lines;
    for (const auto& l : kHeaderLines) lines.push_back(movu::Utf8ToUtf16(l));
    std::string body;
    std::uint32_t status = 0;
    for (auto _ : state) {
        const std::int32_t code = movu::HttpExchange(base, target, u"GET", lines, {}, body, status);
        if (code != 0 || status != 200) {
            state.SkipWithError(("exchange failed: " + std::to_string(code) + " " + body).c_str());
            break;
        }
        benchmark::DoNotOptimize(body.data());
    }
}

size_t Collect(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

void BareCurlGet(benchmark::State& state, const std::string& scheme) {
    const Target& t = g_targets.at(scheme);
    const std::string url = t.baseUrl + kTarget;
    std::string body;
    for (auto _ : state) {
        body.clear();
        CURL* c = curl_easy_init();
        curl_slist* headers = nullptr;
        for (const auto& l : kHeaderLines) headers = curl_slist_append(headers, l.c_str());
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_USERAGENT, "movu-client/1.0");
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
        if (!t.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, t.caFile.c_str());
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Collect);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
        const CURLcode rc = curl_easy_perform(c);
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_cleanup(c);
        curl_slist_free_all(headers);
        if (rc != CURLE_OK || status != 200) {
            state.SkipWithError(("bare GET failed: " + std::string(curl_easy_strerror(rc))).c_str());
            break;
        }
        benchmark::DoNotOptimize(body.data());
    }
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
    std::vector<std::unique_ptr<movu::test::Site>> sites;
    for (bool tls : {false, true}) {
        sites.push_back(std::make_unique<movu::test::Site>(service.OpenSite(tls)));
        sites.back()->Script(kPath, answer);
        g_targets[tls ? "https" : "http"] = {
            (tls ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(sites.back()->port()),
            tls ? service.CaFile() : std::string()};
    }

    for (const char* scheme : {"http", "https"}) {
        benchmark::RegisterBenchmark((std::string("HttpExchange/") + scheme).c_str(), LibraryExchange,
                                     std::string(scheme))
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark((std::string("BareCurlGet/") + scheme).c_str(), BareCurlGet, std::string(scheme))
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    }

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* scheme : {"http", "https"}) {
        const auto lib = reporter.seconds.find(std::string("HttpExchange/") + scheme);
        const auto bare = reporter.seconds.find(std::string("BareCurlGet/") + scheme);
        if (lib != reporter.seconds.end() && bare != reporter.seconds.end() && bare->second > 0)
            std::printf("ratio library/bare (%s): %.3f\n", scheme, lib->second / bare->second);
    }
    sites.clear();
    benchmark::Shutdown();
    curl_global_cleanup();
    return 0;
}
