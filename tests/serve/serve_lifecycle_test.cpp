// The service over its lifetime: reload on SIGHUP (a broken file is refused), a clean stop on SIGTERM
// with the requests in flight answered, readiness that follows the PDP, and bounded load.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "serve/serve_fixture.h"

namespace kova_test {
namespace {

bool waitForStatus(const std::string& url, long status) {
    return eventually([&] { return httpRequest(url).status == status; });
}

// A connection that sends nothing: it holds a worker until the read time-out or until closed.
class SilentClient {
public:
    explicit SilentClient(int port) : m_fd(connectToLoopback(port)) { EXPECT_GE(m_fd, 0); }
    ~SilentClient() { close(m_fd); }

private:
    int m_fd;
};

using ServeLifecycle = ServeFixture;

TEST_F(ServeLifecycle, SighupWithABrokenFileKeepsTheRunningConfiguration) {
    startService({}, "object-prefix = /Corvane/inst1\n");
    ASSERT_GT(serve->port(), 0);
    ASSERT_EQ(authorize("/docs/x", ALICE).status, 200);
    std::string running = readFile(configFile());

    writeFile(configFile(), replacedAll(running, "server = 10,", "server = ten,"));
    serve->process().signal(SIGHUP);
    ASSERT_TRUE(waitForText(serve->logFile(), "reload refused: the running configuration stays"))
        << readFile(serve->logFile());
    EXPECT_EQ(authorize("/docs/x", ALICE).status, 200);
    EXPECT_EQ(httpRequest(serve->url("/readyz")).status, 200);

    // A file that passes the checks takes effect: another prefix makes /docs/x an object no rule knows.
    writeFile(configFile(),
              replacedAll(running, "object-prefix = /Corvane/inst1\n", "object-prefix = /Corvane/inst1/x\n"));
    serve->process().signal(SIGHUP);
    ASSERT_TRUE(waitForText(serve->logFile(), "zemhost serve: reloaded")) << readFile(serve->logFile());
    EXPECT_EQ(authorize("/docs/x", ALICE).status, 403);
}

TEST_F(ServeLifecycle, SigtermAnswersTheRequestInFlightThenShutsThePluginDown) {
    pdpOptions = {"--delay-ms", "400", "--record", dir.file("pdp-requests.log")};
    startService({});
    ASSERT_GT(serve->port(), 0);
    Reply inFlight;
    std::thread client([&] { inFlight = authorize("/docs/x", ALICE); });
    ASSERT_TRUE(waitForText(dir.file("pdp-requests.log"), "Request"));  // the PDP has it: it is in flight
    serve->process().signal(SIGTERM);
    client.join();
    EXPECT_EQ(inFlight.status, 200);
    EXPECT_EQ(serve->process().wait(), 0);
    EXPECT_THAT(readFile(serve->logFile()), HasSubstr("stopped; shutting the plug-in down"));
    EXPECT_EQ(httpRequest(serve->url("/healthz")).status, 0) << "no longer listening";
}

TEST_F(ServeLifecycle, ReadinessAndMetricsFollowThePdpEndpointState) {
    startService({});
    ASSERT_GT(serve->port(), 0);
    EXPECT_EQ(httpRequest(serve->url("/readyz")).status, 200);
    pdp->stop();
    EXPECT_EQ(authorize("/docs/x", ALICE).status, 502);  // the failed exchange marks the endpoint down
    EXPECT_EQ(httpRequest(serve->url("/readyz")).status, 503);
    std::string metrics = httpRequest(serve->url("/metrics")).body;
    EXPECT_THAT(metrics, HasSubstr("kova_serve_pdp_endpoint_up{cluster=\"kova-pdp\",url=\"" + pdp->url() + "\"} 0\n"));
    EXPECT_THAT(metrics, HasSubstr("kova_serve_decisions_total{outcome=\"error-page\"} 1\n"));
    pdp->start();
    EXPECT_TRUE(waitForStatus(serve->url("/readyz"), 200)) << "the health check brings the endpoint back";
}

TEST_F(ServeLifecycle, ConnectionsBeyondThePoolAndQueueGet503) {
    startService({"--threads", "1"}, "max-queue = 0\nread-timeout = 30\n");
    ASSERT_GT(serve->port(), 0);
    {
        SilentClient holdsTheWorker(serve->port());
        ASSERT_TRUE(waitForStatus(serve->url("/healthz"), 503));
        Reply refused = authorize("/docs/x", ALICE);
        EXPECT_EQ(refused.status, 503);
        EXPECT_EQ(refused.header("retry-after"), "1");
    }
    // With one worker and no queue, a connection can still meet the previous one's worker finishing.
    Reply metricsReply;
    ASSERT_TRUE(eventually([&] { return (metricsReply = httpRequest(serve->url("/metrics"))).status == 200; }));
    std::string metrics = metricsReply.body;
    const std::string counter = "\nkova_serve_overloaded_total ";
    ASSERT_THAT(metrics, HasSubstr(counter));
    EXPECT_GE(std::stoi(metrics.substr(metrics.find(counter) + counter.size())), 2) << metrics;
}

TEST_F(ServeLifecycle, ServesHttpsWithTheGivenCertificate) {
    // A self-signed certificate for 127.0.0.1, made for the run.
    ASSERT_EQ(makeSelfSignedCertificate(dir.file("key.pem"), dir.file("cert.pem"), 1), "");
    startService({"--tls-cert", dir.file("cert.pem"), "--tls-key", dir.file("key.pem")});
    ASSERT_GT(serve->port(), 0);
    RequestOptions options;
    options.headers = {"X-Original-URI: /docs/x", "X-Original-Method: GET", ALICE[0], ALICE[1]};
    options.caFile = dir.file("cert.pem");
    Reply reply = httpRequest("https://127.0.0.1:" + std::to_string(serve->port()) + "/auth", options);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("x-kova-decision"), "permit");
    EXPECT_EQ(httpRequest(serve->url("/healthz")).status, 0) << "no plain HTTP on the TLS port";
}

TEST_F(ServeLifecycle, ManyParallelConnectionsAreAnsweredOrRefusedNeverHung) {
    startService({"--threads", "4"}, "max-queue = 8\n");
    ASSERT_GT(serve->port(), 0);
    const int clients = 48, requestsEach = 10;
    std::atomic<int> permitted{0}, refused{0}, other{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&] {
            for (int k = 0; k < requestsEach; ++k) {
                long status = authorize("/docs/x", ALICE).status;
                (status == 200 ? permitted : status == 503 ? refused : other)++;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(other.load(), 0);
    EXPECT_EQ(permitted + refused, clients * requestsEach);
    EXPECT_GT(permitted.load(), 0);
    EXPECT_EQ(httpRequest(serve->url("/healthz")).status, 200);
}

}  // namespace
}  // namespace kova_test
