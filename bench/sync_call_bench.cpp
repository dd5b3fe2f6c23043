// A synchronous Movu_CalendarDay through the shared library, with a warm
// token, against a bare libcurl exchange of the same request (fresh easy
// handle, same header lines), alternated call by call in one run against one
// local site, over HTTP and then over HTTPS. Also reports what the warm phase
// cost beyond the exchange: requests to the token endpoint (from the service's
// record) and opens of the account's token cache file (watched with inotify,
// so nothing inside the library is needed to count them).
//
//   movu_sync_call_bench [calls]        default 300 of each, per scheme
//
// Ends with the HTTPS call's cost over the HTTP call's, both from this run.
//
// Uses the test service named by MOVU_TESTSERVICE_DIR, or starts one of its own.
#include <curl/curl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "movu_mt5.h"
#include "temp_folder.h"
#include "testservice_client.h"
#include "bench_service.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kPath = "/v1/calendar/day.php";
const char* const kTarget = "/v1/calendar/day.php?date=2024-01-02";
const char* const kTokenPath = "/v1/client/token.php";
const char* const kToken = "bench-token";
const char* const kAnswer = "{\"date\":\"2024-01-02\",\"events\":[{\"id\":1,\"title\":\"CPI\",\"impact\":3}]}";

const std::u16string kPlatform = u"MT5";
const std::u16string kBroker = u"Bench Broker";
const std::u16string kServer = u"Bench-Live";
const std::u16string kVersion = u"1.0";
const std::u16string kDate = u"2024-01-02";

// The lines the library sends for this identity, plus the withdrawal of
// libcurl's own Accept and Expect, which the library does as well.
std::vector<std::string> BareHeaders(const std::string& account) {
    return {"Content-Type: application/json",
            "Authorization: Bearer bench-token",
            "X-Client-Token: bench-token",
            "X-Account: " + account,
            "X-Platform: MT5",
            "X-Broker: Bench Broker",
            "X-Server: Bench-Live",
            "X-Client-Version: 1.0",
            "Accept:",
            "Expect:"};
}

const movu_char16* W(const std::u16string& s) { return s.c_str(); }

std::u16string Widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// Counts opens and reads of one file in one folder.
class FileWatch {
public:
    FileWatch(const fs::path& folder, std::string name) : name_(std::move(name)) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0) wd_ = inotify_add_watch(fd_, folder.c_str(), IN_OPEN | IN_ACCESS);
    }
    ~FileWatch() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0 && wd_ >= 0; }

    // Events for the file since the last call: opens and reads together.
    int Drain() {
        int count = 0;
        alignas(inotify_event) char buffer[16384];
        for (;;) {
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0) break;
            for (char* p = buffer; p < buffer + n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(p);
                if (e->len > 0 && name_ == e->name) ++count;
                p += sizeof(inotify_event) + e->len;
            }
        }
        return count;
    }

private:
    std::string name_;
    int fd_ = -1;
    int wd_ = -1;
};

bool LibraryCall(const std::u16string& account, std::string& error) {
    std::vector<char> out(4096);
    const std::int32_t rc = Movu_CalendarDayA(W(account), W(kPlatform), W(kBroker), W(kServer), W(kVersion), W(kDate),
                                              out.data(), static_cast<std::int32_t>(out.size()));
    if (rc == 0 && std::string(out.data()) == kAnswer) return true;
    error = "library call: rc " + std::to_string(rc) + ", text " + out.data();
    return false;
}

bool BareExchange(const std::string& url, const std::vector<std::string>& headers, const std::string& caFile,
                  std::string& error) {
    std::string body;
    error = movu::bench::BareGet(url, headers, caFile, body);
    if (error.empty() && body != kAnswer) error = "bare exchange: unexpected body " + body;
    return error.empty();
}

double Mean(const std::vector<double>& v) {
    return v.empty() ? 0.0 : std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

double libraryMeanUs[2] = {0, 0};  // [tls]: the sync call's mean of the last run

// One scheme's run, with an account of its own so that its cold call fetches
// the token and writes the cache file whatever ran before.
int Run(movu::test::TestService& service, int calls, bool tls, const std::string& accountText) {
    const std::string scheme = tls ? "https" : "http";
    const std::u16string account = Widen(accountText);
    const std::string caFile = tls ? service.CaFile() : std::string();
    movu::test::Site site = service.OpenSite(tls);
    movu::test::ScriptedResponse answer;
    answer.body = kAnswer;
    answer.headers = {{"Content-Type", "application/json"}};
    answer.repeat = true;
    site.Script(kPath, answer);
    movu::test::ScriptedResponse token;
    token.body = std::string("{\"ok\":true,\"token\":\"") + kToken + "\",\"expires_at\":\"2099-01-01T00:00:00Z\"}";
    token.repeat = true;
    site.Script(kTokenPath, token);

    // A data path of the run's own, so the token goes to a cache file; the
    // protection key stays in the same folder.
    movu::test::TempFolder temp("movu-sync-bench");
    setenv("XDG_DATA_HOME", (temp.path() / "home").c_str(), 1);
    const fs::path data = temp.path() / "terminal";
    Movu_SetTerminalDataPath(W(Widen(data.string())));
    const std::string base = site.BaseUrl();
    Movu_SetBaseUrl(W(Widen(base)));

    // Cold call: fetches the token and writes the cache file.
    std::string error;
    if (!LibraryCall(account, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const fs::path cacheFolder = data / "MQL4" / "Files" / "qz_movu";
    std::vector<fs::path> cacheFiles;
    for (const auto& entry : fs::directory_iterator(cacheFolder)) cacheFiles.push_back(entry.path());
    if (cacheFiles.size() != 1) {
        std::fprintf(stderr, "expected one token cache file in %s\n", cacheFolder.c_str());
        return 1;
    }
    FileWatch watch(cacheFolder, cacheFiles[0].filename().string());
    if (!watch.ok()) {
        std::fprintf(stderr, "inotify unavailable; cannot count cache file reads\n");
        return 1;
    }

    const std::string url = base + kTarget;
    const std::vector<std::string> headers = BareHeaders(accountText);
    const int warmup = calls / 10 + 1;
    for (int i = 0; i < warmup; ++i) {
        if (!LibraryCall(account, error) || !BareExchange(url, headers, caFile, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    site.ClearRequests();
    watch.Drain();

    // Alternated, and the order swapped every round, so that neither side
    // always runs on a just-warmed or just-disturbed machine.
    std::vector<double> library, bare;  // microseconds per call
    library.reserve(calls);
    bare.reserve(calls);
    for (int i = 0; i < calls; ++i) {
        for (int half = 0; half < 2; ++half) {
            const bool libraryTurn = (half == 0) == (i % 2 == 0);
            const Clock::time_point start = Clock::now();
            const bool ok = libraryTurn ? LibraryCall(account, error) : BareExchange(url, headers, caFile, error);
            const double took = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
            if (!ok) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
            (libraryTurn ? library : bare).push_back(took);
        }
    }
    const int cacheEvents = watch.Drain();
    const std::size_t tokenRequests = site.Requests(kTokenPath).size();
    const std::size_t dayRequests = site.Requests(kPath).size();

    // Control: with the memory slot taken by another account, coming back
    // reads the cache file, and the watch sees it.
    const std::u16string other = Widen(accountText + "1");
    std::vector<char> out(4096);
    Movu_CalendarDayA(W(other), nullptr, nullptr, nullptr, nullptr, nullptr, out.data(), 4096);
    watch.Drain();
    if (!LibraryCall(account, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const int controlEvents = watch.Drain();

    const double libraryUs = Mean(library);
    const double bareUs = Mean(bare);
    const double ratio = bareUs > 0 ? libraryUs / bareUs : 0.0;
    libraryMeanUs[tls ? 1 : 0] = libraryUs;
    const char* s = scheme.c_str();
    std::printf("%s: calls of each kind            = %d (after %d warm-up rounds), %zu requests to %s\n", s, calls,
                warmup, dayRequests, kPath);
    std::printf("%s: sync call (Movu_CalendarDayA) = %.1f us per call (median %.1f)\n", s, libraryUs, Median(library));
    std::printf("%s: bare exchange (libcurl)       = %.1f us per call (median %.1f)\n", s, bareUs, Median(bare));
    std::printf("%s: sync call / bare exchange = %.2f\n", s, ratio);
    std::printf("%s: token requests during warm phase = %zu\n", s, tokenRequests);
    std::printf("%s: cache file reads during warm phase = %d\n", s, cacheEvents);
    std::printf("%s: (control: cache file opens+reads when memory holds another account = %d)\n", s, controlEvents);
    const std::string key = "sync." + scheme + ".";
    movu::bench::Figure(key + "calls", calls);
    movu::bench::Figure(key + "library_us", libraryUs);
    movu::bench::Figure(key + "library_median_us", Median(library));
    movu::bench::Figure(key + "bare_us", bareUs);
    movu::bench::Figure(key + "bare_median_us", Median(bare));
    movu::bench::Figure(key + "ratio", ratio);
    movu::bench::Figure(key + "token_requests", static_cast<double>(tokenRequests));
    movu::bench::Figure(key + "cache_reads", cacheEvents);
    movu::bench::Figure(key + "control_cache_reads", controlEvents);
    std::fflush(stdout);
    Movu_SetTerminalDataPath(W(u""));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 300;
    if (calls < 1) {
        std::fprintf(stderr, "usage: %s [calls]\n", argv[0]);
        return 2;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int rc = 1;
    {
        movu::bench::ServiceForRun run;
        try {
            auto& service = movu::test::TestService::Instance();
            if (!service.available()) throw std::runtime_error("test service unavailable: " + service.error());
            // The library's TLS trusts the test CA the way the tests do.
            setenv("SSL_CERT_FILE", service.CaFile().c_str(), 1);
            rc = Run(service, calls, false, "100200");
            if (rc == 0) rc = Run(service, calls, true, "100300");
            if (rc == 0 && libraryMeanUs[0] > 0) {
                const double r = libraryMeanUs[1] / libraryMeanUs[0];
                std::printf("sync call over https / over http = %.2f\n", r);
                movu::bench::Figure("sync.https_over_http", r);
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
        }
    }
    curl_global_cleanup();
    return rc;
}
