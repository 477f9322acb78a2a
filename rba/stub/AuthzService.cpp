#include "rba/stub/AuthzService.h"

#include <cstdarg>
#include <cstdint>

using namespace orbsec_axiscpp;

const char* const KOVA_DEFAULT_ENDPOINT = "http://localhost:9080/kova/authz/services/AuthzService";
// The host part names the service; it is not an address.
const char* const KOVA_SOAP_ACTION = "http://kova.authz.service/kova/AuthzService/XACML";

namespace {

constexpr const char* XACML_CONTEXT_NS = "urn:oasis:names:tc:xacml:2.0:context:schema:os";
constexpr int SECURE_ARGUMENT_COUNT = SECURE_PROPERTY_COUNT;

// A secure argument passed as the pointer value 1 means "true".
bool isTrueMarker(const char* argument) { return reinterpret_cast<std::uintptr_t>(argument) == 1; }

// The call's secure properties are an array of C strings, which it copies.
void applySecureArguments(Call& call, const std::string (&arguments)[SECURE_ARGUMENT_COUNT]) {
    const char* texts[SECURE_ARGUMENT_COUNT];
    for (int i = 0; i < SECURE_ARGUMENT_COUNT; ++i) texts[i] = arguments[i].c_str();
    call.setTransportProperty(SECURE_PROPERTIES, reinterpret_cast<const char*>(texts));
}

}  // namespace

AuthzService::AuthzService(const char* endpoint, AXIS_PROTOCOL_TYPE protocol) : Stub(endpoint, protocol) {}

AuthzService::AuthzService() : Stub(" ", APTHTTP1_1) { m_pCall->setEndpointURI(KOVA_DEFAULT_ENDPOINT); }

AuthzService::~AuthzService() = default;

void AuthzService::SetSecure(char* first, ...) {
    va_list args;
    va_start(args, first);
    int stored = 0;
    for (char* argument = first; argument != nullptr;) {
        secureArguments[stored] = isTrueMarker(argument) ? "true" : argument;
        if (++stored == SECURE_ARGUMENT_COUNT) break;
        argument = va_arg(args, char*);
    }
    va_end(args);
    if (stored == 6) secureArguments[6] = "false";
}

AnyType* AuthzService::EvaluateXACML(AnyType* request) {
    AnyType* result = nullptr;
    try {
        if (m_pCall->initialize(CPP_DOC_PROVIDER) != AXIS_SUCCESS) return nullptr;
        if (m_pCall->getTransportProperty("SOAPAction", false) == nullptr)
            m_pCall->setTransportProperty(SOAPACTION_HEADER, KOVA_SOAP_ACTION);
        m_pCall->setSOAPVersion(SOAP_VER_1_1);
        m_pCall->setOperation("Request", XACML_CONTEXT_NS);
        applySecureArguments(*m_pCall, secureArguments);
        applyUserPreferences();
        m_pCall->addAnyObject(request);
        if (m_pCall->invoke() == AXIS_SUCCESS && m_pCall->checkMessage("Response", XACML_CONTEXT_NS) == AXIS_SUCCESS)
            result = m_pCall->getAnyObject();
        m_pCall->unInitialize();
        return result;
    } catch (AxisException& e) {
        SoapFault* fault = e.getExceptionCode() == SERVER_FAULT_RECEIVED
                               ? m_pCall->checkFault("Fault", KOVA_DEFAULT_ENDPOINT)
                               : nullptr;
        if (!fault) {
            m_pCall->unInitialize();
            throw;
        }
        const char* detail = fault->getSimpleFaultDetail();
        char* detailXml = nullptr;
        if (detail == nullptr || *detail == '\0') {
            detailXml = m_pCall->getFaultAsXMLString();
            detail = detailXml ? detailXml : "";
        }
        OtherFaultException faultException(fault->getFaultcode(), fault->getFaultstring(), fault->getFaultactor(),
                                           detail, SERVER_FAULT_RECEIVED);
        delete[] detailXml;
        m_pCall->unInitialize();
        delete fault;
        throw faultException;
    }
}
