#include "parallel_runner.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace zemhost {

namespace {

TimedResult timedDecision(const PluginHost& host, const DecisionRequest& request) {
    Clock::time_point start = Clock::now();
    DecisionResult result = host.decide(request);
    return {std::move(result), std::chrono::duration_cast<Latency>(Clock::now() - start)};
}

// A decision that could not be made (the framework refused a list) stops the whole batch; the
// first such error is raised again on the calling thread.
class FirstError {
public:
    void capture() {
        std::lock_guard lock(m_mutex);
        if (!m_error) m_error = std::current_exception();
        m_failed = true;
    }
    bool failed() const { return m_failed; }
    void rethrow() {
        if (m_error) std::rethrow_exception(m_error);
    }

private:
    std::mutex m_mutex;
    std::exception_ptr m_error;
    std::atomic<bool> m_failed{false};
};

// Results that arrive in any order and leave in input order.
class OrderedSlots {
public:
    explicit OrderedSlots(std::size_t count) : m_slots(count) {}

    void put(std::size_t index, TimedResult result) {
        {
            std::lock_guard lock(m_mutex);
            m_slots[index] = std::move(result);
        }
        m_ready.notify_all();
    }

    void abandon() {
        {
            std::lock_guard lock(m_mutex);
            m_abandoned = true;
        }
        m_ready.notify_all();
    }

    // The result at `index`, or nothing once the batch was abandoned.
    std::optional<TimedResult> take(std::size_t index) {
        std::unique_lock lock(m_mutex);
        m_ready.wait(lock, [&] { return m_abandoned || m_slots[index].has_value(); });
        std::optional<TimedResult> result = std::move(m_slots[index]);
        m_slots[index].reset();
        return result;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::vector<std::optional<TimedResult>> m_slots;
    bool m_abandoned = false;
};

}  // namespace

void decideInOrder(const PluginHost& host, const std::vector<NumberedRequest>& requests, unsigned threads,
                   const std::function<void(std::size_t index, const TimedResult&)>& deliver) {
    OrderedSlots slots(requests.size());
    FirstError error;
    std::atomic<std::size_t> next{0};
    {
        std::vector<std::jthread> workers;
        for (unsigned i = 0; i < threads; ++i) {
            workers.emplace_back([&] {
                try {
                    for (std::size_t index = next++; index < requests.size() && !error.failed(); index = next++) {
                        slots.put(index, timedDecision(host, requests[index].request));
                    }
                } catch (...) {
                    error.capture();
                    slots.abandon();
                }
            });
        }
        for (std::size_t index = 0; index < requests.size(); ++index) {
            std::optional<TimedResult> result = slots.take(index);
            if (!result) break;
            deliver(index, *result);
        }
    }
    error.rethrow();
}

LoadResult decideForDuration(const PluginHost& host, const std::vector<NumberedRequest>& requests, unsigned threads,
                             Clock::duration duration) {
    std::vector<LatencyHistogram> perThread(threads);
    FirstError error;
    Clock::time_point start = Clock::now();
    Clock::time_point deadline = start + duration;
    {
        std::vector<std::jthread> workers;
        for (unsigned t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                try {
                    for (std::size_t i = t; Clock::now() < deadline && !error.failed(); ++i) {
                        perThread[t].record(timedDecision(host, requests[i % requests.size()].request).latency);
                    }
                } catch (...) {
                    error.capture();
                }
            });
        }
    }
    error.rethrow();
    LoadResult load{{}, Clock::now() - start};
    for (const LatencyHistogram& samples : perThread) load.latencies.merge(samples);
    return load;
}

}  // namespace zemhost
