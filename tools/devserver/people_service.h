// What movu-devserver answers to people writing EAs, without the sockets:
// expiring tokens per account, the calendar over sample data, the client
// endpoints, the control API, planned and random faults, and the request
// record. One table says which paths exist, with which methods and handlers.
// Every store here has a bound, so a client can't grow it without limit.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "calendar.h"
#include "http.h"

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
inline constexpr int kMaxFaultCount = 1000000;
inline constexpr int kMaxDelayMs = 86400000;  // a day
inline constexpr size_t kMaxFaultPath = 1024;
// "KIND[:COUNT][@PATH]"; nullopt with `why` set when unusable.
std::optional<FaultRule> ParseFaultSpec(const std::string& rule_text, std::string& why);
// The whole content of a file; throws std::runtime_error.
std::string ReadFile(const std::string& path);
// The random-fault kinds: HTTP statuses 400-599, "drop", "reset" or "garbage".
bool ValidRandomFault(const std::string& kind);

// The bounds on what the service keeps.
struct ServiceLimits {
    size_t identity_bytes = 1024;    // X-Account and each identity header of a request
    size_t tokens = 10000;           // live tokens; beyond, the oldest is forgotten
    size_t retired = 10000;          // revoked or expired tokens remembered for the 401's reason
    size_t record_entries = 10000;   // the request record
    size_t record_bytes = 4u << 20;  // ... and the bytes its texts hold
    size_t record_text = 1024;       // longest method, target, path, account or note kept
    size_t page = 1000;              // most entries in one answer of /dev/requests
    std::uint64_t log_text = 512;    // longest text of one console line
};

struct ServiceOptions {
    std::int64_t token_ttl = 3600;
    std::string calendar_file;  // empty: the built-in sample
    double fault_rate = 0;
    std::vector<std::string> random_faults{"429", "500", "503", "drop"};
    int fault_latency_ms = 0;
    std::optional<std::uint64_t> fault_seed;
    std::vector<FaultRule> fault_rules;
    bool control = true;          // the control API answers at all
    bool remote_control = false;  // it also answers Host values that name an address other than loopback
    ServiceLimits limits;
};

using Headers = std::vector<std::pair<std::string, std::string>>;

// What to do with a request: answer with JSON, or one of the faults.
enum class Action { kJson, kDrop, kReset, kStall, kGarbage };
struct Answer {
    int status = 200;
    ojson payload;
    std::string raw;  // when not empty: the body as it goes out (JSON made by hand)
    Headers headers;
    std::string note;
    Action action = Action::kJson;
    int hold_ms = 0;
    std::string Body() const { return raw.empty() ? JsonText(payload) : raw; }
};

// Faults that come before a service request is answered.
struct FaultPlan {
    int wait_ms = 0;               // latency, then a slow fault's delay
    std::optional<Answer> answer;  // a fault answers instead of the service
    std::string note;              // "fault: slow N ms"
};

class PeopleService {
public:
    PeopleService(ServiceOptions options, std::unique_ptr<SampleCalendar> calendar);
    // The listening port, which Host must name for the control API.
    void SetPort(int port) { port_ = port; }
    bool IsControl(const Request& r) const;

    // The faults for a service request (none for control requests); takes planned ones.
    FaultPlan PlanFaults(const Request& r);
    // The answer to a request, after its faults.
    Answer Handle(const Request& r);
    // An answer to a request that could not be read.
    static Answer BadRequest(int status, const std::string& why);

    // Adds the exchange to the record (service paths only) and returns the console line.
    std::string Record(const std::string& method, const std::string& target, const std::string& account, int status,
                       std::int64_t ms, const std::string& note, double now);

    size_t tokens() const { return tokens_.size(); }
    size_t record_bytes() const { return record_bytes_; }
    size_t record_entries() const { return record_.size(); }
    const ServiceOptions& options() const { return o_; }

    struct Call;
    using Run = Answer (PeopleService::*)(const Call&);
    enum class Kind { kOpen, kSigned, kControl };
    struct Route {
        const char* path;
        Kind kind;
        std::vector<std::pair<const char*, Run>> methods;
    };
    static const std::vector<Route>& Routes();

private:
    struct Token {
        std::string account;
        double expires;
    };
    struct Entry {
        std::int64_t seq;
        ojson fields;
        size_t bytes;
    };

    std::string Refusal(const std::optional<std::string>& token, const std::string& account);
    void Retire(const std::string& token, const char* reason);
    void DropExpired(double now);
    std::string ControlRefusal(const Request& r, int& status, std::string& error) const;

    Answer Token_(const Call& c);
    Answer Day(const Call& c);
    Answer Meta(const Call& c);
    Answer Changes(const Call& c);
    Answer Heartbeat(const Call& c);
    Answer Ping(const Call& c);
    Answer Register(const Call& c);
    Answer Vip(const Call& c);
    Answer Revoke(const Call& c);
    Answer Expire(const Call& c);
    Answer Reload(const Call& c);
    Answer Requests(const Call& c);
    Answer Health(const Call& c);
    Answer ListFaults(const Call& c);
    Answer AddFault(const Call& c);
    Answer ClearFaults(const Call& c);
    ojson Rules() const;
    std::int64_t DayParam(const Call& c) const;

    ServiceOptions o_;
    std::unique_ptr<SampleCalendar> calendar_;
    std::mt19937_64 rng_;
    int port_ = 0;
    std::map<std::string, Token> tokens_;
    std::deque<std::string> issued_;  // live tokens in the order of issue, which is the order of expiry
    std::map<std::string, const char*> retired_;
    std::deque<std::string> retired_order_;
    std::deque<Entry> record_;
    size_t record_bytes_ = 0;
    std::int64_t seq_ = 0;
    std::vector<FaultRule> rules_;
};

}  // namespace movu::devserver
