// The SOAP call's own HTTP client against a loopback server that answers with scripted bytes: how an answer
// is framed, what a keep-alive connection closed by the peer costs, and that hostile answers stay bounded.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "orbsec_axiscpp/axis.h"
#include "transport/transport_support.h"

namespace {

using namespace orbsec_axiscpp;

const std::string ENVELOPE =
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>"
    "<r xmlns=\"urn:x\">ok</r></SOAP-ENV:Body></SOAP-ENV:Envelope>";

std::string framed(const std::string& extraHeaders = "") {
    return "HTTP/1.1 200 OK\r\n" + extraHeaders + "Content-Length: " + std::to_string(ENVELOPE.size()) + "\r\n\r\n" +
           ENVELOPE;
}

std::string hex(size_t value) {
    char text[32];
    snprintf(text, sizeof text, "%zx", value);
    return text;
}

struct Reply {
    std::string bytes;
    bool closeAfter = false;
    int dripMs = 0;          // > 0: one byte at a time with this pause
    bool neverRead = false;  // holds the connection without reading the request
    std::string unasked{};   // sent a moment after the reply, before the connection is closed
};

// Answers the n-th request it reads with the n-th reply, on whatever connection it arrives.
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<Reply> replies) : m_replies(std::move(replies)) {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_listener, 4);
        socklen_t length = sizeof address;
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~ScriptedServer() {
        m_stop = true;
        shutdown(m_listener, SHUT_RDWR);
        close(m_listener);
        m_thread.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/soap"; }
    int connections() const { return m_connections; }

private:
    void serve() {
        size_t next = 0;
        while (!m_stop && next < m_replies.size()) {
            int connection = accept(m_listener, nullptr, nullptr);
            if (connection < 0) return;
            ++m_connections;
            if (m_replies[next].neverRead)
                while (!m_stop) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            while (next < m_replies.size() && readRequest(connection)) {
                const Reply& reply = m_replies[next++];
                if (!send(connection, reply)) break;
                if (!reply.unasked.empty()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    ::send(connection, reply.unasked.data(), reply.unasked.size(), MSG_NOSIGNAL);
                    break;
                }
                if (reply.closeAfter) break;
            }
            close(connection);
        }
    }
    bool send(int connection, const Reply& reply) {
        if (reply.dripMs == 0) return ::send(connection, reply.bytes.data(), reply.bytes.size(), MSG_NOSIGNAL) > 0;
        for (char byte : reply.bytes) {
            if (m_stop || ::send(connection, &byte, 1, MSG_NOSIGNAL) != 1) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(reply.dripMs));
        }
        return true;
    }
    static bool readRequest(int connection) {
        std::string text;
        char buffer[4096];
        size_t headEnd;
        while ((headEnd = text.find("\r\n\r\n")) == std::string::npos) {
            ssize_t got = recv(connection, buffer, sizeof buffer, 0);
            if (got <= 0) return false;
            text.append(buffer, static_cast<size_t>(got));
        }
        size_t length = std::stoul(text.substr(text.find("Content-Length: ") + 16));
        while (text.size() < headEnd + 4 + length) {
            ssize_t got = recv(connection, buffer, sizeof buffer, 0);
            if (got <= 0) return false;
            text.append(buffer, static_cast<size_t>(got));
        }
        return true;
    }

    std::vector<Reply> m_replies;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::thread m_thread;
};

class HttpConnectionTest : public ::testing::Test {
protected:
    // The exception code of one exchange, 0 when it succeeded and read the envelope's element.
    int exchange(Call& call, const std::string& resource = "/r") {
        kova_test::XacmlPieces pieces(resource);
        call.initialize(CPP_DOC_PROVIDER);
        call.setOperation("Request", "urn:x");
        call.addAnyObject(pieces.any());
        int code = 0;
        try {
            call.invoke();
            EXPECT_EQ(call.checkMessage("r", "urn:x"), AXIS_SUCCESS);
        } catch (const AxisException& e) {
            code = e.getExceptionCode();
            message = e.what();
        }
        call.unInitialize();
        return code;
    }
    void configure(Call& call, const ScriptedServer& server) {
        CallTransportConfig config;
        config.endpoint = server.url();
        config.timeoutSeconds = 1;
        config.maxResponseBytes = 4096;
        call.setTransportConfig(config);
    }
    std::string message;
};

TEST_F(HttpConnectionTest, AnswersAreFramedByLengthChunksOrCloseAndInterimAnswersSkipped) {
    std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + hex(10) + ";ext\r\n" +
                          ENVELOPE.substr(0, 10) + "\r\n" + hex(ENVELOPE.size() - 10) + "\r\n" + ENVELOPE.substr(10) +
                          "\r\n0\r\nX-T: 1\r\n\r\n";
    struct Case {
        const char* what;
        Reply reply;
    } cases[] = {
        {"content length", {framed()}},
        {"chunked with extension and trailer", {chunked}},
        {"read to close", {"HTTP/1.1 200 OK\r\n\r\n" + ENVELOPE, true}},
        {"100 continue first", {"HTTP/1.1 100 Continue\r\n\r\n" + framed()}},
    };
    for (const Case& row : cases) {
        ScriptedServer server({row.reply});
        Call call;
        configure(call, server);
        EXPECT_EQ(exchange(call), 0) << row.what << ": " << message;
    }
}

TEST_F(HttpConnectionTest, HostileAnswersFailWithinTheirBounds) {
    std::string flood = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 150; ++i) flood += "X-A: 1\r\n";
    // clang-format off
    struct Case {
        const char* what;
        Reply reply;
        int code;
        const char* text;
    } cases[] = {
        {"header flood", {flood + "Content-Length: 0\r\n\r\n"}, SERVER_TRANSPORT_FAILED, "header lines"},
        {"announced length beyond the limit", {"HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n"},
         SERVER_TRANSPORT_FAILED, "larger than 4096 bytes"},
        {"chunk size overflowing", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nfffffffffffffffffffff\r\n"},
         SERVER_TRANSPORT_FAILED, "larger than 4096 bytes"},
        {"chunk size not hexadecimal", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"},
         SERVER_TRANSPORT_FAILED, "hexadecimal"},
        {"slow drip past the time-out", {framed(), false, 100}, SERVER_TRANSPORT_TIMEOUT, "timed out after 1 s"},
        {"closed before answering", {"", true}, SERVER_TRANSPORT_FAILED, "Empty reply"},
    };
    // clang-format on
    for (const Case& row : cases) {
        ScriptedServer server({row.reply});
        Call call;
        configure(call, server);
        EXPECT_EQ(exchange(call), row.code) << row.what << ": " << message;
        EXPECT_NE(message.find(row.text), std::string::npos) << row.what << ": " << message;
        EXPECT_EQ(message.rfind(server.url() + ": ", 0), 0u) << message;
    }
}

// A request far larger than the socket buffers to a peer that reads nothing: the write gives up at the time-out.
TEST_F(HttpConnectionTest, APeerThatReadsNothingCannotHoldTheRequestPastTheTimeOut) {
    ScriptedServer server({{"", false, 0, true}});
    Call call;
    configure(call, server);
    EXPECT_EQ(exchange(call, std::string(size_t{64} << 20, 'r')), SERVER_TRANSPORT_TIMEOUT) << message;
    EXPECT_NE(message.find("timed out after 1 s"), std::string::npos) << message;
}

// The rest of a refused answer may still be on its way: the next exchange must not read it as its own.
TEST_F(HttpConnectionTest, AFailedExchangeDropsItsConnection) {
    ScriptedServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n"}, {framed()}});
    Call call;
    configure(call, server);
    EXPECT_EQ(exchange(call), SERVER_TRANSPORT_FAILED) << message;
    EXPECT_EQ(exchange(call), 0) << message;
    EXPECT_EQ(call.connectionsOpened(), 2);
}

TEST_F(HttpConnectionTest, KeepAliveConnectionIsReusedAndReopenedOnceThePeerClosedIt) {
    ScriptedServer server({{framed()}, {framed(), true}, {framed()}, {framed("Connection: close\r\n")}, {framed()}});
    Call call;
    configure(call, server);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(exchange(call), 0) << i << ": " << message;
    // Three connections when every close is seen in time; a request that crosses the peer's close on a
    // loaded machine may cost one more, never one per exchange.
    EXPECT_GE(call.connectionsOpened(), 3);
    EXPECT_LE(call.connectionsOpened(), 4);
    EXPECT_EQ(server.connections(), call.connectionsOpened());
}

// A server that times an idle connection out may say so before it closes it: a connection idle for longer
// than a steady stream of exchanges leaves is checked before reuse, so that the next answer is not that one.
TEST_F(HttpConnectionTest, AnIdleConnectionOnWhichThePeerSpokeUnaskedIsNotReused) {
    Reply timedOut{framed()};
    timedOut.unasked = "HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    ScriptedServer server({timedOut, {framed()}});
    Call call;
    configure(call, server);
    EXPECT_EQ(exchange(call), 0) << message;
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(exchange(call), 0) << message;
    EXPECT_EQ(call.connectionsOpened(), 2);
}

}  // namespace
