// SOAP client library: a stub base whose call object posts one SOAP 1.1 envelope over HTTP/1.1
// (its own keep-alive connection per stub, plain or TLS) and reads the response (libxml2).
#pragma once

#include <cstddef>
#include <exception>
#include <string>

namespace orbsec_axiscpp {

enum AXIS_PROTOCOL_TYPE { APTHTTP1_0 = 0, APTHTTP1_1 = 1, APTHTTPS = 2 };
enum PROVIDERTYPE {
    UNKNOWN_PROVIDER = 0,
    C_RPC_PROVIDER = 1,
    C_DOC_PROVIDER = 2,
    CPP_RPC_PROVIDER = 3,
    CPP_DOC_PROVIDER = 4
};
enum SOAP_VERSION { SOAP_VER_1_1 = 0, SOAP_VER_1_2 = 1 };
enum AXIS_TRANSPORT_INFORMATION_TYPE {
    SOAPACTION_HEADER = 0,
    SERVICE_URI = 1,
    OPERATION_NAME = 2,
    SOAP_MESSAGE_LENGTH = 3,
    TRANSPORT_PROPERTIES = 4,
    SECURE_PROPERTIES = 5,  // value: the address of an array of SECURE_PROPERTY_COUNT C strings
};
// A stub's secure-channel arguments: const char* const[SECURE_PROPERTY_COUNT], passed as the value of
// SECURE_PROPERTIES (a null entry is an empty argument).
constexpr int SECURE_PROPERTY_COUNT = 8;

// Results of the call operations that return a status.
enum { AXIS_SUCCESS = 0, AXIS_FAIL = -1 };

// Exception codes (AxisException::getExceptionCode).
enum {
    SERVER_TRANSPORT_CONNECT_FAILED = 10,  // the endpoint refused or could not be reached
    SERVER_TRANSPORT_TIMEOUT = 11,         // connect, send or receive took longer than the time-out
    SERVER_TRANSPORT_HTTP_ERROR = 12,      // an HTTP status other than 200 without a SOAP fault
    SERVER_TRANSPORT_TLS_FAILED = 13,      // TLS handshake or certificate verification failed
    SERVER_TRANSPORT_FAILED = 14,          // any other transport failure
    CLIENT_SOAP_MALFORMED_RESPONSE = 20,   // the response is not well-formed SOAP
    CLIENT_CALL_NOT_INITIALIZED = 30,      // the call was used outside initialize/unInitialize
    CLIENT_UNSUPPORTED_FEATURE = 31,       // a setting the library does not support (SOAP 1.2)
    SERVER_FAULT_RECEIVED = 71,            // the response carries a SOAP Fault
};

// Any-content: an array of text pieces and their count. Pieces and the array are allocated with
// new[]; the owner deletes each piece, then the array, then the object.
class AnyType {
public:
    AnyType() = default;
    AnyType(char** pieces, int count) : _array(pieces), _size(count) {}
    // An exchange's response object is made and deleted once per exchange: a thread keeps the blocks of the
    // few it deleted last for its next ones, whichever thread made them.
    static void* operator new(std::size_t size);
    static void operator delete(void* object) noexcept;
    char** _array = nullptr;
    int _size = 0;
};

class AxisException : public std::exception {
public:
    AxisException(int code, const std::string& text) : m_code(code), m_text(text) {}
    ~AxisException() override = default;
    const char* what() const noexcept override { return m_text.c_str(); }
    int getExceptionCode() const { return m_code; }

private:
    int m_code;
    std::string m_text;
};

class SoapFaultException : public AxisException {
public:
    SoapFaultException(const char* code, const char* string, const char* actor, const char* detail, int exceptionCode);
    const char* getFaultCode() const { return m_faultCode.c_str(); }
    const char* getFaultString() const { return m_faultString.c_str(); }
    const char* getFaultActor() const { return m_faultActor.c_str(); }
    const char* getSimpleFaultDetail() const { return m_detail.c_str(); }

private:
    std::string m_faultCode, m_faultString, m_faultActor, m_detail;
};

class OtherFaultException : public SoapFaultException {
public:
    using SoapFaultException::SoapFaultException;
};

// The Fault element of a response.
class SoapFault {
public:
    SoapFault(std::string code, std::string string, std::string actor, std::string detail)
        : m_code(std::move(code)),
          m_string(std::move(string)),
          m_actor(std::move(actor)),
          m_detail(std::move(detail)) {}
    const char* getFaultcode() const { return m_code.c_str(); }
    const char* getFaultstring() const { return m_string.c_str(); }
    const char* getFaultactor() const { return m_actor.c_str(); }
    // Text-only detail; empty when the detail holds elements or is absent.
    const char* getSimpleFaultDetail() const { return m_detail.c_str(); }

private:
    std::string m_code, m_string, m_actor, m_detail;
};

// Transport settings a pooled handle's call uses (set by the cluster library when it makes the handle).
struct CallTransportConfig {
    std::string endpoint;
    long timeoutSeconds = 30;
    // An answer (headers and body) beyond this many bytes fails the exchange (SERVER_TRANSPORT_FAILED).
    long maxResponseBytes = 1024L * 1024;
    std::string caFile, certFile, keyFile;
    bool verifyPeer = true;
    std::string basicAuthUser, basicAuthPassword;
};

class Call {
public:
    Call();
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Starts one exchange: AXIS_SUCCESS, or AXIS_FAIL when the call is already initialized, the provider
    // is not document style or no endpoint is set. Transport properties stay set across exchanges.
    int initialize(PROVIDERTYPE provider);
    // Ends the exchange: AXIS_SUCCESS, or AXIS_FAIL when the call was not initialized.
    int unInitialize();
    // A property set on the call (request side) or received (response side, HTTP header), or null.
    const char* getTransportProperty(const char* key, bool response);
    // SECURE_PROPERTIES copies the array of C strings the value points at; other kinds take a text.
    void setTransportProperty(AXIS_TRANSPORT_INFORMATION_TYPE type, const char* value);
    // Secure argument `index` as last set through SECURE_PROPERTIES ("" before), or null out of range.
    const char* getSecureProperty(int index) const;
    void setSOAPVersion(SOAP_VERSION version);
    void setOperation(const char* operation, const char* nameSpace);
    void setEndpointURI(const char* uri);
    const char* getEndpointURI() const;
    void addAnyObject(AnyType* any);
    // Posts the envelope and reads the response; 0 on success, throws AxisException otherwise
    // (code 71 when the response is a SOAP Fault).
    int invoke();
    // 0 when the response body's first element has this local name and namespace.
    int checkMessage(const char* name, const char* nameSpace);
    // The content of the body element as text pieces, owned by the caller.
    AnyType* getAnyObject();
    // The response's Fault, owned by the caller, or null when there is none.
    SoapFault* checkFault(const char* name, const char* nameSpace);
    // The content of the Fault's detail element as XML text allocated with new[] (the caller
    // array-deletes it), or null when the Fault has no detail or an empty one.
    char* getFaultAsXMLString();

    void setTransportConfig(const CallTransportConfig& config);
    const CallTransportConfig& transportConfig() const;
    // Connections this call's handle has opened so far (keep-alive reuse shows as 1).
    long connectionsOpened() const;
    // Bytes of request and response buffers the call holds between exchanges: after unInitialize at most
    // a small working size, whatever the size of the last answer.
    size_t retainedBytes() const;

    struct Impl;

private:
    Impl* m_impl;
};

class Stub {
public:
    Stub(const char* endpoint, AXIS_PROTOCOL_TYPE protocol);
    virtual ~Stub();
    Stub(const Stub&) = delete;
    Stub& operator=(const Stub&) = delete;

    Call* getCall() { return m_pCall; }
    void setEndpoint(const char* endpoint);
    void applyUserPreferences();

protected:
    Call* m_pCall;
};

}  // namespace orbsec_axiscpp
