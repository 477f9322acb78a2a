// The shipped examples work together: corvaned.conf, policies.json and demo-requests.jsonl through
// zemhost run against refpdp show every outcome the demo promises.
#include <gtest/gtest.h>

#include "cli/cli_fixture.h"

namespace kova_test {
namespace {

class Examples : public CliFixture {};

TEST_F(Examples, DemoRequestsAgainstTheExamplePoliciesShowEveryOutcome) {
    RefPdp pdp({"--rules", sourceDir() + "/examples/policies.json"});
    std::string config = writeConfig(exampleConfig(pdp.url()));
    CliRun run = zemhost(
        {"--config", config, "run", "--requests", sourceDir() + "/examples/demo-requests.jsonl", "--threads", "3"});
    EXPECT_EQ(run.code, 0) << run.err;
    const std::vector<std::string> expected = {
        "permit",    // a staff member reads a document
        "deny",      // the user the policy names is denied
        "deny",      // staff may read, not write
        "deny",      // another group: the PDP finds no policy (NotApplicable)
        "step-up",   // payroll wants level 2 from a level-1 user
        "permit",    // ... and serves a user already at level 2
        "redirect",  // the account pages send the user to the login page
        "redirect",  // consent pages go by the wildcard mapping
        "deny",      // nothing applies to the archive
        "deny",      // the proxy's own policy closes maintenance pages
    };
    std::vector<std::string> said = lines(run.out);
    ASSERT_EQ(said.size(), expected.size()) << run.out << run.err;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        nlohmann::json answer = nlohmann::json::parse(said[i]);
        EXPECT_EQ(answer["outcome"], expected[i]) << "line " << i + 1 << ": " << said[i];
    }
    EXPECT_THAT(said[6], HasSubstr("location: /login/index.html?TransactionId="));
    EXPECT_THAT(said[7], HasSubstr("location: /consent/review.html?TransactionId="));
}

}  // namespace
}  // namespace kova_test
