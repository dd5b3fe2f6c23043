// Background requests under numeric ids: the table, the worker, and the
// operations the start, poll and cancel exports share.
#pragma once

#include <cstdint>

#include "transport/request.h"

namespace movu {

enum JobState : std::int32_t { kJobRunning = 0, kJobSucceeded = 1, kJobFailed = -1 };

// Enters the job and starts its worker, which owns its own copy of the
// request. 0 with the id, or kThreadNotStarted. A job names every identity
// header: an absent value goes as an empty one.
std::int32_t StartJob(Request request, std::int32_t& jobId);

// The 8-bit general start (Movu_GetAsyncSignedA): UTF-8 texts; identity
// trimmed, path and method as given, query and body bytes as given.
std::int32_t StartAsyncJob(const char* account, const char* platform, const char* broker, const char* server,
                           const char* clientVersion, const char* path, const char* query, const char* method,
                           const char* body, std::int32_t* outJobId);

std::int32_t PollJob(std::int32_t jobId, std::int32_t* outState, std::int32_t* outHttp, char* out,
                     std::int32_t capacity);
std::int32_t CancelJob(std::int32_t jobId);

}  // namespace movu
