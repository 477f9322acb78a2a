// The XACML stub and the SOAP client library against a real refpdp on loopback: the round trip, the
// SOAPAction, SOAP faults, the call's initialize/unInitialize discipline and transport failures.
#include <gtest/gtest.h>

#include <memory>

#include "rba/stub/AuthzService.h"
#include "transport/transport_support.h"

using namespace orbsec_axiscpp;

namespace kova_test {
namespace {

constexpr const char* REQUEST_START = "<ns1:Request xmlns:ns1=\"urn:oasis:names:tc:xacml:2.0:context:schema:os\">";

class StubTest : public ::testing::Test {
protected:
    TempDir dir;
    std::unique_ptr<RefPdp> pdp;
    std::unique_ptr<AuthzService> stub;

    void SetUp() override {
        writeFile(dir.file("rules.json"), TRANSPORT_RULES);
        startPdp({});
    }

    void startPdp(const std::vector<std::string>& extra) {
        std::vector<std::string> options{"--rules", dir.file("rules.json"), "--record", dir.file("requests.xml")};
        options.insert(options.end(), extra.begin(), extra.end());
        pdp = std::make_unique<RefPdp>(options);
        stub = std::make_unique<AuthzService>(pdp->url().c_str(), APTHTTP1_1);
    }

    std::string recorded() const { return readFile(dir.file("requests.xml")); }

    // The fault a request for `resource` raises, or a default-made one when none is raised.
    OtherFaultException faultFor(const std::string& resource) {
        XacmlPieces request(resource);
        try {
            stub->EvaluateXACML(request.any());
        } catch (const OtherFaultException& e) {
            return e;
        }
        ADD_FAILURE() << "no OtherFaultException for " << resource;
        return OtherFaultException("", "", "", "", 0);
    }

    // The transport exception code of one exchange, or 0 when none was raised.
    int transportErrorFor(const std::string& resource) {
        XacmlPieces request(resource);
        try {
            stub->EvaluateXACML(request.any());
        } catch (const SoapFaultException& e) {
            ADD_FAILURE() << "unexpected SOAP fault " << e.what();
        } catch (const AxisException& e) {
            return e.getExceptionCode();
        }
        return 0;
    }

    bool callStillInitialized() { return stub->getCall()->unInitialize() == AXIS_SUCCESS; }
};

TEST_F(StubTest, RoundTripSendsThePiecesInsideTheOperationElementAndReturnsTheResponseContent) {
    XacmlPieces request("/permit/index.html");
    AnyType* response = stub->EvaluateXACML(request.any());
    ASSERT_NE(response, nullptr);
    std::string content = takeJoined(response);

    EXPECT_THAT(content, HasSubstr("<Decision>Permit</Decision>"));
    EXPECT_THAT(content, HasSubstr("ObligationId=\"urn:kova:stepup\"><"));
    EXPECT_THAT(content, HasSubstr("urn:oxa:security:authentication:obligation.transactionId"));
    EXPECT_THAT(content, Not(HasSubstr("<Response"))) << "the pieces are the Response element's content";
    EXPECT_THAT(recorded(), HasSubstr(REQUEST_START + request.joined() + "</ns1:Request>"));
    EXPECT_FALSE(callStillInitialized());
}

// Empty elements keep their end tag, and every answer carries a fresh transaction id.
TEST_F(StubTest, EmptyElementsKeepTheirEndTagAndEachAnswerItsOwnTransactionId) {
    XacmlPieces obliged("/deny-obliged/a");
    std::string content = takeJoined(stub->EvaluateXACML(obliged.any()));
    EXPECT_THAT(content, HasSubstr("ObligationId=\"urn:kova:login\"></Obligation>"));
    XacmlPieces request("/permit/a");
    EXPECT_NE(takeJoined(stub->EvaluateXACML(request.any())), takeJoined(stub->EvaluateXACML(request.any())));
}

TEST_F(StubTest, SoapActionIsSetWhenAbsentAndKeptWhenSetBefore) {
    XacmlPieces request("/deny/a");
    takeJoined(stub->EvaluateXACML(request.any()));
    EXPECT_STREQ(stub->getCall()->getTransportProperty("SOAPAction", false), KOVA_SOAP_ACTION);

    AuthzService preset(pdp->url().c_str(), APTHTTP1_1);
    preset.getCall()->setTransportProperty(SOAPACTION_HEADER, "urn:example:other-action");
    try {
        preset.EvaluateXACML(request.any());
        ADD_FAILURE() << "refpdp accepted a foreign SOAPAction";
    } catch (const OtherFaultException& e) {
        // refpdp refuses an action it does not know and names the one it received.
        EXPECT_STREQ(e.getSimpleFaultDetail(), "urn:example:other-action");
    }
    EXPECT_STREQ(preset.getCall()->getTransportProperty("SOAPAction", false), "urn:example:other-action");
}

// The detail is its text, its XML, or empty when the fault has none.
TEST_F(StubTest, FaultsGiveTheirCodeStringActorAndDetail) {
    const struct {
        const char* resource;
        const char* code;
        const char* string;
        const char* actor;
        const char* detail;
    } cases[] = {
        {"/fault-text/a", "soapenv:Server", "policy store offline", "urn:kova:pdp", "store 7 unreachable"},
        {"/fault-xml/a", "soapenv:Server", "bad policy", "", "<reason code=\"9\">cycle</reason>"},
        {"/fault-bare/a", "soapenv:Client", "no detail", "", ""},
    };
    for (const auto& row : cases) {
        OtherFaultException fault = faultFor(row.resource);
        EXPECT_EQ(fault.getExceptionCode(), 71) << row.resource;
        EXPECT_STREQ(fault.getFaultCode(), row.code) << row.resource;
        EXPECT_STREQ(fault.getFaultString(), row.string) << row.resource;
        EXPECT_STREQ(fault.getFaultActor(), row.actor) << row.resource;
        EXPECT_STREQ(fault.getSimpleFaultDetail(), row.detail) << row.resource;
        EXPECT_FALSE(callStillInitialized()) << row.resource;
    }
}

// The answer's comments and processing instructions are not content, and CDATA is text.
TEST_F(StubTest, AnswerContentKeepsElementsAttributesAndTextOnly) {
    XacmlPieces request("/markup-in-text/a");
    std::string content = takeJoined(stub->EvaluateXACML(request.any()));
    EXPECT_EQ(content, "<Result><Decision>&lt;b&gt;&amp;Deny</Decision></Result>");
}

// refpdp as a SOAP 1.1 endpoint: which SOAPAction headers it takes, where the Request must sit, what a value
// is, and which errors stay SOAP faults.
TEST_F(StubTest, RefpdpTakesItsOwnEmptyOrAbsentSoapActionAndFaultsOnlySoapLevelErrors) {
    const std::string envelopeOpen = "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">";
    const std::string envelopeStart = envelopeOpen + "<SOAP-ENV:Body>";
    const std::string envelopeEnd = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
    auto xacml = [](const std::string& resource) {
        return REQUEST_START + XacmlPieces(resource).joined() + "</ns1:Request>";
    };
    const std::string request = envelopeStart + xacml("/deny/a") + envelopeEnd;
    const std::string other = "<Other xmlns=\"urn:example\"/>";
    struct Case {
        std::string header;
        std::string body;
        long status;
        std::string answerHolds;
    } cases[] = {
        {"", request, 200, ">Deny</"},
        {"SOAPAction: \"\"", request, 200, ">Deny</"},
        {std::string("SOAPAction: \"") + KOVA_SOAP_ACTION + "\"", request, 200, ">Deny</"},
        {"SOAPAction: \"urn:example:other\"", request, 500, "<faultstring>Unknown SOAPAction</faultstring>"},
        {"", envelopeStart + other + envelopeEnd, 500, "<faultstring>Malformed XACML request</faultstring>"},
        {"", envelopeStart + other + xacml("/deny/a") + envelopeEnd, 500, "<faultstring>Malformed XACML"},
        {"", envelopeOpen + "<SOAP-ENV:Body/><SOAP-ENV:Body>" + xacml("/deny/a") + envelopeEnd, 500,
         "<faultstring>Malformed XACML"},
        {"",
         envelopeOpen + "<SOAP-ENV:Header>" + other + "</SOAP-ENV:Header><SOAP-ENV:Body>" + xacml("/deny/a") +
             envelopeEnd,
         200, ">Deny</"},
        // A value is all text inside its element: CDATA, character references and nested elements' text.
        {"", envelopeStart + xacml("/de<![CDATA[n]]><b xmlns=\"urn:example\">y</b>/<!-- c -->&#97;") + envelopeEnd, 200,
         "ResourceId=\"/deny/a\"><Decision>Deny</"},
        {"", "<!DOCTYPE e [<!ENTITY d \"deny\">]>" + envelopeStart + xacml("/&d;/a") + envelopeEnd, 200,
         "status:syntax-error"},
    };
    for (const Case& row : cases) {
        RequestOptions post;
        post.method = "POST";
        post.headers = {"Content-Type: text/xml; charset=utf-8"};
        if (!row.header.empty()) post.headers.push_back(row.header);
        post.body = row.body;
        Reply reply = httpRequest(pdp->url(), post);
        EXPECT_EQ(reply.status, row.status) << row.header << " " << row.body;
        EXPECT_THAT(reply.body, HasSubstr(row.answerHolds));
    }
}

TEST_F(StubTest, FailedInitializeOrAnAnswerWithoutXacmlResponseReturnsNull) {
    ASSERT_EQ(stub->getCall()->initialize(CPP_DOC_PROVIDER), AXIS_SUCCESS);
    XacmlPieces request("/permit/a");
    EXPECT_EQ(stub->EvaluateXACML(request.any()), nullptr);
    EXPECT_TRUE(callStillInitialized()) << "the stub must not uninitialize a call it did not initialize";

    AuthzService blank(" ", APTHTTP1_1);
    EXPECT_EQ(blank.EvaluateXACML(request.any()), nullptr);
    EXPECT_EQ(recorded(), "");

    AuthzService answered(pdp->url().c_str(), APTHTTP1_1);
    XacmlPieces foreign("/not-a-response/a");
    EXPECT_EQ(answered.EvaluateXACML(foreign.any()), nullptr) << "an answer without an XACML response";
    EXPECT_FALSE(answered.getCall()->unInitialize() == AXIS_SUCCESS) << "uninitialized after the exchange";
}

TEST_F(StubTest, TransportFailuresRaiseTheirCodesAndLeaveTheCallReusable) {
    stub->getCall()->setEndpointURI((pdp->url() + "/elsewhere").c_str());
    EXPECT_EQ(transportErrorFor("/permit/a"), SERVER_TRANSPORT_HTTP_ERROR);
    EXPECT_FALSE(callStillInitialized());

    std::string url = pdp->url();
    pdp->stop();
    stub->getCall()->setEndpointURI(url.c_str());
    EXPECT_EQ(transportErrorFor("/permit/a"), SERVER_TRANSPORT_CONNECT_FAILED);

    pdp->start();
    XacmlPieces request("/permit/a");
    AnyType* response = stub->EvaluateXACML(request.any());
    ASSERT_NE(response, nullptr) << "the same call works once the PDP is back";
    takeJoined(response);
}

TEST_F(StubTest, SlowPdpRaisesTimeout) {
    startPdp({"--delay-ms", "2500"});
    CallTransportConfig config;
    config.endpoint = pdp->url();
    config.timeoutSeconds = 1;
    stub->getCall()->setTransportConfig(config);
    EXPECT_EQ(transportErrorFor("/permit/a"), SERVER_TRANSPORT_TIMEOUT);
}

}  // namespace
}  // namespace kova_test
