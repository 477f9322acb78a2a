// Failover between two refpdp processes: the preferred one stops in the middle of a stream of decisions
// and comes back through the health check.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "transport/transport_support.h"

namespace kova_test {
namespace {

TEST(Failover, StreamOfDecisionsSurvivesThePreferredPdpStoppingAndReturnsToItOnceItAnswers) {
    TempDir dir;
    RefPdp preferred(std::vector<std::string>{});
    RefPdp backup(std::vector<std::string>{});
    KOVAServiceFactory factory;
    ClusterUnderTest target(factory, dir,
                            "server = 20," + preferred.url() + "\nserver = 10," + backup.url() +
                                "\nhealth-check-interval = 1\ntimeout = 2\nmax-handles = 2\n");
    ASSERT_EQ(target.status, 0);

    int failed = 0;
    for (int i = 0; i < 200; ++i) {
        if (i == 100) preferred.stop();
        if (exchangeThrough(target.cluster, "/any").status != 0) ++failed;
    }
    EXPECT_EQ(failed, 0);
    PdpStatsReader backupStats(backup);
    EXPECT_GE(backupStats.read().requests, 100);

    preferred.start();
    PdpStatsReader preferredStats(preferred);
    for (int i = 0; i < 40 && preferredStats.read().requests == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(exchangeThrough(target.cluster, "/any").status, 0);
    }
    EXPECT_GT(preferredStats.read().requests, 0) << "the health check brought the preferred PDP back";
}

}  // namespace
}  // namespace kova_test
