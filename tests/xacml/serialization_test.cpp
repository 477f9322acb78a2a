// Data-type and category words, escaping, and the attribute element form.
#include "xacml/xacml_fixture.h"

using xacml_test::element;

namespace {

class Serialization : public ::testing::Test {
protected:
    KOVARequest request{"ctx", "6.1", "srv1", "/r", "read", ""};
};

TEST_F(Serialization, DataTypeWordsGiveQuotedConstantsAndOtherWordsString) {
    const std::pair<const char*, const char*> expected[] = {
        {"string", "\"http://www.w3.org/2001/XMLSchema#string\""},
        {"integer", "\"http://www.w3.org/2001/XMLSchema#integer\""},
        {"boolean", "\"http://www.w3.org/2001/XMLSchema#boolean\""},
        {"double", "\"http://www.w3.org/2001/XMLSchema#double\""},
        {"time", "\"http://www.w3.org/2001/XMLSchema#time\""},
        {"date", "\"http://www.w3.org/2001/XMLSchema#date\""},
        {"x500name", "\"urn:oasis:names:tc:xacml:1.0:data-type:x500Name\""},
        {"x500Name", "\"http://www.w3.org/2001/XMLSchema#string\""},
        {"Integer", "\"http://www.w3.org/2001/XMLSchema#string\""},
        {"", "\"http://www.w3.org/2001/XMLSchema#string\""},
    };
    for (const auto& [word, constant] : expected) {
        const char* dataType = nullptr;
        request.getDataTypeURI(word, dataType);
        EXPECT_STREQ(dataType, constant) << word;
    }
}

TEST_F(Serialization, CategoryWordsMatchWholeAndInTheirLetterCase) {
    const std::pair<const char*, int> expected[] = {
        {"Environment", 1}, {"Subject", 2}, {"Action", 3},   {"Resource", 4},
        {"Subject ", 0},    {"subject", 0}, {"RESOURCE", 0}, {"", 0},
    };
    for (const auto& [word, category] : expected) EXPECT_EQ(request.getCategory(word), category) << word;
}

TEST_F(Serialization, EscapingReplacesEachSpecialByteOnce) {
    const std::pair<const char*, const char*> expected[] = {
        {"a<b & 'c' >d", "a&lt;b &amp; &apos;c&apos; &gt;d"},
        {"say \"hi\"", "say &quot;hi&quot;"},
        {"&amp;", "&amp;amp;"},
        {"Zo\xC3\xAB \xE4\xB8\xAD<", "Zo\xC3\xAB \xE4\xB8\xAD&lt;"},
        {"plain", "plain"},
        {"", ""},
    };
    for (const auto& [input, escaped] : expected) {
        std::string output = "left over";
        request.replaceSpecialXMLChars(input, output);
        EXPECT_EQ(output, escaped) << input;
        std::string inPlace = input;
        request.replaceSpecialXMLChars(inPlace);
        EXPECT_EQ(inPlace, escaped) << input;
    }
}

TEST_F(Serialization, AttributesWithAnEmptyValueAreLeftOut) {
    KOVAAttributeList attributes;
    attributes.emplace_back("with-empty", KOVA_DATATYPE_STRING).addValue("x");
    attributes.back().addValue("");
    attributes.emplace_back("two<values>", KOVA_DATATYPE_INTEGER).addValue("a&");
    attributes.back().addValue("b");
    attributes.emplace_back("no-values", KOVA_DATATYPE_STRING);

    EXPECT_EQ(request.validAttribute(attributes.front()), 1);
    EXPECT_EQ(request.validAttribute(attributes.back()), 0);
    std::string out = "before";
    request.appendAttributesToStr(attributes, out);
    EXPECT_EQ(out, "before" + element("two&lt;values&gt;", {"a&amp;", "b"}, xacml_test::INTEGER_TYPE) +
                       "<ns1:Attribute AttributeId=\"no-values\" DataType=\"" + xacml_test::STRING_TYPE +
                       "\"></ns1:Attribute>");
    std::string written = out;
    request.appendAttributesToStr({}, out);
    EXPECT_EQ(out, written) << "an empty list appends nothing";
}

}  // namespace
