// Job id allocation at the end of the 32-bit range.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "jobs/job_table.h"
#include "settings/client_settings.h"
#include "test_hooks.h"

using namespace movu;

namespace {

// The job's state once its worker is done (or after 30 s).
std::int32_t WaitDone(std::int32_t id) {
    std::int32_t state = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (PollJob(id, &state, nullptr, nullptr, 0) == 0 && state == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return state;
}

class JobIdWrap : public ::testing::Test {
protected:
    // Workers fail at once: the only base URL cannot be cracked.
    void SetUp() override {
        SetBaseUrls("ftp://x");
        SetTerminalDataPath("");
    }
    // Every worker finishes before the next test touches the settings.
    void TearDown() override {
        for (std::int32_t id : started_) {
            WaitDone(id);
            CancelJob(id);
        }
        SetNextJobIdForTesting(1);
    }
    std::int32_t Start(std::int32_t next = 0) {
        if (next != 0) SetNextJobIdForTesting(next);
        std::int32_t id = -7;
        EXPECT_EQ(StartAsyncJob("wrap", "", "", "", "", "/v1/client/ping.php", "", "GET", "", &id), 0);
        started_.push_back(id);
        return id;
    }
    std::vector<std::int32_t> started_;
};

}  // namespace

TEST_F(JobIdWrap, WrapsToOneAndSkipsIdsStillInUse) {
    for (std::int32_t id : {1, 2, 3, 4, INT32_MAX - 1, INT32_MAX})
        ASSERT_EQ(PollJob(id, nullptr, nullptr, nullptr, 0), -2) << "id " << id << " left by another test";
    EXPECT_EQ(Start(1), 1);
    EXPECT_EQ(Start(INT32_MAX - 1), INT32_MAX - 1);
    EXPECT_EQ(Start(), INT32_MAX);
    // Past the largest value: back to the bottom, passing over 1, which is taken.
    EXPECT_EQ(Start(), 2);
    // The largest value itself still in use, 1 released meanwhile.
    EXPECT_EQ(CancelJob(1), 0);
    EXPECT_EQ(Start(INT32_MAX), 1);
    // A run of taken ids is passed over as a whole; a finished job still holds its id.
    ASSERT_EQ(WaitDone(2), -1);
    EXPECT_EQ(Start(2), 3);
    ASSERT_EQ(WaitDone(INT32_MAX), -1);
    char text[128] = {};
    std::int32_t state = 0;
    EXPECT_EQ(PollJob(INT32_MAX, &state, nullptr, text, sizeof text), -10);
    EXPECT_STREQ(text, R"({"ok":false,"error":"TOKEN_FETCH_FAILED","rc":-10})");
}
