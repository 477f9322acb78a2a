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

// One POST of `body` as text/xml with one extra header line (none when empty): the HTTP status and the answer.
std::pair<long, std::string> postTo(const std::string& url, const std::string& header, const std::string& body) {
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: text/xml; charset=utf-8");
    if (!header.empty()) headers = curl_slist_append(headers, header.c_str());
    std::string answer;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
        static_cast<std::string*>(out)->append(data, size * count);
        return size * count;
    });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    long status = curl_easy_perform(curl) == CURLE_OK ? 0 : -1;
    if (status == 0) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return {status, answer};
}

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

    EXPECT_NE(content.find("<Decision>Permit</Decision>"), std::string::npos) << content;
    EXPECT_NE(content.find("ObligationId=\"urn:kova:stepup\"><"), std::string::npos) << content;
    EXPECT_NE(content.find("urn:oxa:security:authentication:obligation.transactionId"), std::string::npos);
    EXPECT_EQ(content.find("<Response"), std::string::npos) << "the pieces are the Response element's content";
    EXPECT_NE(recorded().find(REQUEST_START + request.joined() + "</ns1:Request>"), std::string::npos) << recorded();
    EXPECT_FALSE(callStillInitialized());
}

TEST_F(StubTest, EmptyElementsOfTheResponseKeepTheirEndTag) {
    XacmlPieces request("/deny-obliged/a");
    std::string content = takeJoined(stub->EvaluateXACML(request.any()));
    EXPECT_NE(content.find("ObligationId=\"urn:kova:login\"></Obligation>"), std::string::npos) << content;
}

TEST_F(StubTest, EveryResponseCarriesAFreshTransactionId) {
    XacmlPieces request("/permit/a");
    std::string first = takeJoined(stub->EvaluateXACML(request.any()));
    std::string second = takeJoined(stub->EvaluateXACML(request.any()));
    EXPECT_NE(first, second);
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

TEST_F(StubTest, FaultWithTextDetailGivesThatDetail) {
    OtherFaultException fault = faultFor("/fault-text/a");
    EXPECT_EQ(fault.getExceptionCode(), 71);
    EXPECT_STREQ(fault.getFaultCode(), "soapenv:Server");
    EXPECT_STREQ(fault.getFaultString(), "policy store offline");
    EXPECT_STREQ(fault.getFaultActor(), "urn:kova:pdp");
    EXPECT_STREQ(fault.getSimpleFaultDetail(), "store 7 unreachable");
    EXPECT_FALSE(callStillInitialized());
}

TEST_F(StubTest, FaultWithElementDetailGivesTheDetailXml) {
    OtherFaultException fault = faultFor("/fault-xml/a");
    EXPECT_EQ(fault.getExceptionCode(), 71);
    EXPECT_STREQ(fault.getFaultString(), "bad policy");
    EXPECT_STREQ(fault.getSimpleFaultDetail(), "<reason code=\"9\">cycle</reason>");
}

TEST_F(StubTest, FaultWithoutDetailGivesAnEmptyDetail) {
    OtherFaultException fault = faultFor("/fault-bare/a");
    EXPECT_EQ(fault.getExceptionCode(), 71);
    EXPECT_STREQ(fault.getFaultCode(), "soapenv:Client");
    EXPECT_STREQ(fault.getSimpleFaultDetail(), "");
}

// Whoever shapes a request field must not be able to turn the answer into a SOAP fault: a document the
// PDP cannot read is its own kind of answer, an XACML syntax error, which no client takes for a permit.
TEST_F(StubTest, RequestDocumentThatCannotBeReadIsAnsweredIndeterminateWithSyntaxError) {
    for (const char* resource :
         {"/deny/<unclosed", "/deny/a&b", "/deny/a\x01" "b", "/deny/a\xff" "b", "/deny/\xc3\x28"}) {
        XacmlPieces request(resource);
        AnyType* response = stub->EvaluateXACML(request.any());
        ASSERT_NE(response, nullptr) << resource;
        std::string content = takeJoined(response);
        EXPECT_NE(content.find("<Decision>Indeterminate</Decision>"), std::string::npos) << content;
        EXPECT_NE(content.find("<StatusCode Value=\"urn:oasis:names:tc:xacml:1.0:status:syntax-error\"></StatusCode>"),
                  std::string::npos)
            << content;
    }
}

// The answer's comments and processing instructions are not content, and CDATA is text.
TEST_F(StubTest, AnswerContentKeepsElementsAttributesAndTextOnly) {
    XacmlPieces request("/markup-in-text/a");
    std::string content = takeJoined(stub->EvaluateXACML(request.any()));
    EXPECT_EQ(content, "<Result><Decision>&lt;b&gt;&amp;Deny</Decision></Result>");
}

// refpdp as a SOAP 1.1 endpoint: which SOAPAction headers it takes, and which errors stay SOAP faults.
TEST_F(StubTest, RefpdpTakesItsOwnEmptyOrAbsentSoapActionAndFaultsOnlySoapLevelErrors) {
    const std::string envelopeStart = "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                                      "<SOAP-ENV:Body>";
    const std::string envelopeEnd = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
    XacmlPieces pieces("/deny/a");
    const std::string request = envelopeStart + REQUEST_START + pieces.joined() + "</ns1:Request>" + envelopeEnd;
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
        {"", envelopeStart + "<Other xmlns=\"urn:example\"/>" + envelopeEnd, 500,
         "<faultstring>Malformed XACML request</faultstring>"},
    };
    for (const Case& row : cases) {
        auto [status, answer] = postTo(pdp->url(), row.header, row.body);
        EXPECT_EQ(status, row.status) << row.header << " " << row.body;
        EXPECT_NE(answer.find(row.answerHolds), std::string::npos) << answer;
    }
}

TEST_F(StubTest, FailedInitializeReturnsNullWithoutSendingOrUninitializing) {
    ASSERT_EQ(stub->getCall()->initialize(CPP_DOC_PROVIDER), AXIS_SUCCESS);
    XacmlPieces request("/permit/a");
    EXPECT_EQ(stub->EvaluateXACML(request.any()), nullptr);
    EXPECT_TRUE(callStillInitialized()) << "the stub must not uninitialize a call it did not initialize";

    AuthzService blank(" ", APTHTTP1_1);
    EXPECT_EQ(blank.EvaluateXACML(request.any()), nullptr);
    EXPECT_EQ(recorded(), "");
}

TEST_F(StubTest, ResponseWithoutAnXacmlResponseGivesNullAfterUninitializing) {
    XacmlPieces request("/not-a-response/a");
    EXPECT_EQ(stub->EvaluateXACML(request.any()), nullptr);
    EXPECT_FALSE(callStillInitialized());
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

TEST_F(StubTest, SequentialExchangesShareOneKeepAliveConnection) {
    PdpStatsReader stats(*pdp);
    XacmlPieces request("/deny/a");
    for (int i = 0; i < 20; ++i) takeJoined(stub->EvaluateXACML(request.any()));
    EXPECT_EQ(stats.read().connections, 1);
    EXPECT_EQ(stats.read().requests, 20);
    EXPECT_EQ(stub->getCall()->connectionsOpened(), 1);
}

}  // namespace
}  // namespace kova_test
