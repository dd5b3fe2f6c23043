// The far side of the suites: sites opened through a JSON control API, each
// answering from scripts per path and recording every request it receives.
#pragma once

#include <string>
#include <vector>

namespace movu::devserver {

struct SuitesOptions {
    std::string state_dir;
    std::vector<std::string> extra_sans;
    bool verbose = false;
};

// Runs until SIGINT/SIGTERM; returns the exit code.
int RunSuitesService(const SuitesOptions& options);

}  // namespace movu::devserver
