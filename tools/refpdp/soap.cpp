#include "soap.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlwriter.h>

#include <cstring>
#include <memory>

namespace refpdp {

namespace {

constexpr const char* SOAP11_ENVELOPE_NS = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr const char* XACML_CONTEXT_NS = "urn:oasis:names:tc:xacml:2.0:context:schema:os";
constexpr const char* XACML_POLICY_NS = "urn:oasis:names:tc:xacml:2.0:policy:schema:os";
constexpr const char* STATUS_OK = "urn:oasis:names:tc:xacml:1.0:status:ok";
constexpr const char* STATUS_PROCESSING_ERROR = "urn:oasis:names:tc:xacml:1.0:status:processing-error";
constexpr const char* STATUS_SYNTAX_ERROR = "urn:oasis:names:tc:xacml:1.0:status:syntax-error";
constexpr const char* TRANSACTION_ID_ATTRIBUTE = "urn:oxa:security:authentication:obligation.transactionId";
constexpr const char* STRING_TYPE = "http://www.w3.org/2001/XMLSchema#string";

// ---- reading ------------------------------------------------------------------------------------

const char* text(const xmlChar* value) { return reinterpret_cast<const char*>(value); }

bool isElement(xmlNodePtr node, const char* name, const char* nameSpace) {
    return node && node->type == XML_ELEMENT_NODE && std::strcmp(text(node->name), name) == 0 && node->ns &&
           std::strcmp(text(node->ns->href), nameSpace) == 0;
}

xmlNodePtr firstElement(xmlNodePtr node) {
    while (node && node->type != XML_ELEMENT_NODE) node = node->next;
    return node;
}

xmlNodePtr nextElement(xmlNodePtr node) { return firstElement(node->next); }

std::string contentOf(xmlNodePtr node) {
    std::unique_ptr<xmlChar, void (*)(void*)> content(xmlNodeGetContent(node), xmlFree);
    return content ? text(content.get()) : "";
}

// The Request element of a SOAP 1.1 envelope, or null.
xmlNodePtr xacmlRequest(xmlDocPtr doc) {
    xmlNodePtr envelope = xmlDocGetRootElement(doc);
    if (!isElement(envelope, "Envelope", SOAP11_ENVELOPE_NS)) return nullptr;
    xmlNodePtr body = firstElement(envelope->children);
    if (isElement(body, "Header", SOAP11_ENVELOPE_NS)) body = nextElement(body);
    if (!isElement(body, "Body", SOAP11_ENVELOPE_NS)) return nullptr;
    xmlNodePtr request = firstElement(body->children);
    return isElement(request, "Request", XACML_CONTEXT_NS) ? request : nullptr;
}

void collectAttributes(xmlNodePtr request, Attributes& attributes) {
    for (xmlNodePtr category = firstElement(request->children); category; category = nextElement(category)) {
        for (xmlNodePtr attribute = firstElement(category->children); attribute; attribute = nextElement(attribute)) {
            if (!isElement(attribute, "Attribute", XACML_CONTEXT_NS)) continue;
            std::unique_ptr<xmlChar, void (*)(void*)> id(xmlGetProp(attribute, BAD_CAST "AttributeId"), xmlFree);
            if (!id) continue;
            std::vector<std::string>& values = attributes[text(id.get())];
            for (xmlNodePtr value = firstElement(attribute->children); value; value = nextElement(value))
                if (isElement(value, "AttributeValue", XACML_CONTEXT_NS)) values.push_back(contentOf(value));
        }
    }
}

// ---- writing ------------------------------------------------------------------------------------

// A SOAP 1.1 envelope written with libxml2's writer, so every text and attribute is escaped.
class EnvelopeWriter {
public:
    EnvelopeWriter() : m_buffer(xmlBufferCreate()), m_writer(xmlNewTextWriterMemory(m_buffer, 0)) {
        xmlTextWriterStartDocument(m_writer, nullptr, "UTF-8", nullptr);
        start("soapenv:Envelope").attribute("xmlns:soapenv", SOAP11_ENVELOPE_NS);
        start("soapenv:Body");
    }
    ~EnvelopeWriter() {
        if (m_writer) xmlFreeTextWriter(m_writer);
        xmlBufferFree(m_buffer);
    }
    EnvelopeWriter(const EnvelopeWriter&) = delete;
    EnvelopeWriter& operator=(const EnvelopeWriter&) = delete;

    EnvelopeWriter& start(const char* name) {
        xmlTextWriterStartElement(m_writer, BAD_CAST name);
        return *this;
    }
    EnvelopeWriter& attribute(const char* name, const std::string& value) {
        xmlTextWriterWriteAttribute(m_writer, BAD_CAST name, BAD_CAST value.c_str());
        return *this;
    }
    EnvelopeWriter& text(const std::string& value) {
        xmlTextWriterWriteString(m_writer, BAD_CAST value.c_str());
        return *this;
    }
    EnvelopeWriter& raw(const std::string& xml) {
        xmlTextWriterWriteRaw(m_writer, BAD_CAST xml.c_str());
        return *this;
    }
    EnvelopeWriter& element(const char* name, const std::string& value) { return start(name).text(value).end(); }
    EnvelopeWriter& end() {
        xmlTextWriterEndElement(m_writer);
        return *this;
    }
    // Ends with an end tag even when empty: clients look for the text right after the start tag.
    EnvelopeWriter& fullEnd() {
        xmlTextWriterFullEndElement(m_writer);
        return *this;
    }
    std::string finish() {
        xmlTextWriterEndDocument(m_writer);
        xmlFreeTextWriter(m_writer);
        m_writer = nullptr;
        return std::string(text(xmlBufferContent(m_buffer)), xmlBufferLength(m_buffer));
    }

private:
    static const char* text(const xmlChar* value) { return reinterpret_cast<const char*>(value); }

    xmlBufferPtr m_buffer;
    xmlTextWriterPtr m_writer;
};

// ObligationId is the Obligation's last attribute and the AttributeId its AttributeAssignment's last,
// so that each value is followed directly by the element's content.
void writeObligation(EnvelopeWriter& out, const Decision& decision) {
    out.start("Obligations").attribute("xmlns", XACML_POLICY_NS);
    out.start("Obligation").attribute("FulfillOn", decision.effect).attribute("ObligationId", *decision.obligation);
    if (decision.transactionId)
        out.start("AttributeAssignment")
            .attribute("DataType", STRING_TYPE)
            .attribute("AttributeId", TRANSACTION_ID_ATTRIBUTE)
            .text(*decision.transactionId)
            .fullEnd();
    out.fullEnd().end();
}

void writeResult(EnvelopeWriter& out, const Decision& decision, const std::string& resourceId, const char* statusCode,
                 const std::string& statusMessage) {
    out.start("Response").attribute("xmlns", XACML_CONTEXT_NS);
    if (decision.padding) out.raw(std::string(decision.padding, ' '));
    out.start("Result");
    if (!resourceId.empty()) out.attribute("ResourceId", resourceId);
    out.element("Decision", decision.effect);
    out.start("Status").start("StatusCode").attribute("Value", statusCode).end();
    if (!statusMessage.empty()) out.element("StatusMessage", statusMessage);
    out.end();
    if (decision.obligation) writeObligation(out, decision);
    out.end().end();
}

// The text as printable ASCII: a parser's reason may quote bytes of the request that are no valid text.
std::string printable(std::string text) {
    for (char& c : text)
        if (c < ' ' || c > '~') c = '?';
    return text;
}

}  // namespace

ParsedRequest parseRequest(const std::string& body) {
    ParsedRequest parsed;
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(
        xmlReadMemory(body.data(), static_cast<int>(body.size()), nullptr, nullptr,
                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
        xmlFreeDoc);
    if (!doc) {
        const xmlError* error = xmlGetLastError();
        parsed.wellFormed = false;
        parsed.error = std::string("the request is not well-formed XML: ") + (error && error->message ? error->message : "");
        while (!parsed.error.empty() && parsed.error.back() == '\n') parsed.error.pop_back();
        return parsed;
    }
    xmlNodePtr request = xacmlRequest(doc.get());
    if (!request) {
        parsed.error = "the SOAP body does not hold an XACML 2.0 context Request";
        return parsed;
    }
    collectAttributes(request, parsed.attributes);
    parsed.ok = true;
    return parsed;
}

std::string responseEnvelope(const Decision& decision, const std::string& resourceId) {
    EnvelopeWriter out;
    writeResult(out, decision, resourceId, decision.effect == "Indeterminate" ? STATUS_PROCESSING_ERROR : STATUS_OK, "");
    return out.finish();
}

std::string syntaxErrorEnvelope(const std::string& reason) {
    EnvelopeWriter out;
    writeResult(out, Decision{"Indeterminate", std::nullopt, std::nullopt, 0}, "", STATUS_SYNTAX_ERROR, printable(reason));
    return out.finish();
}

std::string faultEnvelope(const Fault& fault) {
    EnvelopeWriter out;
    out.start("soapenv:Fault").element("faultcode", fault.code).element("faultstring", fault.string);
    if (!fault.actor.empty()) out.element("faultactor", fault.actor);
    if (!fault.detail.empty() || !fault.detailXml.empty()) out.start("detail").text(fault.detail).raw(fault.detailXml).end();
    out.end();
    return out.finish();
}

std::string verbatimEnvelope(const std::string& bodyContent) {
    EnvelopeWriter out;
    out.raw(bodyContent);
    return out.finish();
}

}  // namespace refpdp
