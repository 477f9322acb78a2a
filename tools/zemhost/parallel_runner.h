// Runs many decisions on several threads against one started plug-in.
#pragma once

#include <functional>
#include <vector>

#include "latency.h"
#include "plugin_host.h"
#include "requests_file.h"

namespace zemhost {

struct TimedResult {
    DecisionResult result;
    Latency latency{0};
};

// Decides every request on `threads` threads and hands the results to `deliver` on the calling
// thread, strictly in input order, as soon as each one and all before it are done.
void decideInOrder(const PluginHost& host, const std::vector<NumberedRequest>& requests, unsigned threads,
                   const std::function<void(std::size_t index, const TimedResult&)>& deliver);

struct LoadResult {
    LatencyHistogram latencies;
    Clock::duration elapsed{0};
};

// Closed loop: each of `threads` threads decides the requests round-robin, one after the other,
// until `duration` has passed.
LoadResult decideForDuration(const PluginHost& host, const std::vector<NumberedRequest>& requests, unsigned threads,
                             Clock::duration duration);

}  // namespace zemhost
