// The test service for one benchmark run: the one named in the environment,
// else one of the run's own, started here and stopped at the end. Each target
// defines MOVU_FIXTURE_SCRIPT and MOVU_BENCH_SERVICE_DIR.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace movu::bench {

class ServiceForRun {
public:
    ServiceForRun() {
        if (const char* dir = std::getenv("MOVU_TESTSERVICE_DIR"); dir && *dir) return;
        if (std::system(Command("start").c_str()) != 0) {
            std::fprintf(stderr, "cannot start the test service (%s)\n", Command("start").c_str());
            return;
        }
        started_ = true;
        setenv("MOVU_TESTSERVICE_DIR", MOVU_BENCH_SERVICE_DIR, 1);
    }
    ~ServiceForRun() {
        if (started_ && std::system(Command("stop").c_str()) != 0)
            std::fprintf(stderr, "stopping the test service failed\n");
    }
    ServiceForRun(const ServiceForRun&) = delete;
    ServiceForRun& operator=(const ServiceForRun&) = delete;

private:
    static std::string Command(const char* verb) {
        return std::string("sh '") + MOVU_FIXTURE_SCRIPT + "' " + verb + " '" + MOVU_BENCH_SERVICE_DIR + "'";
    }
    bool started_ = false;
};

}  // namespace movu::bench
