// Background requests under numeric ids: the table, the worker, and the
// operations the start, poll and cancel exports share.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace movu {

enum JobState : std::int32_t { kJobRunning = 0, kJobSucceeded = 1, kJobFailed = -1 };

struct AsyncJob {
    std::int32_t id = 0;
    std::atomic<std::int32_t> state{kJobRunning};
    std::atomic<std::int32_t> cancelled{0};
    std::int32_t resultCode = 0;
    std::int32_t httpStatus = 0;
    std::string resultText;
};

// 8-bit texts, UTF-8; the common end of every start export.
std::int32_t StartAsyncJob(const char* account, const char* platform, const char* broker, const char* server,
                           const char* clientVersion, const char* path, const char* query, const char* method,
                           const char* body, std::int32_t* outJobId);

std::int32_t PollJob(std::int32_t jobId, std::int32_t* outState, std::int32_t* outHttp, char* out,
                     std::int32_t capacity);
std::int32_t CancelJob(std::int32_t jobId);

// Sets the id the next start will try first; lets tests reach the wrap-around.
void SetNextJobIdForTesting(std::int32_t next);

}  // namespace movu
