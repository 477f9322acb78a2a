// Failover between two refpdp processes: the preferred one stops in the middle of a stream of decisions
// and comes back through the health check.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "transport/transport_support.h"

namespace kova_test {
namespace {

// Two refpdp processes behind one cluster: the preferred endpoint first, the backup after it.
struct TwoPdps {
    explicit TwoPdps(const std::string& keys)
        : target(factory, dir, "server = 20," + preferred.url() + "\nserver = 10," + backup.url() + "\n" + keys) {}
    TempDir dir;
    RefPdp preferred{std::vector<std::string>{}};
    RefPdp backup{std::vector<std::string>{}};
    KOVAServiceFactory factory;
    ClusterUnderTest target;
};

TEST(Failover, StreamOfDecisionsSurvivesThePreferredPdpStoppingAndReturnsToItOnceItAnswers) {
    TwoPdps pdps("health-check-interval = 1\ntimeout = 2\nmax-handles = 2\n");
    auto& [dir, preferred, backup, factory, target] = pdps;
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

// Configuration checkers reach each endpoint in turn: a pinned exchange goes to its endpoint alone, without
// failover, and the cluster's own ping reaches any endpoint it holds.
TEST(Failover, APinnedExchangeReachesOnlyItsEndpointAndThePingReachesEachEndpoint) {
    TwoPdps pdps("health-check-interval = 60\ntimeout = 2\n");
    auto& [dir, preferred, backup, factory, target] = pdps;
    ASSERT_EQ(target.status, 0);
    PdpStatsReader preferredStats(preferred);
    PdpStatsReader backupStats(backup);
    {
        NVWSOAPEndpointPin onlyBackup(backup.url());
        EXPECT_EQ(exchangeThrough(target.cluster, "/any").status, 0);
    }
    EXPECT_EQ(backupStats.read().requests, 1);
    EXPECT_EQ(preferredStats.read().requests, 0) << "the better endpoint was passed over";
    EXPECT_EQ(nvwSoapPingEndpoint(preferred.url()), 0);
    EXPECT_EQ(nvwSoapPingEndpoint("http://127.0.0.1:1/not/in/the/cluster"), NVWSOAP_S_NO_ENDPOINT);

    preferred.stop();
    long backupRequests = backupStats.read().requests;
    {
        NVWSOAPEndpointPin onlyPreferred(preferred.url());
        EXPECT_NE(exchangeThrough(target.cluster, "/any").status, 0);
    }
    EXPECT_EQ(backupStats.read().requests, backupRequests) << "a pinned exchange does not fail over";
    EXPECT_NE(nvwSoapPingEndpoint(preferred.url()), 0);
    EXPECT_EQ(nvwSoapPingEndpoint(backup.url()), 0);
    EXPECT_EQ(exchangeThrough(target.cluster, "/any").status, 0) << "without a pin the cluster chooses again";
}

}  // namespace
}  // namespace kova_test
