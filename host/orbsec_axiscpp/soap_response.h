// The SOAP 1.1 response of one exchange: read once with libxml2's SAX2 parser and queried by the call object.
// Private to the SOAP client library.
#pragma once

#include <libxml/parser.h>

#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "orbsec_axiscpp/axis.h"

namespace orbsec_axiscpp {

// Text written a few bytes at a time: its storage keeps its size between reads, so a write is a bounds check
// and a copy, and only growing it reaches the allocator.
class TextBuffer {
public:
    TextBuffer& append(const char* bytes, size_t length) {
        std::memcpy(roomFor(length), bytes, length);
        m_length += length;
        return *this;
    }
    TextBuffer& append(std::string_view text) { return append(text.data(), text.size()); }
    TextBuffer& append(const char* text) { return append(text, std::strlen(text)); }
    TextBuffer& push(char c) {
        *roomFor(1) = c;
        ++m_length;
        return *this;
    }
    const char* data() const { return m_storage.data(); }
    size_t size() const { return m_length; }
    size_t capacity() const { return m_storage.capacity(); }
    void clear() { m_length = 0; }
    // Frees the storage when it holds more than `kept` bytes.
    void releaseIfLarge(size_t kept);

private:
    char* roomFor(size_t length) {
        if (length > m_storage.size() - m_length) grow(length);
        return m_storage.data() + m_length;
    }
    void grow(size_t length);

    std::string m_storage;  // the text is its first m_length bytes
    size_t m_length = 0;
};

class SoapResponse {
public:
    SoapResponse();
    ~SoapResponse();
    SoapResponse(const SoapResponse&) = delete;
    SoapResponse& operator=(const SoapResponse&) = delete;

    // Reads `text` as a SOAP 1.1 envelope. False when it is not well-formed, carries a document type
    // declaration (SOAP messages have none) or is not an envelope with a Body; the previous response is
    // dropped either way. The Body keeps elements, attributes and text only: comments and processing
    // instructions are dropped and CDATA sections become text, so no reader of the content text can take
    // them for markup.
    bool parse(const std::string& text);
    void clear();
    // Frees what holds more than `kept` bytes (the text kept from a large answer, a parser dictionary grown
    // by many names).
    void releaseLarge(size_t kept);
    // Bytes held between exchanges: the capacity of the texts kept from the answer.
    size_t retainedBytes() const;

    bool isFault() const;
    bool bodyElementIs(const char* name, const char* nameSpace) const;

    // The body element's child nodes written one piece each, allocated with new[]; null without a body element.
    AnyType* contentPieces();
    // The Fault's parts, or null when the body is not a Fault named `name`.
    SoapFault* fault(const char* name) const;
    // The Fault's detail content as XML (new[]), or null when there is no detail or it is empty.
    char* faultDetailXml();
    std::string faultString() const;

private:
    friend struct SaxEvents;
    struct Element;
    // Where the reader is among the Envelope's children.
    enum class Stage { FirstChild, AfterHeader, AfterBody };
    enum class Node { None, Text, CData, Other };
    enum FaultPart {
        FAULT_CODE,
        FAULT_STRING,
        FAULT_ACTOR,
        FAULT_DETAIL,
        FAULT_PART_COUNT,
        NO_PART = FAULT_PART_COUNT
    };

    xmlParserCtxtPtr newParser();
    bool openWhole(const std::string& text);
    bool openCopy(const std::string& text);
    void startElement(const Element& element);
    void endElement(const Element& element);
    void text(const char* bytes, size_t length, bool cdata);
    void otherNode();
    void refuse() noexcept;
    void envelopeChild(const Element& element);
    void openBodyElement(const Element& element);
    void openContentElement(const Element& element);
    void startPieceIfNew(Node kind);
    void openFaultPart(const Element& element);
    void closeContentElement(const Element& element);
    void writeStartTag(const Element& element);
    void writeEndTag(const Element& element);

    xmlParserCtxtPtr m_parser;  // reused across exchanges (keeps its dictionary and buffers)

    // What one read leaves, set by the parser's callbacks; reset whole before each read.
    struct State {
        Stage stage = Stage::FirstChild;
        bool refused = false;
        bool encodingDeclared = false;  // non-ASCII attribute text is then written as it is, else as references
        int depth = 0;                  // open elements
        bool hasBody = false, inBody = false;
        bool hasBodyElement = false, inBodyElement = false;
        bool bodyHasNamespace = false, bodyIsFault = false;
        Node lastChild = Node::None;   // the kind of the body element's last child so far
        FaultPart openPart = NO_PART;  // the fault part whose text is being collected
        std::array<bool, FAULT_PART_COUNT> partSeen{};
        bool detailHasElement = false;
        size_t detailStart = 0, detailEnd = 0;  // the detail's content within m_content
    } m_state;
    // Texts of one read, emptied before each read but keeping their capacity.
    std::string m_bodyName;  // the body element's local name
    std::string m_bodyNamespace;
    TextBuffer m_content;  // the body element's children written one after the other
    std::vector<size_t> m_pieceStarts;
    std::array<std::string, FAULT_PART_COUNT> m_partText;
};

}  // namespace orbsec_axiscpp
