#include "rba/KOVASOAPCall.h"

#include <new>

#include "rba/kova_eas.h"
#include "rba/stub/AuthzService.h"

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
    }
    KOVA_TRACE(5, "Returning status [%d]", status);
    KOVA_EXIT_STATUS(NAME, status);
    return status;
}

// ---- health check -------------------------------------------------------------------------------

// Not probing yet: report the member as not answering, so the cluster keeps it down.
int KOVAPingCall::soapCall(NVWSOAPHandle* handle, const char* url, va_list args) { return KOVA_PING_BAD_RESPONSE; }
