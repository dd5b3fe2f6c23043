// The service's own cost: requests per second movu-devserver answers for a
// small calendar answer (a signed /v1/calendar/day.php), the server held to
// one core with taskset and the load coming from threads on the other, a new
// connection per request as the library makes them.
//
//   movu_service_bench [--baseline "COMMAND"] [--seconds S]
//
// COMMAND starts another server that takes --port 0 --port-file F (e.g. an
// older devserver); its figure is measured in the same run, alternated.
// Prints figures and ratios; judges nothing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kClients = 8;

struct Server {
    pid_t pid = 0;
    int port = 0;
};

Server Start(const std::string& command, const std::string& portFile) {
    std::remove(portFile.c_str());
    Server s;
    s.pid = fork();
    if (s.pid == 0) {
        const std::string line =
            "exec taskset -c 0 " + command + " --port 0 --port-file '" + portFile + "' >/dev/null 2>&1";
        execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 300 && s.port == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream in(portFile);
        in >> s.port;
    }
    return s;
}

void Stop(const Server& s) {
    kill(s.pid, SIGTERM);
    waitpid(s.pid, nullptr, 0);
}

// One exchange on a new connection; the whole answer, or empty on failure.
std::string Exchange(int port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buf[16384];
        for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return answer;
}

std::string Token(int port) {
    const std::string answer = Exchange(
        port, "GET /v1/client/token.php HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Account: 4242\r\nConnection: close\r\n\r\n");
    const size_t at = answer.find("\"token\":\"");
    if (at == std::string::npos) return {};
    return answer.substr(at + 9, answer.find('"', at + 9) - at - 9);
}

// Answers per second over `seconds`, from kClients threads without pause.
double Load(int port, double seconds, int& failures) {
    const std::string token = Token(port);
    const std::string request =
        "GET /v1/calendar/day.php?date=2024-03-05 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Authorization: Bearer " +
        token + "\r\nX-Client-Token: " + token + "\r\nX-Account: 4242\r\nConnection: close\r\n\r\n";
    std::atomic<bool> stop{false};
    std::atomic<long> ok{0}, bad{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&] {
            cpu_set_t cpus;
            CPU_ZERO(&cpus);
            CPU_SET(1, &cpus);
            pthread_setaffinity_np(pthread_self(), sizeof cpus, &cpus);
            while (!stop.load(std::memory_order_relaxed)) {
                const std::string answer = Exchange(port, request);
                (answer.rfind("HTTP/1.1 200", 0) == 0 && answer.find("\"count\":") != std::string::npos ? ok : bad)
                    .fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // warm up
    const long before = ok.load();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const long answered = ok.load() - before;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    for (auto& t : threads) t.join();
    failures = static_cast<int>(bad.load());
    return answered / elapsed;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string baseline;
    double seconds = 2;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--baseline") == 0)
            baseline = argv[i + 1];
        else if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
    }
    const std::string portFile = "/tmp/movu_service_bench." + std::to_string(getpid()) + ".port";
    std::vector<double> native, other;
    int failures = 0, otherFailures = 0;
    for (int round = 0; round < 3; ++round) {  // alternated
        const Server s = Start(std::string("'") + MOVU_DEVSERVER_BINARY + "'", portFile);
        if (s.port == 0) {
            std::fprintf(stderr, "movu-devserver did not start\n");
            return 1;
        }
        int f = 0;
        native.push_back(Load(s.port, seconds, f));
        failures += f;
        Stop(s);
        if (baseline.empty()) continue;
        const Server b = Start(baseline, portFile);
        if (b.port == 0) {
            std::fprintf(stderr, "the baseline server did not start\n");
            return 1;
        }
        other.push_back(Load(b.port, seconds, f));
        otherFailures += f;
        Stop(b);
    }
    std::remove(portFile.c_str());
    const double n = Median(native);
    std::printf(
        "service: movu-devserver on one core, small calendar answer, %d client threads: %.0f requests/s "
        "(median of %zu runs of %.1f s; failed exchanges: %d)\n",
        kClients, n, native.size(), seconds, failures);
    std::printf("service.native_rps=%.6g\n", n);
    if (!other.empty()) {
        const double o = Median(other);
        std::printf("service: baseline on one core: %.0f requests/s (failed exchanges: %d)\n", o, otherFailures);
        std::printf("ratio movu-devserver / baseline: %.2f\n", n / o);
        std::printf("service.baseline_rps=%.6g\nservice.ratio=%.6g\n", o, n / o);
    }
    return 0;
}
