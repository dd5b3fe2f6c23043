// Several threads mixing every export (setters included) for a bounded time
// against a service that fails in every way it can, with jobs started, polled
// and cancelled at random. Every job must be accounted for, no buffer written
// past its end, and the process's memory is reported before and after.
//
// MOVU_SOAK_SECONDS sets the length (default 8).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <unistd.h>
#include <fstream>
#endif

#include "api_fixture.h"
#include "guarded_buffer.h"
#include "movu_mt5.h"

using namespace movu::test;

namespace {

long ResidentKiB() {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS pmc{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc))) return -1;
    return static_cast<long>(pmc.WorkingSetSize / 1024);
#else
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = -1;
    statm >> size >> resident;
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
#endif
}

int SoakSeconds() {
    const char* s = std::getenv("MOVU_SOAK_SECONDS");
    const int n = s ? std::atoi(s) : 0;
    return n > 0 ? n : 8;
}

const char* const kPaths[] = {"/v1/calendar/day.php", "/v1/calendar/meta.php", "/v1/calendar/changes.php",
                              "/v1/client/heartbeat.php", "/v1/client/vip_status.php", "/v1/client/ping.php",
                              "/v1/client/register.php"};

// A shuffled mix of answers and faults; none stalls past a second.
std::vector<ScriptedResponse> FaultyAnswers(std::mt19937& rng, bool tokens, size_t n) {
    std::vector<ScriptedResponse> out;
    for (size_t i = 0; i < n; ++i) {
        ScriptedResponse r;
        switch (rng() % 10) {
            case 0: r = Answer(500, "{\"error\":\"server\"}"); break;
            case 1: r = Answer(429, "{\"error\":\"slow down\"}"); break;
            case 2: r = Answer(401, "{\"error\":\"token\"}"); break;
            case 3: r.fault = "reset_mid_body"; break;
            case 4: r.fault = "close_no_response"; break;
            case 5: r.fault = "garbage"; r.body_size = 4096; break;
            case 6: r = Answer(503, ""); r.delay_ms = 200; break;
            default:
                r = tokens ? TokenAnswer("soak-" + std::to_string(i)) : Answer(200, "{\"ok\":true,\"n\":" + std::to_string(i) + "}");
                r.delay_ms = static_cast<int>(rng() % 30);
        }
        out.push_back(r);
    }
    return out;
}

using Start = std::function<int32_t(const std::string& account, int32_t* id)>;

const std::vector<Start>& Starts() {
    static const std::vector<Start> starts = {
        [](const std::string& a, int32_t* id) { return Movu_StartCalendarDayA(a.c_str(), "MT5", "B", "S", "1", "2024-01-02", id); },
        [](const std::string& a, int32_t* id) { return Movu_StartCalendarMetaA(a.c_str(), "MT5", "B", "S", "1", nullptr, id); },
        [](const std::string& a, int32_t* id) { return Movu_StartPingA(a.c_str(), "MT5", "B", "S", "1", id); },
        [](const std::string& a, int32_t* id) { return Movu_StartRegisterA(a.c_str(), "MT5", "B", "S", "1", id); },
        [](const std::string& a, int32_t* id) { return Movu_StartVipStatusA(a.c_str(), "MT5", "B", "S", "1", id); },
        [](const std::string& a, int32_t* id) {
            return Movu_GetAsyncSignedA(a.c_str(), "MT5", "B", "S", "1", "/v1/calendar/day.php", "date=2024-01-03&x=%41", "GET", "", id);
        },
        [](const std::string& a, int32_t* id) {
            const std::u16string w = Widen(a);
            return Movu_StartCalendarDayW(W(w), W(u"MT5"), nullptr, nullptr, nullptr, nullptr, id);
        },
        [](const std::string& a, int32_t* id) {
            const std::u16string w = Widen(a);
            return Movu_StartPingW(W(w), nullptr, nullptr, nullptr, nullptr, id);
        },
        [](const std::string& a, int32_t* id) {
            const std::u16string w = Widen(a);
            return Movu_GetAsyncSignedW(W(w), nullptr, nullptr, nullptr, nullptr, W(u"/v1/client/heartbeat.php"), W(u""),
                                        W(u"POST"), W(u"{\"soak\":1}"), id);
        },
    };
    return starts;
}

// One synchronous export into a guarded buffer of a random capacity.
bool SyncCall(std::mt19937& rng, const std::u16string& account) {
    const int capacity = static_cast<int>(rng() % 300) - 1;
    const movu_char16* a = W(account);
    if (rng() % 2) {
        GuardedBuffer<movu_char16> out(capacity);
        switch (rng() % 5) {
            case 0: Movu_CalendarDay(a, W(u"MT5"), nullptr, nullptr, nullptr, W(u"2024-01-02"), out.data(), capacity); break;
            case 1: Movu_CalendarMeta(a, nullptr, nullptr, nullptr, nullptr, nullptr, out.data(), capacity); break;
            case 2: Movu_CalendarChanges(a, nullptr, nullptr, nullptr, nullptr, nullptr, 5, out.data(), capacity); break;
            case 3: Movu_Heartbeat(a, nullptr, nullptr, nullptr, nullptr, W(u"{\"x\":1}"), out.data(), capacity); break;
            default: Movu_VipStatus(a, nullptr, nullptr, nullptr, nullptr, out.data(), capacity);
        }
        return out.GuardsIntact() && (capacity > 0 || out.Untouched());
    }
    GuardedBuffer<char> out(capacity);
    switch (rng() % 5) {
        case 0: Movu_CalendarDayA(a, nullptr, nullptr, nullptr, nullptr, nullptr, out.data(), capacity); break;
        case 1: Movu_CalendarMetaA(a, nullptr, nullptr, nullptr, nullptr, nullptr, out.data(), capacity); break;
        case 2: Movu_CalendarChangesA(a, nullptr, nullptr, nullptr, nullptr, nullptr, 0, out.data(), capacity); break;
        case 3: Movu_HeartbeatA(a, nullptr, nullptr, nullptr, nullptr, nullptr, out.data(), capacity); break;
        default: Movu_VipStatusA(a, nullptr, nullptr, nullptr, nullptr, out.data(), capacity);
    }
    return out.GuardsIntact() && (capacity > 0 || out.Untouched());
}

class Soak : public ApiTest {};

TEST_F(Soak, MixedExportsAgainstAFaultyServiceLoseNothing) {
    std::mt19937 seed(std::random_device{}());
    const unsigned base = seed();
    RecordProperty("seed", std::to_string(base));
    std::mt19937 rng(base);
    // A second site for failover, and a port that refuses.
    Site other = TestService::Instance().OpenSite();
    for (Site* s : {&site(), &other}) {
        s->Script(kTokenPath, FaultyAnswers(rng, true, 600));
        s->Script(kTokenPath, TokenAnswer("soak-last", true));
        for (const char* path : kPaths) s->Script(path, FaultyAnswers(rng, false, 300));
    }
    const std::string good = site().BaseUrl(), second = other.BaseUrl();
    const std::string refused = "http://127.0.0.1:" + std::to_string(TestService::Instance().ClosedPort());
    const std::vector<std::string> lists = {good, refused + ";" + good, second + "," + good, " " + second + " "};
    TempFolder otherData("soak-data");
    const std::u16string dataPaths[] = {dataPath_, otherData.path().u16string(), u""};
    const std::vector<std::u16string> accounts = {account_, account_ + u"-b", account_ + u"-c"};

    // Two halves, each ending with every job drained: memory after the
    // first half (warm) and after the second should be the same.
    std::vector<long> rss{ResidentKiB()};
    size_t calls = 0, jobs = 0;
    for (int phase = 0; phase < 2; ++phase) {
        std::mutex m;
        std::set<int32_t> running, everStarted;
        size_t finishedSeen = 0, cancelledRunning = 0, callsNow = 0, badBuffers = 0, badProtect = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(SoakSeconds() * 500);

        auto worker = [&](unsigned threadSeed) {
            std::mt19937 r(threadSeed);
            while (std::chrono::steady_clock::now() < deadline) {
                const std::u16string& account = accounts[r() % accounts.size()];
                const unsigned op = r() % 100;
                if (op < 30) {
                    if (!SyncCall(r, account)) { std::lock_guard<std::mutex> g(m); ++badBuffers; }
                } else if (op < 55) {
                    {
                        std::lock_guard<std::mutex> g(m);
                        if (running.size() >= 48) continue;
                    }
                    int32_t id = 0;
                    const std::string a8(account.begin(), account.end());
                    if (Starts()[r() % Starts().size()](a8, &id) == 0 && id > 0) {
                        std::lock_guard<std::mutex> g(m);
                        EXPECT_TRUE(everStarted.insert(id).second) << "id " << id << " handed out twice";
                        running.insert(id);
                    }
                } else if (op < 80) {
                    int32_t id = 0;
                    {
                        std::lock_guard<std::mutex> g(m);
                        if (running.empty()) continue;
                        id = *std::next(running.begin(), static_cast<long>(r() % running.size()));
                    }
                    int32_t state = 7, http = 7;
                    const int capacity = static_cast<int>(r() % 64);
                    GuardedBuffer<char> out(capacity);
                    const int32_t rc = Movu_PollA(id, &state, &http, out.data(), capacity);
                    if (!out.GuardsIntact()) { std::lock_guard<std::mutex> g(m); ++badBuffers; }
                    if (state != 0) {
                        EXPECT_EQ(rc == 0, state == 1) << "poll of job " << id;
                        // Finished: release it, unless another thread just did.
                        if (Movu_Cancel(id) == 0) {
                            std::lock_guard<std::mutex> g(m);
                            running.erase(id);
                            ++finishedSeen;
                        }
                    } else {
                        EXPECT_EQ(rc, 0);
                    }
                } else if (op < 88) {
                    int32_t id = 0;
                    {
                        std::lock_guard<std::mutex> g(m);
                        if (running.empty()) continue;
                        id = *running.begin();
                    }
                    if (Movu_Cancel(id) == 0) {
                        std::lock_guard<std::mutex> g(m);
                        running.erase(id);
                        ++cancelledRunning;
                    }
                } else if (op < 95) {
                    switch (r() % 3) {
                        case 0: Movu_SetBaseUrlsA(lists[r() % lists.size()].c_str()); break;
                        case 1: Movu_SetProductSecret(W(r() % 2 ? u"secret-a" : u"")); break;
                        default: Movu_SetTerminalDataPath(W(dataPaths[r() % 3]));
                    }
                } else {
                    const std::u16string text = u"soak text " + Widen(std::to_string(r()));
                    std::vector<char> sealed(4096), opened(256);
                    const bool ok =
                        Movu_ProtectTextW(W(text), sealed.data(), static_cast<int32_t>(sealed.size())) == 0 &&
                        Movu_UnprotectTextW(W(Widen(sealed.data())), opened.data(), static_cast<int32_t>(opened.size())) == 0 &&
                        std::string(opened.data()) == std::string(text.begin(), text.end());
                    if (!ok) { std::lock_guard<std::mutex> g(m); ++badProtect; }
                }
                std::lock_guard<std::mutex> g(m);
                ++callsNow;
            }
        };
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) threads.emplace_back(worker, base + phase * 4 + i);
        for (std::thread& t : threads) t.join();

        // Every job still held finishes and is released; then none is left.
        const size_t leftRunning = running.size();
        for (int32_t id : running) {
            const Outcome o = WaitFinished(id, std::chrono::seconds(120));
            EXPECT_NE(o.state, 0) << "job " << id;
            EXPECT_EQ(Movu_Cancel(id), 0) << "job " << id;
        }
        for (int32_t id : everStarted) EXPECT_EQ(Movu_PollA(id, nullptr, nullptr, nullptr, 0), -2) << "job " << id;
        EXPECT_EQ(everStarted.size(), finishedSeen + cancelledRunning + leftRunning);
        EXPECT_EQ(badBuffers, 0u);
        EXPECT_EQ(badProtect, 0u);
        EXPECT_GT(everStarted.size(), 0u);

        calls += callsNow;
        jobs += everStarted.size();
        rss.push_back(ResidentKiB());
    }
    std::printf("soak: %zu calls, %zu jobs, resident KiB at start %ld, after the first half %ld, at the end %ld\n",
                calls, jobs, rss[0], rss[1], rss[2]);
    RecordProperty("calls", std::to_string(calls));
    RecordProperty("jobs", std::to_string(jobs));
    RecordProperty("rss_kib", std::to_string(rss[0]) + " " + std::to_string(rss[1]) + " " + std::to_string(rss[2]));
    Movu_SetProductSecret(W(u""));
}

}  // namespace
