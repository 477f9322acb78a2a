// zemhost explain: the XACML exchanged, the obligation mapping that applied and what the proxy does.
#include <gtest/gtest.h>

#include "cli/cli_fixture.h"
#include "zemhost/trace_capture.h"

namespace {

using kova_test::CliDecisionFixture;
using kova_test::CliRun;
using kova_test::RefPdp;
using kova_test::writeFile;

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
    EXPECT_TRUE(contains(run.out, "PDP decision: Permit")) << run.out;
    EXPECT_TRUE(contains(run.out, "Obligation: " + OBLIGATION + "consent:marketing")) << run.out;
    EXPECT_TRUE(contains(run.out, "Obligation mapping applied: [obligations-urls-mapping] " + OBLIGATION +
                                      "consent:* = /consent/review.html?lang=en (wildcard)"))
        << run.out;
    EXPECT_TRUE(contains(run.out, "proxy: answers 302, redirecting to /consent/review.html?TransactionId=")) << run.out;
}

TEST_F(Explain, NamesTheMappingThePluginChoosesExactThenLongestPrefixThenLevel) {
    // The shortest prefix comes first in the file, so only the longest-prefix rule picks the others.
    config = writeConfig(replaced(exampleConfig(pdp->url()), "[obligations-urls-mapping]\n",
                                  "[obligations-urls-mapping]\n" + OBLIGATION + "* = /generic.html\n"));
    CliRun exact = explain("/Corvane/inst1/account/a");
    EXPECT_TRUE(contains(exact.out, "applied: [obligations-urls-mapping] " + OBLIGATION + "login = /login/index.html\n"))
        << exact.out;
    CliRun longest = explain("/Corvane/inst1/consent/a");
    EXPECT_TRUE(contains(longest.out, "applied: [obligations-urls-mapping] " + OBLIGATION + "consent:* =")) << longest.out;
    CliRun overLevel = explain("/Corvane/inst1/payroll/a");
    EXPECT_TRUE(contains(overLevel.out, "applied: [obligations-urls-mapping] " + OBLIGATION + "* = /generic.html (wildcard)"))
        << "a URL, even by the shortest prefix, wins over a level\n"
        << overLevel.out;
}

TEST_F(Explain, AStepUpAndAnUnmappedObligationSayWhatTheProxyDoes) {
    CliRun stepUp = explain("/Corvane/inst1/payroll/q1");
    EXPECT_TRUE(contains(stepUp.out, "applied: [obligations-levels-mapping] " + OBLIGATION + "otp = 2\n")) << stepUp.out;
    EXPECT_TRUE(contains(stepUp.out, "proxy: asks the user to step up to authentication level 2")) << stepUp.out;

    CliRun unmapped = explain("/Corvane/inst1/orphan");
    EXPECT_TRUE(contains(unmapped.out, "Obligation: urn:example:unmapped")) << unmapped.out;
    EXPECT_TRUE(contains(unmapped.out, "applied: none")) << unmapped.out;
    EXPECT_TRUE(contains(unmapped.out, "Nearest mapped obligations: " + OBLIGATION + "otp, " + OBLIGATION)) << unmapped.out;
    EXPECT_TRUE(contains(unmapped.out, "proxy: answers 403 Forbidden")) << unmapped.out;
}

TEST_F(Explain, SaysWhenNothingWasSentOrNothingCameBack) {
    config = writeConfig(exampleConfig(pdp->url(), "[zemhost-native-policy]\n/Corvane/inst1/closed = deny\n"));
    CliRun native = explain("/Corvane/inst1/closed/a");
    EXPECT_TRUE(contains(native.out, "No XACML request was sent")) << native.out;
    EXPECT_TRUE(contains(native.out, "proxy: answers 403 Forbidden")) << native.out;

    pdp->stop();
    CliRun unreachable = explain("/Corvane/inst1/docs/a");
    EXPECT_TRUE(contains(unreachable.out, "XACML request sent to the PDP:")) << unreachable.out;
    EXPECT_TRUE(contains(unreachable.out, "No response from the PDP")) << unreachable.out;
    EXPECT_TRUE(contains(unreachable.out, "proxy: answers 502 with the error page")) << unreachable.out;
    EXPECT_TRUE(contains(unreachable.out, "Stopped by: unreachable at " + pdp->url() + ": ")) << unreachable.out;

    // A PDP that wants a password the configuration does not give answers 401: an HTTP error, not "unreachable".
    RefPdp guarded({"--basic-auth", "kova:secret"});
    config = writeConfig(exampleConfig(guarded.url()), "guarded.conf");
    CliRun refused = explain("/Corvane/inst1/docs/a");
    EXPECT_TRUE(contains(refused.out, "Stopped by: HTTP error at " + guarded.url() + ": ")) << refused.out;
    EXPECT_TRUE(contains(refused.out, "401")) << refused.out;
}

TEST_F(Explain, ShowsTheDecisionAndTheEntryAsThePluginReadThem) {
    // The plug-in keeps the first of a repeated name and converts a level by its own rules.
    std::string text = replaced(exampleConfig(pdp->url()), "[obligations-urls-mapping]\n",
                                "[obligations-urls-mapping]\n" + OBLIGATION + "login = /first.html\n");
    config = writeConfig(replaced(text, "obligation:otp = 2", "obligation:otp = 0x2"));
    CliRun repeated = explain("/Corvane/inst1/account/a");
    EXPECT_TRUE(contains(repeated.out, "PDP decision: Deny\n")) << repeated.out;
    EXPECT_TRUE(contains(repeated.out, "applied: [obligations-urls-mapping] " + OBLIGATION + "login = /first.html\n"))
        << repeated.out;
    CliRun hexLevel = explain("/Corvane/inst1/payroll/a");
    EXPECT_TRUE(contains(hexLevel.out, "applied: [obligations-levels-mapping] " + OBLIGATION + "otp = 2\n"))
        << hexLevel.out;
    CliRun notApplicable = explain("/Corvane/inst1/elsewhere");
    EXPECT_TRUE(contains(notApplicable.out, "PDP decision: NotApplicable\nObligation: none\n")) << notApplicable.out;
}

TEST_F(Explain, NamesASoapFaultAndAMalformedAnswerAsWhatStoppedTheDecision) {
    writeFile(dir.file("failing.json"), R"({"rules": [
        {"resource-prefix": "/fault", "fault": {"code": "soapenv:Server", "string": "policy store offline"}},
        {"resource-prefix": "/garbled", "body": "not XML <"},
        {"resource-prefix": "/blank", "body": "<html>down for maintenance</html>"}]})");
    RefPdp failing({"--rules", dir.file("failing.json")});
    config = writeConfig(exampleConfig(failing.url()), "failing.conf");
    const std::pair<std::string, std::string> cases[] = {
        {"/Corvane/inst1/fault/a", "Stopped by: SOAP fault at " + failing.url() + ": "},
        {"/Corvane/inst1/garbled/a", "Stopped by: malformed answer at " + failing.url() + ": "},
        {"/Corvane/inst1/blank/a", "Stopped by: malformed answer: the answer holds no XACML response"},
    };
    for (const auto& [object, stoppedBy] : cases) {
        SCOPED_TRACE(object);
        CliRun run = explain(object);
        EXPECT_TRUE(contains(run.out, "No response from the PDP.\n" + stoppedBy)) << run.out;
        EXPECT_TRUE(contains(run.out, "proxy: answers 502 with the error page")) << run.out;
    }
    EXPECT_TRUE(contains(explain("/Corvane/inst1/fault/a").out, "policy store offline")) << "the fault's own words";
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
