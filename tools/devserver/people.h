// The offline service for people writing EAs: expiring tokens per account,
// the calendar over sample data, the client endpoints, a readable request
// log, and faults on demand.
#pragma once

#include <string>
#include <vector>

#include "people_service.h"

namespace movu::devserver {

struct PeopleOptions {
    std::string listen = "127.0.0.1";
    int port = 8787;
    std::string port_file;
    bool tls = false;
    std::string state_dir;
    long parent_pid = 0;
    size_t max_connections = 256;
    int head_seconds = 10;   // the whole request head must arrive within this
    ServiceOptions service;  // `control` is worked out from `listen` and `remote_control`
};

int RunPeopleService(PeopleOptions options);

// The actions that talk to a running server: revoke, expire, reload,
// requests, fault, faults. Returns the exit code.
int RunClientAction(const std::string& action, const std::vector<std::string>& args);

std::string DefaultStateDir();

}  // namespace movu::devserver
