// zemhost decide against a real refpdp: every outcome, the JSON form, the native policy chain and an
// unreachable PDP.
#include <gtest/gtest.h>

#include "cli/cli_fixture.h"

namespace kova_test {
namespace {

using nlohmann::json;

class Decide : public CliDecisionFixture {
protected:
    static const json* entry(const json& answer, const std::string& name) {
        for (const json& item : answer["permission_info"]) {
            if (item["name"] == name) return &item["value"];
        }
        return nullptr;
    }
};

TEST_F(Decide, JsonAnswersEveryOutcomeWithNumbersForUnsignedLongValues) {
    struct Case {
        std::string object;
        std::vector<std::string> creds;
        std::string permission;
        std::string outcome;
    };
    const Case cases[] = {
        {"/Corvane/inst1/docs/a.html", userOptions("alice", "staff"), "AZN_C_PERMITTED", "permit"},
        {"/Corvane/inst1/docs/a.html", userOptions("mallory", "guests"), "AZN_C_NOT_PERMITTED", "deny"},
        {"/Corvane/inst1/nowhere", userOptions("alice", "staff"), "AZN_C_NOT_PERMITTED", "deny"},
        {"/Corvane/inst1/payroll/q1", userOptions("alice", "staff"), "AZN_C_PERMITTED", "step-up"},
        {"/Corvane/inst1/account/settings", userOptions("alice", "staff"), "AZN_C_NOT_PERMITTED", "redirect"},
        {"/Corvane/inst1/orphan", userOptions("alice", "staff"), "AZN_C_NOT_PERMITTED", "deny"},
        // Repeated credential names become values in the order given: the second group reaches the PDP.
        {"/Corvane/inst1/docs/a.html",
         {"--cred", "AZN_CRED_PRINCIPAL_NAME=bob", "--cred", "AZN_CRED_GROUPS=guests", "--cred",
          "AZN_CRED_GROUPS=staff"},
         "AZN_C_PERMITTED",
         "permit"},
        // Context entries are mapped; a value may hold '='.
        {"/Corvane/inst1/docs/a.html",
         {"--cred", "AZN_CRED_GROUPS=staff", "--context", "HTTP_HOST_HDR=www.example.com", "--context",
          "HTTP_REQUEST_METHOD=GET", "--context", "ac_uuid_cookie=c-1=2"},
         "AZN_C_PERMITTED",
         "permit"},
    };
    std::vector<json> answers;
    for (const Case& c : cases) {
        const json& answer = answers.emplace_back(decideJson(c.object, c.creds));
        EXPECT_EQ(answer["status"], "0x0") << c.object;
        EXPECT_EQ(answer["major"], 0) << c.object;
        EXPECT_EQ(answer["minor"], 0) << c.object;
        EXPECT_EQ(answer["permission"], c.permission) << c.object << " " << c.creds[1];
        EXPECT_EQ(answer["outcome"], c.outcome) << c.object << " " << c.creds[1];
    }

    const json& stepUp = answers[3];
    ASSERT_EQ(stepUp["permission_info"].size(), 1u) << stepUp;
    EXPECT_EQ(stepUp["permission_info"][0], (json{{"name", "azn_perminfo_stepup_level"}, {"value", 2}}));

    const json& redirect = answers[4];
    ASSERT_NE(entry(redirect, "HTTP_RESPONSE_HEADERS"), nullptr) << redirect;
    std::string location = entry(redirect, "HTTP_RESPONSE_HEADERS")->get<std::string>();
    EXPECT_TRUE(location.starts_with("location: /login/index.html?TransactionId=")) << location;
    EXPECT_EQ(*entry(redirect, "HTTP_RESPONSE_CODE"), 302);
    EXPECT_EQ(*entry(redirect, "SAVE_POST_AUTH_REQ"), 1);
}

// A PDP answer whose transaction id holds a line break must not reach the proxy as extra header lines:
// the redirect cannot be set up, so the request ends not permitted, with one message saying why.
TEST_F(Decide, ATransactionIdWithALineBreakEndsNotPermittedInsteadOfAHeaderInjection) {
    const std::string obligation = "urn:oxa:security:authentication:obligation:login";
    auto answer = [&](const std::string& transactionId) {
        return "<Response xmlns=\"urn:oasis:names:tc:xacml:2.0:context:schema:os\"><Result><Decision>Deny</Decision>"
               "<Status><StatusCode Value=\"urn:oasis:names:tc:xacml:1.0:status:ok\"/></Status>"
               "<Obligations xmlns=\"urn:oasis:names:tc:xacml:2.0:policy:schema:os\"><Obligation FulfillOn=\"Deny\" "
               "ObligationId=\"" +
               obligation +
               "\"><AttributeAssignment "
               "DataType=\"http://www.w3.org/2001/XMLSchema#string\" "
               "AttributeId=\"urn:oxa:security:authentication:obligation.transactionId\">" +
               transactionId + "</AttributeAssignment></Obligation></Obligations></Result></Response>";
    };
    json rules = {{"rules",
                   {{{"resource-prefix", "/lf"}, {"body", answer("T1\nSet-Cookie: session=evil")}},
                    {{"resource-prefix", "/crlf"}, {"body", answer("T1\r\nSet-Cookie: session=evil")}},
                    {{"resource-prefix", "/plain"}, {"body", answer("T1")}}}}};
    writeFile(dir.file("verbatim.json"), rules.dump());
    RefPdp verbatim({"--rules", dir.file("verbatim.json")});
    config = writeConfig(exampleConfig(verbatim.url()), "verbatim.conf");

    for (const char* object : {"/Corvane/inst1/lf", "/Corvane/inst1/crlf"}) {
        CliRun run = zemhost({"--config", config, "decide", "--json", "--resource", object, "--operation", "r"});
        ASSERT_EQ(run.code, 0) << run.err;
        json decided = json::parse(run.out);
        EXPECT_EQ(decided["permission"], "AZN_C_NOT_PERMITTED") << decided;
        EXPECT_EQ(decided["outcome"], "deny") << decided;
        EXPECT_EQ(entry(decided, "HTTP_RESPONSE_HEADERS"), nullptr) << decided;
        EXPECT_THAT(run.out, Not(HasSubstr("Set-Cookie")));
        EXPECT_THAT(run.err, HasSubstr("refused a response header holding a line break, after \"location: "
                                       "/login/index.html?TransactionId=T1\": the request is not served"));
    }
    json plain = decideJson("/Corvane/inst1/plain");
    ASSERT_NE(entry(plain, "HTTP_RESPONSE_HEADERS"), nullptr) << plain;
    EXPECT_EQ(*entry(plain, "HTTP_RESPONSE_HEADERS"), "location: /login/index.html?TransactionId=T1");
}

TEST_F(Decide, NativeDenialIsFinalWhileOtherVerdictsAskThePdp) {
    config = writeConfig(exampleConfig(pdp->url(), "[zemhost-native-policy]\n/Corvane/inst1/docs/closed = deny\n"
                                                   "/Corvane/inst1/docs/open = indifferent\n"));
    EXPECT_EQ(decideJson("/Corvane/inst1/docs/closed/a", userOptions("alice", "staff"))["outcome"], "deny");
    EXPECT_EQ(decideJson("/Corvane/inst1/docs/open/a", userOptions("alice", "staff"))["outcome"], "permit");
    EXPECT_EQ(decideJson("/Corvane/inst1/docs/other", userOptions("alice", "staff"))["outcome"], "permit")
        << "eas: the framework re-enters the plug-in, whose inner answer leaves it to the ACL";
}

TEST_F(Decide, ALocationThatIsNotUtf8StillGivesOneValidJsonObject) {
    config = writeConfig(replaced(exampleConfig(pdp->url()), "= /login/index.html", "= /login/r\xe9sum\xe9.html"));
    json answer = decideJson("/Corvane/inst1/account/settings");
    ASSERT_FALSE(answer.is_discarded());
    EXPECT_EQ(answer["outcome"], "redirect");
    EXPECT_TRUE(
        entry(answer, "HTTP_RESPONSE_HEADERS")->get<std::string>().starts_with("location: /login/r\xef\xbf\xbdsum"))
        << "the Latin-1 byte becomes U+FFFD";
}

TEST_F(Decide, FailGivesExitStatusThreeForEveryOutcomeButPermit) {
    struct Case {
        std::string command;
        std::string object;
        int code;
    };
    const Case cases[] = {
        {"decide", "/Corvane/inst1/docs/a.html", 0},  {"decide", "/Corvane/inst1/nowhere", 3},
        {"decide", "/Corvane/inst1/payroll/q1", 3},   {"decide", "/Corvane/inst1/account/settings", 3},
        {"explain", "/Corvane/inst1/docs/a.html", 0}, {"explain", "/Corvane/inst1/account/settings", 3},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--config", config, c.command, "--resource", c.object, "--operation", "r"};
        for (const std::string& option : userOptions("alice", "staff")) args.push_back(option);
        args.push_back("--fail");
        EXPECT_EQ(zemhost(args).code, c.code) << c.command << " " << c.object;
    }
}

TEST_F(Decide, PrintsStatusPermissionEntriesAndWhatTheProxyDoesOrThatThePermissionIsUnused) {
    CliRun run = zemhost({"--config", config, "decide", "--resource", "/Corvane/inst1/account/x", "--operation", "r"});
    EXPECT_EQ(run.code, 0) << run.err;
    std::vector<std::string> said = lines(run.out);
    ASSERT_GE(said.size(), 7u) << run.out;
    EXPECT_EQ(said[0], "status 0x0 (major 0, minor 0x0)");
    EXPECT_EQ(said[1], "permission: AZN_C_NOT_PERMITTED");
    EXPECT_EQ(said[2], "permission_info:");
    EXPECT_TRUE(said[3].starts_with("  HTTP_RESPONSE_HEADERS = \"location: /login/index.html?TransactionId="))
        << said[3];
    EXPECT_EQ(said[4], "  HTTP_RESPONSE_CODE = 302");
    EXPECT_EQ(said[5], "  SAVE_POST_AUTH_REQ = 1");
    EXPECT_TRUE(said[6].starts_with("proxy: answers 302, redirecting to /login/index.html?TransactionId=")) << said[6];

    pdp->stop();
    CliRun failed = zemhost({"--config", config, "decide", "--resource", "/Corvane/inst1/docs/a", "--operation", "r"});
    EXPECT_TRUE(lines(failed.out).at(1).ends_with(" (not used: the decision failed)")) << failed.out;
}

}  // namespace
}  // namespace kova_test
