// serve-load: keep-alive HTTP load against `zemhost serve` (directly or through a proxy), for the
// benchmarks: requests per second and latency percentiles over N connections.
#include <curl/curl.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "commands.h"
#include "latency.h"

namespace zemhost {

namespace {

struct LoadOptions {
    std::string url;
    std::string unixSocket;
    std::vector<std::string> headers;
    unsigned connections = 1;
    double seconds = 5;
};

struct ConnectionResult {
    LatencyHistogram latencies;
    std::map<long, std::size_t> statuses;  // 0: the request failed
};

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

using Easy = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using HeaderList = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

// One connection, reused for every request until the deadline.
ConnectionResult runConnection(const LoadOptions& options, Clock::time_point deadline) {
    ConnectionResult result;
    Easy curl(curl_easy_init(), curl_easy_cleanup);
    HeaderList headers(nullptr, curl_slist_free_all);
    for (const std::string& header : options.headers)
        headers.reset(curl_slist_append(headers.release(), header.c_str()));
    curl_easy_setopt(curl.get(), CURLOPT_URL, options.url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl.get(), CURLOPT_TCP_NODELAY, 1L);
    if (!options.unixSocket.empty()) curl_easy_setopt(curl.get(), CURLOPT_UNIX_SOCKET_PATH, options.unixSocket.c_str());
    while (Clock::now() < deadline) {
        Clock::time_point begin = Clock::now();
        long status = 0;
        if (curl_easy_perform(curl.get()) == CURLE_OK) curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
        result.latencies.record(Clock::now() - begin);
        ++result.statuses[status];
    }
    return result;
}

int runLoad(const LoadOptions& options) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    Clock::time_point start = Clock::now();
    Clock::time_point deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    std::vector<ConnectionResult> results(options.connections);
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < options.connections; ++i) {
        threads.emplace_back([&, i] { results[i] = runConnection(options, deadline); });
    }
    for (std::thread& thread : threads) thread.join();
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    LatencyHistogram latencies;
    std::map<long, std::size_t> statuses;
    for (const ConnectionResult& result : results) {
        latencies.merge(result.latencies);
        for (const auto& [status, count] : result.statuses) statuses[status] += count;
    }
    printf("connections: %u, requests: %llu in %.2f s\nthroughput: %.1f requests/s\nlatency: %s\nstatuses:",
           options.connections, static_cast<unsigned long long>(latencies.count()), elapsed,
           double(latencies.count()) / elapsed, formatPercentiles(latencies.percentiles()).c_str());
    for (const auto& [status, count] : statuses) printf(" %ld %zu", status, count);
    printf("\n");
    curl_global_cleanup();
    return statuses.size() == 1 && statuses.begin()->first / 100 == 2 ? EXIT_OK : EXIT_FAILED;
}

}  // namespace

Command addServeLoadCommand(CLI::App& app) {
    CLI::App* command = app.add_subcommand(
        "serve-load", "keep-alive HTTP load against zemhost serve or a proxy in front of it (benchmarks)");
    auto options = std::make_shared<LoadOptions>();
    command->add_option("--url", options->url, "the URL to request")->required();
    command->add_option("--unix-socket", options->unixSocket, "connect through this Unix socket");
    command->add_option("--header", options->headers, "a request header 'Name: value'; repeat it")
        ->allow_extra_args(false);
    command->add_option("--connections", options->connections, "connections, each on its own thread")
        ->check(CLI::Range(1u, 256u))
        ->capture_default_str();
    command->add_option("--seconds", options->seconds, "how long")
        ->check(CLI::Range(0.1, 3600.0))
        ->capture_default_str();
    return {command, false, [options] { return runLoad(*options); }};
}

}  // namespace zemhost
