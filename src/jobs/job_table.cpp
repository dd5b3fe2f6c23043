#include "jobs/job_table.h"

#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "api/boundary.h"
#include "api/lifetime.h"
#include "api/process_lock.h"
#include "api/text.h"
#include "platform/platform.h"
#include "requests/signed_request.h"
#include "settings/client_settings.h"
#include "token/acquire_token.h"
#include "transport/query_params.h"

namespace movu {

namespace {

using JobMap = std::map<std::int32_t, std::unique_ptr<AsyncJob>>;

// Both guarded by ProcessLock().
JobMap& Jobs() {
    static LibraryLifetime<JobMap> jobs;
    return jobs.get();
}
std::int32_t nextJobId = 1;

// Ids run 1, 2, 3, ... and wrap to 1; an id still in the table is skipped,
// so 0 and negative ids are never handed out. The caller holds the lock.
std::int32_t AllocateJobId() {
    JobMap& jobs = Jobs();
    std::int32_t id = nextJobId;
    while (jobs.count(id) != 0) id = id == INT32_MAX ? 1 : id + 1;
    nextJobId = id == INT32_MAX ? 1 : id + 1;
    return id;
}

// What a worker owns: copies of everything; the job only by id.
struct WorkerArgs {
    std::int32_t id;
    std::u16string path;
    QueryParams query;
    std::u16string method;
    std::string body;
    std::u16string identity[5];
};

std::string NoResponse(std::int32_t rc, std::uint32_t http, const std::u16string& path) {
    return "{\"ok\":false,\"error\":\"NO_RESPONSE\",\"rc\":" + std::to_string(rc) +
           ",\"http\":" + std::to_string(http) + ",\"path\":\"" + JsonEscape(Utf16ToUtf8(path)) + "\"}";
}

// True while the job is in the table and not cancelled.
bool StillWanted(std::int32_t id) {
    std::lock_guard<std::mutex> lock(ProcessLock());
    auto it = Jobs().find(id);
    return it != Jobs().end() && it->second->cancelled.load() == 0;
}

void JobWorker(const WorkerArgs& a) {
#ifdef MOVU_TEST_HOOKS
    // Test builds only: a worker that runs out of memory.
    if (a.path == u"/movu-test/worker-out-of-memory") throw std::bad_alloc();
#endif
    InstallDefaultBaseUrls();
    const std::vector<std::u16string> urls = SnapshotBaseUrls();
    auto w = [](const std::u16string& s) { return reinterpret_cast<const movu_char16*>(s.c_str()); };
    const RequestIdentity identity{w(a.identity[0]), w(a.identity[1]), w(a.identity[2]), w(a.identity[3]),
                                   w(a.identity[4])};

    std::int32_t code = 0;
    std::uint32_t status = 0;
    std::string retained;
    for (const std::u16string& url : urls) {
        if (!StillWanted(a.id)) return;
        std::string body;
        status = 0;
        code = ExecuteSignedRequestAt(url, identity, a.path, a.query, a.method, a.body, body, status);
        // A later attempt without a body does not wipe an earlier answer.
        if (!body.empty()) retained = std::move(body);
        if (code == 0) break;
    }
    std::string text = retained.empty() ? NoResponse(code, status, a.path) : std::move(retained);

    std::lock_guard<std::mutex> lock(ProcessLock());
    auto it = Jobs().find(a.id);
    if (it == Jobs().end()) return;  // cancelled meanwhile: write nothing
    AsyncJob& job = *it->second;
    job.resultCode = code;
    job.httpStatus = static_cast<std::int32_t>(status);
    job.resultText = std::move(text);
    job.state.exchange(code == 0 ? kJobSucceeded : kJobFailed);
}

// A worker that fails (out of memory, most likely) still finishes its job,
// as an export's body would end in -99.
void RunWorker(const WorkerArgs& args) noexcept {
    try {
        JobWorker(args);
        return;
    } catch (...) {
    }
    std::lock_guard<std::mutex> lock(ProcessLock());
    auto it = Jobs().find(args.id);
    if (it == Jobs().end()) return;
    AsyncJob& job = *it->second;
    job.resultCode = kInternalError;
    job.httpStatus = 0;
    try {
        job.resultText = "{\"ok\":false,\"error\":\"INTERNAL_ERROR\",\"rc\":-99}";
    } catch (...) {
        job.resultText.clear();
    }
    job.state.exchange(kJobFailed);
}

}  // namespace

std::int32_t StartAsyncJob(const char* account, const char* platform, const char* broker, const char* server,
                           const char* clientVersion, const char* path, const char* query, const char* method,
                           const char* body, std::int32_t* outJobId) {
    if (outJobId == nullptr) return -1;
    *outJobId = 0;
    if (account == nullptr || path == nullptr || method == nullptr) return -2;

    const std::string path8(path), method8(method);
    const std::string query8 = NarrowArg(query), body8 = NarrowArg(body);
    if (path8.empty() || method8.empty()) return -3;

    WorkerArgs args;
    args.path = Utf8ToUtf16(path8);
    args.method = Utf8ToUtf16(method8);
    args.query = ParseQueryText(query8);
    args.body = body8;

    {
        std::lock_guard<std::mutex> lock(ProcessLock());
        args.id = AllocateJobId();
        auto job = std::make_unique<AsyncJob>();
        job->id = args.id;
        Jobs().emplace(args.id, std::move(job));
    }

    const std::int32_t id = args.id;
    bool started = false;
    try {
        // Whatever fails from here on takes the job out again.
        const char* given[5] = {account, platform, broker, server, clientVersion};
        for (int i = 0; i < 5; ++i) args.identity[i] = TrimSpace(Utf8ToUtf16(NarrowArg(given[i])));
        started = platform::StartDetachedThread([args = std::move(args)] { RunWorker(args); });
    } catch (...) {
        started = false;
    }
    if (!started) {
        std::lock_guard<std::mutex> lock(ProcessLock());
        Jobs().erase(id);
        return -4;
    }
    *outJobId = id;
    return 0;
}

std::int32_t PollJob(std::int32_t jobId, std::int32_t* outState, std::int32_t* outHttp, char* out,
                     std::int32_t capacity) {
    if (outState != nullptr) *outState = -1;
    if (outHttp != nullptr) *outHttp = 0;
    std::lock_guard<std::mutex> lock(ProcessLock());
    auto it = Jobs().find(jobId);
    if (it == Jobs().end()) return -2;
    const AsyncJob& job = *it->second;
    const std::int32_t state = job.state.load();
    if (outState != nullptr) *outState = state;
    if (outHttp != nullptr) *outHttp = job.httpStatus;
    if (state == kJobRunning) return 0;
    if (out != nullptr && capacity >= 1) {
        std::size_t n = job.resultText.size();
        if (n >= static_cast<std::size_t>(capacity)) n = static_cast<std::size_t>(capacity) - 1;
        std::memcpy(out, job.resultText.data(), n);
        out[n] = 0;
    }
    return job.resultCode;
}

void SetNextJobIdForTesting(std::int32_t next) {
    std::lock_guard<std::mutex> lock(ProcessLock());
    nextJobId = next;
}

std::int32_t CancelJob(std::int32_t jobId) {
    std::unique_ptr<AsyncJob> removed;
    {
        std::lock_guard<std::mutex> lock(ProcessLock());
        auto it = Jobs().find(jobId);
        if (it == Jobs().end()) return -2;
        it->second->cancelled.exchange(1);
        removed = std::move(it->second);
        Jobs().erase(it);
    }
    // The record, with a result text that may be large, is freed outside the lock.
    return 0;
}

}  // namespace movu
