// Running the real zemhost binary the way a user does, with configurations in a fresh folder and,
// for decisions, a real refpdp on loopback.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace kova_test {

struct CliRun {
    int code = -1;
    std::string out;
    std::string err;
};

// What refpdp answers, by the resource path the plug-in sends (the protected object less its first two
// components); the first matching rule decides. Obligations are those of examples/corvaned.conf.
inline const char* CLI_RULES = R"({
  "default": "NotApplicable",
  "rules": [
    {"resource-prefix": "/docs", "group": "staff", "effect": "Permit"},
    {"resource-prefix": "/docs", "effect": "Deny"},
    {"resource-prefix": "/payroll", "effect": "Permit",
     "obligation": "urn:oxa:security:authentication:obligation:otp", "transaction-id": true},
    {"resource-prefix": "/account", "effect": "Deny",
     "obligation": "urn:oxa:security:authentication:obligation:login", "transaction-id": true},
    {"resource-prefix": "/consent", "effect": "Permit",
     "obligation": "urn:oxa:security:authentication:obligation:consent:marketing", "transaction-id": true},
    {"resource-prefix": "/orphan", "effect": "Permit", "obligation": "urn:example:unmapped"}
  ]})";

class CliFixture : public ::testing::Test {
protected:
    TempDir dir;

    void SetUp() override { unsetenv("ZEM_CONFIG"); }

    static std::string zemhostPath() { return buildDir() + "/zemhost"; }

    // A command with what it prints kept apart from its messages.
    static CliRun runTool(const std::vector<std::string>& argv, const std::string& stdinText = "") {
        CliRun result;
        result.code = runCommand(argv, &result.out, &result.err, stdinText);
        return result;
    }

    // The build tree's zemhost.
    static CliRun zemhost(std::vector<std::string> args, const std::string& stdinText = "") {
        args.insert(args.begin(), zemhostPath());
        return runTool(args, stdinText);
    }

    // examples/corvaned.conf (or the installed copy `example`) pointed at `pdpUrl`, auditing into this test's
    // folder, plus `extra` lines.
    std::string exampleConfig(const std::string& pdpUrl, const std::string& extra = "",
                              const std::string& example = "") const {
        return exampleConfigFor(pdpUrl, dir.file("audit.log"), example) + extra;
    }

    std::string writeConfig(const std::string& text, const std::string& name = "corvaned.conf") const {
        writeFile(dir.file(name), text);
        return dir.file(name);
    }
};

// A fixture with refpdp answering CLI_RULES and a configuration pointing at it.
class CliDecisionFixture : public CliFixture {
protected:
    std::unique_ptr<RefPdp> pdp;
    std::string config;

    void SetUp() override {
        CliFixture::SetUp();
        writeFile(dir.file("rules.json"), CLI_RULES);
        pdp = std::make_unique<RefPdp>(std::vector<std::string>{"--rules", dir.file("rules.json")});
        config = writeConfig(exampleConfig(pdp->url()));
    }

    // Credentials of a user in one group, as the proxy passes them.
    static std::vector<std::string> userOptions(const std::string& user, const std::string& group) {
        return {"--cred", "AZN_CRED_PRINCIPAL_NAME=" + user, "--cred", "AZN_CRED_GROUPS=" + group,
                "--cred", "AUTHENTICATION_LEVEL=1"};
    }

    nlohmann::json decideJson(const std::string& object, const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> args{"--config", config, "decide", "--json", "--resource", object, "--operation", "r"};
        args.insert(args.end(), extra.begin(), extra.end());
        CliRun run = zemhost(args);
        EXPECT_EQ(run.code, 0) << run.err;
        return nlohmann::json::parse(run.out, nullptr, false);
    }
};

}  // namespace kova_test
