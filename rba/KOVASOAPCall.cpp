#include "rba/KOVASOAPCall.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "nvwebrte/nvwebrte.h"
#include "rba/kova_eas.h"
#include "rba/stub/AuthzService.h"
#include "wzt/wzt.h"

static constexpr const char* KOVA_UNIT = "rba/KOVASOAPCall";

using orbsec_axiscpp::AnyType;

// ---- service factory ----------------------------------------------------------------------------

orbsec_axiscpp::Stub* KOVAServiceFactory::createHandle() { return new (std::nothrow) AuthzService(); }

NVWSOAPCall* KOVAServiceFactory::createPingCall(NVWSOAPClusterMember* member) {
    return new (std::nothrow) KOVAPingCall("ping", true, member, &kova_trace);
}

NVWSOAPCluster* KOVAServiceFactory::createCluster() { return new (std::nothrow) NVWSOAPCluster(); }

void KOVAServiceFactory::setHandleSecure(orbsec_axiscpp::Stub* stub, char* argument) {
    static_cast<AuthzService*>(stub)->SetSecure(argument, static_cast<char*>(nullptr));
}

const char* KOVAServiceFactory::clusterName() { return "kova-cluster"; }

// ---- decision call ------------------------------------------------------------------------------

int KOVAServiceCall::soapCall(NVWSOAPHandle* handle, const char* url, va_list args) {
    static constexpr const char* NAME = "KOVAServiceCall::soapCall";
    KOVA_ENTER(NAME);
    KOVA_TRACE(5, "Just entered the SOAP Call function");
    KOVA_TRACE(5, "About to get the axis handle...");
    AnyType* request = va_arg(args, AnyType*);
    AnyType** response = va_arg(args, AnyType**);
    int status = 0;
    AuthzService* service = static_cast<AuthzService*>(handle->axisHandle());
    KOVA_TRACE(5, "Got axis handle");
    try {
        KOVA_TRACE(9, "Attempting to call Web Service...");
        *response = service->EvaluateXACML(request);
        KOVA_TRACE(9, "...call completed!");
        KOVA_TRACE(9, "Call to Web Service was successful!");
    } catch (orbsec_axiscpp::OtherFaultException& e) {
        KOVA_TRACE(9, "Other fault exception!");
        int code = e.getExceptionCode();
        kova_svc->printMessage(QLXBA0313E, url, e.what(), code, code);
        KOVA_TRACE(5, "Failed to make KOVA request call: %s [code %d]", e.what(), code);
        // The same fields as the cluster library's record of a failed exchange, for tools to read.
        KOVA_TRACE(9, "%s: exchange failed: url[%s] code[%d] reason[%s]", NAME, url, code, e.what());
    }
    KOVA_TRACE(5, "Returning status [%d]", status);
    KOVA_EXIT_STATUS(NAME, status);
    return status;
}

// ---- health check -------------------------------------------------------------------------------

namespace {

constexpr int maxRspLen = 1024;
constexpr const char* GOOD_STATUS_LINE = "HTTP/1.1 200 OK";
constexpr size_t GOOD_STATUS_LINE_LENGTH = 15;

// "Authorization: Basic ...\r\n" when the handle has both basic-authentication values, else "".
std::string authorizationLine(const NVWSOAPHandleConfig& config) {
    if (!config.baUser() || !config.baPassword()) return "";
    std::string credentials = std::string(config.baUser()) + ":" + config.baPassword();
    char* encoded = mime64_encode(credentials.c_str(), credentials.size());
    std::string line = std::string("Authorization: Basic ") + (encoded ? encoded : "") + "\r\n";
    free(encoded);
    return line;
}

// One request and one read of at most maxRspLen-1 bytes through the SSL toolkit.
int exchangeOverSSL(const NVWSOAPHandleConfig& config, int sockfd, const timeval& timeout, std::string& request,
                    char* rsp, int& rspLen) {
    wzt_soc_handle_t sslHandle = nullptr;
    int32_t timeoutSeconds = static_cast<int32_t>(timeout.tv_sec);
    int transmitted = 0;
    const char* failedCall = nullptr;
    int code = wzt_secure_soc_open(config.wztEnv(), &sslHandle);
    if (code) failedCall = "wzt_secure_soc_open(config->wztEnv(), &sslHandle)";
    if (!failedCall &&
        (code = wzt_attribute_set_buffer(sslHandle, WZT_USER_DATA, reinterpret_cast<const char*>(&timeoutSeconds), 4)))
        failedCall = "wzt_attribute_set_buffer(sslHandle, WZT_USER_DATA, (const char*)&timeout.tv_sec, "
                     "sizeof(timeout.tv_sec))";
    if (!failedCall && (code = wzt_attribute_set_numeric_value(sslHandle, WZT_FD, sockfd)))
        failedCall = "wzt_attribute_set_numeric_value(sslHandle, WZT_FD, sockfd)";
    if (!failedCall && (code = wzt_secure_soc_init(sslHandle))) failedCall = "wzt_secure_soc_init(sslHandle)";
    if (!failedCall &&
        (code = wzt_secure_soc_write(sslHandle, request.data(), static_cast<int>(request.size()), &transmitted)))
        failedCall = "wzt_secure_soc_write(sslHandle, (char*)request.getChars(), request.getLength(), &transmitted)";
    if (!failedCall && (code = wzt_secure_soc_read(sslHandle, rsp, maxRspLen - 1, &rspLen)))
        failedCall = "wzt_secure_soc_read(sslHandle, rsp, maxRspLen-1, &rspLen)";
    if (sslHandle) wzt_secure_soc_close(sslHandle);
    if (!failedCall) return 0;
    KOVA_TRACE(3, "AN SSL toolkit failure occured while calling %s. Error: %s.", failedCall, wzt_strerror(code));
    return KOVA_PING_SSL_FAILURE;
}

int exchangePlain(int sockfd, const timeval& timeout, const std::string& request, char* rsp, int& rspLen) {
    int error = 0;
    int length = static_cast<int>(request.size());
    if (qzw_timed_write(sockfd, request.c_str(), length, 0, timeout, &error) != length) return KOVA_PING_SHORT_WRITE;
    rspLen = qzw_timed_read(sockfd, rsp, maxRspLen - 1, 0, timeout, &error);
    return rspLen < 1 ? static_cast<int>(KOVA_PING_NO_READ) : 0;
}

}  // namespace

int KOVAPingCall::soapCall(NVWSOAPHandle* handle, const char* url, va_list args) {
    static constexpr const char* NAME = "KOVAPingCall::soapCall";
    KOVA_ENTER(NAME);
    KOVA_TRACE(9, "About to ping KOVA service using: %s", url);
    std::string host;
    uint32_t port = 0;
    const char* path = nullptr;
    int result = parseURL(handle, url, host, port, path);
    if (result) {
        kova_svc->printMessage(QLXBA0314E);
        return result;
    }
    KOVA_TRACE(9, "Parsed the service URL: %s:%d %s", host.c_str(), port, path);
    int sockfd = -1;
    result = connectToHost(host, port, sockfd);
    if (result) {
        KOVA_TRACE(3, "Failed to connect to the socket: 0x%x", result);
        return result;
    }
    const NVWSOAPHandleConfig& config = *handle->config();
    std::string request = std::string("GET ") + path + " HTTP/1.1\r\nUser-Agent: ZEM (Corvane)\r\nHost: " + host +
                          "\r\n" + authorizationLine(config) + "Accept: */*\r\n\r\n";
    KOVA_TRACE(9, "About to send the request: %s", request.c_str());
    timeval timeout{config.timeout(), 0};
    char rsp[maxRspLen];
    int rspLen = 0;
    result = config.useSSL() ? exchangeOverSSL(config, sockfd, timeout, request, rsp, rspLen)
                             : exchangePlain(sockfd, timeout, request, rsp, rspLen);
    if (result) {
        close(sockfd);
        return result;
    }
    KOVA_TRACE(9, "Got ping response (%d):\n %.*s", rspLen, rspLen, rsp);
    bool good = static_cast<size_t>(rspLen) >= GOOD_STATUS_LINE_LENGTH &&
                std::memcmp(rsp, GOOD_STATUS_LINE, GOOD_STATUS_LINE_LENGTH) == 0;
    if (!good) {
        rsp[rspLen] = '\0';
        KOVA_TRACE(3, "Did not receive a good response: %s", rsp);
        result = KOVA_PING_BAD_RESPONSE;
    }
    close(sockfd);
    KOVA_EXIT_STATUS(NAME, result);
    return result;
}

int KOVAPingCall::parseURL(NVWSOAPHandle* handle, const char* url, std::string& host, uint32_t& port,
                           const char*& path) {
    static constexpr const char* NAME = "KOVAPingCall::parseURL";
    KOVA_ENTER(NAME);
    KOVA_TRACE(9, "About to parse service URL [%s] into its URL, host, and port components", url);
    const char* slash = std::strchr(url, '/');
    if (!slash || slash[1] != '/' || slash[2] == '\0') return KOVA_PING_BAD_URL;
    const char* hostStart = slash + 2;
    const char* pathStart = std::strchr(hostStart, '/');
    if (!pathStart) return KOVA_PING_BAD_URL;
    path = pathStart;
    KOVA_TRACE(9, "Found URL: %s", path);
    std::string hostAndPort(hostStart, pathStart);
    int result = extractHostAndPort(hostAndPort, handle->config()->useSSL(), host, port);
    if (result)
        KOVA_TRACE(1, "%s: Failed[0x%X] to extract host and port from (%s)", NAME, static_cast<unsigned>(result),
                   hostAndPort.c_str());
    else KOVA_TRACE(9, "%s: Found Host: (%s) port (%d)", NAME, host.c_str(), port);
    KOVA_EXIT_STATUS(NAME, result);
    return result;
}

int KOVAPingCall::extractHostAndPort(const std::string& hostAndPort, bool useSSL, std::string& host, uint32_t& port) {
    static constexpr const char* NAME = "extractHostAndPort";
    KOVA_TRACE(6, "Enter %s hostAndPort[%s] useSSL[%d]", NAME, hostAndPort.c_str(), useSSL);
    int result = 0;
    bool bracketClosed = true;
    size_t separator = std::string::npos;
    if (hostAndPort.empty() || hostAndPort.front() != '[') {
        separator = hostAndPort.rfind(':');
        host = hostAndPort.substr(0, separator);
        KOVA_TRACE(9, "%s: host [%s]", NAME, host.c_str());
    } else {
        KOVA_TRACE(9, "%s: Starts with a [ character", NAME);
        size_t closing = hostAndPort.rfind(']');
        bracketClosed = closing != std::string::npos;
        if (!bracketClosed) {
            KOVA_TRACE(1,
                       "%s: ERROR, Found first character of [ but no ] character after that.  BAD IPV6 hostname "
                       "provided",
                       NAME);
            result = KOVA_PING_BAD_URL;
        } else {
            KOVA_TRACE(9, "%s: and has a ] character after that, must be IPV6", NAME);
            host = hostAndPort.substr(1, closing - 1);
            KOVA_TRACE(9, "%s: Found IPV6 host [%s]", NAME, host.c_str());
            size_t colon = hostAndPort.rfind(':');
            if (colon != std::string::npos && colon > closing) separator = colon;
        }
    }
    if (bracketClosed) {
        if (separator == std::string::npos) {
            KOVA_TRACE(9, "%s: No port provided, we'll use the default", NAME);
            port = useSSL ? 443 : 80;
        } else if (separator + 1 == hostAndPort.size()) {
            KOVA_TRACE(1,
                       "%s: ERROR, Found : character after the host, seemingly indicating a port, but no "
                       "characters after the :.  Fail the method.",
                       NAME);
            result = KOVA_PING_BAD_URL;
        } else {
            try {
                port = kova_strtoul(hostAndPort.c_str() + separator + 1);
                KOVA_TRACE(9, "Found Port: %d", port);
            } catch (const ParseException& e) {
                KOVA_TRACE(9, "Exception thrown: %s", e.what());
                result = KOVA_PING_BAD_URL;
            }
        }
        KOVA_TRACE(9, "%s: port [%d]", NAME, port);
    }
    KOVA_TRACE(6, "Exit %s  result[0x%X] host[%s] port[%d]", NAME, static_cast<unsigned>(result),
               result ? "N/A" : host.c_str(), result ? 0 : port);
    return result;
}

int KOVAPingCall::connectToHost(const std::string& host, uint32_t port, int& sock) {
    sock = -1;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = 0;
    addrinfo* results = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &results) != 0) return 1;
    for (addrinfo* entry = results; entry && sock < 0; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
        sock = socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
        if (sock < 0) continue;
        if (connect(sock, entry->ai_addr, entry->ai_addrlen) != 0) {
            close(sock);
            sock = -1;
        }
    }
    freeaddrinfo(results);
    if (sock < 0) return 2;
    int noDelay = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    return 0;
}
