// Many decisions at once through one cluster: every exchange succeeds and the pool never opens more
// connections than max-handles.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "transport/transport_support.h"

namespace kova_test {
namespace {

constexpr int THREADS = 8;
constexpr int EXCHANGES = 500;
constexpr int MAX_HANDLES = 4;

TEST(TransportConcurrency, ThreadsShareOneClusterWithinMaxHandlesConnections) {
    TempDir dir;
    writeFile(dir.file("rules.json"), TRANSPORT_RULES);
    RefPdp pdp({"--rules", dir.file("rules.json")});
    PdpStatsReader stats(pdp);
    KOVAServiceFactory factory;
    ClusterUnderTest target(factory, dir,
                            "server = 10," + pdp.url() + "\nmax-handles = " + std::to_string(MAX_HANDLES) + "\n");
    ASSERT_EQ(target.status, 0);

    std::atomic<int> permitted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < EXCHANGES; ++i) {
                Exchange exchange = exchangeThrough(target.cluster, "/permit/thread-" + std::to_string(t));
                if (exchange.status == 0 && exchange.content.find(">Permit</") != std::string::npos) ++permitted;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(permitted.load(), THREADS * EXCHANGES);
    PdpStats seen = stats.read();
    EXPECT_EQ(seen.requests, THREADS * EXCHANGES);
    EXPECT_GE(seen.connections, 1);
    EXPECT_LE(seen.connections, MAX_HANDLES);
}

}  // namespace
}  // namespace kova_test
