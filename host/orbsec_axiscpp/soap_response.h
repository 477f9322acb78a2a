// The SOAP 1.1 response of one exchange: parsed once with libxml2 and queried by the call object.
// Private to the SOAP client library.
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <string>

#include "orbsec_axiscpp/axis.h"

namespace orbsec_axiscpp {

class SoapResponse {
public:
    SoapResponse();
    ~SoapResponse();
    SoapResponse(const SoapResponse&) = delete;
    SoapResponse& operator=(const SoapResponse&) = delete;

    // Parses `text` as a SOAP 1.1 envelope. False when it is not well-formed or not an envelope with a
    // Body; the previous response is dropped either way.
    bool parse(const std::string& text);
    void clear();

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
    void appendSerialized(xmlNodePtr node);
    char* serializeChildren(xmlNodePtr parent);

    xmlParserCtxtPtr m_parser;   // reused across exchanges (keeps its dictionary and buffers)
    xmlBufferPtr m_buffer;       // reused for serializing pieces
    xmlDocPtr m_doc = nullptr;
    xmlNodePtr m_bodyElement = nullptr;
};

}  // namespace orbsec_axiscpp
