// Latency samples of many decisions and their percentiles.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace zemhost {

using Clock = std::chrono::steady_clock;
using Latency = std::chrono::nanoseconds;

struct Percentiles {
    Latency p50{0}, p90{0}, p99{0};
};

// Nearest-rank percentiles; all zero for no samples.
Percentiles percentiles(std::vector<Latency> samples);
// "p50 1.234 ms, p90 2.345 ms, p99 3.456 ms"
std::string formatPercentiles(const Percentiles& values);

}  // namespace zemhost
