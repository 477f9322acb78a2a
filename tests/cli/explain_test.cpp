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

TEST_F(Explain, NamesTheMappingThePluginChoosesExactThenLongestPrefixThenLevel) {
    // The shortest prefix comes first in the file, so only the longest-prefix rule picks the others.
    config = writeConfig(replaced(exampleConfig(pdp->url()), "[obligations-urls-mapping]\n",
                                  "[obligations-urls-mapping]\n" + OBLIGATION + "* = /generic.html\n"));
    CliRun exact = explain("/Corvane/inst1/account/a");
    EXPECT_THAT(exact.out,
                HasSubstr("applied: [obligations-urls-mapping] " + OBLIGATION + "login = /login/index.html\n"));
    CliRun longest = explain("/Corvane/inst1/consent/a");
    EXPECT_THAT(longest.out, HasSubstr("applied: [obligations-urls-mapping] " + OBLIGATION + "consent:* ="));
    CliRun overLevel = explain("/Corvane/inst1/payroll/a");
    EXPECT_THAT(overLevel.out,
                HasSubstr("applied: [obligations-urls-mapping] " + OBLIGATION + "* = /generic.html (wildcard)"))
        << "a URL, even by the shortest prefix, wins over a level\n"
        << overLevel.out;
}

TEST_F(Explain, AStepUpAnUnmappedObligationAndANativeDenialSayWhatTheProxyDoes) {
    CliRun stepUp = explain("/Corvane/inst1/payroll/q1");
    EXPECT_THAT(stepUp.out, HasSubstr("applied: [obligations-levels-mapping] " + OBLIGATION + "otp = 2\n"));
    EXPECT_THAT(stepUp.out, HasSubstr("proxy: asks the user to step up to authentication level 2"));

    CliRun unmapped = explain("/Corvane/inst1/orphan");
    EXPECT_THAT(unmapped.out, HasSubstr("Obligation: urn:example:unmapped"));
    EXPECT_THAT(unmapped.out, HasSubstr("applied: none"));
    EXPECT_THAT(unmapped.out, HasSubstr("Nearest mapped obligations: " + OBLIGATION + "otp, " + OBLIGATION));
    EXPECT_THAT(unmapped.out, HasSubstr("proxy: answers 403 Forbidden"));

    config = writeConfig(exampleConfig(pdp->url(), "[zemhost-native-policy]\n/Corvane/inst1/closed = deny\n"));
    CliRun native = explain("/Corvane/inst1/closed/a");
    EXPECT_THAT(native.out, HasSubstr("No XACML request was sent"));
    EXPECT_THAT(native.out, HasSubstr("proxy: answers 403 Forbidden"));
}

TEST_F(Explain, ShowsTheDecisionAndTheEntryAsThePluginReadThem) {
    // The plug-in keeps the first of a repeated name and converts a level by its own rules.
    std::string text = replaced(exampleConfig(pdp->url()), "[obligations-urls-mapping]\n",
                                "[obligations-urls-mapping]\n" + OBLIGATION + "login = /first.html\n");
    config = writeConfig(replaced(text, "obligation:otp = 2", "obligation:otp = 0x2"));
    CliRun repeated = explain("/Corvane/inst1/account/a");
    EXPECT_THAT(repeated.out, HasSubstr("PDP decision: Deny\n"));
    EXPECT_THAT(repeated.out, HasSubstr("applied: [obligations-urls-mapping] " + OBLIGATION + "login = /first.html\n"));
    CliRun hexLevel = explain("/Corvane/inst1/payroll/a");
    EXPECT_THAT(hexLevel.out, HasSubstr("applied: [obligations-levels-mapping] " + OBLIGATION + "otp = 2\n"));
    CliRun notApplicable = explain("/Corvane/inst1/elsewhere");
    EXPECT_THAT(notApplicable.out, HasSubstr("PDP decision: NotApplicable\nObligation: none\n"));
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
