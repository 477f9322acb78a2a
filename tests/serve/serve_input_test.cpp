// What the service makes of the proxy's request, asked directly: bad input is refused with 400 and no
// decision, identity counts only from trusted peers, and every value reaches the plug-in XML-safe.
#include "serve/serve_fixture.h"

namespace kova_test {
namespace {

class ServeInput : public ServeFixture {
protected:
    void SetUp() override {
        // Only 127.0.0.1 is a proxy here, so a client on 127.0.0.2 is an untrusted peer.
        startService({"--log-format", "json"}, "trusted-proxies = 127.0.0.1/32, ::1/128\n");
        ASSERT_GT(serve->port(), 0);
    }
};

TEST_F(ServeInput, PathTricksAndMalformedRequestsAreRefusedWithoutADecision) {
    struct Case {
        const char* what;
        std::vector<std::string> headers;
    };
    const std::string longUri = "/docs/" + std::string(9000, 'a');
    const Case cases[] = {
        {"dot-dot segment", {"X-Original-URI: /docs/../account", "X-Original-Method: GET"}},
        {"encoded dot-dot", {"X-Original-URI: /open/%2e%2e/docs/x", "X-Original-Method: GET"}},
        {"encoded dot-dot, upper case", {"X-Original-URI: /open/%2E%2E", "X-Original-Method: GET"}},
        {"dot segment", {"X-Original-URI: /docs/./x", "X-Original-Method: GET"}},
        {"encoded ? before a dot-dot", {"X-Original-URI: /open%3F/../docs", "X-Original-Method: GET"}},
        {"encoded NUL", {"X-Original-URI: /docs/%00/x", "X-Original-Method: GET"}},
        {"control character", {"X-Original-URI: /docs/\x01x", "X-Original-Method: GET"}},
        {"not a path", {"X-Original-URI: docs/x", "X-Original-Method: GET"}},
        {"no original request", {}},
        {"unmapped method", {"X-Original-URI: /docs/x", "X-Original-Method: TRACE"}},
        {"malformed method", {"X-Forwarded-Uri: /docs/x", "X-Forwarded-Method: get x"}},
        {"authentication level not a number",
         {"X-Original-URI: /docs/x", "X-Original-Method: GET", "Remote-User: alice", "Remote-Auth-Level: 2x"}},
        {"control character in an identity header",
         {"X-Original-URI: /docs/x", "X-Original-Method: GET", "Remote-User: al\x02ice"}},
        {"identity header given twice", {"X-Original-URI: /docs/x", "X-Original-Method: GET", "Remote-User: bob"}},
        {"URI beyond the header limit", {"X-Original-URI: " + longUri, "X-Original-Method: GET"}},
    };
    for (const Case& request : cases) {
        std::vector<std::string> headers = request.headers;
        headers.insert(headers.end(), ALICE.begin(), ALICE.end());
        RequestOptions options;
        options.headers = headers;
        Reply reply = httpRequest(serve->url(), options);
        EXPECT_EQ(reply.status / 100, 4) << request.what << ": " << reply.status;
    }
    Reply metrics = httpRequest(serve->url("/metrics"));
    EXPECT_THAT(metrics.body, HasSubstr("kova_serve_bad_requests_total 14\n"));
    EXPECT_THAT(metrics.body, HasSubstr("kova_serve_decision_seconds_count 0\n"));
    EXPECT_EQ(authorize("/docs/x", ALICE).status, 200) << "the service stays up";
}

TEST_F(ServeInput, ObjectNamesKeepEveryByteThatXmlWouldEscapeAsPercentEscapes) {
    struct Case {
        const char* uri;
        const char* object;
    };
    const Case cases[] = {
        {"/open/%7Euser/a%2Db?q=<x>", "/Corvane/inst1/open/~user/a-b"},
        {"/open/a<b>&'\"c", "/Corvane/inst1/open/a%3Cb%3E%26%27%22c"},
        {"/open/%3C%26", "/Corvane/inst1/open/%3C%26"},
        {"/open/caf\xc3\xa9 x", "/Corvane/inst1/open/caf%C3%A9%20x"},
        {"/open/100%25", "/Corvane/inst1/open/100%25"},
    };
    for (const Case& request : cases) {
        EXPECT_EQ(authorize(request.uri).status, 200) << request.uri;
        EXPECT_EQ(lastAccessRecord()["object"], request.object) << request.uri;
    }
    // A value that is not UTF-8 is read as ISO-8859-1.
    authorize("/open/x", {"Remote-User: ren\xe9"});
    EXPECT_EQ(lastAccessRecord()["user"], "ren\xc3\xa9");
}

TEST_F(ServeInput, IdentityAndForwardedAddressCountOnlyFromTrustedPeers) {
    EXPECT_EQ(authorize("/docs/x", ALICE).status, 200);
    EXPECT_EQ(lastAccessRecord()["user"], "alice");

    Reply untrusted = authorize(
        "/docs/x", {"Remote-User: alice", "Remote-Groups: staff", "X-Forwarded-For: 203.0.113.9"}, "127.0.0.2");
    EXPECT_EQ(untrusted.status, 403);
    EXPECT_EQ(lastAccessRecord()["user"], "unauthenticated");
    EXPECT_EQ(lastAccessRecord()["client"], "127.0.0.2");

    struct Case {
        const char* forwardedFor;
        const char* client;
    };
    const Case cases[] = {
        {"198.51.100.4", "198.51.100.4"},
        {"203.0.113.1, 198.51.100.4, 127.0.0.1", "198.51.100.4"},  // the last entry that is not a proxy
        {"2001:db8::1", "2001:db8::1"},
        {"not-an-address", "127.0.0.1"},
        {"198.51.100.4<x>", "127.0.0.1"},
    };
    for (const Case& request : cases) {
        authorize("/docs/x", {"Remote-User: alice", std::string("X-Forwarded-For: ") + request.forwardedFor});
        EXPECT_EQ(lastAccessRecord()["client"], request.client) << request.forwardedFor;
    }
}

TEST_F(ServeInput, OperationsPathsAnswerWithoutDeciding) {
    EXPECT_EQ(httpRequest(serve->url("/healthz")).status, 200);
    EXPECT_EQ(httpRequest(serve->url("/readyz")).status, 200);
    Reply decided = authorize("/docs/x", ALICE, "");
    ASSERT_EQ(decided.status, 200);
    EXPECT_EQ(decided.header("x-kova-decision"), "permit");
    RequestOptions head;
    head.method = "HEAD";
    head.headers = {"X-Original-URI: /docs/x", "X-Original-Method: HEAD", ALICE[0], ALICE[1]};
    EXPECT_EQ(httpRequest(serve->url("/any/path"), head).status, 200) << "every other path is an authorization request";
    std::string metrics = httpRequest(serve->url("/metrics")).body;
    EXPECT_THAT(metrics, HasSubstr("kova_serve_decisions_total{outcome=\"permit\"} 2\n"));
    EXPECT_THAT(metrics, HasSubstr("kova_serve_decision_seconds_bucket{le=\"+Inf\"} 2\n"));
    EXPECT_THAT(metrics, HasSubstr("kova_serve_pdp_endpoint_up{cluster=\"kova-pdp\",url=\"" + pdp->url() + "\"} 1\n"));
}

}  // namespace
}  // namespace kova_test
