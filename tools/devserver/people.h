// The offline service for people writing EAs: expiring tokens per account,
// the calendar over sample data, the client endpoints, a readable request
// log, and faults on demand.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace movu::devserver {

// One planned fault: the next `count` requests to `path` (any service path
// when empty) get it. `kind`: an HTTP status 400-599, "slow", "reset",
// "stall", "garbage" or "drop".
struct FaultRule {
    std::string kind;
    int count = 1;
    std::string path;
    int delay_ms = 0;  // "slow"/"stall": how long (defaults 5000 / 600000)
};
// "KIND[:COUNT][@PATH]"; nullopt with `why` set when unusable.
std::optional<FaultRule> ParseFaultSpec(const std::string& rule_text, std::string& why);
// The random-fault kinds: HTTP statuses 400-599, "drop", "reset" or "garbage".
bool ValidRandomFault(const std::string& kind);

struct PeopleOptions {
    std::string listen = "127.0.0.1";
    int port = 8787;
    std::string port_file;
    bool tls = false;
    std::string state_dir;
    std::int64_t token_ttl = 3600;
    std::string calendar_file;  // empty: sample_calendar.json beside the program, else the built-in one
    double fault_rate = 0;
    std::vector<std::string> random_faults{"429", "500", "503", "drop"};
    int fault_latency_ms = 0;
    std::optional<std::uint64_t> fault_seed;
    std::vector<FaultRule> fault_rules;
    long parent_pid = 0;
};

int RunPeopleService(PeopleOptions options);

// The actions that talk to a running server: revoke, expire, reload,
// requests, fault, faults. Returns the exit code.
int RunClientAction(const std::string& action, const std::vector<std::string>& args);

std::string DefaultStateDir();

}  // namespace movu::devserver
