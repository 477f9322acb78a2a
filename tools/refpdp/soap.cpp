#include "soap.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlwriter.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

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

bool named(const xmlChar* localName, const xmlChar* uri, const char* name, const char* nameSpace) {
    return std::strcmp(text(localName), name) == 0 && uri && std::strcmp(text(uri), nameSpace) == 0;
}

// Reads the request while the parser walks it (no document tree: a request may carry tens of thousands
// of attributes). Where the Request must sit: the envelope's first element child is its Body, or a
// Header followed by the Body, and the Body's first element child is the Request. Below the Request,
// category elements hold Attribute elements with an AttributeId, whose AttributeValue elements give one
// value each, all text inside them joined.
class RequestReader {
public:
    RequestReader(xmlParserCtxtPtr parser, Attributes& attributes) : m_parser(parser), m_attributes(attributes) {}

    static xmlSAXHandler handler() {
        xmlSAXHandler sax{};
        sax.initialized = XML_SAX2_MAGIC;
        sax.startElementNs = [](void* reader, const xmlChar* localName, const xmlChar*, const xmlChar* uri, int,
                                const xmlChar**, int attributeCount, int, const xmlChar** attributes) {
            guarded(reader, [&](RequestReader& self) { self.start(localName, uri, attributeCount, attributes); });
        };
        sax.endElementNs = [](void* reader, const xmlChar*, const xmlChar*, const xmlChar*) {
            guarded(reader, [](RequestReader& self) { self.end(); });
        };
        sax.characters = [](void* reader, const xmlChar* chars, int length) {
            guarded(reader, [&](RequestReader& self) { self.characters(chars, length); });
        };
        sax.ignorableWhitespace = sax.characters;
        sax.cdataBlock = sax.characters;
        sax.internalSubset = [](void* reader, const xmlChar*, const xmlChar*, const xmlChar*) {
            static_cast<RequestReader*>(reader)->stop(Stop::DOCUMENT_TYPE);
        };
        return sax;
    }

    // Why the reader stopped the parser, if it did.
    enum class Stop { NONE, DOCUMENT_TYPE, OUT_OF_MEMORY };
    Stop stopped() const { return m_stopped; }
    bool foundRequest() const { return m_phase == Phase::READING || m_phase == Phase::DONE; }

private:
    // Element depths: the envelope is 1, its Body 2, the Request 3, categories 4, attributes 5, values 6.
    enum { ENVELOPE = 1, BODY = 2, REQUEST = 3, ATTRIBUTE = 5, VALUE = 6 };
    enum class Phase { SEEKING, READING, DONE, MISPLACED };

    void start(const xmlChar* localName, const xmlChar* uri, int attributeCount, const xmlChar** attributes) {
        int depth = ++m_depth;
        if (m_inValue) return;
        if (m_phase == Phase::SEEKING) seek(depth, localName, uri);
        else if (m_phase == Phase::READING) read(depth, localName, uri, attributeCount, attributes);
    }

    // Follows the first elements down to the Request; anything else first in its place misplaces it.
    void seek(int depth, const xmlChar* localName, const xmlChar* uri) {
        bool expected = true;  // inside a Header anything goes
        if (depth == ENVELOPE) {
            expected = named(localName, uri, "Envelope", SOAP11_ENVELOPE_NS);
        } else if (depth == BODY) {
            bool header = named(localName, uri, "Header", SOAP11_ENVELOPE_NS);
            m_sawBody = named(localName, uri, "Body", SOAP11_ENVELOPE_NS);
            expected = m_sawBody || (header && !m_sawHeader);
            m_sawHeader = true;
        } else if (depth == REQUEST && m_sawBody) {
            expected = named(localName, uri, "Request", XACML_CONTEXT_NS);
            if (expected) m_phase = Phase::READING;
        }
        if (!expected) m_phase = Phase::MISPLACED;
    }

    void read(int depth, const xmlChar* localName, const xmlChar* uri, int attributeCount, const xmlChar** attributes) {
        if (depth == ATTRIBUTE) {
            m_values =
                named(localName, uri, "Attribute", XACML_CONTEXT_NS) ? valuesOf(attributeCount, attributes) : nullptr;
        } else if (depth == VALUE && m_values && named(localName, uri, "AttributeValue", XACML_CONTEXT_NS)) {
            m_inValue = true;
            m_value.clear();
        }
    }

    void end() {
        int depth = m_depth--;
        if (m_inValue && depth == VALUE) {
            m_values->push_back(std::move(m_value));
            m_inValue = false;
        }
        if (depth == ATTRIBUTE) m_values = nullptr;
        if (m_phase == Phase::READING && depth == REQUEST) m_phase = Phase::DONE;
        // A Body that ends while still sought had no Request first.
        if (m_phase == Phase::SEEKING && m_sawBody && depth == BODY) m_phase = Phase::MISPLACED;
    }

    void characters(const xmlChar* chars, int length) {
        if (m_inValue) m_value.append(text(chars), static_cast<std::size_t>(length));
    }

    // The values of the Attribute whose AttributeId (of whatever prefix) comes first, or null without one.
    std::vector<std::string>* valuesOf(int attributeCount, const xmlChar** attributes) {
        for (std::ptrdiff_t i = 0; i < attributeCount; ++i) {
            const xmlChar** attribute = attributes + 5 * i;  // local name, prefix, URI, value, value end
            if (std::strcmp(text(attribute[0]), "AttributeId") == 0) return &m_attributes[attributeValue(attribute)];
        }
        return nullptr;
    }

    // The parser leaves character references in attribute values for the tree builder to decode.
    std::string attributeValue(const xmlChar** attribute) const {
        int length = static_cast<int>(attribute[4] - attribute[3]);
        if (!std::memchr(attribute[3], '&', static_cast<std::size_t>(length)))
            return std::string(text(attribute[3]), length);
        std::unique_ptr<xmlChar, void (*)(void*)> decoded(
            xmlStringLenDecodeEntities(m_parser, attribute[3], length, XML_SUBSTITUTE_REF, 0, 0, 0), xmlFree);
        return decoded ? text(decoded.get()) : "";
    }

    // No C++ exception crosses the parser's C frames: running out of memory stops the parse instead.
    template <class Body>
    static void guarded(void* reader, Body&& body) {
        auto& self = *static_cast<RequestReader*>(reader);
        try {
            body(self);
        } catch (const std::bad_alloc&) {
            self.stop(Stop::OUT_OF_MEMORY);
        }
    }

    void stop(Stop why) {
        m_stopped = why;
        xmlStopParser(m_parser);
    }

    xmlParserCtxtPtr m_parser;
    Attributes& m_attributes;
    int m_depth = 0;
    Phase m_phase = Phase::SEEKING;
    bool m_sawHeader = false, m_sawBody = false;
    Stop m_stopped = Stop::NONE;
    std::vector<std::string>* m_values = nullptr;  // the values of the Attribute being read
    bool m_inValue = false;
    std::string m_value;
};

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

// The answer to a body that is no well-formed document, with the parser's reason.
ParsedRequest notWellFormed() {
    ParsedRequest parsed;
    const xmlError* error = xmlGetLastError();
    parsed.wellFormed = false;
    parsed.error =
        std::string("the request is not well-formed XML: ") + (error && error->message ? error->message : "");
    while (!parsed.error.empty() && parsed.error.back() == '\n') parsed.error.pop_back();
    return parsed;
}

}  // namespace

ParsedRequest parseRequest(const std::string& body) {
    ParsedRequest parsed;
    std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxtPtr)> parser(
        xmlCreateMemoryParserCtxt(body.data(), static_cast<int>(body.size())), xmlFreeParserCtxt);
    // libxml2 makes no context for an empty body: like any body that is no document, it is not well-formed.
    if (!parser) return notWellFormed();
    RequestReader reader(parser.get(), parsed.attributes);
    *parser->sax = RequestReader::handler();
    parser->userData = &reader;
    xmlCtxtUseOptions(parser.get(), XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    xmlParseDocument(parser.get());
    // A SOAP message carries no document type declaration; one would bring its own entities and defaults.
    if (reader.stopped() != RequestReader::Stop::NONE) {
        parsed.wellFormed = false;
        parsed.error = reader.stopped() == RequestReader::Stop::DOCUMENT_TYPE
                           ? "the request holds a document type declaration, which a SOAP message must not"
                           : "the request could not be read: out of memory";
        return parsed;
    }
    if (!parser->wellFormed) return notWellFormed();
    if (!reader.foundRequest()) {
        parsed.error = "the SOAP body does not hold an XACML 2.0 context Request";
        return parsed;
    }
    parsed.ok = true;
    return parsed;
}

std::string responseEnvelope(const Decision& decision, const std::string& resourceId) {
    EnvelopeWriter out;
    writeResult(out, decision, resourceId, decision.effect == "Indeterminate" ? STATUS_PROCESSING_ERROR : STATUS_OK,
                "");
    return out.finish();
}

std::string syntaxErrorEnvelope(const std::string& reason) {
    EnvelopeWriter out;
    writeResult(out, Decision{"Indeterminate", std::nullopt, std::nullopt, 0}, "", STATUS_SYNTAX_ERROR,
                printable(reason));
    return out.finish();
}

std::string faultEnvelope(const Fault& fault) {
    EnvelopeWriter out;
    out.start("soapenv:Fault").element("faultcode", fault.code).element("faultstring", fault.string);
    if (!fault.actor.empty()) out.element("faultactor", fault.actor);
    if (!fault.detail.empty() || !fault.detailXml.empty())
        out.start("detail").text(fault.detail).raw(fault.detailXml).end();
    out.end();
    return out.finish();
}

std::string verbatimEnvelope(const std::string& bodyContent) {
    EnvelopeWriter out;
    out.raw(bodyContent);
    return out.finish();
}

}  // namespace refpdp
