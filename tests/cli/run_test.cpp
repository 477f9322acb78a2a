// zemhost run and bench: JSONL batches on several threads against one started plug-in and refpdp.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>
#include <map>

#include "cli/cli_fixture.h"

namespace kova_test {
namespace {

using nlohmann::json;

class Batch : public CliDecisionFixture {
protected:
    static std::string requestLine(const std::string& object, const std::string& group) {
        json line = {{"resource", object},
                     {"operation", "r"},
                     {"creds", json::array({json::array({"AZN_CRED_PRINCIPAL_NAME", "alice"}),
                                            json::array({"AZN_CRED_GROUPS", group}),
                                            json::array({"AUTHENTICATION_LEVEL", "1"})})},
                     {"context", json::array({json::array({"HTTP_REQUEST_METHOD", "GET"})})}};
        return line.dump() + "\n";
    }

    std::vector<json> results(const CliRun& run) const {
        std::vector<json> parsed;
        for (const std::string& line : lines(run.out)) parsed.push_back(json::parse(line));
        return parsed;
    }
};

TEST_F(Batch, AMalformedLineIsReportedWithItsNumberWhileTheOthersRun) {
    std::string requests = requestLine("/Corvane/inst1/docs/a", "staff") + "{\"resource\": \"/Corvane/inst1/docs\",\n" +
                           requestLine("/Corvane/inst1/docs/a", "guests") + "\n" +
                           "{\"resource\": 5, \"operation\": \"r\"}\n" +
                           "{\"resource\": \"/a/b/c\", \"operation\": \"r\", \"creds\": [[\"ONLY_A_NAME\"]]}\n" +
                           requestLine("/Corvane/inst1/account/a", "staff");
    writeFile(dir.file("requests.jsonl"), requests);
    CliRun run = zemhost({"--config", config, "run", "--requests", dir.file("requests.jsonl")});
    EXPECT_EQ(run.code, 1) << "malformed lines make the run fail";
    std::vector<json> answers = results(run);
    ASSERT_EQ(answers.size(), 3u) << run.out;
    EXPECT_EQ(answers[0]["line"], 1);
    EXPECT_EQ(answers[0]["outcome"], "permit");
    EXPECT_EQ(answers[1]["line"], 3);
    EXPECT_EQ(answers[1]["outcome"], "deny");
    EXPECT_EQ(answers[2]["line"], 7);
    EXPECT_EQ(answers[2]["outcome"], "redirect");
    EXPECT_THAT(run.err, HasSubstr("line 2: not valid JSON"));
    EXPECT_THAT(run.err, HasSubstr("line 5: \"resource\" must be a string"));
    EXPECT_THAT(run.err, HasSubstr("line 6: \"creds\" must be a list of [NAME, VALUE] pairs"));
    EXPECT_THAT(run.err, Not(HasSubstr("line 4"))) << "a blank line is not malformed";
    EXPECT_THAT(run.err, HasSubstr("decisions: 3, malformed lines: 3"));
}

TEST_F(Batch, ResultsComeBackInInputOrderFromSeveralThreadsWithASummary) {
    struct Kind {
        const char* object;
        const char* group;
        const char* outcome;
    };
    const Kind kinds[] = {{"/Corvane/inst1/docs/a", "staff", "permit"},
                          {"/Corvane/inst1/docs/a", "guests", "deny"},
                          {"/Corvane/inst1/payroll/a", "staff", "step-up"},
                          {"/Corvane/inst1/account/a", "staff", "redirect"},
                          {"/Corvane/inst1/consent/a", "staff", "redirect"}};
    const std::size_t count = 60;
    std::string requests;
    for (std::size_t i = 0; i < count; ++i) requests += requestLine(kinds[i % 5].object, kinds[i % 5].group);
    CliRun run = zemhost({"--config", config, "run", "--requests", "-", "--threads", "4"}, requests);
    EXPECT_EQ(run.code, 0) << run.err;
    std::vector<json> answers = results(run);
    ASSERT_EQ(answers.size(), count) << run.err;
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(answers[i]["line"], i + 1);
        EXPECT_EQ(answers[i]["outcome"], kinds[i % 5].outcome) << "line " << i + 1;
    }
    EXPECT_THAT(run.err, HasSubstr("decisions: 60, malformed lines: 0"));
    EXPECT_THAT(run.err, HasSubstr("outcomes: deny 12 permit 12 redirect 24 step-up 12"));
    EXPECT_THAT(run.err, HasSubstr("latency: p50 "));
    EXPECT_THAT(run.err, Not(HasSubstr("[#"))) << "no progress bar when standard error is not a terminal";
}

TEST_F(Batch, FailExitsThreeUnlessEveryOutcomeIsAPermitAndOneForMalformedLines) {
    std::string permits = requestLine("/Corvane/inst1/docs/a", "staff") + requestLine("/Corvane/inst1/docs/b", "staff");
    struct Case {
        std::string requests;
        int code;
    };
    const Case cases[] = {
        {permits, 0},
        {permits + requestLine("/Corvane/inst1/docs/a", "guests"), 3},
        {permits + "not json\n" + requestLine("/Corvane/inst1/docs/a", "guests"), 1},
    };
    for (const Case& c : cases) {
        CliRun run = zemhost({"--config", config, "run", "--requests", "-", "--fail"}, c.requests);
        EXPECT_EQ(run.code, c.code) << c.requests << run.err;
    }
}

TEST_F(Batch, BenchKeepsDecidingAndReportsThroughputAndPercentiles) {
    writeFile(dir.file("requests.jsonl"), requestLine("/Corvane/inst1/docs/a", "staff"));
    CliRun run = zemhost(
        {"--config", config, "bench", "--requests", dir.file("requests.jsonl"), "--threads", "2", "--seconds", "0.3"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("threads: 2, decisions: "));
    EXPECT_THAT(run.out, HasSubstr(" decisions/s"));
    EXPECT_THAT(run.out, HasSubstr("latency: p50 "));

    CliRun asJson = zemhost({"--config", config, "bench", "--json", "--requests", dir.file("requests.jsonl"),
                             "--threads", "2", "--seconds", "0.3"});
    ASSERT_EQ(asJson.code, 0) << asJson.err;
    json figures = json::parse(asJson.out);
    EXPECT_EQ(figures["threads"], 2);
    EXPECT_GT(figures["decisions"].get<double>(), 0);
    EXPECT_NEAR(figures["decisions_per_second"].get<double>(),
                figures["decisions"].get<double>() / figures["seconds"].get<double>(), 0.01);
    double previous = 0;
    for (const char* part : {"min", "p50", "p90", "p99", "max"}) {
        double value = figures["latency_ms"][part].get<double>();
        EXPECT_GE(value, previous) << part << " " << asJson.out;
        previous = value;
    }
    const json& latency = figures["latency_ms"];
    EXPECT_TRUE(latency["mean"] >= latency["min"] && latency["mean"] <= latency["max"]) << asJson.out;

    writeFile(dir.file("empty.jsonl"), "\n");
    CliRun empty = zemhost({"--config", config, "bench", "--requests", dir.file("empty.jsonl"), "--seconds", "0.1"});
    EXPECT_EQ(empty.code, 1);
    EXPECT_THAT(empty.err, HasSubstr("holds no decision"));
}

// Log rotation: after the audit file is renamed, SIGHUP makes a running bench write to a new file.
TEST_F(Batch, BenchReopensTheAuditFileOnHangup) {
    writeFile(dir.file("requests.jsonl"), requestLine("/Corvane/inst1/docs/a", "staff"));
    std::string audit = dir.file("audit.log"), rotated = dir.file("audit.log.1");
    Process bench({zemhostPath(), "--config", config, "bench", "--requests", dir.file("requests.jsonl"), "--threads",
                   "2", "--seconds", "4"},
                  dir.file("bench.out"), dir.file("bench.err"));
    ASSERT_TRUE(eventually([&] { return contains(readFile(audit), "</kova-event>"); })) << "no record before";
    ASSERT_EQ(rename(audit.c_str(), rotated.c_str()), 0);
    bench.signal(SIGHUP);
    EXPECT_TRUE(eventually([&] { return contains(readFile(audit), "</kova-event>"); }))
        << "no record after the hang-up";
    EXPECT_EQ(bench.wait(), 0) << readFile(dir.file("bench.err"));
    EXPECT_THAT(readFile(rotated), HasSubstr("</kova-event>"));
}

// An endpoint's change of state is printed once, at the default trace level, with the transport's
// reason; many decisions against the same failed endpoint print nothing more.
TEST_F(Batch, AnEndpointGoingDownIsOneMessageWithItsReasonNotOnePerDecision) {
    std::string requests;
    for (int i = 0; i < 6; ++i) requests += requestLine("/Corvane/inst1/docs/a", "staff");
    writeFile(dir.file("requests.jsonl"), requests);
    std::string refused = "http://127.0.0.1:9/kova";
    std::string text = readFile(config);
    std::size_t at = text.find("server = 10,");
    std::string failover = text.substr(0, at) + "server = 20," + refused + "\n" + text.substr(at);
    CliRun run =
        zemhost({"--config", writeConfig(failover, "failover.conf"), "run", "--requests", dir.file("requests.jsonl")});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(results(run).size(), 6u);
    EXPECT_EQ(countOf(run.err, "NVWSO0091W"), 1u) << run.err;
    EXPECT_THAT(run.err, HasSubstr("The endpoint " + refused + " of the SOAP cluster kova-pdp is down: " + refused));
    EXPECT_THAT(run.err, HasSubstr("onnect")) << "the transport's reason: " << run.err;
    EXPECT_EQ(countOf(run.err, "NVWSO0092E"), 0u) << run.err;

    std::string allDown = text.substr(0, at) + "server = 10," + refused + "\n" + text.substr(text.find('\n', at) + 1);
    CliRun down =
        zemhost({"--config", writeConfig(allDown, "down.conf"), "run", "--requests", dir.file("requests.jsonl")});
    EXPECT_EQ(countOf(down.err, "NVWSO0092E"), 1u) << down.err;
    EXPECT_THAT(down.err, HasSubstr("Every endpoint of the cluster is down"));
}

}  // namespace
}  // namespace kova_test
