// movu-devserver: the local stand-in for the movu service.
//
//   movu-devserver [options]                     the service for EA authors (sample data)
//   movu-devserver test-service --state-dir DIR  the scriptable far side of the test suites
//   movu-devserver revoke|expire|reload|requests|fault|faults ...   talk to a running server
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "people.h"
#include "suites.h"

#ifdef MOVU_DEVSERVER_TLS
#include "pki.h"
#endif

namespace {
using namespace movu::devserver;

const char* kUsage =
    "movu-devserver: the local stand-in for the movu service (tokens, sample calendar, client endpoints,\n"
    "faults on demand). Listens on 127.0.0.1 only unless --listen says otherwise.\n"
    "\n"
    "usage: movu-devserver [--port P] [--port-file F] [--listen ADDR [--remote-control]] [--tls [--state-dir DIR]]\n"
    "                      [--token-ttl S] [--calendar FILE] [--fault KIND[:N][@PATH] ...]\n"
    "                      [--fault-rate R [--faults LIST] [--fault-seed N]] [--fault-latency MS]\n"
    "                      [--max-connections N] [--head-timeout S] [--parent-pid PID]\n"
    "       movu-devserver revoke|expire|reload|requests|fault|faults [--port P | --port-file F] ...\n"
    "       movu-devserver test-service --state-dir DIR [--extra-san NAME ...] [--verbose]\n"
    "\n"
    "  --port P           port on the listen address (default 8787; 0 picks a free one)\n"
    "  --port-file F      write the port here once listening\n"
    "  --listen ADDR      address to listen on: an IP address or localhost (default 127.0.0.1; 0.0.0.0\n"
    "                     opens it to the network, with the control API off)\n"
    "  --remote-control   keep the control API (/dev/) on when listening beyond this machine\n"
    "  --tls              HTTPS with a local CA kept in --state-dir (Linux builds)\n"
    "  --token-ttl S      token lifetime in seconds (default 3600; 0: expired when issued). The library\n"
    "                     renews a token with 300 s or less left, so below 300 it fetches a new token\n"
    "                     for every request\n"
    "  --calendar FILE    sample calendar (default: sample_calendar.json beside the program, else built in)\n"
    "  --fault RULE       the next N requests (to PATH) get KIND: an HTTP status 400-599, slow, reset,\n"
    "                     stall, garbage or drop; e.g. --fault 429:3@/v1/calendar/day.php\n"
    "  --fault-rate R     share of service requests (0 to 1) answered with a random fault from --faults\n"
    "  --faults LIST      kinds for --fault-rate: statuses, drop, reset, garbage (default 429,500,503,drop)\n"
    "  --fault-latency MS delay every service answer\n"
    "  --max-connections N  connections at once (default 256); beyond, the oldest still sending its\n"
    "                     head is closed, or the newcomer gets 503 when all are being served\n"
    "  --head-timeout S   a request's head must arrive within S seconds (default 10), else 408\n"
    "  --parent-pid PID   stop when that process has ended (for scripts)\n"
    "\n"
    "At run time: revoke (every token becomes unknown), expire (every token expires), reload (the\n"
    "calendar file), requests [--since N] (what the server saw), fault RULE [--delay-ms MS],\n"
    "faults [--clear]. See docs/devserver.md.\n";

int Bad(const std::string& message) {
    std::fprintf(stderr, "movu-devserver: %s\n(movu-devserver --help shows the options)\n", message.c_str());
    return 2;
}

bool ParseLong(const std::string& text, long long low, long long high, long long& out) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789", text[0] == '-') != std::string::npos ||
        text == "-")
        return false;
    out = std::stoll(text);
    return out >= low && out <= high;
}

int TestService(const std::vector<std::string>& args) {
    SuitesOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--state-dir" && i + 1 < args.size()) {
            o.state_dir = args[++i];
        } else if (args[i] == "--extra-san" && i + 1 < args.size()) {
#ifdef MOVU_DEVSERVER_TLS
            if (SanEntry(args[i + 1]).empty()) return Bad("invalid subject alternative name '" + args[i + 1] + "'");
#endif
            o.extra_sans.push_back(args[++i]);
        } else if (args[i] == "--verbose") {
            o.verbose = true;
        } else {
            return Bad("test-service: unexpected argument '" + args[i] + "'");
        }
    }
    if (o.state_dir.empty()) return Bad("test-service needs --state-dir DIR");
    return RunSuitesService(o);
}

int People(const std::vector<std::string>& args) {
    PeopleOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        const std::string v = has_value ? args[i + 1] : std::string();
        long long n = 0;
        auto need = [&](bool ok, const std::string& what) {
            if (!has_value) throw std::invalid_argument(a + " needs a value");
            if (!ok) throw std::invalid_argument(a + " " + what);
            ++i;
        };
        try {
            if (a == "--help" || a == "-h") {
                std::fputs(kUsage, stdout);
                return 0;
            } else if (a == "--port") {
                need(ParseLong(v, 0, 65535, n), "must be a port number 0-65535");
                o.port = static_cast<int>(n);
            } else if (a == "--port-file") {
                need(!v.empty(), "needs a file name");
                o.port_file = v;
            } else if (a == "--listen") {
                need(!v.empty(), "needs an address");
                o.listen = v;
            } else if (a == "--remote-control") {
                o.service.remote_control = true;
            } else if (a == "--max-connections") {
                need(ParseLong(v, 1, 100000, n), "must lie from 1 to 100000");
                o.max_connections = static_cast<size_t>(n);
            } else if (a == "--head-timeout") {
                need(ParseLong(v, 1, 3600, n), "must lie from 1 to 3600 seconds");
                o.head_seconds = static_cast<int>(n);
            } else if (a == "--tls") {
                o.tls = true;
            } else if (a == "--state-dir") {
                need(!v.empty(), "needs a folder");
                o.state_dir = v;
            } else if (a == "--token-ttl") {
                need(ParseLong(v, 0, 10LL * 365 * 86400, n), "must be 0 or more seconds");
                o.service.token_ttl = n;
            } else if (a == "--calendar") {
                need(!v.empty(), "needs a file name");
                o.service.calendar_file = v;
            } else if (a == "--fault") {
                std::string why;
                const auto rule = ParseFaultSpec(v, why);
                need(rule.has_value(), ": " + why);
                o.service.fault_rules.push_back(*rule);
            } else if (a == "--fault-rate") {
                char* end = nullptr;
                const double r = has_value ? std::strtod(v.c_str(), &end) : -1;
                need(has_value && end && *end == '\0' && r >= 0 && r <= 1, "must lie between 0 and 1");
                o.service.fault_rate = r;
            } else if (a == "--faults") {
                std::vector<std::string> kinds;
                for (size_t at = 0; has_value && at <= v.size();) {
                    const size_t comma = std::min(v.find(',', at), v.size());
                    const std::string k = v.substr(at, comma - at);
                    if (!k.empty() && !ValidRandomFault(k))
                        throw std::invalid_argument("--faults: unknown fault '" + k +
                                                    "': give HTTP statuses 400-599, drop, reset or garbage");
                    if (!k.empty()) kinds.push_back(k);
                    at = comma + 1;
                }
                need(!kinds.empty(), "needs at least one fault");
                o.service.random_faults = kinds;
            } else if (a == "--fault-latency") {
                need(ParseLong(v, 0, 3600000, n), "must be 0 or more milliseconds");
                o.service.fault_latency_ms = static_cast<int>(n);
            } else if (a == "--fault-seed") {
                need(ParseLong(v, 0, 999999999999999999LL, n), "must be a whole number");
                o.service.fault_seed = static_cast<std::uint64_t>(n);
            } else if (a == "--parent-pid") {
                need(ParseLong(v, 1, 0x7fffffff, n), "must be a process id");
                o.parent_pid = static_cast<long>(n);
            } else {
                return Bad("unknown option '" + a + "'");
            }
        } catch (const std::invalid_argument& e) {
            return Bad(e.what());
        }
    }
    return RunPeopleService(o);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::setvbuf(stdout, nullptr, _IOLBF, 1 << 16);
    if (!args.empty()) {
        const std::string first = args[0];
        const std::vector<std::string> rest(args.begin() + 1, args.end());
        if (first == "test-service") return TestService(rest);
        for (const char* action : {"revoke", "expire", "reload", "requests", "fault", "faults"})
            if (first == action) return RunClientAction(first, rest);
    }
    return People(args);
}
