// The library loaded by hand into a process of its own, as the terminal does,
// and unloaded while its workers are still inside their requests.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "library_loader.h"
#include "movu_mt5.h"
#include "testservice_client.h"

using namespace movu::test;

namespace {

using SetTextFn = void(MOVU_CALL*)(const char*);
using StartPingFn = int32_t(MOVU_CALL*)(const char*, const char*, const char*, const char*, const char*, int32_t*);
using PollFn = int32_t(MOVU_CALL*)(int32_t, int32_t*, int32_t*, char*, int32_t);
using CancelFn = int32_t(MOVU_CALL*)(int32_t);

constexpr int kJobs = 100;
constexpr const char* kPing = "/v1/client/ping.php";

// Whether the library is still mapped into this process.
#ifdef _WIN32
// Each worker gives its reference back as it ends; the last one unmaps.
constexpr bool kWorkersUnmap = true;
bool Mapped() { return GetModuleHandleA("movu_mt5.dll") != nullptr; }
#else
constexpr bool kWorkersUnmap = false;  // never unmapped at all
bool Mapped() {
    void* h = dlopen(Library::DefaultPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h != nullptr) dlclose(h);
    return h != nullptr;
}
#endif

struct Exports {
    SetTextFn setBaseUrl;
    StartPingFn startPing;
    PollFn poll;
    CancelFn cancel;
    bool complete() const { return setBaseUrl && startPing && poll && cancel; }
};

Exports Find(const Library& lib) {
    return {lib.Symbol<SetTextFn>("Movu_SetBaseUrlA"), lib.Symbol<StartPingFn>("Movu_StartPingA"),
            lib.Symbol<PollFn>("Movu_PollA"), lib.Symbol<CancelFn>("Movu_Cancel")};
}

bool WaitUntil(const std::function<bool()>& done, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return done();
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
// A finished thread's stack, with the dynamic thread-local block of the loaded
// library, is reused by a later thread; the loader frees the old block then, in
// a way ThreadSanitizer cannot see ordered after the first thread's end.
extern "C" const char* __tsan_default_suppressions() { return "race:_dl_deallocate_tls\n"; }
#endif

TEST(Unload, WithJobsInFlightLeavesTheHostRunning) {
    TestService& service = TestService::Instance();
    ASSERT_TRUE(service.available()) << service.error();
    Site site = service.OpenSite();
    site.Script("/v1/client/token.php", TokenAnswer("T1", true));
    site.Script(kPing, Fault("stall", true));

    ASSERT_FALSE(Mapped());
    {
        Library lib(Library::DefaultPath());
        ASSERT_TRUE(lib.loaded()) << lib.error();
        const Exports x = Find(lib);
        ASSERT_TRUE(x.complete());
        x.setBaseUrl(site.BaseUrl().c_str());
        // A fresh load numbers its jobs from 1.
        for (int32_t expected = 1; expected <= kJobs; ++expected) {
            int32_t id = 0;
            ASSERT_EQ(x.startPing("unload-account", "MT5", "", "", "1.0", &id), 0);
            ASSERT_EQ(id, expected);
        }
        // Every worker is now inside its exchange.
        ASSERT_TRUE(WaitUntil([&] { return site.Requests(kPing).size() >= kJobs; }, 60))
            << site.Requests(kPing).size() << " requests arrived";
        int32_t state = 7;
        EXPECT_EQ(x.poll(kJobs, &state, nullptr, nullptr, 0), 0);
        EXPECT_EQ(state, 0);
        lib.Unload();
    }
    // The running workers keep the code they run in place.
    EXPECT_TRUE(Mapped());

    // The stalled exchanges end now; the workers finish after the unload.
    site.Close();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_TRUE(WaitUntil([] { return Mapped() != kWorkersUnmap; }, 120));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    // The host goes on using the library.
    Library again(Library::DefaultPath());
    ASSERT_TRUE(again.loaded()) << again.error();
    const Exports x = Find(again);
    ASSERT_TRUE(x.complete());
    x.setBaseUrl(("http://127.0.0.1:" + std::to_string(service.ClosedPort())).c_str());
    int32_t id = 0;
    ASSERT_EQ(x.startPing("unload-account", "", "", "", "", &id), 0);
    EXPECT_EQ(id, kWorkersUnmap ? 1 : kJobs + 1) << "a new load starts with new state; a kept one goes on";
    int32_t state = 0;
    EXPECT_TRUE(WaitUntil([&] { return x.poll(id, &state, nullptr, nullptr, 0) != 0 || state != 0; }, 60));
    EXPECT_EQ(state, -1);
    EXPECT_EQ(x.cancel(id), 0);
}
