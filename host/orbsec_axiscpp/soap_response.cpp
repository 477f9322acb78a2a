#include "orbsec_axiscpp/soap_response.h"

#include <libxml/dict.h>
#include <libxml/xmlsave.h>

#include <cstring>

namespace orbsec_axiscpp {

namespace {

constexpr const char* SOAP11_ENVELOPE_NS = "http://schemas.xmlsoap.org/soap/envelope/";

bool named(xmlNodePtr node, const char* name) {
    return node && node->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

bool inNamespace(xmlNodePtr node, const char* nameSpace) {
    return node->ns && node->ns->href && std::strcmp(reinterpret_cast<const char*>(node->ns->href), nameSpace) == 0;
}

xmlNodePtr firstElement(xmlNodePtr node) {
    while (node && node->type != XML_ELEMENT_NODE) node = node->next;
    return node;
}

// The first child element of `parent` with this local name, whatever its namespace (SOAP 1.1 fault
// parts are unqualified, but some servers qualify them).
xmlNodePtr childNamed(xmlNodePtr parent, const char* name) {
    for (xmlNodePtr child = parent->children; child; child = child->next)
        if (named(child, name)) return child;
    return nullptr;
}

std::string textOf(xmlNodePtr node) {
    if (!node) return "";
    xmlChar* content = xmlNodeGetContent(node);
    std::string text = content ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return text;
}

bool holdsTextOnly(xmlNodePtr node) {
    for (xmlNodePtr child = node->children; child; child = child->next)
        if (child->type != XML_TEXT_NODE) return false;
    return true;
}

// Leaves elements, attributes and text under `parent`: comments and processing instructions go, CDATA
// sections become text nodes (serialized escaped).
void keepElementsAndText(xmlNodePtr parent) {
    xmlNodePtr child = parent->children;
    while (child) {
        xmlNodePtr next = child->next;
        if (child->type == XML_COMMENT_NODE || child->type == XML_PI_NODE) {
            xmlUnlinkNode(child);
            xmlFreeNode(child);
        } else if (child->type == XML_CDATA_SECTION_NODE) {
            xmlNodePtr text = xmlNewDocText(child->doc, child->content);
            xmlReplaceNode(child, text);
            xmlFreeNode(child);
        } else if (child->type == XML_ELEMENT_NODE) {
            keepElementsAndText(child);
        }
        child = next;
    }
}

// The parser's dictionary keeps every name it has met; past this many names the parser is made anew.
constexpr int KEPT_DICTIONARY_NAMES = 4096;

char* copyOut(const xmlChar* bytes, int length) {
    char* copy = new char[length + 1];
    std::memcpy(copy, bytes, length);
    copy[length] = '\0';
    return copy;
}

}  // namespace

SoapResponse::SoapResponse() : m_parser(xmlNewParserCtxt()), m_buffer(xmlBufferCreate()) {}

SoapResponse::~SoapResponse() {
    clear();
    xmlBufferFree(m_buffer);
    xmlFreeParserCtxt(m_parser);
}

void SoapResponse::clear() {
    if (m_doc) xmlFreeDoc(m_doc);
    m_doc = nullptr;
    m_parsedBytes = 0;
    m_bodyElement = nullptr;
}

void SoapResponse::releaseLarge(size_t kept) {
    if (m_parsedBytes > kept) clear();
    if (m_buffer->size > kept) {
        xmlBufferFree(m_buffer);
        m_buffer = xmlBufferCreate();
    }
    if (!m_doc && m_parser->dict && xmlDictSize(m_parser->dict) > KEPT_DICTIONARY_NAMES) {
        xmlFreeParserCtxt(m_parser);
        m_parser = xmlNewParserCtxt();
    }
}

size_t SoapResponse::retainedBytes() const { return (m_doc ? m_parsedBytes : 0) + m_buffer->size; }

bool SoapResponse::parse(const std::string& text) {
    clear();
    m_doc = xmlCtxtReadMemory(m_parser, text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_COMPACT);
    if (!m_doc) return false;
    m_parsedBytes = text.size();
    if (m_doc->intSubset) return false;
    xmlNodePtr envelope = xmlDocGetRootElement(m_doc);
    if (!named(envelope, "Envelope") || !inNamespace(envelope, SOAP11_ENVELOPE_NS)) return false;
    xmlNodePtr body = firstElement(envelope->children);
    if (named(body, "Header")) body = firstElement(body->next);
    if (!named(body, "Body") || !inNamespace(body, SOAP11_ENVELOPE_NS)) return false;
    keepElementsAndText(body);
    m_bodyElement = firstElement(body->children);
    return true;
}

bool SoapResponse::isFault() const { return bodyElementIs("Fault", SOAP11_ENVELOPE_NS); }

bool SoapResponse::bodyElementIs(const char* name, const char* nameSpace) const {
    return named(m_bodyElement, name) && inNamespace(m_bodyElement, nameSpace);
}

AnyType* SoapResponse::contentPieces() {
    if (!m_bodyElement) return nullptr;
    int count = 0;
    for (xmlNodePtr child = m_bodyElement->children; child; child = child->next) ++count;
    char** pieces = new char*[count];
    // One save context for all pieces (its encoder and buffers are set up once): each piece is the stretch
    // the buffer grew by once the context is flushed after the piece.
    xmlBufferEmpty(m_buffer);
    xmlSaveCtxtPtr save = openSave();
    int index = 0, start = 0;
    for (xmlNodePtr child = m_bodyElement->children; child; child = child->next) {
        xmlSaveTree(save, child);
        xmlSaveFlush(save);
        int end = xmlBufferLength(m_buffer);
        pieces[index++] = copyOut(xmlBufferContent(m_buffer) + start, end - start);
        start = end;
    }
    xmlSaveClose(save);
    return new AnyType(pieces, count);
}

SoapFault* SoapResponse::fault(const char* name) const {
    if (!isFault() || !named(m_bodyElement, name)) return nullptr;
    xmlNodePtr detail = childNamed(m_bodyElement, "detail");
    std::string simpleDetail = detail && holdsTextOnly(detail) ? textOf(detail) : "";
    return new SoapFault(textOf(childNamed(m_bodyElement, "faultcode")), faultString(),
                         textOf(childNamed(m_bodyElement, "faultactor")), std::move(simpleDetail));
}

std::string SoapResponse::faultString() const {
    return isFault() ? textOf(childNamed(m_bodyElement, "faultstring")) : "";
}

char* SoapResponse::faultDetailXml() {
    xmlNodePtr detail = isFault() ? childNamed(m_bodyElement, "detail") : nullptr;
    return detail ? serializeChildren(detail) : nullptr;
}

// An empty element keeps its end tag ("<a></a>", not "<a/>"), as the PDP wrote it: readers of the
// response text look for what follows a start tag.
xmlSaveCtxtPtr SoapResponse::openSave() {
    return xmlSaveToBuffer(m_buffer, "UTF-8", XML_SAVE_NO_EMPTY | XML_SAVE_NO_DECL);
}

char* SoapResponse::serializeChildren(xmlNodePtr parent) {
    xmlBufferEmpty(m_buffer);
    xmlSaveCtxtPtr save = openSave();
    for (xmlNodePtr child = parent->children; child; child = child->next) xmlSaveTree(save, child);
    xmlSaveClose(save);
    int length = xmlBufferLength(m_buffer);
    return length ? copyOut(xmlBufferContent(m_buffer), length) : nullptr;
}

}  // namespace orbsec_axiscpp
