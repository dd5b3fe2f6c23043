// The process-wide lock: guards the settings and the job table. Created once,
// on first use, whatever thread gets there first.
#pragma once

#include <mutex>

namespace movu {

std::mutex& ProcessLock();

}  // namespace movu
