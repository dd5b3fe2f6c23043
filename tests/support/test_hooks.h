// Entry points the library has only in test builds (MOVU_TEST_HOOKS), for the
// unit suite that links the static core.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace movu {

// Sets the id the next job start will try first: reaches the wrap-around.
void SetNextJobIdForTesting(std::int32_t next);

// The settings as stored, each read under the process-wide lock: the base URL
// list without defaults, and the product secret.
std::vector<std::string> SnapshotBaseUrls();
std::string SnapshotProductSecret();

}  // namespace movu
