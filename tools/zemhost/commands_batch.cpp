// run and bench: many decisions from a JSONL file on several threads.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <thread>

#include "commands.h"
#include "json_output.h"
#include "nvaudutl/nvaudutl.h"
#include "outcome.h"
#include "parallel_runner.h"

namespace zemhost {

namespace {

// A one-line progress bar on standard error, drawn only when standard error is a terminal.
class ProgressBar {
public:
    explicit ProgressBar(std::size_t total) : m_total(total), m_enabled(total > 0 && isatty(STDERR_FILENO)) {}
    ~ProgressBar() {
        if (m_enabled && m_drawnPercent >= 0) fprintf(stderr, "\r%*s\r", BAR_WIDTH + 30, "");
    }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void update(std::size_t done) {
        if (!m_enabled) return;
        int percent = static_cast<int>(done * 100 / m_total);
        if (percent == m_drawnPercent) return;  // redraw only when the picture changes
        m_drawnPercent = percent;
        int filled = percent * BAR_WIDTH / 100;
        fprintf(stderr, "\r[%s%s] %3d%% %zu/%zu", std::string(static_cast<std::size_t>(filled), '#').c_str(),
                std::string(static_cast<std::size_t>(BAR_WIDTH - filled), ' ').c_str(), percent, done, m_total);
        fflush(stderr);
    }

private:
    static constexpr int BAR_WIDTH = 40;
    std::size_t m_total;
    bool m_enabled;
    int m_drawnPercent = -1;
};

// While it lives, SIGHUP makes the host reopen every audit file by its path (zem_audit_reopen), so that
// records go to a new file after the old one was renamed (log rotation). Construct it before the plug-in
// starts threads: SIGHUP is blocked in the constructing thread and in every thread started afterwards,
// and one watcher thread takes it.
class AuditReopenOnHangup {
public:
    AuditReopenOnHangup() {
        sigset_t hangup = hangupOnly();
        pthread_sigmask(SIG_BLOCK, &hangup, &m_previousMask);
        m_watcher = std::thread([this] { watch(); });
    }
    ~AuditReopenOnHangup() {
        m_stop = true;
        m_watcher.join();
        pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
    }
    AuditReopenOnHangup(const AuditReopenOnHangup&) = delete;
    AuditReopenOnHangup& operator=(const AuditReopenOnHangup&) = delete;

private:
    static sigset_t hangupOnly() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGHUP);
        return set;
    }

    // Wakes up now and then to see whether it should stop.
    void watch() {
        sigset_t hangup = hangupOnly();
        const struct timespec poll = {0, 100L * 1000 * 1000};
        while (!m_stop) {
            if (sigtimedwait(&hangup, nullptr, &poll) == SIGHUP) zem_audit_reopen();
        }
    }

    sigset_t m_previousMask;
    std::atomic<bool> m_stop{false};
    std::thread m_watcher;
};

struct BatchOptions {
    std::string requestsFile;
    unsigned threads = 1;
    double seconds = 10;
    bool fail = false;  // run: exit status 3 unless every outcome is a permit
    bool json = false;  // bench: one JSON object instead of text
};

void addBatchOptions(CLI::App& command, BatchOptions& options) {
    command.add_option("--requests", options.requestsFile, "JSONL file of decisions, one object per line ('-': stdin)")
        ->required();
    command.add_option("--threads", options.threads, "decisions running at once")
        ->check(CLI::Range(1u, 1024u))
        ->capture_default_str();
}

// Reads the batch and reports its malformed lines on standard error.
RequestBatch loadBatch(const std::string& path) {
    RequestBatch batch = readRequestsFile(path);
    for (const std::string& problem : batch.malformed)
        fprintf(stderr, "zemhost: %s: %s\n", path.c_str(), problem.c_str());
    return batch;
}

void printSummary(const std::map<std::string, std::size_t>& outcomes, std::size_t malformed,
                  const LatencyHistogram& latencies) {
    auto decided = static_cast<unsigned long long>(latencies.count());
    fprintf(stderr, "decisions: %llu, malformed lines: %zu\noutcomes:", decided, malformed);
    for (const auto& [name, count] : outcomes) fprintf(stderr, " %s %zu", name.c_str(), count);
    fprintf(stderr, "%s\nlatency: %s\n", outcomes.empty() ? " none" : "",
            formatPercentiles(latencies.percentiles()).c_str());
}

nlohmann::ordered_json benchJson(const BatchOptions& options, const LoadResult& load, double elapsed) {
    const LatencyHistogram& latencies = load.latencies;
    Percentiles parts = latencies.percentiles();
    return {{"threads", options.threads},
            {"decisions", latencies.count()},
            {"seconds", elapsed},
            {"decisions_per_second", static_cast<double>(latencies.count()) / elapsed},
            {"latency_ms",
             {{"min", milliseconds(latencies.min())},
              {"mean", milliseconds(latencies.mean())},
              {"p50", milliseconds(parts.p50)},
              {"p90", milliseconds(parts.p90)},
              {"p99", milliseconds(parts.p99)},
              {"max", milliseconds(latencies.max())}}}};
}

int runBatch(const HostSettings& settings, const BatchOptions& options) {
    RequestBatch batch = loadBatch(options.requestsFile);
    AuditReopenOnHangup rotation;
    int status = withStartedPlugin(settings, [&](const PluginHost& host) {
        std::map<std::string, std::size_t> outcomes;
        LatencyHistogram latencies;
        {
            ProgressBar progress(batch.requests.size());
            decideInOrder(host, batch.requests, options.threads, [&](std::size_t index, const TimedResult& timed) {
                nlohmann::ordered_json line = resultJson(timed.result);
                line["line"] = batch.requests[index].line;
                printf("%s\n", jsonLine(line).c_str());
                ++outcomes[outcomeName(classify(timed.result))];
                latencies.record(timed.latency);
                progress.update(index + 1);
            });
        }
        fflush(stdout);
        printSummary(outcomes, batch.malformed.size(), latencies);
        bool allPermitted = outcomes.size() == outcomes.count(outcomeName(Outcome::Permit));
        return options.fail && !allPermitted ? int(EXIT_NOT_PERMITTED) : int(EXIT_OK);
    });
    return status != EXIT_FAILED && !batch.malformed.empty() ? int(EXIT_FAILED) : status;
}

int runBench(const HostSettings& settings, const BatchOptions& options) {
    RequestBatch batch = loadBatch(options.requestsFile);
    if (batch.requests.empty()) {
        fprintf(stderr, "zemhost: %s holds no decision to run\n", options.requestsFile.c_str());
        return EXIT_FAILED;
    }
    AuditReopenOnHangup rotation;
    return withStartedPlugin(settings, [&](const PluginHost& host) {
        auto duration = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
        LoadResult load = decideForDuration(host, batch.requests, options.threads, duration);
        double elapsed = std::chrono::duration<double>(load.elapsed).count();
        if (options.json) {
            printf("%s\n", jsonLine(benchJson(options, load, elapsed)).c_str());
            return int(EXIT_OK);
        }
        auto decided = static_cast<unsigned long long>(load.latencies.count());
        printf("threads: %u, decisions: %llu in %.2f s\n", options.threads, decided, elapsed);
        printf("throughput: %.1f decisions/s\n", static_cast<double>(decided) / elapsed);
        printf("latency: %s\n", formatPercentiles(load.latencies.percentiles()).c_str());
        return int(EXIT_OK);
    });
}

}  // namespace

Command addRunCommand(CLI::App& app, const HostSettings& settings) {
    CLI::App* command = app.add_subcommand(
        "run", "decide every line of a JSONL file; one JSON result per line on stdout, in input order");
    auto options = std::make_shared<BatchOptions>();
    addBatchOptions(*command, *options);
    addFailOption(*command, options->fail);
    return {command, true, [&settings, options] { return runBatch(settings, *options); }};
}

Command addBenchCommand(CLI::App& app, const HostSettings& settings) {
    CLI::App* command =
        app.add_subcommand("bench", "closed-loop load from a JSONL file: decisions per second and latency percentiles");
    auto options = std::make_shared<BatchOptions>();
    options->threads = 4;
    addBatchOptions(*command, *options);
    command->add_option("--seconds", options->seconds, "how long to keep deciding")
        ->check(CLI::Range(0.01, 86400.0))
        ->capture_default_str();
    command->add_flag(
        "--json", options->json,
        "print one JSON object: threads, decisions, seconds, decisions_per_second, latency_ms {min, mean, "
        "p50, p90, p99, max}");
    return {command, true, [&settings, options] { return runBench(settings, *options); }};
}

}  // namespace zemhost
