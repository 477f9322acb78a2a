// Client stub of the PDP's one SOAP operation: an XACML 2.0 request context in, the response out.
#pragma once

#include <string>

#include "orbsec_axiscpp/axis.h"

#define KOVA_STUB_EXPORT __attribute__((visibility("default")))

class KOVA_STUB_EXPORT RequestType {
public:
    RequestType() = default;
    orbsec_axiscpp::AnyType* getany() const { return any; }
    void setany(orbsec_axiscpp::AnyType* value) { any = value; }

    orbsec_axiscpp::AnyType* any = nullptr;
};

class KOVA_STUB_EXPORT ResponseType {
public:
    ResponseType() = default;
    orbsec_axiscpp::AnyType* getany() const { return any; }
    void setany(orbsec_axiscpp::AnyType* value) { any = value; }

    orbsec_axiscpp::AnyType* any = nullptr;
};

// Where a handle sends requests unless the cluster library sets another endpoint.
extern const char* const KOVA_DEFAULT_ENDPOINT;
// SOAPAction header value of the operation.
extern const char* const KOVA_SOAP_ACTION;

class KOVA_STUB_EXPORT AuthzService : public orbsec_axiscpp::Stub {
public:
    AuthzService(const char* endpoint, orbsec_axiscpp::AXIS_PROTOCOL_TYPE protocol);
    AuthzService();
    ~AuthzService() override;

    // Secure-transport arguments ended by a null pointer; at most eight are kept.
    void SetSecure(char* first, ...);
    // The response any-content (owned by the caller), or null.
    orbsec_axiscpp::AnyType* EvaluateXACML(orbsec_axiscpp::AnyType* request);

    const std::string& secureArgument(int index) const { return secureArguments[index]; }

private:
    std::string secureArguments[8];
};
