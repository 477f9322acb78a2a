// `zemhost serve`: counters for /metrics, in the Prometheus text format. Every counter is atomic, so
// request threads count without a lock.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <string>

#include "outcome.h"

namespace zemhost {

class ServeMetrics {
public:
    void countDecision(Outcome outcome, std::chrono::nanoseconds latency);
    void countBadInput() { ++m_badInput; }
    void countOverload() { ++m_overload; }
    // Every series, with the PDP endpoints' states as the SOAP cluster library holds them now.
    std::string render() const;

private:
    static constexpr std::size_t OUTCOMES = 7;
    static constexpr std::array<double, 12> BUCKETS = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                                       0.01,   0.025,   0.05,   0.1,   0.5,    1.0};
    std::array<std::atomic<unsigned long>, OUTCOMES> m_decisions{};
    std::array<std::atomic<unsigned long>, BUCKETS.size()> m_buckets{};  // not cumulative
    std::atomic<unsigned long> m_latencyCount{0};
    std::atomic<unsigned long> m_latencyNanos{0};
    std::atomic<unsigned long> m_badInput{0};
    std::atomic<unsigned long> m_overload{0};
};

}  // namespace zemhost
