// Latencies of many decisions in a histogram of fixed size, whatever the number of decisions.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

namespace zemhost {

using Clock = std::chrono::steady_clock;
using Latency = std::chrono::nanoseconds;

struct Percentiles {
    Latency p50{0}, p90{0}, p99{0};
};

// Log-linear buckets: exact below 128 ns, then 64 buckets per power of two, so a reported value is within
// 1/128 (0.8 %) of the true one. Minimum and maximum are kept exactly.
class LatencyHistogram {
public:
    void record(Latency value);
    void merge(const LatencyHistogram& other);

    std::uint64_t count() const { return m_count; }
    Latency min() const { return Latency(m_count ? m_min : 0); }
    Latency max() const { return Latency(m_max); }
    Latency mean() const;
    // Nearest-rank percentile of `fraction` (0 < fraction <= 1); 0 when nothing was recorded.
    Latency percentile(double fraction) const;
    Percentiles percentiles() const { return {percentile(0.50), percentile(0.90), percentile(0.99)}; }

private:
    static constexpr unsigned SUB_BITS = 6;  // 2^6 = 64 buckets per power of two
    static constexpr std::uint64_t SUB_COUNT = std::uint64_t{1} << SUB_BITS;
    static constexpr std::size_t BUCKETS = 2 * SUB_COUNT + (64 - SUB_BITS - 1) * SUB_COUNT;

    static std::size_t bucketOf(std::uint64_t value);
    // The middle of a bucket's range, the value reported for every sample in it.
    static std::uint64_t middleOf(std::size_t bucket);

    std::array<std::uint64_t, BUCKETS> m_buckets{};
    std::uint64_t m_count = 0;
    std::uint64_t m_min = UINT64_MAX, m_max = 0;
    long double m_sum = 0;
};

// "p50 1.234 ms, p90 2.345 ms, p99 3.456 ms"
std::string formatPercentiles(const Percentiles& values);
// Milliseconds as a number, for JSON.
double milliseconds(Latency value);

}  // namespace zemhost
