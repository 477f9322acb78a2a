#include "latency.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zemhost {

namespace {

Latency nearestRank(const std::vector<Latency>& sorted, double fraction) {
    auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return sorted[std::max<std::size_t>(rank, 1) - 1];
}

std::string milliseconds(Latency value) {
    char text[32];
    snprintf(text, sizeof text, "%.3f ms", std::chrono::duration<double, std::milli>(value).count());
    return text;
}

}  // namespace

Percentiles percentiles(std::vector<Latency> samples) {
    if (samples.empty()) return {};
    std::sort(samples.begin(), samples.end());
    return {nearestRank(samples, 0.50), nearestRank(samples, 0.90), nearestRank(samples, 0.99)};
}

std::string formatPercentiles(const Percentiles& values) {
    return "p50 " + milliseconds(values.p50) + ", p90 " + milliseconds(values.p90) + ", p99 " +
           milliseconds(values.p99);
}

}  // namespace zemhost
