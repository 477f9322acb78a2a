// The decision's service call run by the cluster library against refpdp: responses, SOAP faults,
// unreachable and slow endpoints, and moving to the next endpoint.
#include <gtest/gtest.h>

#include <memory>

#include "qzsvc/qzsvc.h"
#include "rba/KOVASOAPCall.h"
#include "rba/kova_eas.h"
#include "transport/transport_support.h"

namespace kova_test {
namespace {

class ServiceCallTest : public ::testing::Test {
protected:
    TempDir dir;
    std::unique_ptr<RefPdp> pdp;
    KOVAServiceFactory factory;
    std::unique_ptr<KOVAServiceability> serviceability;
    std::unique_ptr<ClusterUnderTest> cluster;

    void SetUp() override {
        writeFile(dir.file("rules.json"), TRANSPORT_RULES);
        pdp = std::make_unique<RefPdp>(std::vector<std::string>{"--rules", dir.file("rules.json")});
        qz_msg_set_output(dir.file("messages").c_str());
        serviceability = std::make_unique<KOVAServiceability>(KOVA_VERSION_TEXT);
        zem_trace_configure(5, dir.file("trace").c_str());
        kova_trace.initialize("kova");
    }

    void TearDown() override {
        cluster.reset();
        kova_trace.shutdown();
        zem_trace_configure(-1, nullptr);
        qz_msg_set_output(nullptr);
    }

    void useCluster(const std::string& servers, const std::string& extra = "health-check-interval = 0\n") {
        cluster = std::make_unique<ClusterUnderTest>(factory, dir, servers + "timeout = 1\n" + extra, &kova_trace);
        ASSERT_EQ(cluster->status, 0);
    }

    LoopbackSocket refusing;  // connections to it are refused

    Exchange decide(const std::string& resource) {
        return exchangeThrough(cluster->cluster, resource, nullptr, &kova_trace);
    }

    std::string messages() const { return readFile(dir.file("messages")); }
    std::string traced() const { return readFile(dir.file("trace")); }
};

TEST_F(ServiceCallTest, SoapFaultGivesStatusZeroNoResponseOneMessageAndATrace) {
    useCluster("server = 10," + pdp->url() + "\n");
    Exchange outcome = decide("/fault-text/a");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_FALSE(outcome.hasResponse);
    EXPECT_EQ(countOf(messages(), "QLXBA0313E"), 1u) << messages();
    EXPECT_THAT(messages(), HasSubstr("An error occurred when attempting to communicate with the SOAP server URL " +
                                      pdp->url() + ": policy store offline (error code: 71/0x47)."));
    EXPECT_EQ(countOf(traced(), "Failed to make KOVA request call: policy store offline [code 71]"), 1u) << traced();
}

// An endpoint that refuses the connection or times out is left for the next within the same call, and
// marked down: the next call no longer tries it.
TEST_F(ServiceCallTest, FailedEndpointIsLeftForTheNextWithinTheSameCallAndMarkedDown) {
    RefPdp slow({"--delay-ms", "2500"});
    for (const std::string& failing : {refusing.url(), slow.url()}) {
        useCluster("server = 20," + failing + "\nserver = 10," + pdp->url() + "\n", "health-check-interval = 60\n");
        Exchange first = decide("/permit/a");
        EXPECT_EQ(first.status, 0) << failing;
        EXPECT_THAT(first.content, HasSubstr(">Permit</")) << failing << ": " << first.content;
        EXPECT_TRUE(first.recovered) << failing;
        Exchange second = decide("/permit/a");
        EXPECT_EQ(second.status, 0) << failing;
        EXPECT_FALSE(second.recovered) << failing << ": the failed endpoint is down and no longer tried";
    }
}

// An answer beyond max-response-size is the endpoint's failure: the next endpoint answers, and with none
// left the call fails (the plug-in then denies).
TEST_F(ServiceCallTest, AnswerBeyondMaxResponseSizeFailsOverAndFailsWithoutAnotherEndpoint) {
    RefPdp permitting(std::vector<std::string>{});
    useCluster("server = 20," + pdp->url() + "\nserver = 10," + permitting.url() + "\n");
    for (const char* large : {"/huge/a", "/streamed/a"}) {  // with a Content-Length, and chunked without one
        Exchange failedOver = decide(large);
        EXPECT_EQ(failedOver.status, 0) << large;
        EXPECT_TRUE(failedOver.recovered) << large;
        EXPECT_THAT(failedOver.content, HasSubstr(">Permit</")) << large << ": the second endpoint answered";
    }

    useCluster("server = 10," + pdp->url() + "\n", "max-response-size = 4096\nhealth-check-interval = 0\n");
    Exchange refused = decide("/padded/a");
    EXPECT_EQ(refused.status, NVWSOAP_S_TRANSPORT);
    EXPECT_FALSE(refused.hasResponse);
    EXPECT_THAT(traced(), HasSubstr("the answer is larger than 4096 bytes"));
    EXPECT_EQ(decide("/deny/a").status, 0) << "a small answer still passes on the same handle";
}

// The plug-in's service call, noting the stub of the handle it is lent.
class ObservedServiceCall : public KOVAServiceCall {
public:
    ObservedServiceCall() : KOVAServiceCall("EvaluateKOVARequest", true, nullptr, nullptr) {}
    int soapCall(NVWSOAPHandle* handle, const char* url, va_list args) override {
        lentStub = handle->axisHandle();
        return KOVAServiceCall::soapCall(handle, url, args);
    }
    orbsec_axiscpp::Stub* lentStub = nullptr;
};

// A pooled handle lives for hours: what one large answer needed must not stay held by it.
TEST_F(ServiceCallTest, PooledHandleKeepsNoLargeBufferAfterALargeAnswer) {
    useCluster("server = 10," + pdp->url() + "\n", "max-handles = 1\nhealth-check-interval = 0\n");
    for (const char* large : {"/big/a", "/huge/a", "/streamed/a"}) {
        ObservedServiceCall call;
        XacmlPieces request(large);
        orbsec_axiscpp::AnyType* response = nullptr;
        EXPECT_EQ(call.execute(cluster->cluster, nullptr, nullptr, request.any(), &response) == 0 && response,
                  std::string(large) == "/big/a")
            << large;
        if (response) takeJoined(response);
        ASSERT_NE(call.lentStub, nullptr);
        EXPECT_LT(call.lentStub->getCall()->retainedBytes(), 100000u)
            << "the idle handle after " << large << ", an answer of about a megabyte";
    }
}

TEST_F(ServiceCallTest, RefusedConnectionFailsEachTimeWithoutHealthChecks) {
    useCluster("server = 10," + refusing.url() + "\n");
    Exchange first = decide("/permit/a");
    EXPECT_EQ(first.status, NVWSOAP_S_TRANSPORT);
    EXPECT_FALSE(first.hasResponse);
    EXPECT_EQ(decide("/permit/a").status, NVWSOAP_S_TRANSPORT) << "the endpoint is tried again, not marked down";
}

}  // namespace
}  // namespace kova_test
