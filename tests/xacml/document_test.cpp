// Whole request documents, byte for byte, and their validity against the XACML 2.0 context schema.
#include "xacml/xacml_fixture.h"

using xacml_test::Config;
using xacml_test::makeData;
using xacml_test::schemaProblems;

namespace {

// The requesting-machine Subject for server srv1, version 6.1.
const std::string REQUESTING_MACHINE =
    R"(<ns1:Subject SubjectCategory="urn:oasis:names:tc:xacml:1.0:subject-category:requesting-machine">)"
    R"(<ns1:Attribute AttributeId="urn:oasis:names:tc:xacml:1.0:subject:subject-id" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>Corvane Client@ srv1</ns1:AttributeValue></ns1:Attribute>)"
    R"(<ns1:Attribute AttributeId="http://audit.kova-eas.example/audit/componentIdType" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>Application</ns1:AttributeValue></ns1:Attribute>)"
    R"(<ns1:Attribute AttributeId="http://audit.kova-eas.example/audit/componentType" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>Application Enforcement Point</ns1:AttributeValue></ns1:Attribute>)"
    R"(<ns1:Attribute AttributeId="http://audit.kova-eas.example/audit/component" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>Corvane Client</ns1:AttributeValue></ns1:Attribute>)"
    R"(<ns1:Attribute AttributeId="http://audit.kova-eas.example/audit/executionEnvironment" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>srv1#[6.1]</ns1:AttributeValue></ns1:Attribute>)"
    R"(</ns1:Subject>)";

class Document : public ::testing::Test {
protected:
    // Formats the request and checks that its document is valid XACML.
    std::string format(KOVARequest& request, const KOVAData& data, int useRealClientIP, int provideOldAttrIDs) {
        EXPECT_EQ(request.formatRequest(data, &audit, useRealClientIP, provideOldAttrIDs), 0);
        std::string document = xacml_test::documentOf(request);
        EXPECT_EQ(schemaProblems(document), "") << document;
        return document;
    }

    Config config{xacml_test::REQUEST_CONFIG};
    KOVAAuditFields audit;
};

// The expected documents keep one attribute per line.
// clang-format off
TEST_F(Document, MinimalRequest) {
    KOVARequest request("ctx", "6.1", "srv1", "/r", "read", "");
    EXPECT_EQ(format(request, {}, 1, 0),
              REQUESTING_MACHINE +
                  R"(<ns1:Subject SubjectCategory="urn:oasis:names:tc:xacml:1.0:subject-category:access-subject"></ns1:Subject>)"
                  R"(<ns1:Resource><ns1:Attribute AttributeId="urn:oasis:names:tc:xacml:1.0:resource:resource-id" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>/r</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="urn:oxa:security:resource:inherited-resource-id" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue></ns1:AttributeValue></ns1:Attribute></ns1:Resource>)"
                  R"(<ns1:Action><ns1:Attribute AttributeId="urn:oasis:names:tc:xacml:1.0:action:action-id" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>read</ns1:AttributeValue></ns1:Attribute></ns1:Action>)"
                  R"(<ns1:Environment><ns1:Attribute AttributeId="ContextId" DataType="http://www.w3.org/2001/XMLSchema#string" Issuer="http://pdp.kova-eas.example/policy/distribution"><ns1:AttributeValue>ctx</ns1:AttributeValue></ns1:Attribute></ns1:Environment>)");
    EXPECT_TRUE(audit.empty());
}

TEST_F(Document, TypicalRequest) {
    KOVARequest request("ctx-1", "6.1", "srv1", "/app/page", "read", "pop1");
    KOVAData data = makeData(
        {{"header:Host", "h1"}, {"method", "GET"}, {"client_ip", "10.0.0.9"}, {"header:Accept", "a"},
         {"header:Accept", "b"}, {"header:Referer", "x<y"}, {"header:X-Level", "5"}, {"header:Odd", "o"},
         {"header:Unknown", "u"}, {"header:Accept", "c"}},
        {{"AZN_CRED_PRINCIPAL_NAME", "alice"}, {"AZN_CRED_NETWORK_ADDRESS_STR", "192.0.2.1"},
         {"AUTHENTICATION_LEVEL", "2"}, {"AZN_CRED_REGISTRY_ID", "cn=alice,secAuthority=Default"},
         {"AZN_CRED_GROUP_REGISTRY_IDS", "cn=staff,secAuthority=Default"}, {"AZN_CRED_GROUP_REGISTRY_IDS", "cn=ops"},
         {"authenticationTypes", "a, b ,c"}, {"tagged", "t&1"}});
    EXPECT_EQ(format(request, data, 1, 0),
              REQUESTING_MACHINE +
                  R"(<ns1:Subject SubjectCategory="urn:oasis:names:tc:xacml:1.0:subject-category:access-subject">)"
                  R"(<ns1:Attribute AttributeId="urn:oxa:security:subject:username" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>alice</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="AZN_CRED_NETWORK_ADDRESS_STR" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>10.0.0.9</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="urn:oxa:security:subject:authenticationLevel" DataType="http://www.w3.org/2001/XMLSchema#integer"><ns1:AttributeValue>2</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="AZN_CRED_REGISTRY_ID" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>cn=alice,secAuthority=Default</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="AZN_CRED_GROUP_REGISTRY_IDS" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>cn=staff,secAuthority=Default</ns1:AttributeValue><ns1:AttributeValue>cn=ops</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="tagged" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>t&amp;1</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="urn:oasis:names:tc:xacml:1.0:subject:subject-id" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>cn=alice,secAuthority=Default</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="urn:oasis:names:tc:xacml:1.0:subject:subject-id" DataType="urn:oasis:names:tc:xacml:1.0:data-type:x500Name"><ns1:AttributeValue>cn=alice,1.3.6.1.4.1.4228.1.3=Default</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="urn:oasis:names:tc:xacml:1.0:subject:group-id" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>cn=staff,secAuthority=Default</ns1:AttributeValue><ns1:AttributeValue>cn=ops</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="urn:oasis:names:tc:xacml:1.0:subject:group-id" DataType="urn:oasis:names:tc:xacml:1.0:data-type:x500Name"><ns1:AttributeValue>cn=staff,1.3.6.1.4.1.4228.1.3=Default</ns1:AttributeValue><ns1:AttributeValue>cn=ops</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="urn:oxa:security:subject:ipAddress" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>10.0.0.9</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="x-level" DataType="http://www.w3.org/2001/XMLSchema#integer"><ns1:AttributeValue>5</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="urn:oxa:security:subject:authenticationTypes" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>a</ns1:AttributeValue><ns1:AttributeValue>b</ns1:AttributeValue><ns1:AttributeValue>c</ns1:AttributeValue></ns1:Attribute>)"
                  R"(</ns1:Subject><ns1:Resource>)"
                  R"(<ns1:Attribute AttributeId="urn:oasis:names:tc:xacml:1.0:resource:resource-id" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>/app/page</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="urn:oxa:security:resource:inherited-resource-id" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>pop1</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="referer" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>x&lt;y</ns1:AttributeValue></ns1:Attribute>)"
                  R"(</ns1:Resource><ns1:Action>)"
                  R"(<ns1:Attribute AttributeId="urn:oasis:names:tc:xacml:1.0:action:action-id" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>GET</ns1:AttributeValue></ns1:Attribute>)"
                  R"(</ns1:Action><ns1:Environment>)"
                  R"(<ns1:Attribute AttributeId="ContextId" DataType="http://www.w3.org/2001/XMLSchema#string" Issuer="http://pdp.kova-eas.example/policy/distribution"><ns1:AttributeValue>ctx-1</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="urn:oxa:security:environment:http:host" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>h1</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="urn:oxa:security:environment:http:accept" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>a</ns1:AttributeValue><ns1:AttributeValue>b</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="odd" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>o</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="header:Unknown" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>u</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="urn:oxa:security:environment:http:accept" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>c</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="last-successful-secondary-challenge" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>otp</ns1:AttributeValue></ns1:Attribute>)"
                  R"(</ns1:Environment>)");
    EXPECT_EQ(audit, (KOVAAuditFields{{"ip-address", "192.0.2.1"}, {"user", "alice"}}));
}

TEST_F(Document, OldAttributeIdentifiersFollowTheirAttributes) {
    KOVARequest request("ctx", "6.1", "srv1", "/r", "read", "");
    KOVAData data = makeData({{"header:Host", "h1"}, {"header:Unknown", "u"}, {"method", "POST"}},
                             {{"AZN_CRED_PRINCIPAL_NAME", "alice"}, {"AZN_CRED_NETWORK_ADDRESS_STR", "192.0.2.7"},
                              {"tagged", "t"}});
    EXPECT_EQ(format(request, data, 1, 1),
              REQUESTING_MACHINE +
                  R"(<ns1:Subject SubjectCategory="urn:oasis:names:tc:xacml:1.0:subject-category:access-subject">)"
                  R"(<ns1:Attribute AttributeId="urn:oxa:security:subject:username" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>alice</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="AZN_CRED_PRINCIPAL_NAME" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>alice</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="AZN_CRED_NETWORK_ADDRESS_STR" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>192.0.2.7</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="tagged" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>t</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="urn:oxa:security:subject:ipAddress" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>192.0.2.7</ns1:AttributeValue></ns1:Attribute>)"
                  R"(</ns1:Subject><ns1:Resource>)"
                  R"(<ns1:Attribute AttributeId="urn:oasis:names:tc:xacml:1.0:resource:resource-id" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>/r</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="urn:oxa:security:resource:inherited-resource-id" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue></ns1:AttributeValue></ns1:Attribute>)"
                  R"(</ns1:Resource><ns1:Action>)"
                  R"(<ns1:Attribute AttributeId="urn:oasis:names:tc:xacml:1.0:action:action-id" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>POST</ns1:AttributeValue></ns1:Attribute>)"
                  R"(</ns1:Action><ns1:Environment>)"
                  R"(<ns1:Attribute AttributeId="ContextId" DataType="http://www.w3.org/2001/XMLSchema#string" Issuer="http://pdp.kova-eas.example/policy/distribution"><ns1:AttributeValue>ctx</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="urn:oxa:security:environment:http:host" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>h1</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="header:Host" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>h1</ns1:AttributeValue></ns1:Attribute>)"
                  R"(<ns1:Attribute AttributeId="header:Unknown" DataType="http://www.w3.org/2001/XMLSchema#string"><ns1:AttributeValue>u</ns1:AttributeValue></ns1:Attribute>)"
                  R"(</ns1:Environment>)");
}
// clang-format on

TEST_F(Document, EscapedFieldsKeepTheDocumentValid) {
    const std::string special = "<a href='x'>\"&amp;\" Zo\xC3\xAB \xE4\xB8\xAD\xE6\x96\x87";
    const std::string escaped = "&lt;a href=&apos;x&apos;&gt;&quot;&amp;amp;&quot; Zo\xC3\xAB \xE4\xB8\xAD\xE6\x96\x87";
    KOVARequest request("ctx", "6.1", "srv1", "/r", "read", "");
    KOVAData data = makeData({{"header:User-Agent", special}, {"header:X<'&'>", special}, {"method", special}},
                             {{"AZN_CRED_PRINCIPAL_NAME", special}, {"cred\"<>", special}});
    std::string document = format(request, data, 0, 1);
    for (const std::string& part : {xacml_test::element("urn:oxa:security:environment:http:userAgent", {escaped}),
                                    xacml_test::element("header:X&lt;&apos;&amp;&apos;&gt;", {escaped}),
                                    xacml_test::element("urn:oasis:names:tc:xacml:1.0:action:action-id", {escaped}),
                                    xacml_test::element("urn:oxa:security:subject:username", {escaped}),
                                    xacml_test::element("cred&quot;&lt;&gt;", {escaped})}) {
        EXPECT_NE(document.find(part), std::string::npos) << part;
    }
}

TEST_F(Document, FixedInputsAreWrittenUnescaped) {
    KOVARequest request("ctx'1", "6>1", "srv\"1", "/a>b\"c'd&amp;e", "read", "p>1");
    std::string document = format(request, {}, 1, 0);
    for (const char* part : {"Corvane Client@ srv\"1<", ">srv\"1#[6>1]<", ">/a>b\"c'd&amp;e<", ">p>1<", ">ctx'1<"}) {
        EXPECT_NE(document.find(part), std::string::npos) << part;
    }
}

TEST(Schema, ValidatorRejectsDocumentsOutsideTheContextSchema) {
    if (kova_test::xacmlDir().empty()) GTEST_SKIP() << "the XACML schema folder is not present";
    EXPECT_NE(schemaProblems("<ns1:Subject></ns1:Subject>"), "") << "Resource, Action and Environment are required";
    EXPECT_NE(schemaProblems("<ns1:Subject><ns1:Attribute AttributeId=\"a\" DataType=\"b\"></ns1:Attribute>"
                             "</ns1:Subject><ns1:Resource/><ns1:Action/><ns1:Environment/>"),
              "")
        << "an Attribute needs a value";
    EXPECT_EQ(schemaProblems("<ns1:Subject/><ns1:Resource/><ns1:Action/><ns1:Environment/>"), "");
}

}  // namespace
