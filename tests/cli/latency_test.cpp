// zemhost's latency histogram against the exact nearest-rank percentiles of the same samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "zemhost/latency.h"

namespace {

using zemhost::Latency;
using zemhost::LatencyHistogram;

TEST(LatencyHistogram, PercentilesStayWithinOneBucketOfTheExactValueAtEveryMagnitude) {
    std::mt19937_64 random(15);
    for (int magnitude : {3, 7, 8, 12, 20, 30, 40, 62}) {  // below, at and far above the exact range
        LatencyHistogram histogram;
        std::vector<std::int64_t> samples;
        for (int i = 0; i < 3001; ++i) {
            auto value = static_cast<std::int64_t>(random() >> (64 - magnitude));
            samples.push_back(value);
            histogram.record(Latency(value));
        }
        std::sort(samples.begin(), samples.end());
        for (double fraction : {0.01, 0.5, 0.9, 0.99, 1.0}) {
            auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(samples.size())));
            double exact = static_cast<double>(samples[rank - 1]);
            double reported = static_cast<double>(histogram.percentile(fraction).count());
            EXPECT_LE(std::fabs(reported - exact), exact / 128 + 0.5)
                << "magnitude " << magnitude << " at " << fraction;
        }
        EXPECT_EQ(histogram.count(), samples.size());
        EXPECT_EQ(histogram.min().count(), samples.front());
        EXPECT_EQ(histogram.max().count(), samples.back());
    }
}

TEST(LatencyHistogram, MergedHistogramsAnswerAsOneAndAnEmptyOneAnswersZero) {
    LatencyHistogram empty, first, second, together;
    EXPECT_EQ(empty.percentile(0.5), Latency(0));
    EXPECT_EQ(empty.mean(), Latency(0));
    for (std::int64_t value = 1; value <= 1000; ++value) {
        (value % 2 ? first : second).record(Latency(value * 1000));
        together.record(Latency(value * 1000));
    }
    first.merge(second);
    first.merge(empty);
    for (double fraction : {0.5, 0.9, 0.99}) EXPECT_EQ(first.percentile(fraction), together.percentile(fraction));
    EXPECT_EQ(first.count(), 1000u);
    EXPECT_EQ(first.mean(), Latency(500500));
    EXPECT_EQ(first.min(), Latency(1000));
}

}  // namespace
