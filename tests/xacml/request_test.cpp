// How HTTP items and credentials turn into the request's attributes.
#include "xacml/xacml_fixture.h"

using xacml_test::element;
using xacml_test::makeData;

namespace {

const std::string NETWORK_ADDRESS = "AZN_CRED_NETWORK_ADDRESS_STR";
const std::string IP_ADDRESS = "urn:oxa:security:subject:ipAddress";
const std::string AUTHENTICATION_TYPES = "urn:oxa:security:subject:authenticationTypes";

class RequestAttributes : public ::testing::Test {
protected:
    // A request for "/r" and "read", formatted from the data; its document must be valid XACML.
    KOVARequest& format(const KOVAData& data, int useRealClientIP = 1, int provideOldAttrIDs = 0) {
        m_request = std::make_unique<KOVARequest>("ctx", "6.1", "srv1", "/r", "read", "");
        EXPECT_EQ(m_request->formatRequest(data, &audit, useRealClientIP, provideOldAttrIDs), 0);
        std::string document = xacml_test::documentOf(*m_request);
        EXPECT_EQ(xacml_test::schemaProblems(document), "") << document;
        return *m_request;
    }

    xacml_test::Config config{xacml_test::REQUEST_CONFIG};
    KOVAAuditFields audit;

private:
    std::unique_ptr<KOVARequest> m_request;
};

TEST_F(RequestAttributes, ClientAddressComesFromHttpOrFromTheCredential) {
    const KOVADataList http = {{"client_ip", "10.0.0.9"}};
    const KOVADataList creds = {{NETWORK_ADDRESS, "192.0.2.1"}};
    struct Case {
        KOVADataList http, creds;
        int useRealClientIP;
        std::string subject;
    } cases[] = {
        {http, creds, 1, element(NETWORK_ADDRESS, {"10.0.0.9"}) + element(IP_ADDRESS, {"10.0.0.9"})},
        {http, creds, 0, element(NETWORK_ADDRESS, {"192.0.2.1"}) + element(IP_ADDRESS, {"10.0.0.9"})},
        {{}, creds, 1, element(NETWORK_ADDRESS, {"192.0.2.1"}) + element(IP_ADDRESS, {"192.0.2.1"})},
        {{}, {}, 1, ""},
    };
    for (const Case& c : cases) {
        audit.clear();
        KOVAData data;
        data.HTTPInfo = c.http;
        data.creds = c.creds;
        EXPECT_EQ(format(data, c.useRealClientIP).subjectText(), c.subject);
        if (!c.creds.empty()) {
            EXPECT_EQ(audit.at("ip-address"), "192.0.2.1");
        }
    }
}

TEST_F(RequestAttributes, AuthenticationTypesSplitAtCommas) {
    const std::pair<const char*, std::string> cases[] = {
        {"a, b ,c", element(AUTHENTICATION_TYPES, {"a", "b", "c"})},
        {" a,b,", element(AUTHENTICATION_TYPES, {"a", "b"})},
        {"a,,b", ""},
        {"solo", element(AUTHENTICATION_TYPES, {"solo"})},
    };
    for (const auto& [value, subject] : cases) {
        EXPECT_EQ(format(makeData({}, {{"authenticationTypes", value}})).subjectText(), subject) << value;
    }
    EXPECT_EQ(format(makeData({}, {{"authenticationMechanismTypes", "x,y"}})).subjectText(),
              element("urn:oxa:security:subject:authenticationMechanismTypes", {"x", "y"}));
}

TEST_F(RequestAttributes, LevelAddsTheChallengeOnlyWhenItHasAnObligation) {
    const std::string challenge = element("last-successful-secondary-challenge", {"otp"});
    EXPECT_EQ(format(makeData({}, {{"AUTHENTICATION_LEVEL", "2"}})).environmentText(), challenge);
    EXPECT_EQ(format(makeData({}, {{"AUTHENTICATION_LEVEL", "0x2"}})).environmentText(), challenge);
    EXPECT_EQ(format(makeData({}, {{"AUTHENTICATION_LEVEL", "3"}})).environmentText(), "");
}

TEST_F(RequestAttributes, LevelThatDoesNotConvertLeavesTheRequestUnsendable) {
    KOVARequest request("ctx", "6.1", "srv1", "/r", "read", "");
    EXPECT_EQ(request.formatRequest(makeData({}, {{"AUTHENTICATION_LEVEL", "4294967296"}}), nullptr, 1, 0), 1);
    const orbsec_axiscpp::AnyType* fragments = request.getRequestFragments();
    ASSERT_EQ(fragments->_size, 24);
    for (int slot : {1, 3, 5, 7, 9, 14, 17, 20, 22}) EXPECT_EQ(fragments->_array[slot], nullptr) << slot;
}

TEST_F(RequestAttributes, EmptyHttpValuesLeaveTheirAttributesOut) {
    KOVARequest& request = format(makeData({{"header:Accept", "a"}, {"header:Accept", ""}, {"client_ip", ""}},
                                           {{NETWORK_ADDRESS, "192.0.2.1"}, {"tagged", ""}}),
                                  0);
    EXPECT_EQ(request.environmentText(), "");
    EXPECT_EQ(request.subjectText(), element(NETWORK_ADDRESS, {"192.0.2.1"}) + element("tagged", {""}))
        << "credentials are written unchecked, and a found client_ip forces no address";
}

TEST_F(RequestAttributes, UnmappedUserAgentHeaderIsAuditedEscapedAndFirstValueWins) {
    KOVARequest& request = format(makeData(
        {{"header:user-agent", "Moz<1>"}, {"header:user-agent", "second"}},
        {{"AZN_CRED_PRINCIPAL_NAME", "alice"}, {"AZN_CRED_PRINCIPAL_NAME", "bob"}, {"AZN_AUTHENTICATION_LEVEL", "1"}}));
    EXPECT_EQ(request.environmentText(), element("header:user-agent", {"Moz&lt;1&gt;", "second"}));
    EXPECT_EQ(audit, (KOVAAuditFields{{"auth-level", "1"}, {"user", "alice"}, {"user-agent", "Moz&lt;1&gt;"}}));

    audit.clear();
    format(makeData({{"header:User-Agent", "Moz"}}, {}));
    EXPECT_TRUE(audit.empty()) << "the canned user-agent attribute is not audited";
}

// Each request hands its texts and list elements to the next request on the thread: what one decision wrote
// or collected never shows in the next, larger or smaller.
TEST_F(RequestAttributes, RequestsAfterOthersOnTheThreadWriteTheirOwnDocument) {
    auto documentOf = [](const KOVAData& data, const std::string& resource, const std::string& action) {
        KOVARequest request("ctx", "6.1", "srv1", resource, action, "");
        EXPECT_EQ(request.formatRequest(data, nullptr, 1, 1), 0);
        return xacml_test::documentOf(request);
    };
    const KOVAData small = makeData({{"uri", "/a"}}, {{"authenticationTypes", "x,y"}, {NETWORK_ADDRESS, "1.2.3.4"}});
    const KOVAData large =
        makeData({{"header:Accept", std::string(300, 'a')}, {"client_ip", "10.0.0.9"}, {"header:X-Other", "v&w"}},
                 {{"AZN_CRED_PRINCIPAL_NAME", std::string(200, 'p')}, {"authenticationTypes", "a, b ,c,d"}});
    const std::string first = documentOf(small, "/r", "read");
    const std::string largeFirst = documentOf(large, "/a/much/longer/protected/resource", "write-and-more");
    EXPECT_EQ(documentOf(small, "/r", "read"), first);
    EXPECT_EQ(documentOf(large, "/a/much/longer/protected/resource", "write-and-more"), largeFirst);
    EXPECT_EQ(xacml_test::schemaProblems(largeFirst), "") << largeFirst;
    EXPECT_NE(first.find("<ns1:AttributeValue>x</ns1:AttributeValue><ns1:AttributeValue>y</ns1:AttributeValue>"),
              std::string::npos)
        << first;
    EXPECT_EQ(first.find("aaaa"), std::string::npos) << first;
}

// So is every identifier the request escapes, a canned credential identifier among them.
TEST_F(RequestAttributes, WholeDocumentAndEscapesAreTracedOnlyFromLevelSix) {
    for (int level : {5, 6}) {
        xacml_test::FileTail trace(xacml_test::tracePath());
        {
            xacml_test::TraceLevel traceLevel(level);
            format(makeData({{"method", "GET"}}, {{"AZN_CRED_PRINCIPAL_NAME", "alice"}}));
        }
        std::string text = trace.text();
        bool traced = text.find("Constructed XACML: <ns1:Subject SubjectCategory=\"urn:oasis:names:tc:xacml:1.0:"
                                "subject-category:requesting-machine\">") != std::string::npos;
        EXPECT_EQ(traced, level == 6) << level;
        bool escapeTraced =
            text.find("Enter replaceSpecialXMLChars original[urn:oxa:security:subject:username]") != std::string::npos;
        EXPECT_EQ(escapeTraced, level == 6) << level << "\n" << text;
    }
}

}  // namespace
