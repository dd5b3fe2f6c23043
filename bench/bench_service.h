// What the benchmarks share: the test service for one run (the one named in
// the environment, else one of the run's own, started here and stopped at the
// end), the bare libcurl exchange they measure the library against, and the
// "key=value" line scripts/bench.sh collects figures from. Each target
// defines MOVU_FIXTURE_SCRIPT, MOVU_BENCH_SERVICE_DIR and MOVU_DEVSERVER_BINARY.
#pragma once

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

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
        return std::string("MOVU_DEVSERVER='") + MOVU_DEVSERVER_BINARY + "' sh '" + MOVU_FIXTURE_SCRIPT + "' " + verb +
               " '" + MOVU_BENCH_SERVICE_DIR + "'";
    }
    bool started_ = false;
};

inline size_t CollectInto(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// TLS sessions shared process-wide, as the library shares them, so that the
// bare exchange resumes a handshake whenever the library can.
inline CURLSH* BareTlsSessions() {
    static std::recursive_mutex lock;  // one for all the lock data: the bare side needs no more
    static CURLSH* share = [] {
        CURLSH* s = curl_share_init();
        curl_share_setopt(
            s, CURLSHOPT_LOCKFUNC, +[](CURL*, curl_lock_data, curl_lock_access, void*) { lock.lock(); });
        curl_share_setopt(
            s, CURLSHOPT_UNLOCKFUNC, +[](CURL*, curl_lock_data, void*) { lock.unlock(); });
        curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        return s;
    }();
    return share;
}

// A GET with a fresh easy handle and the protocol choices the library makes
// (HTTP/1.1, TLS 1.0 to 1.2), so that a ratio shows the library's own work and
// not a different handshake. Empty when status 200 arrived, else what failed.
inline std::string BareGet(const std::string& url, const std::vector<std::string>& headerLines,
                           const std::string& caFile, std::string& body) {
    CURL* c = curl_easy_init();
    curl_slist* headers = nullptr;
    for (const std::string& line : headerLines) headers = curl_slist_append(headers, line.c_str());
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "movu-client/1.0");
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_0 | CURL_SSLVERSION_MAX_TLSv1_2));
    if (!caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(c, CURLOPT_SHARE, BareTlsSessions());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &CollectInto);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
    const CURLcode rc = curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(c);
    curl_slist_free_all(headers);
    if (rc == CURLE_OK && status == 200) return {};
    return std::string("bare GET: ") + curl_easy_strerror(rc) + ", status " + std::to_string(status);
}

inline void Figure(const std::string& key, double value) { std::printf("%s=%.6g\n", key.c_str(), value); }

}  // namespace movu::bench
