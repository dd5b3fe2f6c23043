// Job id allocation at the end of the 32-bit range.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <thread>
#include <vector>

#include "jobs/job_table.h"
#include "settings/client_settings.h"

using namespace movu;

namespace {

class JobIdWrap : public ::testing::Test {
protected:
    void SetUp() override {
        // Workers fail at once: the only base URL cannot be cracked.
        SetBaseUrls("ftp://x");
        SetTerminalDataPath("");
    }

    void TearDown() override {
        // Let every worker finish before the next test touches the settings.
        for (std::int32_t id : started_) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            std::int32_t state = 0;
            while (PollJob(id, &state, nullptr, nullptr, 0) != -2 && state == 0 &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            CancelJob(id);
        }
        SetNextJobIdForTesting(1);
    }

    std::int32_t Start() {
        std::int32_t id = -7;
        EXPECT_EQ(StartAsyncJob("wrap", "", "", "", "", "/v1/client/ping.php", "", "GET", "", &id), 0);
        if (id != 0) started_.push_back(id);
        return id;
    }

    std::vector<std::int32_t> started_;
};

}  // namespace

TEST_F(JobIdWrap, WrapsToOneAndSkipsIdsStillInUse) {
    for (std::int32_t id : {1, 2, 3, 4, INT32_MAX - 1, INT32_MAX})
        ASSERT_EQ(PollJob(id, nullptr, nullptr, nullptr, 0), -2) << "id " << id << " left by another test";

    SetNextJobIdForTesting(1);
    EXPECT_EQ(Start(), 1);

    SetNextJobIdForTesting(INT32_MAX - 1);
    EXPECT_EQ(Start(), INT32_MAX - 1);
    EXPECT_EQ(Start(), INT32_MAX);
    // Past the largest value: back to the bottom, passing over 1, which is taken.
    EXPECT_EQ(Start(), 2);
    EXPECT_EQ(Start(), 3);

    // The largest value itself still in use, 1 released meanwhile.
    EXPECT_EQ(CancelJob(1), 0);
    SetNextJobIdForTesting(INT32_MAX);
    EXPECT_EQ(Start(), 1);
    // A run of taken ids is passed over as a whole.
    SetNextJobIdForTesting(2);
    EXPECT_EQ(Start(), 4);
}

TEST_F(JobIdWrap, FinishedJobsKeepTheirIdAcrossTheWrap) {
    ASSERT_EQ(PollJob(1, nullptr, nullptr, nullptr, 0), -2);
    SetNextJobIdForTesting(INT32_MAX);
    const std::int32_t last = Start();
    ASSERT_EQ(last, INT32_MAX);
    std::int32_t state = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (PollJob(last, &state, nullptr, nullptr, 0) == 0 && state == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(state, -1);

    // A finished job is still in the table, so the wrap never lands on it.
    SetNextJobIdForTesting(INT32_MAX);
    EXPECT_EQ(Start(), 1);
    char text[128] = {};
    EXPECT_EQ(PollJob(last, &state, nullptr, text, sizeof text), -10);
    EXPECT_STREQ(text, R"({"ok":false,"error":"TOKEN_FETCH_FAILED","rc":-10})");
}
