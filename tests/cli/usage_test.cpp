// The command line as a user meets it: usage errors, help, the configuration file and obfuscation.
#include <gtest/gtest.h>

#include "cli/cli_fixture.h"
#include "qzz/qzz.h"

namespace {

using kova_test::CliFixture;
using kova_test::CliRun;

class Usage : public CliFixture {};

TEST_F(Usage, BadArgumentsExitTwoWithOneLineSayingWhatIsWrongThenUsage) {
    std::string config = writeConfig("[kova-eas]\n");
    struct Case {
        std::vector<std::string> args;
        std::string complaint;
    };
    const Case cases[] = {
        {{"--config", config}, "a subcommand is required"},
        {{"--config", config, "frobnicate"}, "frobnicate"},
        {{"--config", config, "init", "--bogus"}, "--bogus"},
        {{"--config", config, "decide", "--operation", "r"}, "--resource"},
        {{"--config", config, "decide", "--resource", "/a/b/c", "--operation", "r", "--cred", "alice"}, "NAME=VALUE"},
        {{"--config", config, "run", "--requests", "x.jsonl", "--threads", "0"}, "--threads"},
        {{"--config", config, "--trace-level", "12", "init"}, "--trace-level"},
        {{"--config", config, "bench", "--requests", "x.jsonl", "--seconds", "-1"}, "--seconds"},
        {{"obfuscate"}, "TEXT"},
        {{"init"}, "--config FILE is required"},
    };
    for (const Case& c : cases) {
        CliRun run = zemhost(c.args);
        std::string shown = testing::PrintToString(c.args);
        EXPECT_EQ(run.code, 2) << shown << run.err;
        EXPECT_TRUE(run.out.empty()) << shown;
        std::vector<std::string> said = lines(run.err);
        ASSERT_GE(said.size(), 2u) << shown;
        EXPECT_TRUE(said[0].starts_with("zemhost: ")) << said[0];
        EXPECT_TRUE(contains(said[0], c.complaint)) << shown << " said " << said[0];
        EXPECT_TRUE(said[1].starts_with("Usage: zemhost")) << said[1];
    }
}

TEST_F(Usage, AMissingConfigurationFileIsNamedWhetherGivenOrFromTheEnvironment) {
    std::string missing = dir.file("absent.conf");
    CliRun given = zemhost({"--config", missing, "init"});
    EXPECT_EQ(given.code, 2);
    EXPECT_TRUE(contains(lines(given.err).at(0), missing)) << given.err;

    setenv("ZEM_CONFIG", missing.c_str(), 1);
    CliRun fromEnvironment = zemhost({"check-config"});
    EXPECT_EQ(fromEnvironment.code, 2);
    EXPECT_TRUE(contains(lines(fromEnvironment.err).at(0), missing)) << fromEnvironment.err;
}

TEST_F(Usage, TheConfigurationFileComesFromTheEnvironmentWhenNotGiven) {
    setenv("ZEM_CONFIG", writeConfig("[server]\nserver-name = s1\n").c_str(), 1);
    CliRun run = zemhost({"check-config"});
    EXPECT_EQ(run.code, 1) << run.err;
    EXPECT_TRUE(contains(run.out, "[kova-eas] trace-component: missing")) << run.out;
}

TEST_F(Usage, EverySubcommandExplainsItselfWithHelp) {
    for (const char* command : {"init", "decide", "explain", "run", "bench", "check-config", "obfuscate"}) {
        CliRun run = zemhost({command, "--help"});
        EXPECT_EQ(run.code, 0) << command << run.err;
        EXPECT_TRUE(contains(run.out, std::string("Usage: zemhost ") + command)) << run.out;
    }
    CliRun top = zemhost({"--help"});
    EXPECT_EQ(top.code, 0);
    EXPECT_TRUE(contains(top.out, "check-config")) << top.out;
}

TEST_F(Usage, AnObfuscatedValueReadsBackAsTheOriginalThroughTheHostReader) {
    const std::string secret = "p@ss w0rd=:é";
    CliRun run = zemhost({"obfuscate", secret});
    ASSERT_EQ(run.code, 0) << run.err;
    std::string value = lines(run.out).at(0);
    EXPECT_TRUE(value.starts_with("obf:")) << value;
    EXPECT_FALSE(contains(value, "w0rd"));

    std::string config = writeConfig("[kova-eas]\nbasic-auth-passwd = " + value + "\n");
    ZStanzaFileProperties_7_0_0 revealing(config.c_str(), 1);
    ZArrayList_7_0_0 values;
    revealing.getValues("kova-eas", "basic-auth-passwd", values, 0);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_STREQ(values.get(0).getChars(), secret.c_str());
}

}  // namespace
