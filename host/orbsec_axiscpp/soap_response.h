// The SOAP 1.1 response of one exchange: parsed once with libxml2 and queried by the call object.
// Private to the SOAP client library.
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>

#include <string>

#include "orbsec_axiscpp/axis.h"

namespace orbsec_axiscpp {

class SoapResponse {
public:
    SoapResponse();
    ~SoapResponse();
    SoapResponse(const SoapResponse&) = delete;
    SoapResponse& operator=(const SoapResponse&) = delete;

    // Parses `text` as a SOAP 1.1 envelope. False when it is not well-formed, carries a document type
    // declaration (SOAP messages have none) or is not an envelope with a Body; the previous response is
    // dropped either way. The Body keeps elements, attributes and text only: comments and processing
    // instructions are dropped and CDATA sections become text, so no reader of the content text can take
    // them for markup.
    bool parse(const std::string& text);
    void clear();
    // Frees what holds more than `kept` bytes (the document of a large answer, a grown serialization
    // buffer, a parser dictionary grown by many names).
    void releaseLarge(size_t kept);
    // Bytes held between exchanges: the parsed answer's size while its document is kept, and the
    // serialization buffer's capacity.
    size_t retainedBytes() const;

    // The first element inside the Body, or null (empty body, nothing parsed).
    xmlNodePtr bodyElement() const { return m_bodyElement; }
    bool isFault() const;
    bool bodyElementIs(const char* name, const char* nameSpace) const;

    // The body element's child nodes serialized one piece each, allocated with new[].
    AnyType* contentPieces();
    // The Fault's parts, or null when the body is not a Fault named `name`.
    SoapFault* fault(const char* name) const;
    // The Fault's detail content as XML (new[]), or null when there is no detail or it is empty.
    char* faultDetailXml();
    std::string faultString() const;

private:
    // A save context writing into m_buffer.
    xmlSaveCtxtPtr openSave();
    char* serializeChildren(xmlNodePtr parent);

    xmlParserCtxtPtr m_parser;   // reused across exchanges (keeps its dictionary and buffers)
    xmlBufferPtr m_buffer;       // reused for serializing pieces
    xmlDocPtr m_doc = nullptr;
    size_t m_parsedBytes = 0;    // size of the text m_doc was parsed from
    xmlNodePtr m_bodyElement = nullptr;
};

}  // namespace orbsec_axiscpp
