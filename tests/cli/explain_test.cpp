// zemhost explain: the XACML exchanged, the obligation mapping that applied and what the proxy does.
#include <gtest/gtest.h>

#include "cli/cli_fixture.h"
#include "zemhost/trace_capture.h"

namespace kova_test {
namespace {

class Explain : public CliDecisionFixture {
protected:
    CliRun explain(const std::string& object) const {
        return zemhost({"--config", config, "explain", "--resource", object, "--operation", "r", "--cred",
                        "AZN_CRED_PRINCIPAL_NAME=alice", "--cred", "AUTHENTICATION_LEVEL=1"});
    }

    static const std::string OBLIGATION;
};

const std::string Explain::OBLIGATION = "urn:oxa:security:authentication:obligation:";

TEST_F(Explain, ShowsTheExchangeTheWildcardMappingAndTheRedirect) {
    CliRun run = explain("/Corvane/inst1/consent/newsletter");
    EXPECT_EQ(run.code, 0) << run.err;
    std::size_t request = run.out.find("XACML request sent to the PDP:");
    std::size_t response = run.out.find("XACML response from the PDP:");
    ASSERT_NE(request, std::string::npos) << run.out;
    ASSERT_NE(response, std::string::npos) << run.out;
    EXPECT_LT(request, response);
    EXPECT_NE(run.out.find("/consent/newsletter", request), std::string::npos) << "the resource sent";
    EXPECT_LT(run.out.find("alice", request), response) << "the subject is in the request";
    EXPECT_THAT(run.out, HasSubstr("PDP decision: Permit"));
    EXPECT_THAT(run.out, HasSubstr("Obligation: " + OBLIGATION + "consent:marketing"));
    EXPECT_THAT(run.out, HasSubstr("Obligation mapping applied: [obligations-urls-mapping] " + OBLIGATION +
                                   "consent:* = /consent/review.html?lang=en (wildcard)"));
    EXPECT_THAT(run.out, HasSubstr("proxy: answers 302, redirecting to /consent/review.html?TransactionId="));
}

// The mapping the plug-in chooses (exact, then longest prefix, then level; the first of a repeated name; a
// level converted by the plug-in's own rules) and what the proxy does with it.
TEST_F(Explain, NamesTheMappingThePluginChoosesAndWhatTheProxyDoes) {
    const std::string example = exampleConfig(pdp->url());
    const std::string urls = "[obligations-urls-mapping]\n";
    // The shortest prefix comes first in the file, so only the longest-prefix rule picks the others.
    const std::string generic = replaced(example, urls, urls + OBLIGATION + "* = /generic.html\n");
    const std::string repeated = replaced(replaced(example, urls, urls + OBLIGATION + "login = /first.html\n"),
                                          "obligation:otp = 2", "obligation:otp = 0x2");
    const std::string native = exampleConfig(pdp->url(), "[zemhost-native-policy]\n/Corvane/inst1/closed = deny\n");
    const std::string applied = "applied: [obligations-urls-mapping] " + OBLIGATION;
    const std::string levels = "applied: [obligations-levels-mapping] " + OBLIGATION + "otp = 2\n";
    const struct {
        const std::string& config;
        const char* object;
        std::vector<std::string> says;
    } rows[] = {
        {example, "/Corvane/inst1/payroll/q1", {levels, "proxy: asks the user to step up to authentication level 2"}},
        {example,
         "/Corvane/inst1/orphan",
         {"Obligation: urn:example:unmapped", "applied: none", "proxy: answers 403 Forbidden",
          "Nearest mapped obligations: " + OBLIGATION + "otp, " + OBLIGATION}},
        {native, "/Corvane/inst1/closed/a", {"No XACML request was sent", "proxy: answers 403 Forbidden"}},
        {generic, "/Corvane/inst1/account/a", {applied + "login = /login/index.html\n"}},
        {generic, "/Corvane/inst1/consent/a", {applied + "consent:* ="}},
        // A URL, even by the shortest prefix, wins over a level.
        {generic, "/Corvane/inst1/payroll/a", {applied + "* = /generic.html (wildcard)"}},
        {repeated, "/Corvane/inst1/account/a", {"PDP decision: Deny\n", applied + "login = /first.html\n"}},
        {repeated, "/Corvane/inst1/payroll/a", {levels}},
        {repeated, "/Corvane/inst1/elsewhere", {"PDP decision: NotApplicable\nObligation: none\n"}},
    };
    for (const auto& row : rows) {
        config = writeConfig(row.config);
        CliRun run = explain(row.object);
        for (const std::string& text : row.says) EXPECT_THAT(run.out, HasSubstr(text)) << row.object;
    }
}

// Nothing came back: what stopped the decision is named, an answer of 401 is an HTTP error and not "unreachable".
TEST_F(Explain, NamesWhatStoppedADecisionThatGotNoAnswer) {
    writeFile(dir.file("failing.json"), R"({"rules": [
        {"resource-prefix": "/fault", "fault": {"code": "soapenv:Server", "string": "policy store offline"}},
        {"resource-prefix": "/garbled", "body": "not XML <"},
        {"resource-prefix": "/blank", "body": "<html>down for maintenance</html>"}]})");
    RefPdp failing({"--rules", dir.file("failing.json")});
    RefPdp guarded({"--basic-auth", "kova:secret"});  // wants a password the configuration does not give
    LoopbackSocket refusing;
    const struct {
        std::string url, object, stoppedBy, detail;
    } cases[] = {
        {refusing.url(), "/Corvane/inst1/docs/a", "unreachable at " + refusing.url() + ": ", ""},
        {guarded.url(), "/Corvane/inst1/docs/a", "HTTP error at " + guarded.url() + ": ", "401"},
        {failing.url(), "/Corvane/inst1/fault/a", "SOAP fault at " + failing.url() + ": ", "policy store offline"},
        {failing.url(), "/Corvane/inst1/garbled/a", "malformed answer at " + failing.url() + ": ", ""},
        {failing.url(), "/Corvane/inst1/blank/a", "malformed answer: the answer holds no XACML response", ""},
    };
    for (const auto& row : cases) {
        config = writeConfig(exampleConfig(row.url));
        CliRun run = explain(row.object);
        EXPECT_THAT(run.out, HasSubstr("XACML request sent to the PDP:"));
        EXPECT_THAT(run.out, HasSubstr("No response from the PDP.\nStopped by: " + row.stoppedBy));
        EXPECT_THAT(run.out, HasSubstr("proxy: answers 502 with the error page"));
        EXPECT_THAT(run.out, HasSubstr(row.detail)) << "the endpoint's own words";
    }
}

// explain reads the records the plug-in and the cluster library write as "NAME: EVENT: key[value] ...".
TEST(TraceEvents, FieldsAreReadByKeyAndOnlyFromRecordsThatAnnounceTheEvent) {
    const std::string head = "2026-12-05T17:05:35.123456Z [7] 9 kova-eas rba/KOVAModule:300 ";
    std::string trace = head + "KOVAModule::authorize: read PDP answer: decision[Permit] obligation[urn:a:b]\n" + head +
                        "XACML Response: <x>KOVAModule::authorize: read PDP answer: decision[Deny]</x>\n" + head +
                        "ping: exchange failed: url[http://h/p?a[0]=1] code[4] reason[HTTP 401 [Unauthorized] x]\n" +
                        head +
                        "authorize: applied obligation mapping: stanza[none] entry[] value[] obligation[urn:x] "
                        "stanza[obligations-urls-mapping]\n";
    std::vector<zemhost::TraceRecord> records = zemhost::traceRecords(trace);
    std::vector<zemhost::TraceFields> answers = zemhost::tracedEvents(records, "read PDP answer");
    ASSERT_EQ(answers.size(), 1u) << "a traced document cannot announce an event";
    EXPECT_EQ(answers[0], (zemhost::TraceFields{{"decision", "Permit"}, {"obligation", "urn:a:b"}}));
    std::vector<zemhost::TraceFields> failures = zemhost::tracedEvents(records, "exchange failed");
    ASSERT_EQ(failures.size(), 1u);
    std::vector<zemhost::TraceFields> mappings = zemhost::tracedEvents(records, "applied obligation mapping");
    ASSERT_EQ(mappings.size(), 1u);
    EXPECT_EQ(mappings[0],
              (zemhost::TraceFields{{"stanza", "none"}, {"entry", ""}, {"value", ""}, {"obligation", "urn:x"}}))
        << "an obligation from the PDP cannot pass for the stanza";
    EXPECT_EQ(failures[0], (zemhost::TraceFields{
                               {"url", "http://h/p?a[0]=1"}, {"code", "4"}, {"reason", "HTTP 401 [Unauthorized] x"}}));
}

}  // namespace
}  // namespace kova_test
