#include "orbsec_axiscpp/soap_response.h"

#include <libxml/dict.h>
#include <libxml/parserInternals.h>

#include <strings.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string_view>

#include "orbsec_axiscpp/kept_buffer.h"

namespace orbsec_axiscpp {

namespace {

constexpr std::string_view SOAP11_ENVELOPE_NS = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr int PARSE_OPTIONS = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// The parser's dictionary keeps every name it has met; past this many names the parser is made anew.
constexpr int KEPT_DICTIONARY_NAMES = 4096;

constexpr const char* FAULT_PART_NAMES[] = {"faultcode", "faultstring", "faultactor", "detail"};

using Escapes = std::array<std::string_view, 256>;

// Text content: markup characters and carriage returns (which a reader would take for a line end).
constexpr Escapes TEXT_ESCAPES = [] {
    Escapes table{};
    table['<'] = "&lt;";
    table['>'] = "&gt;";
    table['&'] = "&amp;";
    table['\r'] = "&#13;";
    return table;
}();

// Attribute values: also the quote and every white space character that a reader would normalize away.
constexpr Escapes ATTRIBUTE_ESCAPES = [] {
    Escapes table = TEXT_ESCAPES;
    table['"'] = "&quot;";
    table['\n'] = "&#10;";
    table['\t'] = "&#9;";
    return table;
}();

// The bytes written as they are: those without an escape, and with `asciiOnly` only those below 0x80.
using PlainBytes = std::array<bool, 256>;
constexpr PlainBytes plainBytes(const Escapes& escapes, bool asciiOnly) {
    PlainBytes plain{};
    for (int byte = 0; byte < 256; ++byte) plain[byte] = escapes[byte].empty() && (byte < 0x80 || !asciiOnly);
    return plain;
}
constexpr PlainBytes PLAIN_TEXT = plainBytes(TEXT_ESCAPES, false);
constexpr PlainBytes PLAIN_ATTRIBUTE = plainBytes(ATTRIBUTE_ESCAPES, false);
constexpr PlainBytes PLAIN_ASCII_ATTRIBUTE = plainBytes(ATTRIBUTE_ESCAPES, true);

const char* chars(const xmlChar* text) { return reinterpret_cast<const char*>(text); }

// Appends the run of plain bytes from `at`; returns where it ends.
const char* appendPlainRun(TextBuffer& out, const char* at, const char* end, const PlainBytes& plain) {
    const char* run = at;
    while (at < end && plain[static_cast<unsigned char>(*at)]) ++at;
    out.append(run, static_cast<size_t>(at - run));
    return at;
}

void appendEscapedText(TextBuffer& out, const char* at, const char* end) {
    while ((at = appendPlainRun(out, at, end, PLAIN_TEXT)) < end)
        out.append(TEXT_ESCAPES[static_cast<unsigned char>(*at++)]);
}

// "&#xHEX;" for one character, upper-case digits without leading zeros.
void appendHexReference(TextBuffer& out, unsigned value) {
    char digits[8];
    int count = 0;
    do {
        digits[count++] = "0123456789ABCDEF"[value & 0xF];
        value >>= 4;
    } while (value);
    out.append("&#x");
    while (count) out.push(digits[--count]);
    out.push(';');
}

// The UTF-8 sequence at `at` as a character reference; returns where the next character starts. A byte
// that starts no sequence stands for itself.
const char* appendCharacterReference(TextBuffer& out, const char* at, const char* end) {
    auto byte = [&](int i) { return static_cast<unsigned char>(at[i]); };
    int length = byte(0) >= 0xF0 ? 4 : byte(0) >= 0xE0 ? 3 : byte(0) >= 0xC0 ? 2 : 1;
    if (length == 1 || end - at < length) {
        appendHexReference(out, byte(0));
        return at + 1;
    }
    unsigned value = byte(0) & (0x7F >> length);
    for (int i = 1; i < length; ++i) value = (value << 6) | (byte(i) & 0x3F);
    appendHexReference(out, value);
    return at + length;
}

// An attribute value as the parser hands it over: an ampersand arrives as the reference "&#38;".
void appendAttributeValue(TextBuffer& out, const char* at, const char* end, bool nonAsciiAsReferences) {
    constexpr std::string_view AMPERSAND_REFERENCE = "&#38;";
    const PlainBytes& plain = nonAsciiAsReferences ? PLAIN_ASCII_ATTRIBUTE : PLAIN_ATTRIBUTE;
    while ((at = appendPlainRun(out, at, end, plain)) < end) {
        auto byte = static_cast<unsigned char>(*at);
        std::string_view escape = ATTRIBUTE_ESCAPES[byte];
        if (escape.empty()) {
            at = appendCharacterReference(out, at, end);
            continue;
        }
        out.append(escape);
        at += byte == '&' && std::string_view(at, end - at).starts_with(AMPERSAND_REFERENCE)
                  ? AMPERSAND_REFERENCE.size()
                  : 1;
    }
}

// A namespace name in double quotes, or in single quotes when it holds a double one and no single one.
void appendQuotedName(TextBuffer& out, std::string_view name) {
    if (name.find('"') == std::string_view::npos) {
        out.append("=\"").append(name).push('"');
    } else if (name.find('\'') == std::string_view::npos) {
        out.append("='").append(name).push('\'');
    } else {
        out.append("=\"");
        for (char c : name) c == '"' ? out.append("&quot;") : out.push(c);
        out.push('"');
    }
}

char* copyOut(const char* bytes, size_t length) {
    char* copy = new char[length + 1];
    std::memcpy(copy, bytes, length);
    copy[length] = '\0';
    return copy;
}

// Whether the parser reads the text as UTF-8 byte by byte: it starts with a start tag or the UTF-8 byte order
// mark and declares no encoding other than UTF-8.
bool readsAsUtf8(std::string_view text) {
    constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF", DECLARATION = "<?xml", ENCODING = "encoding";
    if (text.starts_with(BYTE_ORDER_MARK)) text.remove_prefix(BYTE_ORDER_MARK.size());
    if (text.size() < 2 || text[0] != '<' || text[1] == '\0') return false;
    if (!text.starts_with(DECLARATION)) return true;
    std::string_view declaration = text.substr(0, text.find("?>"));
    size_t at = declaration.find(ENCODING);
    if (at == std::string_view::npos) return true;
    declaration.remove_prefix(at + ENCODING.size());
    size_t quote = declaration.find_first_of("\"'");
    if (quote == std::string_view::npos || declaration.find_first_not_of(" \t\r\n=") < quote) return false;
    std::string_view name = declaration.substr(quote + 1, 6);
    return name.size() == 6 && strncasecmp(name.data(), "utf-8", 5) == 0 && name[5] == declaration[quote];
}

// The length of the declaration most answers start with, when what follows it reads the same without it:
// not another declaration or instruction, nor a byte order mark (which only the first bytes may carry). 0
// otherwise. Skipping it spares the parser reading it; the reader then takes the encoding as declared.
size_t plainUtf8DeclarationLength(std::string_view text) {
    constexpr std::string_view DECLARATION = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>", BLANKS = " \t\r\n";
    if (!text.starts_with(DECLARATION)) return 0;
    std::string_view rest = text.substr(DECLARATION.size());
    if (rest.size() < 2) return 0;
    bool readsAlike = rest[0] == '<' ? rest[1] != '?' : BLANKS.find(rest[0]) != std::string_view::npos;
    return readsAlike ? DECLARATION.size() : 0;
}

}  // namespace

// What the parser reports of an element: its names (from the parser's dictionary) and, at its start, its
// namespace declarations (prefix and name pairs) and attributes (name, prefix, namespace, value start and
// end, five to an attribute).
struct SoapResponse::Element {
    const xmlChar* localName;
    const xmlChar* prefix;
    const xmlChar* nameSpace;
    int namespaceCount = 0;
    const xmlChar** namespaces = nullptr;
    int attributeCount = 0;
    const xmlChar** attributes = nullptr;

    // The name as a reader of the document sees it: an element whose prefix is not declared has the
    // prefixed name and no namespace.
    bool named(const char* name) const { return !(prefix && !nameSpace) && std::strcmp(chars(localName), name) == 0; }
    bool isSoap(const char* name) const { return named(name) && nameSpace && chars(nameSpace) == SOAP11_ENVELOPE_NS; }
};

// The SAX2 callbacks, handing each event to the reader the parser works for. They are called from the
// parser's C code, which no exception may cross: one thrown while writing (out of memory) fails the read.
struct SaxEvents {
    template <class Event>
    static void deliver(void* context, Event event) {
        auto& reader = *static_cast<SoapResponse*>(static_cast<xmlParserCtxtPtr>(context)->_private);
        try {
            event(reader);
        } catch (...) {
            reader.refuse();
        }
    }
    // The encoding declaration has been read when the document starts.
    static void startDocument(void* context) {
        auto* parser = static_cast<xmlParserCtxtPtr>(context);
        bool declared = parser->encoding || (parser->input && parser->input->encoding);
        deliver(context, [&](SoapResponse& reader) { reader.m_state.encodingDeclared |= declared; });
    }
    static void startElement(void* context, const xmlChar* localName, const xmlChar* prefix, const xmlChar* nameSpace,
                             int namespaceCount, const xmlChar** namespaces, int attributeCount, int,
                             const xmlChar** attributes) {
        deliver(context, [&](SoapResponse& reader) {
            reader.startElement({localName, prefix, nameSpace, namespaceCount, namespaces, attributeCount, attributes});
        });
    }
    static void endElement(void* context, const xmlChar* localName, const xmlChar* prefix, const xmlChar* nameSpace) {
        deliver(context, [&](SoapResponse& reader) { reader.endElement({localName, prefix, nameSpace}); });
    }
    static void characters(void* context, const xmlChar* text, int length) {
        deliver(context, [&](SoapResponse& reader) { reader.text(chars(text), static_cast<size_t>(length), false); });
    }
    static void cdata(void* context, const xmlChar* text, int length) {
        deliver(context, [&](SoapResponse& reader) { reader.text(chars(text), static_cast<size_t>(length), true); });
    }
    static void comment(void* context, const xmlChar*) {
        deliver(context, [](SoapResponse& reader) { reader.otherNode(); });
    }
    static void instruction(void* context, const xmlChar*, const xmlChar*) {
        deliver(context, [](SoapResponse& reader) { reader.otherNode(); });
    }
    static void documentType(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
        deliver(context, [](SoapResponse& reader) { reader.refuse(); });
    }

    static void install(xmlParserCtxtPtr parser) {
        xmlSAXHandler handler{};
        handler.initialized = XML_SAX2_MAGIC;
        handler.startDocument = startDocument;
        handler.startElementNs = startElement;
        handler.endElementNs = endElement;
        handler.characters = characters;
        handler.ignorableWhitespace = characters;
        handler.cdataBlock = cdata;
        handler.comment = comment;
        handler.processingInstruction = instruction;
        handler.internalSubset = documentType;
        *parser->sax = handler;
    }
};

// Without a parser (out of memory at construction) every read fails.
SoapResponse::SoapResponse() : m_parser(newParser()) {}

// The callbacks, options and reader stay with the parser through its resets: they are set once.
xmlParserCtxtPtr SoapResponse::newParser() {
    xmlParserCtxtPtr parser = xmlNewParserCtxt();
    if (!parser) return nullptr;
    SaxEvents::install(parser);
    xmlCtxtUseOptions(parser, PARSE_OPTIONS);
    parser->_private = this;
    return parser;
}

SoapResponse::~SoapResponse() { xmlFreeParserCtxt(m_parser); }

void SoapResponse::clear() {
    m_state = State();
    m_bodyName.clear();
    m_bodyNamespace.clear();
    m_content.clear();
    m_pieceStarts.clear();
    for (std::string& text : m_partText) text.clear();
}

void TextBuffer::releaseIfLarge(size_t kept) {
    if (m_storage.capacity() <= kept) return;
    std::string().swap(m_storage);
    m_length = 0;
}

// At least doubles, so that a long text is copied a few times only.
void TextBuffer::grow(size_t length) { m_storage.resize(std::max(m_length + length, 2 * m_storage.size())); }

void SoapResponse::releaseLarge(size_t kept) {
    m_content.releaseIfLarge(kept);
    for (std::string& text : m_partText) releaseIfLarge(text, kept);
    releaseIfLarge(m_pieceStarts, kept);
    if (m_parser && m_parser->dict && xmlDictSize(m_parser->dict) > KEPT_DICTIONARY_NAMES) {
        xmlFreeParserCtxt(m_parser);
        m_parser = newParser();
    }
}

size_t SoapResponse::retainedBytes() const {
    size_t bytes = m_content.capacity() + m_pieceStarts.capacity() * sizeof(size_t);
    for (const std::string& text : m_partText) bytes += text.capacity();
    return bytes;
}

// A UTF-8 answer goes to the parser as one chunk, the last, so that it is read without a check for more
// input at any token; like a read from memory, it ends at its first NUL byte. Any other answer is read from
// a copy in memory, which the parser converts as it reads. The parser is reset after each read (and only
// then), so that it holds nothing of the answer between exchanges.
bool SoapResponse::parse(const std::string& text) {
    clear();
    if (!m_parser || text.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return false;
    bool whole = readsAsUtf8(text);
    if (!(whole ? openWhole(text) : openCopy(text))) return false;
    whole ? xmlParseChunk(m_parser, nullptr, 0, 1) : xmlParseDocument(m_parser);
    bool read = m_parser->wellFormed && !m_state.refused && m_state.hasBody;
    xmlCtxtReset(m_parser);
    if (!read) clear();
    return read;
}

// The parser reads the answer where it stands, as it reads an entity's text: no input buffer, no copy. The
// bytes end in the string's NUL, which the parser takes for the end of its input; the reset after the read
// drops the input. Its limit on input it has not read holds alike: beyond 10 MB the answer is refused.
bool SoapResponse::openWhole(const std::string& text) {
    size_t declaration = plainUtf8DeclarationLength(text);
    m_state.encodingDeclared = declaration != 0;
    const auto* start = reinterpret_cast<const xmlChar*>(text.data() + declaration);
    int length = static_cast<int>(strnlen(text.data() + declaration, text.size() - declaration));
    xmlParserInputPtr input = xmlNewInputStream(m_parser);
    if (!input) return false;
    input->base = input->cur = start;
    input->end = start + length;
    input->length = length;
    inputPush(m_parser, input);
    // A byte order mark is passed over as the push parser's own start does.
    if (length >= 4) xmlSwitchEncoding(m_parser, xmlDetectCharEncoding(start, 4));
    return true;
}

bool SoapResponse::openCopy(const std::string& text) {
    xmlParserInputBufferPtr buffer =
        xmlParserInputBufferCreateMem(text.data(), static_cast<int>(text.size()), XML_CHAR_ENCODING_NONE);
    if (!buffer) return false;
    xmlParserInputPtr input = xmlNewIOInputStream(m_parser, buffer, XML_CHAR_ENCODING_NONE);
    if (!input) {
        xmlFreeParserInputBuffer(buffer);
        return false;
    }
    inputPush(m_parser, input);
    return true;
}

void SoapResponse::refuse() noexcept {
    m_state.refused = true;
    xmlStopParser(m_parser);
}

// Depths count the open elements around a node: the Envelope's children are at 1, the body element's at 3.
void SoapResponse::startElement(const Element& element) {
    int depth = m_state.depth;
    if (depth == 0) {
        if (!element.isSoap("Envelope")) refuse();
    } else if (depth == 1) {
        envelopeChild(element);
    } else if (m_state.inBodyElement) {
        openContentElement(element);
    } else if (m_state.inBody && depth == 2 && !m_state.hasBodyElement) {
        openBodyElement(element);
    }
    ++m_state.depth;
}

// The first child is the Body, or a Header followed by the Body; what follows the Body is not read.
void SoapResponse::envelopeChild(const Element& element) {
    switch (m_state.stage) {
        case Stage::FirstChild:
            if (element.named("Header")) {
                m_state.stage = Stage::AfterHeader;
                return;
            }
            [[fallthrough]];
        case Stage::AfterHeader:
            if (!element.isSoap("Body")) return refuse();
            m_state.stage = Stage::AfterBody;
            m_state.hasBody = m_state.inBody = true;
            return;
        case Stage::AfterBody: return;
    }
}

void SoapResponse::openBodyElement(const Element& element) {
    m_state.hasBodyElement = m_state.inBodyElement = true;
    m_bodyName.assign(chars(element.localName));
    m_state.bodyHasNamespace = element.nameSpace != nullptr;
    if (element.nameSpace) m_bodyNamespace.assign(chars(element.nameSpace));
    m_state.bodyIsFault = element.isSoap("Fault");
}

void SoapResponse::openContentElement(const Element& element) {
    int depth = m_state.depth;
    if (depth == 3) startPieceIfNew(Node::Other);
    if (depth == 4 && m_state.openPart == FAULT_DETAIL) m_state.detailHasElement = true;
    writeStartTag(element);
    if (depth == 3 && m_state.bodyIsFault) openFaultPart(element);
}

// The first child of each fault part's name is that part.
void SoapResponse::openFaultPart(const Element& element) {
    for (int part = 0; part < FAULT_PART_COUNT; ++part) {
        if (m_state.partSeen[part] || !element.named(FAULT_PART_NAMES[part])) continue;
        m_state.partSeen[part] = true;
        m_state.openPart = static_cast<FaultPart>(part);
        if (part == FAULT_DETAIL) m_state.detailStart = m_content.size();
        return;
    }
}

void SoapResponse::endElement(const Element& element) {
    int depth = --m_state.depth;
    if (m_state.inBodyElement) {
        if (depth == 2) {
            m_state.inBodyElement = false;
        } else {
            closeContentElement(element);
        }
    } else if (m_state.inBody && depth == 1) {
        m_state.inBody = false;
    }
}

void SoapResponse::closeContentElement(const Element& element) {
    if (m_state.depth == 3 && m_state.openPart != NO_PART) {
        if (m_state.openPart == FAULT_DETAIL) m_state.detailEnd = m_content.size();
        m_state.openPart = NO_PART;
    }
    writeEndTag(element);
}

// Each child node of the body element is a piece: adjacent text is one node, adjacent CDATA sections
// another (written as text), and every element its own.
void SoapResponse::startPieceIfNew(Node kind) {
    if (kind == Node::Other || kind != m_state.lastChild) m_pieceStarts.push_back(m_content.size());
    m_state.lastChild = kind;
}

void SoapResponse::text(const char* bytes, size_t length, bool cdata) {
    if (!m_state.inBodyElement) return;
    if (m_state.depth == 3) {
        startPieceIfNew(cdata ? Node::CData : Node::Text);
    } else if (m_state.openPart != NO_PART) {
        m_partText[m_state.openPart].append(bytes, length);
    }
    appendEscapedText(m_content, bytes, bytes + length);
}

// A comment or processing instruction: not kept, but text on either side of it stays two nodes.
void SoapResponse::otherNode() {
    if (m_state.inBodyElement && m_state.depth == 3) m_state.lastChild = Node::Other;
}

// An element keeps its end tag even when empty ("<a></a>", not "<a/>"), as the PDP wrote it: readers of
// the response text look for what follows a start tag.
void SoapResponse::writeStartTag(const Element& element) {
    m_content.push('<');
    if (element.prefix) m_content.append(chars(element.prefix)).push(':');
    m_content.append(chars(element.localName));
    for (std::ptrdiff_t i = 0; i < element.namespaceCount; ++i) {
        const xmlChar* prefix = element.namespaces[2 * i];
        m_content.append(" xmlns");
        if (prefix) m_content.push(':').append(chars(prefix));
        appendQuotedName(m_content, chars(element.namespaces[2 * i + 1]));
    }
    for (std::ptrdiff_t i = 0; i < element.attributeCount; ++i) {
        const xmlChar* const* attribute = element.attributes + 5 * i;
        m_content.push(' ');
        if (attribute[1]) m_content.append(chars(attribute[1])).push(':');
        m_content.append(chars(attribute[0])).append("=\"");
        appendAttributeValue(m_content, chars(attribute[3]), chars(attribute[4]), !m_state.encodingDeclared);
        m_content.push('"');
    }
    m_content.push('>');
}

void SoapResponse::writeEndTag(const Element& element) {
    m_content.append("</");
    if (element.prefix) m_content.append(chars(element.prefix)).push(':');
    m_content.append(chars(element.localName)).push('>');
}

// Known from the body element's start tag: the same test as bodyElementIs("Fault", the envelope namespace).
bool SoapResponse::isFault() const { return m_state.bodyIsFault; }

bool SoapResponse::bodyElementIs(const char* name, const char* nameSpace) const {
    return m_state.hasBodyElement && m_state.bodyHasNamespace && m_bodyName == name && m_bodyNamespace == nameSpace;
}

AnyType* SoapResponse::contentPieces() {
    if (!m_state.hasBodyElement) return nullptr;
    size_t count = m_pieceStarts.size();
    char** pieces = new char*[count];
    for (size_t i = 0; i < count; ++i) {
        size_t end = i + 1 < count ? m_pieceStarts[i + 1] : m_content.size();
        pieces[i] = copyOut(m_content.data() + m_pieceStarts[i], end - m_pieceStarts[i]);
    }
    return new AnyType(pieces, static_cast<int>(count));
}

SoapFault* SoapResponse::fault(const char* name) const {
    if (!isFault() || m_bodyName != name) return nullptr;
    bool simpleDetail = m_state.partSeen[FAULT_DETAIL] && !m_state.detailHasElement;
    return new SoapFault(m_partText[FAULT_CODE], faultString(), m_partText[FAULT_ACTOR],
                         simpleDetail ? m_partText[FAULT_DETAIL] : std::string());
}

std::string SoapResponse::faultString() const { return isFault() ? m_partText[FAULT_STRING] : ""; }

char* SoapResponse::faultDetailXml() {
    if (!isFault() || m_state.detailEnd == m_state.detailStart) return nullptr;
    return copyOut(m_content.data() + m_state.detailStart, m_state.detailEnd - m_state.detailStart);
}

}  // namespace orbsec_axiscpp
