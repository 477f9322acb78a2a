// The call object: one libcurl easy handle per call, so that the connection of a pooled handle stays
// open between exchanges; the request and response buffers are reused for the same reason, up to a
// small working size.
#include <curl/curl.h>
#include <strings.h>

#include <array>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "orbsec_axiscpp/axis.h"
#include "orbsec_axiscpp/soap_response.h"

namespace orbsec_axiscpp {

namespace {

constexpr std::string_view ENVELOPE_START =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
    "<SOAP-ENV:Body>";
constexpr std::string_view ENVELOPE_END = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
constexpr const char* CONTENT_TYPE_HEADER = "Content-Type: text/xml; charset=utf-8";
// libcurl would otherwise wait for "100 Continue" before sending larger bodies: one round trip lost.
constexpr const char* NO_EXPECT_HEADER = "Expect:";

void initializeLibrariesOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        xmlInitParser();
    });
}

// Buffers beyond this capacity are released after an exchange instead of being kept for the next.
constexpr size_t KEPT_BUFFER_BYTES = 64 * 1024;

void releaseIfLarge(std::string& buffer) {
    if (buffer.capacity() > KEPT_BUFFER_BYTES) std::string().swap(buffer);
}

bool isBlank(const std::string& text) { return text.find_first_not_of(" \t") == std::string::npos; }

int transportErrorCode(CURLcode rc) {
    switch (rc) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
            return SERVER_TRANSPORT_CONNECT_FAILED;
        case CURLE_OPERATION_TIMEDOUT:
            return SERVER_TRANSPORT_TIMEOUT;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_CLIENTCERT:
            return SERVER_TRANSPORT_TLS_FAILED;
        default:
            return SERVER_TRANSPORT_FAILED;
    }
}

}  // namespace

struct Call::Impl {
    // One of the two buffers libcurl fills; both count against the call's answer limit.
    struct Receiver {
        Impl* call;
        std::string* target;
    };

    CURL* curl = nullptr;
    curl_slist* headers = nullptr;
    bool headersStale = true;
    char curlError[CURL_ERROR_SIZE] = {};

    std::string endpoint;
    CallTransportConfig config;
    bool hasSoapAction = false;
    std::string soapAction;
    std::array<std::string, SECURE_PROPERTY_COUNT> secureProperties;

    bool initialized = false;
    std::string operationStart, operationEnd;
    std::vector<const AnyType*> anyObjects;

    std::string request;
    std::string responseBody;
    std::string responseHeaders;
    Receiver bodyReceiver{this, &responseBody};
    Receiver headerReceiver{this, &responseHeaders};
    size_t received = 0;       // bytes of the current answer, headers and body
    bool tooLarge = false;     // the answer went past config.maxResponseBytes
    std::string headerValue;   // backs the text getTransportProperty returns for a response header
    SoapResponse response;
    long connections = 0;

    Impl();
    ~Impl();
    static size_t receive(char* data, size_t size, size_t count, void* receiver);
    void applyTransportConfig();
    void releaseLargeBuffers();
    void setSecureProperties(const char* const* values);
    void rebuildHeaders();
    void writeEnvelope();
    void perform();
    void readResponse();
    const char* responseHeader(const char* key);
};

Call::Impl::Impl() : curl(curl_easy_init()) {
    if (!curl) throw AxisException(SERVER_TRANSPORT_FAILED, "cannot create a transport handle");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curlError);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &bodyReceiver);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, receive);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &headerReceiver);
    applyTransportConfig();
}

Call::Impl::~Impl() {
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
}

// Past the limit libcurl is told to stop (a short count aborts the transfer).
size_t Call::Impl::receive(char* data, size_t size, size_t count, void* receiver) {
    Receiver& into = *static_cast<Receiver*>(receiver);
    Impl& call = *into.call;
    size_t length = size * count;
    if (length > static_cast<size_t>(call.config.maxResponseBytes) - call.received) {
        call.tooLarge = true;
        return 0;
    }
    call.received += length;
    into.target->append(data, length);
    return length;
}

// `timeout` bounds the connect and, separately, the whole exchange: one small request written and one
// small response read, so it is the bound on each of those. libcurl takes seconds as a long; the
// cluster keeps them far below any millisecond overflow.
void Call::Impl::applyTransportConfig() {
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, config.timeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, config.timeoutSeconds);
    // Refuses an announced Content-Length beyond the limit before reading it; `receive` bounds the rest.
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(config.maxResponseBytes));
    curl_easy_setopt(curl, CURLOPT_CAINFO, config.caFile.empty() ? nullptr : config.caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_SSLCERT, config.certFile.empty() ? nullptr : config.certFile.c_str());
    curl_easy_setopt(curl, CURLOPT_SSLKEY, config.keyFile.empty() ? nullptr : config.keyFile.c_str());
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, config.verifyPeer ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, config.verifyPeer ? 2L : 0L);
    bool basicAuth = !config.basicAuthUser.empty();
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, basicAuth ? CURLAUTH_BASIC : CURLAUTH_NONE);
    curl_easy_setopt(curl, CURLOPT_USERNAME, basicAuth ? config.basicAuthUser.c_str() : nullptr);
    curl_easy_setopt(curl, CURLOPT_PASSWORD, basicAuth ? config.basicAuthPassword.c_str() : nullptr);
}

void Call::Impl::rebuildHeaders() {
    curl_slist_free_all(headers);
    headers = curl_slist_append(nullptr, CONTENT_TYPE_HEADER);
    headers = curl_slist_append(headers, NO_EXPECT_HEADER);
    if (hasSoapAction) {
        // SOAP 1.1 carries the action as a quoted URI.
        bool quoted = !soapAction.empty() && soapAction.front() == '"';
        headers = curl_slist_append(headers, (quoted ? "SOAPAction: " + soapAction
                                                     : "SOAPAction: \"" + soapAction + "\"").c_str());
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    headersStale = false;
}

void Call::Impl::writeEnvelope() {
    request.clear();
    request.append(ENVELOPE_START).append(operationStart);
    for (const AnyType* any : anyObjects)
        for (int i = 0; i < any->_size; ++i)
            if (any->_array[i]) request.append(any->_array[i]);
    request.append(operationEnd).append(ENVELOPE_END);
}

void Call::Impl::perform() {
    if (headersStale) rebuildHeaders();
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.size()));
    responseBody.clear();
    responseHeaders.clear();
    received = 0;
    tooLarge = false;
    curlError[0] = '\0';
    CURLcode rc = curl_easy_perform(curl);
    long opened = 0;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &opened);
    connections += opened;
    if (tooLarge || rc == CURLE_FILESIZE_EXCEEDED)
        throw AxisException(SERVER_TRANSPORT_FAILED, endpoint + ": the answer is larger than " +
                                                         std::to_string(config.maxResponseBytes) + " bytes");
    if (rc != CURLE_OK)
        throw AxisException(transportErrorCode(rc),
                            endpoint + ": " + (curlError[0] ? curlError : curl_easy_strerror(rc)));
}

// A Fault is reported whatever the HTTP status; any other answer must be a SOAP envelope with 200.
void Call::Impl::readResponse() {
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    bool parsed = response.parse(responseBody);
    if (parsed && response.isFault()) throw AxisException(SERVER_FAULT_RECEIVED, response.faultString());
    if (status != 200)
        throw AxisException(SERVER_TRANSPORT_HTTP_ERROR, endpoint + ": HTTP status " + std::to_string(status));
    if (!parsed) throw AxisException(CLIENT_SOAP_MALFORMED_RESPONSE, endpoint + ": the response is not a SOAP envelope");
}

// A pooled call lives for hours: one large answer must not stay held by it until the handle closes.
void Call::Impl::releaseLargeBuffers() {
    releaseIfLarge(request);
    releaseIfLarge(responseBody);
    releaseIfLarge(responseHeaders);
    releaseIfLarge(headerValue);
    response.releaseLarge(KEPT_BUFFER_BYTES);
}

const char* Call::Impl::responseHeader(const char* key) {
    size_t keyLength = std::strlen(key);
    size_t line = 0;
    while (line < responseHeaders.size()) {
        size_t end = responseHeaders.find('\n', line);
        if (end == std::string::npos) end = responseHeaders.size();
        if (end - line > keyLength && responseHeaders[line + keyLength] == ':' &&
            strncasecmp(responseHeaders.data() + line, key, keyLength) == 0) {
            size_t first = responseHeaders.find_first_not_of(" \t", line + keyLength + 1);
            size_t last = responseHeaders.find_last_not_of(" \t\r\n", end);
            headerValue = first <= last ? responseHeaders.substr(first, last - first + 1) : "";
            return headerValue.c_str();
        }
        line = end + 1;
    }
    return nullptr;
}

Call::Call() : m_impl((initializeLibrariesOnce(), new Impl)) {}

Call::~Call() { delete m_impl; }

int Call::initialize(PROVIDERTYPE provider) {
    bool documentStyle = provider == CPP_DOC_PROVIDER || provider == C_DOC_PROVIDER;
    if (m_impl->initialized || !documentStyle || isBlank(m_impl->endpoint)) return AXIS_FAIL;
    m_impl->initialized = true;
    m_impl->anyObjects.clear();
    return AXIS_SUCCESS;
}

int Call::unInitialize() {
    if (!m_impl->initialized) return AXIS_FAIL;
    m_impl->initialized = false;
    m_impl->anyObjects.clear();
    m_impl->releaseLargeBuffers();
    return AXIS_SUCCESS;
}

const char* Call::getTransportProperty(const char* key, bool response) {
    if (response) return m_impl->responseHeader(key);
    if (strcasecmp(key, "SOAPAction") == 0 && m_impl->hasSoapAction) return m_impl->soapAction.c_str();
    return nullptr;
}

void Call::setTransportProperty(AXIS_TRANSPORT_INFORMATION_TYPE type, const char* value) {
    switch (type) {
        case SOAPACTION_HEADER:
            m_impl->hasSoapAction = value != nullptr;
            m_impl->soapAction = value ? value : "";
            m_impl->headersStale = true;
            break;
        case SERVICE_URI:
            setEndpointURI(value);
            break;
        case SECURE_PROPERTIES:
            m_impl->setSecureProperties(reinterpret_cast<const char* const*>(value));
            break;
        default:
            // The remaining kinds carry nothing this transport uses.
            break;
    }
}

// Kept, not applied: TLS comes from the handle's transport configuration, which the cluster library
// sets from the ssl-* keys.
void Call::Impl::setSecureProperties(const char* const* values) {
    for (int i = 0; i < SECURE_PROPERTY_COUNT; ++i) secureProperties[i] = values && values[i] ? values[i] : "";
}

const char* Call::getSecureProperty(int index) const {
    if (index < 0 || index >= SECURE_PROPERTY_COUNT) return nullptr;
    return m_impl->secureProperties[index].c_str();
}

void Call::setSOAPVersion(SOAP_VERSION version) {
    if (version != SOAP_VER_1_1) throw AxisException(CLIENT_UNSUPPORTED_FEATURE, "only SOAP 1.1 is supported");
}

void Call::setOperation(const char* operation, const char* nameSpace) {
    m_impl->operationStart.assign("<ns1:").append(operation).append(" xmlns:ns1=\"").append(nameSpace).append("\">");
    m_impl->operationEnd.assign("</ns1:").append(operation).append(">");
}

void Call::setEndpointURI(const char* uri) {
    m_impl->endpoint = uri ? uri : "";
    curl_easy_setopt(m_impl->curl, CURLOPT_URL, m_impl->endpoint.c_str());
}

const char* Call::getEndpointURI() const { return m_impl->endpoint.c_str(); }

void Call::addAnyObject(AnyType* any) {
    if (any) m_impl->anyObjects.push_back(any);
}

int Call::invoke() {
    if (!m_impl->initialized) throw AxisException(CLIENT_CALL_NOT_INITIALIZED, "invoke outside initialize");
    m_impl->writeEnvelope();
    m_impl->perform();
    m_impl->readResponse();
    return AXIS_SUCCESS;
}

int Call::checkMessage(const char* name, const char* nameSpace) {
    return m_impl->response.bodyElementIs(name, nameSpace) ? AXIS_SUCCESS : AXIS_FAIL;
}

AnyType* Call::getAnyObject() {
    return m_impl->response.isFault() ? nullptr : m_impl->response.contentPieces();
}

// The Fault element is always in the envelope namespace; `nameSpace` names the service whose fault
// details the caller expects, which this library does not type.
SoapFault* Call::checkFault(const char* name, const char* nameSpace) { return m_impl->response.fault(name); }

char* Call::getFaultAsXMLString() { return m_impl->response.faultDetailXml(); }

void Call::setTransportConfig(const CallTransportConfig& config) {
    m_impl->config = config;
    m_impl->applyTransportConfig();
    if (!config.endpoint.empty()) setEndpointURI(config.endpoint.c_str());
}

const CallTransportConfig& Call::transportConfig() const { return m_impl->config; }

long Call::connectionsOpened() const { return m_impl->connections; }

size_t Call::retainedBytes() const {
    return m_impl->request.capacity() + m_impl->responseBody.capacity() + m_impl->responseHeaders.capacity() +
           m_impl->headerValue.capacity() + m_impl->response.retainedBytes();
}

}  // namespace orbsec_axiscpp
