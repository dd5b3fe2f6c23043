#include "jobs/job_table.h"

#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "api/boundary.h"
#include "api/envelope.h"
#include "api/lifetime.h"
#include "api/process_lock.h"
#include "api/text.h"
#include "platform/platform.h"
#include "requests/signed_request.h"
#include "settings/client_settings.h"

namespace movu {

namespace {

// A job's record; every member is read and written under ProcessLock().
struct AsyncJob {
    std::int32_t state = kJobRunning;
    std::int32_t resultCode = 0;
    std::int32_t httpStatus = 0;
    std::string resultText;
};

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

// What a worker owns: its own copy of the request; the job only by id.
struct WorkerArgs {
    std::int32_t id = 0;
    Request request;
};

std::string NoResponse(std::int32_t rc, std::uint32_t http, const std::string& path) {
    return FailureEnvelope("NO_RESPONSE").Number("rc", rc).Number("http", http).Text("path", path).Close();
}

// True while the job is in the table: a cancel takes it out.
bool StillWanted(std::int32_t id) {
    std::lock_guard<std::mutex> lock(ProcessLock());
    return Jobs().count(id) != 0;
}

void JobWorker(const WorkerArgs& args) {
#ifdef MOVU_TEST_HOOKS
    // Test builds only: a worker that runs out of memory.
    if (args.request.path == "/movu-test/worker-out-of-memory") throw std::bad_alloc();
#endif
    std::int32_t code = 0;
    std::uint32_t status = 0;
    std::string retained;
    bool cancelled = false;
    WalkBaseUrls(BaseUrlOrder::AsSet, [&](const BaseUrl& url) {
        cancelled = !StillWanted(args.id);
        if (cancelled) return true;
        std::string body;
        status = 0;
        code = ExecuteSignedRequestAt(url, args.request, body, status);
        // A later attempt without a body does not wipe an earlier answer.
        if (!body.empty()) retained = std::move(body);
        return code == kOk;
    });
    if (cancelled) return;
    std::string text = retained.empty() ? NoResponse(code, status, args.request.path) : std::move(retained);

    std::lock_guard<std::mutex> lock(ProcessLock());
    auto it = Jobs().find(args.id);
    if (it == Jobs().end()) return;  // cancelled meanwhile: write nothing
    AsyncJob& job = *it->second;
    job.resultCode = code;
    job.httpStatus = static_cast<std::int32_t>(status);
    job.resultText = std::move(text);
    job.state = code == kOk ? kJobSucceeded : kJobFailed;
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
        job.resultText = FailureEnvelope("INTERNAL_ERROR").Number("rc", kInternalError).Close();
    } catch (...) {
        job.resultText.clear();
    }
    job.state = kJobFailed;
}

}  // namespace

std::int32_t StartJob(Request request, std::int32_t& jobId) {
    WorkerArgs args;
    {
        std::lock_guard<std::mutex> lock(ProcessLock());
        args.id = AllocateJobId();
        Jobs().emplace(args.id, std::make_unique<AsyncJob>());
    }

    const std::int32_t id = args.id;
    bool started = false;
    try {
        // Whatever fails from here on takes the job out again.
        Identity& identity = request.identity;
        for (std::optional<std::string>* value :
             {&identity.account, &identity.platform, &identity.broker, &identity.server, &identity.clientVersion})
            if (!*value) value->emplace();
        args.request = std::move(request);
        started = platform::StartDetachedThread([args = std::move(args)] { RunWorker(args); });
    } catch (...) {
        started = false;
    }
    if (!started) {
        std::lock_guard<std::mutex> lock(ProcessLock());
        Jobs().erase(id);
        return kThreadNotStarted;
    }
    jobId = id;
    return kOk;
}

std::int32_t PollJob(std::int32_t jobId, std::int32_t* outState, std::int32_t* outHttp, char* out,
                     std::int32_t capacity) {
    if (outState != nullptr) *outState = -1;
    if (outHttp != nullptr) *outHttp = 0;
    std::lock_guard<std::mutex> lock(ProcessLock());
    auto it = Jobs().find(jobId);
    if (it == Jobs().end()) return kNoJob;
    const AsyncJob& job = *it->second;
    if (outState != nullptr) *outState = job.state;
    if (outHttp != nullptr) *outHttp = job.httpStatus;
    if (job.state == kJobRunning) return kOk;
    ResultCopyA(job.resultText, out, capacity);
    return job.resultCode;
}

#ifdef MOVU_TEST_HOOKS
void SetNextJobIdForTesting(std::int32_t next) {
    std::lock_guard<std::mutex> lock(ProcessLock());
    nextJobId = next;
}
#endif

std::int32_t CancelJob(std::int32_t jobId) {
    std::unique_ptr<AsyncJob> removed;
    {
        std::lock_guard<std::mutex> lock(ProcessLock());
        auto it = Jobs().find(jobId);
        if (it == Jobs().end()) return kNoJob;
        removed = std::move(it->second);
        Jobs().erase(it);
    }
    // The record, with a result text that may be large, is freed outside the lock.
    return kOk;
}

}  // namespace movu
