#include "latency.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

namespace zemhost {

namespace {

std::string formatted(Latency value) {
    char text[32];
    snprintf(text, sizeof text, "%.3f ms", milliseconds(value));
    return text;
}

}  // namespace

// Values below 2 * SUB_COUNT have a bucket each; above, the top SUB_BITS + 1 bits select the bucket.
std::size_t LatencyHistogram::bucketOf(std::uint64_t value) {
    if (value < 2 * SUB_COUNT) return value;
    unsigned shift = static_cast<unsigned>(std::bit_width(value)) - (SUB_BITS + 1);
    return 2 * SUB_COUNT + (shift - 1) * SUB_COUNT + ((value >> shift) - SUB_COUNT);
}

std::uint64_t LatencyHistogram::middleOf(std::size_t bucket) {
    if (bucket < 2 * SUB_COUNT) return bucket;
    std::size_t beyond = bucket - 2 * SUB_COUNT;
    unsigned shift = static_cast<unsigned>(beyond / SUB_COUNT) + 1;
    std::uint64_t low = (SUB_COUNT + beyond % SUB_COUNT) << shift;
    return low + ((std::uint64_t{1} << shift) >> 1);
}

void LatencyHistogram::record(Latency value) {
    auto nanoseconds = static_cast<std::uint64_t>(std::max<Latency::rep>(value.count(), 0));
    ++m_buckets[bucketOf(nanoseconds)];
    ++m_count;
    m_min = std::min(m_min, nanoseconds);
    m_max = std::max(m_max, nanoseconds);
    m_sum += static_cast<long double>(nanoseconds);
}

void LatencyHistogram::merge(const LatencyHistogram& other) {
    for (std::size_t i = 0; i < BUCKETS; ++i) m_buckets[i] += other.m_buckets[i];
    m_count += other.m_count;
    m_min = std::min(m_min, other.m_min);
    m_max = std::max(m_max, other.m_max);
    m_sum += other.m_sum;
}

Latency LatencyHistogram::mean() const {
    return Latency(m_count ? static_cast<Latency::rep>(m_sum / static_cast<long double>(m_count)) : 0);
}

Latency LatencyHistogram::percentile(double fraction) const {
    if (m_count == 0) return Latency(0);
    auto rank =
        std::max<std::uint64_t>(static_cast<std::uint64_t>(std::ceil(fraction * static_cast<double>(m_count))), 1);
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < BUCKETS; ++i) {
        seen += m_buckets[i];
        // The bucket's middle, kept within what was actually seen.
        if (seen >= rank) return Latency(std::clamp(middleOf(i), m_min, m_max));
    }
    return max();
}

std::string formatPercentiles(const Percentiles& values) {
    return "p50 " + formatted(values.p50) + ", p90 " + formatted(values.p90) + ", p99 " + formatted(values.p99);
}

double milliseconds(Latency value) { return std::chrono::duration<double, std::milli>(value).count(); }

}  // namespace zemhost
