// The call object: one keep-alive HTTP connection per call, so that the connection of a pooled handle stays
// open between exchanges; the request head and response buffers are reused for the same reason, up to a
// small working size. The request's content is sent from the caller's pieces, never copied into one buffer.
#include <openssl/evp.h>
#include <strings.h>

#include <array>
#include <cstring>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "orbsec_axiscpp/axis.h"
#include "orbsec_axiscpp/http_connection.h"
#include "orbsec_axiscpp/kept_buffer.h"
#include "orbsec_axiscpp/soap_response.h"

namespace orbsec_axiscpp {

namespace {

constexpr std::string_view ENVELOPE_START =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
    "<SOAP-ENV:Body>";
constexpr std::string_view ENVELOPE_END = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
void initializeLibrariesOnce() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

// Buffers beyond this capacity are released after an exchange instead of being kept for the next.
constexpr size_t KEPT_BUFFER_BYTES = size_t{64} * 1024;

bool isBlank(const std::string& text) { return text.find_first_not_of(" \t") == std::string::npos; }

std::string base64(const std::string& text) {
    std::string encoded(4 * ((text.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                 reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    encoded.resize(static_cast<size_t>(length));
    return encoded;
}

}  // namespace

struct Call::Impl {
    HttpConnection connection;
    HttpTarget target;
    std::string urlProblem;    // why the endpoint cannot be asked, "" when it can
    std::string fixedHeaders;  // the header lines that stay the same from one exchange to the next
    bool headersStale = true;

    std::string endpoint;
    CallTransportConfig config;
    bool hasSoapAction = false;
    std::string soapAction;
    std::array<std::string, SECURE_PROPERTY_COUNT> secureProperties;

    bool initialized = false;
    std::string operationStart, operationEnd;
    std::vector<const AnyType*> anyObjects;

    std::string head;                      // request line and header lines of the current exchange
    std::vector<std::string_view> pieces;  // head, envelope and any-content pieces in the order they go out
    HttpAnswer answer;
    std::string headerValue;  // backs the text getTransportProperty returns for a response header
    SoapResponse response;

    void releaseLargeBuffers();
    void setSecureProperties(const char* const* values);
    void setEndpoint(const char* uri);
    void rebuildHeaders();
    void gatherPieces();
    void perform();
    void readResponse();
    const char* responseHeader(const char* key);
};

void Call::Impl::setEndpoint(const char* uri) {
    endpoint = uri ? uri : "";
    target = HttpTarget();
    urlProblem = parseHttpUrl(endpoint, target);
    headersStale = true;
}

void Call::Impl::rebuildHeaders() {
    fixedHeaders.assign("Host: ").append(target.authority).append("\r\n");
    if (!config.basicAuthUser.empty())
        fixedHeaders.append("Authorization: Basic ")
            .append(base64(config.basicAuthUser + ":" + config.basicAuthPassword))
            .append("\r\n");
    fixedHeaders.append("Accept: */*\r\nContent-Type: text/xml; charset=utf-8\r\n");
    if (hasSoapAction) {
        // SOAP 1.1 carries the action as a quoted URI.
        bool quoted = !soapAction.empty() && soapAction.front() == '"';
        fixedHeaders.append("SOAPAction: ").append(quoted ? soapAction : "\"" + soapAction + "\"").append("\r\n");
    }
    headersStale = false;
}

// The first piece is left for the head, which needs the body's size.
void Call::Impl::gatherPieces() {
    pieces.assign({std::string_view(), ENVELOPE_START, operationStart});
    for (const AnyType* any : anyObjects)
        for (int i = 0; i < any->_size; ++i)
            if (any->_array[i]) pieces.emplace_back(any->_array[i]);
    pieces.emplace_back(operationEnd);
    pieces.emplace_back(ENVELOPE_END);
}

void Call::Impl::perform() {
    if (!urlProblem.empty()) throw AxisException(SERVER_TRANSPORT_FAILED, endpoint + ": the URL has " + urlProblem);
    if (headersStale) rebuildHeaders();
    size_t bodySize = 0;
    for (std::string_view piece : std::span(pieces).subspan(1)) bodySize += piece.size();
    head.assign("POST ").append(target.path).append(" HTTP/1.1\r\n").append(fixedHeaders);
    head.append("Content-Length: ").append(std::to_string(bodySize)).append("\r\n\r\n");
    pieces.front() = head;
    connection.exchange(endpoint, target, pieces, answer);
}

// A Fault is reported whatever the HTTP status; any other answer must be a SOAP envelope with 200.
void Call::Impl::readResponse() {
    long status = answer.status;
    bool parsed = response.parse(answer.body);
    if (parsed && response.isFault()) throw AxisException(SERVER_FAULT_RECEIVED, response.faultString());
    if (status != 200)
        throw AxisException(SERVER_TRANSPORT_HTTP_ERROR, endpoint + ": HTTP status " + std::to_string(status));
    if (!parsed)
        throw AxisException(CLIENT_SOAP_MALFORMED_RESPONSE, endpoint + ": the response is not a SOAP envelope");
}

// A pooled call lives for hours: one large answer must not stay held by it until the handle closes.
void Call::Impl::releaseLargeBuffers() {
    pieces.clear();  // they point into the caller's any-content, which is gone after the exchange
    releaseIfLarge(head, KEPT_BUFFER_BYTES);
    releaseIfLarge(pieces, KEPT_BUFFER_BYTES);
    releaseIfLarge(answer.body, KEPT_BUFFER_BYTES);
    releaseIfLarge(answer.headers, KEPT_BUFFER_BYTES);
    releaseIfLarge(headerValue, KEPT_BUFFER_BYTES);
    response.releaseLarge(KEPT_BUFFER_BYTES);
}

const char* Call::Impl::responseHeader(const char* key) {
    const std::string& responseHeaders = answer.headers;
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
        case SERVICE_URI: setEndpointURI(value); break;
        case SECURE_PROPERTIES: m_impl->setSecureProperties(reinterpret_cast<const char* const*>(value)); break;
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

void Call::setEndpointURI(const char* uri) { m_impl->setEndpoint(uri); }

const char* Call::getEndpointURI() const { return m_impl->endpoint.c_str(); }

void Call::addAnyObject(AnyType* any) {
    if (any) m_impl->anyObjects.push_back(any);
}

int Call::invoke() {
    if (!m_impl->initialized) throw AxisException(CLIENT_CALL_NOT_INITIALIZED, "invoke outside initialize");
    m_impl->gatherPieces();
    m_impl->perform();
    m_impl->readResponse();
    return AXIS_SUCCESS;
}

int Call::checkMessage(const char* name, const char* nameSpace) {
    return m_impl->response.bodyElementIs(name, nameSpace) ? AXIS_SUCCESS : AXIS_FAIL;
}

AnyType* Call::getAnyObject() { return m_impl->response.isFault() ? nullptr : m_impl->response.contentPieces(); }

// The Fault element is always in the envelope namespace; `nameSpace` names the service whose fault
// details the caller expects, which this library does not type.
SoapFault* Call::checkFault(const char* name, const char* nameSpace) { return m_impl->response.fault(name); }

char* Call::getFaultAsXMLString() { return m_impl->response.faultDetailXml(); }

void Call::setTransportConfig(const CallTransportConfig& config) {
    m_impl->config = config;
    m_impl->connection.configure(config);
    m_impl->headersStale = true;
    if (!config.endpoint.empty()) setEndpointURI(config.endpoint.c_str());
}

const CallTransportConfig& Call::transportConfig() const { return m_impl->config; }

long Call::connectionsOpened() const { return m_impl->connection.connectionsOpened(); }

size_t Call::retainedBytes() const {
    return m_impl->head.capacity() + m_impl->pieces.capacity() * sizeof(std::string_view) +
           m_impl->answer.body.capacity() + m_impl->answer.headers.capacity() + m_impl->headerValue.capacity() +
           m_impl->response.retainedBytes();
}

}  // namespace orbsec_axiscpp
