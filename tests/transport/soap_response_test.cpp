// The host's SOAP response reader on its own: the body element's content cut into one piece per child
// node, each piece the exact text the plug-in reads, from one reader kept across answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orbsec_axiscpp/soap_response.h"

namespace {

using orbsec_axiscpp::AnyType;
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
    };
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

}  // namespace
