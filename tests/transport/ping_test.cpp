// The health-check ping: service URL parsing, the GET it sends, how it judges replies, and the cluster
// bringing a member back once it answers again.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "qzsvc/qzsvc.h"
#include "rba/KOVASOAPCall.h"
#include "rba/kova_eas.h"
#include "transport/transport_support.h"

namespace kova_test {
namespace {

// A loopback peer that accepts one connection, keeps what it reads and answers with fixed bytes.
class OneReplyServer {
public:
    explicit OneReplyServer(std::string reply) : m_reply(std::move(reply)) {
        m_listener.listen(1);
        m_thread = std::thread([this] { serveOne(); });
    }
    ~OneReplyServer() {
        shutdown(m_listener.fd(), SHUT_RDWR);
        m_thread.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_listener.port()) + "/kova/ping"; }
    // What the ping sent; complete once the ping has returned.
    const std::string& received() const { return m_received; }

private:
    void serveOne() {
        int connection = accept(m_listener.fd(), nullptr, nullptr);
        if (connection < 0) return;
        char buffer[2048];
        while (m_received.find("\r\n\r\n") == std::string::npos) {
            ssize_t count = read(connection, buffer, sizeof buffer);
            if (count <= 0) break;
            m_received.append(buffer, static_cast<size_t>(count));
        }
        (void)!write(connection, m_reply.data(), m_reply.size());
        close(connection);
    }

    LoopbackSocket m_listener;
    std::string m_reply;
    std::string m_received;
    std::thread m_thread;
};

// A loopback port that refuses connections until it is opened, and then never answers: SILENT takes
// connections into its queue and never reads them (a ping waits out its time-out); FULL has its one-place
// queue taken already, so the kernel drops further connection requests (a ping hangs in connect).
class Blackhole {
public:
    enum Kind { SILENT, FULL };

    ~Blackhole() {
        if (m_filler >= 0) close(m_filler);
    }
    void open(Kind kind) {
        m_socket.listen(kind == FULL ? 0 : 16);
        if (kind == FULL) m_filler = connectToLoopback(m_socket.port());
    }
    std::string url(const std::string& scheme) const { return m_socket.url(scheme); }

private:
    LoopbackSocket m_socket;
    int m_filler = -1;
};

struct Parsed {
    int result;
    std::string host;
    uint32_t port;
    std::string path;
};

Parsed parse(const char* url, bool useSSL) {
    NVWSOAPHandleConfig config;
    config.m_useSSL = useSSL;
    NVWSOAPHandle handle(nullptr, &config);
    KOVAPingCall call("ping", true, nullptr, &kova_trace);
    Parsed parsed{0, "", 0, ""};
    const char* path = nullptr;
    parsed.result = call.parseURL(&handle, url, parsed.host, parsed.port, path);
    if (path) parsed.path = path;
    return parsed;
}

TEST(PingUrl, HostPortAndPathOrRefusal) {
    const struct {
        const char* url;
        bool useSSL;
        Parsed expected;
    } cases[] = {
        {"https://[::1]:9443/kova/ping", true, {0, "::1", 9443, "/kova/ping"}},
        // A missing port follows the handle's SSL setting, not the scheme.
        {"http://pdp.example/x", true, {0, "pdp.example", 443, "/x"}},
        {"https://pdp.example/x", false, {0, "pdp.example", 80, "/x"}},
        {"http://[fe80::1]/x", false, {0, "fe80::1", 80, "/x"}},  // colons in brackets are no port separators
        {"http://pdp.example:0x1F90/x", false, {0, "pdp.example", 8080, "/x"}},
        {"http://pdp.example:017/x", false, {0, "pdp.example", 15, "/x"}},
    };
    for (const auto& row : cases) {
        Parsed parsed = parse(row.url, row.useSSL);
        EXPECT_EQ(parsed.result, row.expected.result) << row.url;
        EXPECT_EQ(parsed.host, row.expected.host) << row.url;
        EXPECT_EQ(parsed.port, row.expected.port) << row.url;
        EXPECT_EQ(parsed.path, row.expected.path) << row.url;
    }
    for (const char* url : {"http://pdp.example:/x", "http://[::1/x", "http://pdp.example", "http:/pdp.example/x",
                            "http://", "no-slashes"})
        EXPECT_EQ(parse(url, false).result, static_cast<int>(KOVA_PING_BAD_URL)) << url;
}

class PingTest : public ::testing::Test {
protected:
    TempDir dir;
    NVWSOAPHandleConfig config;

    void SetUp() override {
        config.m_timeout = 2;
        qz_msg_set_output(dir.file("messages").c_str());
    }
    void TearDown() override { qz_msg_set_output(nullptr); }
};

TEST_F(PingTest, RequestCarriesPathHostAndBasicAuthorizationOnlyWithBothValues) {
    OneReplyServer userOnly("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    config.m_baUser = "alice";
    EXPECT_EQ(pingOnce(userOnly.url(), config), 0);
    EXPECT_EQ(userOnly.received(),
              "GET /kova/ping HTTP/1.1\r\nUser-Agent: ZEM (Corvane)\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n");

    OneReplyServer both("HTTP/1.1 200 OK\r\n\r\n");
    config.m_baPassword = "s3cret";
    EXPECT_EQ(pingOnce(both.url(), config), 0);
    EXPECT_THAT(both.received(), HasSubstr("\r\nAuthorization: Basic YWxpY2U6czNjcmV0\r\nAccept: */*\r\n"));
}

// Only the exact status line is good; a long reply is cut and judged by its status line.
TEST_F(PingTest, OnlyTheExactStatusLineIsGood) {
    const std::pair<std::string, int> cases[] = {
        {"HTTP/1.1 200 OK", 0},
        {"HTTP/1.1 200 OK\r\nX-Padding: " + std::string(4000, 'x') + "\r\n\r\n", 0},
        {"HTTP/1.0 200 OK\r\n\r\n", KOVA_PING_BAD_RESPONSE},
        {"HTTP/1.1 503 Service Unavailable\r\n\r\n", KOVA_PING_BAD_RESPONSE},
        {"HTTP/1.1 200", KOVA_PING_BAD_RESPONSE},
    };
    for (const auto& [reply, expected] : cases) {
        OneReplyServer server(reply);
        EXPECT_EQ(pingOnce(server.url(), config), expected) << reply.substr(0, 40);
    }
}

TEST_F(PingTest, UnreachableAndInvalidUrlsFail) {
    LoopbackSocket refusing;
    EXPECT_EQ(pingOnce(refusing.url(), config), 2);
    KOVAServiceability serviceability(KOVA_VERSION_TEXT);
    EXPECT_EQ(pingOnce("http://pdp.example:/x", config), static_cast<int>(KOVA_PING_BAD_URL));
    EXPECT_THAT(readFile(dir.file("messages")), HasSubstr("QLXBA0314E   The URL is invalid."));
}

// Shutting down must not wait for a health check that hangs: the ping is interrupted, and the maintenance
// thread that runs it has ended before the cluster's parts are freed. The https row hangs in the TLS
// handshake through the SSL toolkit.
TEST_F(PingTest, ShutdownInterruptsAHealthCheckThatHangs) {
    zem_trace_configure(9, dir.file("trace").c_str());
    kova_trace.initialize("kova");
    struct Case {
        Blackhole::Kind kind;
        const char* scheme;
    };
    for (Case row :
         {Case{Blackhole::SILENT, "http"}, Case{Blackhole::FULL, "http"}, Case{Blackhole::SILENT, "https"}}) {
        Blackhole hole;
        KOVAServiceFactory factory;
        std::string url = hole.url(row.scheme);
        ClusterUnderTest target(factory, dir, "server = 10," + url + "\nhealth-check-interval = 1\ntimeout = 30\n",
                                &kova_trace);
        ASSERT_EQ(target.status, 0);
        ASSERT_EQ(exchangeThrough(target.cluster, "/any").status, NVWSOAP_S_TRANSPORT) << "refused: marked down";
        hole.open(row.kind);
        std::string started = "About to ping KOVA service using: " + url;
        ASSERT_TRUE(eventually([&] { return contains(readFile(dir.file("trace")), started); })) << "the check began";
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // into the connect or the read

        auto stopped = std::async(std::launch::async, [&] { return target.manager.shutdown(); });
        EXPECT_EQ(stopped.wait_for(std::chrono::seconds(5)), std::future_status::ready)
            << "shutdown waited for the ping's 30-second time-out: " << url << " kind " << row.kind;
        EXPECT_EQ(stopped.get(), 0);
    }
    kova_trace.shutdown();
    zem_trace_configure(-1, nullptr);
}

}  // namespace
}  // namespace kova_test
