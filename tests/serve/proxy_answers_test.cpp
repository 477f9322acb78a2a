// Every row of the answer table through a real nginx (auth_request, --nginx) and a real Caddy
// (forward_auth), with the sites of examples/ pointed at this run's ports.
#include "serve/serve_fixture.h"

namespace kova_test {
namespace {

using Kind = ProxyProcess::Kind;

// The example site with its ports moved to this run's, and the identity taken from X-Test-* headers
// in place of the authentication layer the examples leave to the administrator.
std::string siteFor(Kind kind, int servePort, int sitePort, int upstreamPort) {
    std::string text =
        readFile(sourceDir() + (kind == Kind::Nginx ? "/examples/nginx-kova.conf" : "/examples/Caddyfile"));
    text = replacedAll(text, "127.0.0.1:9191", "127.0.0.1:" + std::to_string(servePort));
    text = replacedAll(text, "127.0.0.1:8080", "127.0.0.1:" + std::to_string(sitePort));
    text = replacedAll(text, "127.0.0.1:8081", "127.0.0.1:" + std::to_string(upstreamPort));
    if (kind == Kind::Nginx) {
        text = replacedAll(text, "$remote_user", "$http_x_test_user");
        text = replacedAll(text, "Remote-Groups $kova_groups", "Remote-Groups $http_x_test_groups");
        return replacedAll(text, "Remote-Auth-Level \"\"", "Remote-Auth-Level $http_x_test_level");
    }
    text = replacedAll(text, "{http.auth.user.id}", "{http.request.header.X-Test-User}");
    text = replacedAll(text, "-Remote-Groups", "Remote-Groups {http.request.header.X-Test-Groups}");
    return replacedAll(text, "-Remote-Auth-Level", "Remote-Auth-Level {http.request.header.X-Test-Level}");
}

struct Row {
    const char* what;
    const char* path;
    std::vector<std::string> headers;
    long status;
    const char* expected;  // in the body (2xx) or the Location header (3xx); "" for none
};

class ProxyAnswers : public ServeFixture, public ::testing::WithParamInterface<Kind> {
protected:
    std::unique_ptr<ProxyProcess> proxy;

    void SetUp() override {
        bool nginx = GetParam() == Kind::Nginx;
        // With nginx the step-up goes to stepup-url; with Caddy it is the bare 401.
        startService(nginx ? std::vector<std::string>{"--nginx"} : std::vector<std::string>{},
                     nginx ? "stepup-url = /stepup\n" : "");
        ASSERT_GT(serve->port(), 0);
        int sitePort = freePort(), upstreamPort = freePort();
        proxy = std::make_unique<ProxyProcess>(GetParam(), siteFor(GetParam(), serve->port(), sitePort, upstreamPort),
                                               sitePort, upstreamPort, dir.path());
    }

    Reply get(const std::string& path, const std::vector<std::string>& headers = {}) const {
        RequestOptions options;
        options.headers = headers;
        return httpRequest(proxy->url(path), options);
    }

    void expectRow(const Row& row) const {
        Reply reply = get(row.path, row.headers);
        EXPECT_EQ(reply.status, row.status) << row.what << "\n" << reply.body << readFile(serve->logFile());
        if (row.status / 100 == 2) {
            EXPECT_THAT(reply.body, HasSubstr(row.expected)) << row.what;
        }
        if (row.status / 100 == 3) {
            EXPECT_TRUE(reply.header("location").starts_with(row.expected))
                << row.what << ": " << reply.header("location");
        }
    }
};

TEST_P(ProxyAnswers, EveryDecisionOutcomeReachesTheClient) {
    const std::vector<std::string> alice = {"X-Test-User: alice", "X-Test-Groups: staff,engineering",
                                            "X-Test-Level: 1"};
    // clang-format off
    const Row rows[] = {
        {"permit serves the upstream", "/docs/handbook.html?x=1", alice, 200, "upstream /docs/handbook.html?x=1"},
        {"deny", "/docs/handbook.html", {"X-Test-User: mallory", "X-Test-Groups: staff"}, 403, ""},
        {"no identity is unauthenticated", "/docs/handbook.html", {}, 403, ""},
        {"identity sent by the client is not trusted", "/docs/handbook.html",
         {"Remote-User: alice", "Remote-Groups: staff"}, 403, ""},
        {"redirect carries the transaction id", "/account/settings", alice, 302, "/login/index.html?TransactionId="},
    };
    // clang-format on
    for (const Row& row : rows) expectRow(row);

    Reply stepUp = get("/payroll/2026-11.pdf", alice);
    if (GetParam() == Kind::Nginx) {
        EXPECT_EQ(stepUp.status, 302);
        EXPECT_TRUE(stepUp.header("location").starts_with("/stepup?level=2&url=")) << stepUp.header("location");
    } else {
        EXPECT_EQ(stepUp.status, 401);
        EXPECT_EQ(stepUp.header("x-kova-stepup-level"), "2");
    }
}

TEST_P(ProxyAnswers, UnreachablePdpGivesTheErrorPage) {
    pdp->stop();
    Reply down = get("/docs/handbook.html", {"X-Test-User: alice", "X-Test-Groups: staff"});
    EXPECT_EQ(down.status, 502) << down.body;
    if (GetParam() == Kind::Caddy) {  // forward_auth hands the plug-in's page over as it is
        EXPECT_THAT(down.header("content-type"), HasSubstr("text/html"));
        EXPECT_EQ(down.body, "QLXBA0311W   Unable to contact KOVA.\n");
    }
}

TEST_P(ProxyAnswers, PathTricksNeverReachTheUpstream) {
    const std::vector<std::string> alice = {"X-Test-User: alice", "X-Test-Groups: staff"};
    for (const char* path : {"/docs/%2e%2e/account/x", "/docs/%00/x", "/open/..%2fdocs"}) {
        Reply reply = get(path, alice);
        EXPECT_NE(reply.status, 200) << path;
        EXPECT_THAT(reply.body, Not(HasSubstr("upstream"))) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(Proxies, ProxyAnswers, ::testing::Values(Kind::Nginx, Kind::Caddy),
                         [](const auto& info) { return info.param == Kind::Nginx ? "Nginx" : "Caddy"; });

}  // namespace
}  // namespace kova_test
