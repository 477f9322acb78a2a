// One keep-alive HTTP/1.1 connection (plain or TLS) that posts a request and reads one answer, every step
// bounded by the call's time-out and its answer limit. Failures throw AxisException with the transport codes.
#pragma once

#include <chrono>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "orbsec_axiscpp/axis.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
struct addrinfo;

namespace orbsec_axiscpp {

// The parts of an http or https URL this client connects to.
struct HttpTarget {
    bool tls = false;
    std::string host;       // without the brackets of an IPv6 address
    std::string port;       // decimal, the scheme's default when the URL names none
    std::string authority;  // host[:port] as written, for the Host header
    std::string path;       // from the first slash on, query included
};

// "" when `url` is scheme://host[:port]/path with a host and port this client and the health check read
// alike, else why not (one rule for the cluster's start-up check and the connection).
std::string parseHttpUrl(const std::string& url, HttpTarget& target);

struct HttpAnswer {
    int status = 0;
    std::string headers;  // the final answer's status line and header lines, CRLF-separated
    std::string body;
};

class HttpConnection {
public:
    HttpConnection() = default;
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    // Drops the open connection and the TLS context: the next post connects with these settings.
    void configure(const CallTransportConfig& config);
    // Sends `request`, the head and body as pieces in order, to the target and reads the answer into `answer`.
    // The pieces are sent from where they stand, not joined; they must stay valid until this returns.
    void exchange(const std::string& endpoint, const HttpTarget& target, std::span<const std::string_view> request,
                  HttpAnswer& answer);
    long connectionsOpened() const { return m_opened; }

private:
    using Clock = std::chrono::steady_clock;
    struct Stale {};  // a reused connection the peer had closed before answering

    using Pieces = std::span<const std::string_view>;

    void attemptRetryingStale(Pieces request, HttpAnswer& answer);
    void attempt(Pieces request, HttpAnswer& answer);
    bool reusable(Clock::time_point now) const;
    bool idleConnectionAlive() const;
    void connect();
    int connectTo(const ::addrinfo& address);
    void useBlockingWaits();
    void startTls();
    void disconnect();
    void awaitConnected();
    void boundWaits();
    void sendAll(Pieces request);
    void sendPlain(Pieces request);
    Pieces joinSmallPieces(Pieces request);
    void sendTls(Pieces request);
    void writeTls(std::string_view data);
    size_t receiveSome(char* buffer, size_t size, bool answerStarted);
    void readAnswer(HttpAnswer& answer);
    bool fill(size_t wanted);
    size_t readHead(HttpAnswer& answer, size_t start);
    void readChunked(size_t position, HttpAnswer& answer);
    [[noreturn]] void fail(int code, const std::string& reason) const;
    [[noreturn]] void failTls(const std::string& what) const;
    [[noreturn]] void failTooLarge() const;
    [[noreturn]] void failTimedOut() const;
    void ensureTlsContext();

    CallTransportConfig m_config;
    HttpTarget m_target;
    std::string m_endpoint;
    std::string m_key;  // endpoint the open connection belongs to
    SSL_CTX* m_context = nullptr;
    SSL* m_ssl = nullptr;
    int m_fd = -1;
    bool m_reused = false;
    bool m_keepOpen = false;
    Clock::time_point m_deadline;
    Clock::time_point m_lastExchange;  // when the open connection's last exchange began
    Clock::duration m_socketWait{};  // the open socket's own bound on one blocking read or write
    std::string m_raw;               // bytes read of the current answer
    std::vector<char> m_readBuffer;  // what one read fills; kept so that no read clears memory first
    std::string m_sendBuffer;        // small pieces copied together for one write; kept between exchanges
    std::vector<std::string_view> m_joined;  // the request as it is written: runs in m_sendBuffer, large pieces
    long m_opened = 0;
};

}  // namespace orbsec_axiscpp
