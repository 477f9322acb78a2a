#include "orbsec_axiscpp/http_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>

namespace orbsec_axiscpp {

namespace {

// ---- URL ---------------------------------------------------------------------------------------------

// Length of "http://" or "https://" at the start of `url` (any case), else 0.
size_t schemeLength(const std::string& url) {
    for (const char* scheme : {"http://", "https://"}) {
        size_t length = std::strlen(scheme);
        if (url.size() > length && strncasecmp(url.c_str(), scheme, length) == 0) return length;
    }
    return 0;
}

bool isHostNameCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

// "" when `port` is a decimal port number from 1 to 65535 without a leading zero, else why not.
std::string portProblem(const std::string& port) {
    if (port.empty()) return "an empty port";
    if (port.find_first_not_of("0123456789") != std::string::npos) return "a port that is not a decimal number";
    if (port.front() == '0') return "a port with a leading zero";
    if (port.size() > 5 || std::stoi(port) > 65535) return "a port above 65535";
    return "";
}

// "" when the host and port part (between "//" and the path) is a name, IPv4 or bracketed IPv6 address with
// an optional port, else why not.
std::string authorityProblem(const std::string& authority, HttpTarget& target) {
    if (authority.find('@') != std::string::npos)
        return "user information in the URL (credentials go in basic-auth-user and basic-auth-passwd)";
    size_t portStart = std::string::npos;
    if (!authority.empty() && authority.front() == '[') {
        size_t closing = authority.find(']');
        in6_addr address;
        target.host = closing == std::string::npos ? "" : authority.substr(1, closing - 1);
        if (closing == std::string::npos || inet_pton(AF_INET6, target.host.c_str(), &address) != 1)
            return "a bracketed host that is not an IPv6 address (zone ids are not taken)";
        if (closing + 1 < authority.size() && authority[closing + 1] != ':') return "text after the IPv6 address";
        if (closing + 1 < authority.size()) portStart = closing + 2;
    } else {
        size_t colon = authority.find(':');
        target.host = authority.substr(0, colon);
        if (target.host.empty()) return "no host";
        if (!std::all_of(target.host.begin(), target.host.end(), isHostNameCharacter))
            return "a host that is not a name or address (an IPv6 address goes in brackets)";
        if (colon != std::string::npos) portStart = colon + 1;
    }
    if (portStart == std::string::npos) return "";
    target.port = authority.substr(portStart);
    return portProblem(target.port);
}

// ---- TLS ---------------------------------------------------------------------------------------------

// A socket BIO whose writes never raise SIGPIPE in a host that keeps its default disposition.
int bioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    ssize_t sent = ::send(static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))), data,
                          static_cast<size_t>(length), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
    return static_cast<int>(sent);
}

int bioRead(BIO* bio, char* data, int length) {
    BIO_clear_retry_flags(bio);
    ssize_t got =
        ::recv(static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))), data, static_cast<size_t>(length), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
    return static_cast<int>(got);
}

long bioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int bioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* socketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kova socket");
        BIO_meth_set_write(made, bioWrite);
        BIO_meth_set_read(made, bioRead);
        BIO_meth_set_ctrl(made, bioControl);
        BIO_meth_set_create(made, bioCreate);
        return made;
    }();
    return method;
}

std::string openSslReason() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "the connection closed during the TLS handshake";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

bool isAddressLiteral(const std::string& host) {
    in6_addr address;
    return inet_pton(AF_INET, host.c_str(), &address) == 1 || inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

// ---- request -----------------------------------------------------------------------------------------

// Pieces handed to one sendmsg: enough for a typical request in one call, within the system's limit.
constexpr size_t SEND_BATCH = 64;
static_assert(SEND_BATCH <= IOV_MAX);
// A piece shorter than this is copied together with its neighbours before it is written: the kernel takes
// a gathered piece at a cost well above copying a few hundred bytes, so a typical request leaves as one
// buffer. Over TLS small pieces fill whole records of this size. Longer pieces go out from their own memory.
constexpr size_t GATHER_BYTES = size_t{16} * 1024;
// The send buffer a connection keeps for its next request; a larger one is released after the write.
constexpr size_t KEPT_SEND_BUFFER = size_t{64} * 1024;
// One SSL_write takes an int: larger pieces go out in parts of this size.
constexpr size_t MAX_TLS_WRITE = size_t{1} << 30;
// How far the socket's own wait may stray from what is left of the exchange's time before it is set again:
// a quick exchange makes no call for it, and no read or write outlives the time-out by more than this.
constexpr std::chrono::milliseconds WAIT_SLACK{20};
// A connection whose last exchange began this recently is in steady use: reused without asking the kernel
// first whether its peer has closed it.
constexpr std::chrono::seconds STEADY_USE{1};

// OpenSSL on a blocking socket asks for a retry only when the socket's wait ran out.
bool waitRanOut(int sslError) { return sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE; }

// Where sending stands in a request's pieces: the piece and the bytes of it already sent.
struct SendPosition {
    size_t piece = 0;
    size_t offset = 0;
};

// Fills `batch` with what is left to send from `at`, empty pieces left out; gives how many entries it used.
size_t unsentPieces(std::span<const std::string_view> request, SendPosition at, std::array<iovec, SEND_BATCH>& batch) {
    size_t count = 0;
    for (size_t i = at.piece; i < request.size() && count < batch.size(); ++i) {
        std::string_view rest = request[i].substr(i == at.piece ? at.offset : 0);
        if (!rest.empty()) batch[count++] = {const_cast<char*>(rest.data()), rest.size()};
    }
    return count;
}

void advance(std::span<const std::string_view> request, SendPosition& at, size_t sent) {
    while (at.piece < request.size() && sent >= request[at.piece].size() - at.offset) {
        sent -= request[at.piece].size() - at.offset;
        ++at.piece;
        at.offset = 0;
    }
    at.offset += sent;
}

// ---- answer ------------------------------------------------------------------------------------------

constexpr size_t READ_SIZE = size_t{16} * 1024;
constexpr size_t MAX_HEADER_LINES = 100;
constexpr size_t MAX_CHUNK_LINE = 1024;
constexpr std::string_view HEAD_END = "\r\n\r\n";

// The value of the header line `text` when it is header `name` (blanks around it taken away), else nothing.
std::optional<std::string_view> valueIfNamed(std::string_view text, std::string_view name) {
    if (text.size() <= name.size() || text[name.size()] != ':' ||
        strncasecmp(text.data(), name.data(), name.size()) != 0)
        return std::nullopt;
    text.remove_prefix(name.size() + 1);
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::string_view();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The headers that frame the answer's body, each the value of its first line in `head` (after the status
// line), "" when there is none; read in one pass over the lines.
struct Framing {
    std::string_view transferEncoding, contentLength, connection;
};

Framing framingHeaders(std::string_view head) {
    constexpr std::array<std::string_view, 3> NAMES = {"Transfer-Encoding", "Content-Length", "Connection"};
    std::array<std::optional<std::string_view>, NAMES.size()> values;
    size_t line = head.find("\r\n");
    while (line != std::string_view::npos && line + 2 < head.size()) {
        size_t start = line + 2;
        size_t end = head.find("\r\n", start);
        std::string_view text = head.substr(start, end - start);
        for (size_t i = 0; i < NAMES.size(); ++i)
            if (!values[i]) values[i] = valueIfNamed(text, NAMES[i]);
        line = end;
    }
    return {values[0].value_or(""), values[1].value_or(""), values[2].value_or("")};
}

// Whether `text` holds more than `most` line feeds; stops counting there.
bool moreLinesThan(std::string_view text, size_t most) {
    size_t lines = 0;
    for (size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1))
        if (++lines > most) return true;
    return false;
}

bool containsToken(std::string_view value, std::string_view token) {
    std::string lower(value);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower.find(token) != std::string::npos;
}

}  // namespace

std::string parseHttpUrl(const std::string& url, HttpTarget& target) {
    size_t scheme = schemeLength(url);
    if (scheme == 0) return "not an http or https URL";
    if (std::any_of(url.begin(), url.end(), [](char c) { return c <= ' ' || c >= 0x7f; }))
        return "a space, control character or non-ASCII byte (percent-encode them)";
    if (url.find_first_of("#\\") != std::string::npos) return "a fragment or a backslash";
    size_t path = url.find_first_of("/?", scheme);
    if (path == std::string::npos || url[path] != '/') return "no path after the host";
    target.tls = scheme == std::strlen("https://");
    target.authority = url.substr(scheme, path - scheme);
    target.path = url.substr(path);
    target.port = target.tls ? "443" : "80";
    return authorityProblem(target.authority, target);
}

HttpConnection::~HttpConnection() {
    disconnect();
    SSL_CTX_free(m_context);
}

void HttpConnection::configure(const CallTransportConfig& config) {
    disconnect();
    SSL_CTX_free(m_context);
    m_context = nullptr;
    m_config = config;
}

void HttpConnection::fail(int code, const std::string& reason) const {
    throw AxisException(code, m_endpoint + ": " + reason);
}

void HttpConnection::failTooLarge() const {
    fail(SERVER_TRANSPORT_FAILED, "the answer is larger than " + std::to_string(m_config.maxResponseBytes) + " bytes");
}

void HttpConnection::failTls(const std::string& what) const {
    long verified = m_ssl ? SSL_get_verify_result(m_ssl) : X509_V_OK;
    if (verified != X509_V_OK) {
        ERR_clear_error();
        fail(SERVER_TRANSPORT_TLS_FAILED,
             what + ": certificate verify failed: " + X509_verify_cert_error_string(verified));
    }
    fail(SERVER_TRANSPORT_TLS_FAILED, what + ": " + openSslReason());
}

void HttpConnection::exchange(const std::string& endpoint, const HttpTarget& target, Pieces request,
                              HttpAnswer& answer) {
    m_endpoint = endpoint;
    Clock::time_point now = Clock::now();
    m_deadline = now + std::chrono::seconds(m_config.timeoutSeconds);
    if (m_key != endpoint || !reusable(now)) disconnect();
    m_lastExchange = now;
    m_target = target;
    m_key = endpoint;
    try {
        attemptRetryingStale(request, answer);
    } catch (...) {
        // A failed exchange leaves the connection out of step: whatever it still delivers answers no request.
        disconnect();
        throw;
    }
    if (!m_keepOpen) disconnect();
}

void HttpConnection::attemptRetryingStale(Pieces request, HttpAnswer& answer) {
    try {
        attempt(request, answer);
    } catch (const Stale&) {
        disconnect();
        attempt(request, answer);
    }
}

void HttpConnection::attempt(Pieces request, HttpAnswer& answer) {
    m_reused = m_fd >= 0;
    if (!m_reused) {
        connect();
        // The time-out bounds the connect and, separately, the exchange that follows.
        m_deadline = Clock::now() + std::chrono::seconds(m_config.timeoutSeconds);
    }
    sendAll(request);
    readAnswer(answer);
}

// A server closes a kept connection, or speaks unasked before it does (a 408), only once it has been idle for
// its keep-alive time-out, which is seconds. So a connection in steady use is reused without the peek; if its
// peer closed it all the same, the exchange fails before the first byte of the answer and is retried once.
bool HttpConnection::reusable(Clock::time_point now) const {
    return m_fd >= 0 && (now - m_lastExchange < STEADY_USE || idleConnectionAlive());
}

// An idle connection the peer closed reads as end of file (or an error) without waiting; a plain one that
// holds unasked bytes is no longer in step either. A TLS one may hold a session ticket.
bool HttpConnection::idleConnectionAlive() const {
    if (m_fd < 0) return false;
    char byte;
    ssize_t got = ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    return got > 0 && m_ssl;
}

void HttpConnection::connect() {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(m_target.host.c_str(), m_target.port.c_str(), &hints, &found);
    if (rc != 0)
        fail(SERVER_TRANSPORT_CONNECT_FAILED,
             "Could not resolve host: " + m_target.host + " (" + gai_strerror(rc) + ")");
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
    int lastError = ECONNREFUSED;
    for (const addrinfo* address = found; address && m_fd < 0; address = address->ai_next)
        lastError = connectTo(*address);
    if (m_fd < 0)
        fail(SERVER_TRANSPORT_CONNECT_FAILED,
             "Failed to connect to " + m_target.authority + ": " + std::strerror(lastError));
    ++m_opened;  // counted before TLS: a refused handshake still opened a connection
    if (m_target.tls) startTls();
}

// 0 when connected, else the reason (errno); a connect that outlasts the time-out throws.
int HttpConnection::connectTo(const addrinfo& address) {
    m_fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
    if (m_fd < 0) return errno;
    int on = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(m_fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    int error = ::connect(m_fd, address.ai_addr, address.ai_addrlen) == 0 ? 0 : errno;
    if (error == EINPROGRESS) {
        try {
            awaitConnected();
        } catch (...) {
            disconnect();
            throw;
        }
        socklen_t length = sizeof error;
        getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length);
    }
    if (error == 0) {
        useBlockingWaits();
        return 0;
    }
    disconnect();
    return error;
}

// The connected socket blocks from here on, each read and write bounded by the socket's own wait (see
// boundWaits): a read is one system call where polling first would make two.
void HttpConnection::useBlockingWaits() {
    fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
    m_socketWait = Clock::duration::zero();
}

void HttpConnection::ensureTlsContext() {
    if (m_context) return;
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context) fail(SERVER_TRANSPORT_TLS_FAILED, "cannot create a TLS context: " + openSslReason());
    m_context = context;
    bool trusted = m_config.caFile.empty()
                       ? SSL_CTX_set_default_verify_paths(context) == 1
                       : SSL_CTX_load_verify_locations(context, m_config.caFile.c_str(), nullptr) == 1;
    if (!trusted) fail(SERVER_TRANSPORT_TLS_FAILED, "cannot load the trust file: " + openSslReason());
    if (!m_config.certFile.empty() && SSL_CTX_use_certificate_chain_file(context, m_config.certFile.c_str()) != 1)
        fail(SERVER_TRANSPORT_TLS_FAILED, "cannot load the client certificate: " + openSslReason());
    const std::string& key = m_config.keyFile.empty() ? m_config.certFile : m_config.keyFile;
    if (!key.empty() && SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1)
        fail(SERVER_TRANSPORT_TLS_FAILED, "cannot load the client key: " + openSslReason());
    SSL_CTX_set_verify(context, m_config.verifyPeer ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
}

void HttpConnection::startTls() {
    ERR_clear_error();
    ensureTlsContext();
    m_ssl = SSL_new(m_context);
    BIO* bio = m_ssl ? BIO_new(socketMethod()) : nullptr;
    if (!bio) failTls("cannot start TLS");
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(m_fd)));
    SSL_set_bio(m_ssl, bio, bio);
    bool literal = isAddressLiteral(m_target.host);
    if (!literal) SSL_set_tlsext_host_name(m_ssl, m_target.host.c_str());
    if (m_config.verifyPeer) {
        bool named = literal ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), m_target.host.c_str()) == 1
                             : SSL_set1_host(m_ssl, m_target.host.c_str()) == 1;
        if (!named) failTls("cannot set the expected host name");
    }
    for (;;) {
        boundWaits();
        int rc = SSL_connect(m_ssl);
        if (rc == 1) return;
        if (!waitRanOut(SSL_get_error(m_ssl, rc))) failTls("TLS handshake failed");
    }
}

void HttpConnection::disconnect() {
    if (m_ssl) SSL_free(m_ssl);
    m_ssl = nullptr;
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_key.clear();
}

void HttpConnection::failTimedOut() const {
    fail(SERVER_TRANSPORT_TIMEOUT, "timed out after " + std::to_string(m_config.timeoutSeconds) + " s");
}

void HttpConnection::awaitConnected() {
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(m_deadline - Clock::now()).count();
        if (left <= 0) failTimedOut();
        pollfd polled{m_fd, POLLOUT, 0};
        int rc = ::poll(&polled, 1, static_cast<int>(std::min<long long>(left, 60'000)));
        if (rc > 0 || (rc < 0 && errno != EINTR)) return;
    }
}

// Keeps the socket's own wait within WAIT_SLACK of what is left of the exchange's time, so that an answer
// that drips in never outlives the time-out; called before every read and write, and again when a wait ran out.
void HttpConnection::boundWaits() {
    Clock::duration left = m_deadline - Clock::now();
    if (left <= Clock::duration::zero()) failTimedOut();
    if (std::chrono::abs(m_socketWait - left) <= WAIT_SLACK) return;
    auto micros = std::chrono::ceil<std::chrono::microseconds>(left).count();
    timeval wait{static_cast<time_t>(micros / 1'000'000), static_cast<suseconds_t>(micros % 1'000'000)};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    m_socketWait = left;
}

// Each attempt sends every piece from its start: a stale connection's retry repeats the whole request.
void HttpConnection::sendAll(Pieces request) {
    if (m_ssl) sendTls(request);
    else sendPlain(request);
}

// A partial write resumes where it stopped.
void HttpConnection::sendPlain(Pieces pieces) {
    Pieces request = joinSmallPieces(pieces);
    std::array<iovec, SEND_BATCH> batch;
    SendPosition at;
    while (size_t count = unsentPieces(request, at, batch)) {
        boundWaits();
        msghdr message{};
        message.msg_iov = batch.data();
        message.msg_iovlen = count;
        ssize_t sent = ::sendmsg(m_fd, &message, MSG_NOSIGNAL);
        if (sent >= 0) {
            advance(request, at, static_cast<size_t>(sent));
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
        if (m_reused && (errno == EPIPE || errno == ECONNRESET)) throw Stale{};
        fail(SERVER_TRANSPORT_FAILED, std::string("Send failure: ") + std::strerror(errno));
    }
    if (m_sendBuffer.capacity() > KEPT_SEND_BUFFER) std::string().swap(m_sendBuffer);
}

// The request as runs of small pieces copied into the send buffer, with each long piece between them in
// its own memory. The buffer is sized first, so the runs' views stay valid.
HttpConnection::Pieces HttpConnection::joinSmallPieces(Pieces request) {
    size_t smallBytes = 0;
    for (std::string_view piece : request)
        if (piece.size() < GATHER_BYTES) smallBytes += piece.size();
    m_sendBuffer.clear();
    m_sendBuffer.reserve(smallBytes);
    m_joined.clear();
    size_t runStart = 0;
    auto endRun = [&] {
        if (m_sendBuffer.size() > runStart)
            m_joined.emplace_back(m_sendBuffer.data() + runStart, m_sendBuffer.size() - runStart);
        runStart = m_sendBuffer.size();
    };
    for (std::string_view piece : request) {
        if (piece.size() < GATHER_BYTES) {
            m_sendBuffer.append(piece);
            continue;
        }
        endRun();
        m_joined.push_back(piece);
    }
    endRun();
    return m_joined;
}

// Pieces are gathered into full records, so a typical request is one record and one write; the part of a
// large piece beyond the record it starts in is written from the piece's own memory.
void HttpConnection::sendTls(Pieces request) {
    m_sendBuffer.clear();
    for (std::string_view piece : request) {
        while (!piece.empty()) {
            if (m_sendBuffer.empty() && piece.size() >= GATHER_BYTES) {
                writeTls(piece);
                break;
            }
            size_t taken = std::min(piece.size(), GATHER_BYTES - m_sendBuffer.size());
            m_sendBuffer.append(piece.substr(0, taken));
            piece.remove_prefix(taken);
            if (m_sendBuffer.size() == GATHER_BYTES) {
                writeTls(m_sendBuffer);
                m_sendBuffer.clear();
            }
        }
    }
    writeTls(m_sendBuffer);
}

// A write that would block is repeated with the same bytes, as OpenSSL requires.
void HttpConnection::writeTls(std::string_view data) {
    while (!data.empty()) {
        boundWaits();
        ERR_clear_error();
        int rc = SSL_write(m_ssl, data.data(), static_cast<int>(std::min(data.size(), MAX_TLS_WRITE)));
        if (rc > 0) {
            data.remove_prefix(static_cast<size_t>(rc));
            continue;
        }
        if (waitRanOut(SSL_get_error(m_ssl, rc))) continue;
        if (m_reused) throw Stale{};
        failTls("TLS write failed");
    }
}

// Waits for what comes next and reads it; 0 at the end of the stream. Before the first byte of an answer, a
// reset of a reused connection also counts as its end, so that the exchange is retried.
size_t HttpConnection::receiveSome(char* buffer, size_t size, bool answerStarted) {
    for (;;) {
        boundWaits();
        if (m_ssl) {
            ERR_clear_error();
            int rc = SSL_read(m_ssl, buffer, static_cast<int>(size));
            if (rc > 0) return static_cast<size_t>(rc);
            int error = SSL_get_error(m_ssl, rc);
            if (error == SSL_ERROR_ZERO_RETURN ||
                (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && !answerStarted))
                return 0;
            if (!waitRanOut(error)) failTls("TLS read failed");
            continue;
        }
        ssize_t got = ::recv(m_fd, buffer, size, 0);
        if (got >= 0) return static_cast<size_t>(got);
        if (errno == ECONNRESET && m_reused && !answerStarted) return 0;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            fail(SERVER_TRANSPORT_FAILED, std::string("Recv failure: ") + std::strerror(errno));
    }
}

// Reads until `m_raw` holds `wanted` bytes; false at the end of the stream. A reused connection that ends
// before the first byte of its answer is retried once on a fresh one.
bool HttpConnection::fill(size_t wanted) {
    if (m_readBuffer.empty()) m_readBuffer.resize(READ_SIZE);
    while (m_raw.size() < wanted) {
        bool answerStarted = !m_raw.empty();
        size_t got = receiveSome(m_readBuffer.data(), m_readBuffer.size(), answerStarted);
        if (got == 0) {
            if (!answerStarted && m_reused) throw Stale{};
            return false;
        }
        m_raw.append(m_readBuffer.data(), got);
    }
    return true;
}

void HttpConnection::readAnswer(HttpAnswer& answer) {
    m_raw.clear();
    answer.body.clear();
    size_t start = 0;
    size_t bodyStart = readHead(answer, start);
    std::string_view head(answer.headers);
    Framing framing = framingHeaders(head);
    bool chunked = containsToken(framing.transferEncoding, "chunked");
    std::string_view length = framing.contentLength;
    m_keepOpen = !containsToken(framing.connection, "close") && head.substr(0, 8) == "HTTP/1.1";
    size_t limit = static_cast<size_t>(m_config.maxResponseBytes);
    if (chunked) return readChunked(bodyStart, answer);
    if (!length.empty()) {
        size_t bytes = 0;
        auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), bytes);
        if (error == std::errc::result_out_of_range || (error == std::errc() && bytes > limit - answer.headers.size()))
            failTooLarge();
        if (error != std::errc() || end != length.data() + length.size())
            fail(SERVER_TRANSPORT_FAILED, "a Content-Length that is not a number");
        if (!fill(bodyStart + bytes)) fail(SERVER_TRANSPORT_FAILED, "the connection closed inside the answer");
        answer.body.assign(m_raw, bodyStart, bytes);
        if (m_raw.size() > bodyStart + bytes) m_keepOpen = false;  // unasked bytes: out of step
        return;
    }
    m_keepOpen = false;
    while (fill(m_raw.size() + 1))
        if (m_raw.size() - bodyStart + answer.headers.size() > limit) failTooLarge();
    answer.body.assign(m_raw, bodyStart);
}

// Reads the status line and header lines of the final answer, skipping 1xx answers; gives where the body starts.
size_t HttpConnection::readHead(HttpAnswer& answer, size_t start) {
    size_t limit = static_cast<size_t>(m_config.maxResponseBytes);
    for (;;) {
        size_t end;
        while ((end = m_raw.find(HEAD_END, start)) == std::string::npos) {
            if (m_raw.size() - start > limit) failTooLarge();
            if (!fill(m_raw.size() + 1))
                fail(SERVER_TRANSPORT_FAILED,
                     m_raw.empty() ? "Empty reply from server" : "the connection closed inside the answer");
        }
        std::string_view head(m_raw.data() + start, end + 2 - start);
        if (head.size() + 2 > limit) failTooLarge();
        int status = 0;
        if (head.size() < 12 || head.substr(0, 7) != "HTTP/1." || head[8] != ' ' ||
            std::from_chars(head.data() + 9, head.data() + 12, status).ptr != head.data() + 12)
            fail(SERVER_TRANSPORT_FAILED, "the answer has no HTTP status line");
        if (moreLinesThan(head, MAX_HEADER_LINES))
            fail(SERVER_TRANSPORT_FAILED,
                 "the answer has more than " + std::to_string(MAX_HEADER_LINES) + " header lines");
        start = end + HEAD_END.size();
        if (status >= 100 && status < 200) continue;
        answer.status = status;
        answer.headers.assign(head);
        return start;
    }
}

// Chunk sizes are hexadecimal; each chunk and the whole answer are held within the answer limit.
void HttpConnection::readChunked(size_t position, HttpAnswer& answer) {
    size_t limit = static_cast<size_t>(m_config.maxResponseBytes);
    for (;;) {
        size_t lineEnd;
        while ((lineEnd = m_raw.find("\r\n", position)) == std::string::npos) {
            if (m_raw.size() - position > MAX_CHUNK_LINE) fail(SERVER_TRANSPORT_FAILED, "a chunk size line too long");
            if (!fill(m_raw.size() + 1)) fail(SERVER_TRANSPORT_FAILED, "the connection closed inside the answer");
        }
        size_t size = 0;
        const char* digits = m_raw.data() + position;
        auto [end, error] = std::from_chars(digits, m_raw.data() + lineEnd, size, 16);
        if (error == std::errc::result_out_of_range) failTooLarge();
        if (error != std::errc() || (end != m_raw.data() + lineEnd && *end != ';' && *end != ' '))
            fail(SERVER_TRANSPORT_FAILED, "a chunk size that is not hexadecimal");
        if (size > limit - answer.headers.size() - answer.body.size()) failTooLarge();
        position = lineEnd + 2;
        if (size == 0) break;
        if (!fill(position + size + 2)) fail(SERVER_TRANSPORT_FAILED, "the connection closed inside the answer");
        if (m_raw.compare(position + size, 2, "\r\n") != 0)
            fail(SERVER_TRANSPORT_FAILED, "a chunk without its line end");
        answer.body.append(m_raw, position, size);
        position += size + 2;
    }
    // Trailer lines, if any, end with an empty line.
    if (!fill(position + 2)) fail(SERVER_TRANSPORT_FAILED, "the connection closed inside the answer");
    if (m_raw.compare(position, 2, "\r\n") == 0) return;
    while (m_raw.find(HEAD_END, position) == std::string::npos) {
        if (m_raw.size() - position > MAX_CHUNK_LINE) fail(SERVER_TRANSPORT_FAILED, "trailer lines too long");
        if (!fill(m_raw.size() + 1)) fail(SERVER_TRANSPORT_FAILED, "the connection closed inside the answer");
    }
}

}  // namespace orbsec_axiscpp
