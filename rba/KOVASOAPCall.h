// Binds the XACML stub to the SOAP cluster library: the service factory, the decision's service call
// and the health-check ping.
#pragma once

#include <cstdint>
#include <string>

#include "nvwsoap/nvwsoap.h"

class KOVAServiceFactory : public NVWSOAPServiceFactory {
public:
    orbsec_axiscpp::Stub* createHandle() override;
    NVWSOAPCall* createPingCall(NVWSOAPClusterMember* member) override;
    NVWSOAPCluster* createCluster() override;
    void setHandleSecure(orbsec_axiscpp::Stub* stub, char* argument) override;
    const char* clusterName() override;
};

// Sends one request through the lent handle's stub. Arguments: the request AnyType*, then the
// address of the AnyType* that receives the response.
class KOVAServiceCall : public NVWSOAPCall {
public:
    using NVWSOAPCall::NVWSOAPCall;
    int soapCall(NVWSOAPHandle* handle, const char* url, va_list args) override;
};

// Result codes of the ping.
enum : uint32_t {
    KOVA_PING_BAD_URL = 0x38cf043f,
    KOVA_PING_BAD_RESPONSE = 0x38cf043a,
    KOVA_PING_SSL_FAILURE = 0x38ad54c1,
    KOVA_PING_SHORT_WRITE = 0x38ad5420,
    KOVA_PING_NO_READ = 0x38ad541f,
};

// Health check of one endpoint: an HTTP GET of the service path that must answer "HTTP/1.1 200 OK".
class KOVAPingCall : public NVWSOAPCall {
public:
    using NVWSOAPCall::NVWSOAPCall;
    int soapCall(NVWSOAPHandle* handle, const char* url, va_list args) override;

    int parseURL(NVWSOAPHandle* handle, const char* url, std::string& host, uint32_t& port, const char*& path);
    int extractHostAndPort(const std::string& hostAndPort, bool useSSL, std::string& host, uint32_t& port);
    int connectToHost(const std::string& host, uint32_t port, int& sock);
};
