// The command line as a user meets it: usage errors, help, the configuration file and obfuscation.
#include <gtest/gtest.h>

#include "cli/cli_fixture.h"
#include "qzz/qzz.h"

namespace kova_test {
namespace {

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
        {{"status"}, "WORD"},
        {{"status", "0xzz"}, "not a status word"},
        {{"status", "0x12345678901234567"}, "not a status word"},
        {{"status", "--list", "0x1"}, "excludes"},
        {{"--config", config, "decide", "--resource", "/a/b/c", "--operation", "d"}, "unknown operation 'd'"},
        {{"--config", config, "explain", "--resource", "/a/b/c", "--operation", "rw"}, "unknown operation 'rw'"},
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
        EXPECT_THAT(said[0], HasSubstr(c.complaint)) << shown << " said " << said[0];
        EXPECT_TRUE(said[1].starts_with("Usage: zemhost")) << said[1];
    }
}

TEST_F(Usage, TheConfigurationFileComesFromTheOptionOrTheEnvironmentAndAMissingOneIsNamed) {
    std::string missing = dir.file("absent.conf");
    CliRun given = zemhost({"--config", missing, "init"});
    EXPECT_EQ(given.code, 2);
    EXPECT_THAT(lines(given.err).at(0), HasSubstr(missing)) << given.err;

    setenv("ZEM_CONFIG", missing.c_str(), 1);
    CliRun fromEnvironment = zemhost({"check-config"});
    EXPECT_EQ(fromEnvironment.code, 2);
    EXPECT_THAT(lines(fromEnvironment.err).at(0), HasSubstr(missing)) << fromEnvironment.err;

    setenv("ZEM_CONFIG", writeConfig("[server]\nserver-name = s1\n").c_str(), 1);
    CliRun read = zemhost({"check-config"});
    EXPECT_EQ(read.code, 1) << read.err;
    EXPECT_THAT(read.out, HasSubstr("[kova-eas] trace-component: missing"));
}

TEST_F(Usage, EverySubcommandExplainsItselfWithHelp) {
    for (const char* command : {"init", "decide", "explain", "run", "bench", "check-config", "obfuscate", "status"}) {
        CliRun run = zemhost({command, "--help"});
        EXPECT_EQ(run.code, 0) << command << run.err;
        EXPECT_THAT(run.out, HasSubstr(std::string("Usage: zemhost ") + command));
    }
    CliRun top = zemhost({"--help"});
    EXPECT_EQ(top.code, 0);
    EXPECT_THAT(top.out, HasSubstr("check-config"));
}

TEST_F(Usage, AnObfuscatedValueReadsBackAsTheOriginalThroughTheHostReaderAndBadSecretsAreRefused) {
    const std::string secret = "p@ss w0rd=:é";
    CliRun run = zemhost({"obfuscate"}, secret + "\r\nsecond line ignored\n");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, zemhost({"obfuscate", secret}).out) << "standard input and the argument agree";
    std::string value = lines(run.out).at(0);
    EXPECT_TRUE(value.starts_with("obf:")) << value;
    EXPECT_THAT(value, Not(HasSubstr("w0rd")));

    std::string config = writeConfig("[kova-eas]\nbasic-auth-passwd = " + value + "\n");
    ZStanzaFileProperties_7_0_0 revealing(config.c_str(), 1);
    ZArrayList_7_0_0 values;
    revealing.getValues("kova-eas", "basic-auth-passwd", values, 0);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_STREQ(values.get(0).getChars(), secret.c_str());

    // An empty or overlong secret on standard input is refused.
    for (const std::string& input : {std::string(), std::string("\n"), std::string(64 * 1024 + 1, 'x')}) {
        CliRun run = zemhost({"obfuscate"}, input);
        EXPECT_EQ(run.code, 1) << input.size();
        EXPECT_TRUE(run.out.empty()) << run.out.substr(0, 80);
        EXPECT_THAT(run.err, HasSubstr("zemhost: "));
    }
}

TEST_F(Usage, StatusExplainsMajorAndMinorOrSaysTheCodeIsUnknown) {
    struct Case {
        std::string word;
        int code;
        std::vector<std::string> said;
    };
    const Case cases[] = {
        {"0x138ad5003", 0, {"major 1 AZN_S_FAILURE", "minor 0x38ad5003 NVWSOAP_S_TRANSPORT (host SOAP cluster)"}},
        {"38ad5013", 0, {"major 0: none", "minor 0x38ad5013 NVWSOAP_S_BAD_SETTING"}},
        {"0x11005b3a6", 0, {"KOVA_MISSING_ENTRY (plug-in start-up)", "QLXBA0303E"}},
        {"0x138ad5102", 0, {"ZQZ_S_BAD_OBFUSCATED_VALUE"}},
        {"0x1C00000000", 0, {"major 28 AZN_S_INVALID_PERMISSION_REF", "minor 0x0: no further detail"}},
        {"0x0", 0, {"major 0 AZN_S_COMPLETE (framework): success"}},
        {"0x1deadbeef", 1, {"major 1 AZN_S_FAILURE", "minor 0xdeadbeef: not a code of the plug-in or its host"}},
        {"0x6300000000", 1, {"major 99: not a framework code"}},
    };
    for (const Case& c : cases) {
        CliRun run = zemhost({"status", c.word});
        EXPECT_EQ(run.code, c.code) << c.word << run.err;
        for (const std::string& part : c.said) EXPECT_THAT(run.out, HasSubstr(part)) << c.word << ": " << run.out;
    }
}

// The guide's table is the one zemhost prints from the codes the host and plug-in return.
TEST_F(Usage, TheAdministratorsGuideListsEveryStatusCode) {
    CliRun table = zemhost({"status", "--list"});
    ASSERT_EQ(table.code, 0) << table.err;
    EXPECT_GT(lines(table.out).size(), 20u);
    EXPECT_THAT(readFile(sourceDir() + "/docs/admin-guide.md"), HasSubstr(table.out))
        << "paste the output of `zemhost status --list` into docs/admin-guide.md:\n"
        << table.out;
}

}  // namespace
}  // namespace kova_test
