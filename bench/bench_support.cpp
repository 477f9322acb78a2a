// The raw-socket client and the heap-block count of the benchmarks.
#include "bench_support.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace kova_bench {

namespace {

// "http://host:port/path" split into "host:port" and "/path".
std::pair<std::string, std::string> authorityAndPath(const std::string& url) {
    std::string_view rest(url);
    rest.remove_prefix(rest.find("://") + 3);
    std::size_t slash = rest.find('/');
    return {std::string(rest.substr(0, slash)),
            slash == std::string_view::npos ? "/" : std::string(rest.substr(slash))};
}

int connectTo(const std::string& authority) {
    std::size_t colon = authority.rfind(':');
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(authority.substr(0, colon).c_str(), authority.substr(colon + 1).c_str(), &hints, &found) != 0)
        throw std::runtime_error("cannot resolve " + authority);
    int fd = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    bool connected = fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    if (!connected) {
        if (fd >= 0) close(fd);
        throw std::runtime_error("cannot connect to " + authority);
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// The Content-Length of a complete head, or -1 when it has none.
long contentLength(std::string_view head) {
    static constexpr std::string_view NAME = "\r\ncontent-length:";
    for (std::size_t at = 0; at + NAME.size() <= head.size(); ++at) {
        if (strncasecmp(head.data() + at, NAME.data(), NAME.size()) == 0)
            return std::strtol(head.data() + at + NAME.size(), nullptr, 10);
    }
    return -1;
}

thread_local unsigned long t_allocations = 0;

}  // namespace

RawPost::RawPost(const std::string& url, const std::string& body) {
    auto [authority, path] = authorityAndPath(url);
    m_request = "POST " + path + " HTTP/1.1\r\nHost: " + authority +
                "\r\nContent-Type: text/xml; charset=utf-8\r\nSOAPAction: \"" + KOVA_SOAP_ACTION +
                "\"\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    m_answer.resize(64 * 1024);
    m_socket = connectTo(authority);
}

RawPost::~RawPost() {
    if (m_socket >= 0) close(m_socket);
}

bool RawPost::post() {
    ssize_t sent = send(m_socket, m_request.data(), m_request.size(), MSG_NOSIGNAL);
    return sent == static_cast<ssize_t>(m_request.size()) && readAnswer();
}

// Reads until the head is complete and then until Content-Length bytes of body follow it.
bool RawPost::readAnswer() {
    std::size_t have = 0, headEnd = std::string::npos;
    long length = -1;
    while (headEnd == std::string::npos || have < headEnd + static_cast<std::size_t>(length)) {
        if (have == m_answer.size()) m_answer.resize(2 * m_answer.size());
        ssize_t got = recv(m_socket, m_answer.data() + have, m_answer.size() - have, 0);
        if (got <= 0) return false;
        have += static_cast<std::size_t>(got);
        if (headEnd == std::string::npos) {
            std::size_t end = std::string_view(m_answer.data(), have).find("\r\n\r\n");
            if (end == std::string_view::npos) continue;
            headEnd = end + 4;
            length = contentLength(std::string_view(m_answer.data(), headEnd));
            if (length < 0) return false;
        }
    }
    return true;
}

unsigned long threadAllocations() { return t_allocations; }

double processCpuMicros(pid_t pid) {
    double nanos = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream stat(task.path() / "schedstat");
        double ran = 0;
        if (stat >> ran) nanos += ran;
    }
    return nanos / 1000;
}

}  // namespace kova_bench

// Every heap block of the process, the plug-in's, the host library's, libcurl's and libxml2's included,
// counted for the thread that asks for it, then handed to the C library's allocator.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);

void* malloc(std::size_t size) {
    ++kova_bench::t_allocations;
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    ++kova_bench::t_allocations;
    return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) {
    ++kova_bench::t_allocations;
    return __libc_realloc(block, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
    ++kova_bench::t_allocations;
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    ++kova_bench::t_allocations;
    *out = __libc_memalign(alignment, size);
    return *out ? 0 : 12;  // ENOMEM
}
}
