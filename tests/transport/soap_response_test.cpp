// The host's SOAP response reader on its own: the body element's content cut into one piece per child
// node, each piece the exact text the plug-in reads, from one reader kept across answers.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xmlsave.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "orbsec_axiscpp/soap_response.h"
#include "support/test_support.h"

namespace {

using kova_test::readFile;
using kova_test::sourceDir;
using orbsec_axiscpp::AnyType;
using orbsec_axiscpp::SoapFault;
using orbsec_axiscpp::SoapResponse;

std::string envelope(const std::string& declaration, const std::string& bodyContent) {
    return declaration + "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>" + bodyContent +
           "</s:Body></s:Envelope>";
}

std::vector<std::string> piecesOf(SoapResponse& response) {
    std::vector<std::string> pieces;
    AnyType* content = response.contentPieces();
    if (!content) return pieces;
    for (int i = 0; i < content->_size; ++i) {
        pieces.emplace_back(content->_array[i]);
        delete[] content->_array[i];
    }
    delete[] content->_array;
    delete content;
    return pieces;
}

struct PiecesCase {
    const char* what;
    std::string declaration;
    std::string bodyContent;
    std::vector<std::string> pieces;
};

const char* const UTF8_DECLARATION = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

TEST(SoapResponseReader, ContentPiecesAreEachChildNodeWrittenOnItsOwn) {
    // clang-format off
    const std::vector<PiecesCase> cases = {
        {"elements and the blanks between them", "",
         "<R xmlns=\"urn:r\">\n <a k=\"1\">x</a>\n <b/>\n</R>", {"\n ", "<a k=\"1\">x</a>", "\n ", "<b></b>", "\n"}},
        {"prefixed names keep their prefix, declarations stay where they were", "",
         "<p:R xmlns:p=\"urn:p\"><p:a xmlns:q=\"urn:q\" q:k=\"v\">t</p:a><p:b>u</p:b></p:R>",
         {"<p:a xmlns:q=\"urn:q\" q:k=\"v\">t</p:a>", "<p:b>u</p:b>"}},
        {"markup characters escaped, comments and instructions dropped, CDATA as text", "",
         "<R><a k=\"&lt;&amp;&quot;&gt;\">&lt;&amp;&gt;</a><!-- c --><?pi x?><b><![CDATA[<&>]]></b></R>",
         {"<a k=\"&lt;&amp;&quot;&gt;\">&lt;&amp;&gt;</a>", "<b>&lt;&amp;&gt;</b>"}},
        {"line ends and tabs in attribute values as character references", "",
         "<R><a k=\"&#10;&#13;&#9;\">x&#13;y</a></R>", {"<a k=\"&#10;&#13;&#9;\">x&#13;y</a>"}},
        {"non-ASCII attribute text as references without an encoding declaration", "",
         "<R><a k=\"\xc3\xa9\">\xc3\xa9</a></R>", {"<a k=\"&#xE9;\">\xc3\xa9</a>"}},
        {"non-ASCII attribute text kept with an encoding declaration", UTF8_DECLARATION,
         "<R><a k=\"\xc3\xa9\">\xc3\xa9</a></R>", {"<a k=\"\xc3\xa9\">\xc3\xa9</a>"}},
        {"an element without content has no pieces", "", "<R></R>", {}},
        {"texts far longer than the buffer's first size, escapes where it grows", "",
         "<R><a k=\"" + std::string(70000, 'k') + "&lt;\">" + std::string(140000, 't') + "&amp;</a>x</R>",
         {"<a k=\"" + std::string(70000, 'k') + "&lt;\">" + std::string(140000, 't') + "&amp;</a>", "x"}},
    };
    // clang-format on
    SoapResponse response;
    for (const PiecesCase& c : cases) {
        ASSERT_TRUE(response.parse(envelope(c.declaration, c.bodyContent))) << c.what;
        EXPECT_EQ(piecesOf(response), c.pieces) << c.what;
    }
}

TEST(SoapResponseReader, FaultDetailIsItsChildrenWrittenTogether) {
    SoapResponse response;
    ASSERT_TRUE(response.parse(envelope("", "<s:Fault><faultcode>s:Server</faultcode><detail><r c=\"9\">x</r> "
                                            "<e/></detail></s:Fault>")));
    char* detail = response.faultDetailXml();
    ASSERT_NE(detail, nullptr);
    EXPECT_STREQ(detail, "<r c=\"9\">x</r> <e></e>");
    delete[] detail;
}

// The parser's limit on input it has not yet read: an answer of 10 MB is read, one byte more is refused (the
// tree reader below has no such limit), with or without a declaration the parser reads.
TEST(SoapResponseReader, AnswersBeyondTheParserLookupLimitAreRefused) {
    constexpr size_t LIMIT = 10'000'000;
    SoapResponse response;
    for (const std::string declaration : {"", "<?xml version=\"1.0\"?>"}) {
        std::string items;
        while (items.size() < LIMIT - 200) items += "<a k=\"v\">x</a>\n";
        std::string text = envelope(declaration, "<R>" + items + "</R>");
        text.insert(text.size() - std::strlen("</s:Body></s:Envelope>"), LIMIT - text.size(), ' ');
        ASSERT_EQ(text.size(), LIMIT);
        EXPECT_TRUE(response.parse(text)) << declaration;
        text.insert(text.size() - std::strlen("</s:Envelope>"), 1, ' ');
        EXPECT_FALSE(response.parse(text)) << declaration;
    }
}

// ---- the reader against libxml2's own tree and serializer ----------------------------------------------

constexpr const char* SOAP_NS = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr const char* XACML_NS = "urn:oasis:names:tc:xacml:2.0:context:schema:os";

bool isElement(xmlNodePtr node, const char* name, const char* nameSpace = nullptr) {
    return node && node->type == XML_ELEMENT_NODE &&
           std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0 &&
           (!nameSpace ||
            (node->ns && node->ns->href && std::strcmp(reinterpret_cast<const char*>(node->ns->href), nameSpace) == 0));
}

xmlNodePtr firstElement(xmlNodePtr node) {
    while (node && node->type != XML_ELEMENT_NODE) node = node->next;
    return node;
}

xmlNodePtr firstChildNamed(xmlNodePtr parent, const char* name) {
    for (xmlNodePtr child = parent->children; child; child = child->next)
        if (isElement(child, name)) return child;
    return nullptr;
}

// Comments and instructions removed, CDATA sections turned into text nodes of their own.
void keepElementsAndText(xmlNodePtr parent) {
    for (xmlNodePtr child = parent->children, next; child; child = next) {
        next = child->next;
        if (child->type == XML_COMMENT_NODE || child->type == XML_PI_NODE) {
            xmlUnlinkNode(child);
            xmlFreeNode(child);
        } else if (child->type == XML_CDATA_SECTION_NODE) {
            xmlFreeNode(xmlReplaceNode(child, xmlNewDocText(child->doc, child->content)));
        } else if (child->type == XML_ELEMENT_NODE) {
            keepElementsAndText(child);
        }
    }
}

std::string serialized(xmlNodePtr node) {
    xmlBufferPtr buffer = xmlBufferCreate();
    xmlSaveCtxtPtr save = xmlSaveToBuffer(buffer, "UTF-8", XML_SAVE_NO_EMPTY | XML_SAVE_NO_DECL);
    xmlSaveTree(save, node);
    xmlSaveClose(save);
    std::string text(reinterpret_cast<const char*>(xmlBufferContent(buffer)), xmlBufferLength(buffer));
    xmlBufferFree(buffer);
    return text;
}

std::string contentOf(xmlNodePtr node) {
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

// What a reader of the answer can learn from it, in one text.
struct Reading {
    std::ostringstream out;
    void body(bool fault, bool response) { out << "fault " << fault << " response " << response << "\n"; }
    void piece(const std::string& text) { out << "piece [" << text << "]\n"; }
    void faultParts(const std::string& code, const std::string& string, const std::string& actor,
                    const std::string& detail, const std::string& detailXml) {
        out << "code [" << code << "] string [" << string << "] actor [" << actor << "] detail [" << detail
            << "] detail xml [" << detailXml << "]\n";
    }
};

std::string treeReading(const std::string& text) {
    Reading reading;
    xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    xmlNodePtr envelope = doc && !doc->intSubset ? xmlDocGetRootElement(doc) : nullptr;
    xmlNodePtr body = isElement(envelope, "Envelope", SOAP_NS) ? firstElement(envelope->children) : nullptr;
    if (isElement(body, "Header")) body = firstElement(body->next);
    if (isElement(body, "Body", SOAP_NS)) {
        keepElementsAndText(body);
        xmlNodePtr element = firstElement(body->children);
        bool fault = isElement(element, "Fault", SOAP_NS);
        reading.body(fault, isElement(element, "Response", XACML_NS));
        for (xmlNodePtr child = element ? element->children : nullptr; child; child = child->next)
            reading.piece(serialized(child));
        if (fault) {
            xmlNodePtr detail = firstChildNamed(element, "detail");
            std::string detailXml;
            for (xmlNodePtr child = detail ? detail->children : nullptr; child; child = child->next)
                detailXml += serialized(child);
            reading.faultParts(contentOf(firstChildNamed(element, "faultcode")),
                               contentOf(firstChildNamed(element, "faultstring")),
                               contentOf(firstChildNamed(element, "faultactor")),
                               detail && holdsTextOnly(detail) ? contentOf(detail) : "", detailXml);
        }
    }
    if (doc) xmlFreeDoc(doc);
    return reading.out.str();
}

std::string readerReading(SoapResponse& response, const std::string& text) {
    Reading reading;
    if (!response.parse(text)) return reading.out.str();
    reading.body(response.isFault(), response.bodyElementIs("Response", XACML_NS));
    for (const std::string& piece : piecesOf(response)) reading.piece(piece);
    if (SoapFault* fault = response.fault("Fault")) {
        char* detailXml = response.faultDetailXml();
        reading.faultParts(fault->getFaultcode(), fault->getFaultstring(), fault->getFaultactor(),
                           fault->getSimpleFaultDetail(), detailXml ? detailXml : "");
        delete[] detailXml;
        delete fault;
    }
    return reading.out.str();
}

// A UTF-8 declaration followed by what the reader may read without it (blanks, an instruction, a comment, a
// document type) or may not (a second declaration, a byte order mark).
std::vector<std::string> declarationAnswers() {
    const std::string rest =
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><R k=\"\xc3\xa9\">"
        "\xc3\xa9</R></s:Body></s:Envelope>";
    std::vector<std::string> answers;
    for (const char* between : {"", "\n", "\r\n", " \t", "<?pi x?>", "<!-- c -->", "<!DOCTYPE s:Envelope>",
                                "<?xml version=\"1.0\"?>", "\n<?xml version=\"1.0\"?>", "\xEF\xBB\xBF"})
        answers.push_back(UTF8_DECLARATION + std::string(between) + rest);
    return answers;
}

// The answers of the fuzz corpora: SOAP envelopes as they are, plugin response texts inside a Response; and
// the declarations above.
std::vector<std::string> corpusAnswers() {
    std::vector<std::string> answers = declarationAnswers();
    std::string corpus = sourceDir() + "/tests/fuzz/corpus/";
    for (const auto& entry : std::filesystem::directory_iterator(corpus + "soap_response"))
        answers.push_back(readFile(entry.path().string()));
    for (const auto& entry : std::filesystem::directory_iterator(corpus + "response_parse")) {
        std::string content = readFile(entry.path().string());
        std::replace(content.begin(), content.end(), '\0', ' ');
        answers.push_back(
            envelope(UTF8_DECLARATION, "<Response xmlns=\"" + std::string(XACML_NS) + "\">" + content + "</Response>"));
    }
    return answers;
}

// Every answer of the corpora, and every beginning of each (refused or not), reads as libxml2's tree and
// serializer read it, through one reader kept across them all.
TEST(SoapResponseReader, ReadsEveryCorpusAnswerAsTheTreeAndSerializerDo) {
    std::vector<std::string> answers = corpusAnswers();
    ASSERT_GT(answers.size(), 20u);
    SoapResponse response;
    for (const std::string& answer : answers) {
        for (size_t length = 0; length <= answer.size(); ++length) {
            std::string text = answer.substr(0, length);
            ASSERT_EQ(readerReading(response, text), treeReading(text)) << text;
        }
    }
}

}  // namespace
