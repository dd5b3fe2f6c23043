// What a result code means. Codes -1 to -4 mean different things per family
// of exports, so the meaning is asked for together with the family.
#pragma once

#include <cstdint>
#include <string>

namespace movu::cli {

enum class Family {
    Request,      // Movu_Calendar*, Movu_Heartbeat*, Movu_VipStatus*, and a job's outcome
    StartNarrow,  // Movu_GetAsyncSignedA, Movu_Start*A
    StartWide,    // Movu_GetAsyncSignedW, Movu_Start*W
    Poll,         // Movu_PollA: -2 for an unknown id, else the job's outcome
    Cancel,       // Movu_Cancel
    Protect,      // Movu_ProtectTextW
    Unprotect,    // Movu_UnprotectTextW
    OpenUrl,      // Movu_OpenUrl
};

// A short phrase, e.g. "ok" or "unauthorized: ...".
std::string Meaning(Family family, std::int32_t code);

// The whole table, for `movu codes`.
std::string CodeTable();

}  // namespace movu::cli
