// zemhost init: the plug-in loaded with dlopen, started and shut down as the proxy does it.
#include <gtest/gtest.h>

#include "cli/cli_fixture.h"

namespace kova_test {
namespace {

class Init : public CliFixture {
protected:
    // Nothing needs to answer for a start-up: the cluster only registers its endpoints.
    std::string exampleWithoutPdp() const {
        return exampleConfig("http://127.0.0.1:9/kova/authz/services/AuthzService");
    }
};

TEST_F(Init, StartsTheExampleConfigurationAndPrintsTheServiceVersionBetweenTheMessages) {
    CliRun run = zemhost({"--config", writeConfig(exampleWithoutPdp()), "init"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "service version: ZEM KOVA External Authorization Server v1.0\n");
    std::size_t starting = run.err.find("QLXBA0301I");
    std::size_t stopping = run.err.find("QLXBA0302I");
    ASSERT_NE(starting, std::string::npos) << run.err;
    ASSERT_NE(stopping, std::string::npos) << run.err;
    EXPECT_LT(starting, stopping);
}

TEST_F(Init, WithoutTraceComponentOrALoadablePluginFailsWithTheReason) {
    std::string config = exampleWithoutPdp();
    config = replaced(config, "trace-component = kova-eas\n", "");
    CliRun run = zemhost({"--config", writeConfig(config), "init"});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_THAT(run.err, HasSubstr("QLXBA0303E"));
    EXPECT_THAT(run.err, HasSubstr("major 1, minor 0x1005b3a6"));
    EXPECT_THAT(run.err, HasSubstr("QLXBA0302I")) << "shutdown releases what a failed start-up set up";

    std::string notALibrary = writeConfig("not a library", "libfake.so");
    CliRun unloadable = zemhost({"--config", writeConfig(exampleWithoutPdp()), "--plugin", notALibrary, "init"});
    EXPECT_EQ(unloadable.code, 1) << "a plug-in that cannot be loaded is a failure, not a usage error";
    EXPECT_THAT(unloadable.err, HasSubstr("zemhost: cannot load the plug-in"));
}

TEST_F(Init, MessagesAndTraceGoWhereTheGlobalOptionsSay) {
    std::string messages = dir.file("messages.log");
    std::string trace = dir.file("trace.log");
    CliRun run = zemhost({"--config", writeConfig(exampleWithoutPdp()), "--message-file", messages, "--trace-level",
                          "9", "--trace-file", trace, "init"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_THAT(run.err, Not(HasSubstr("QLXBA0301I")));
    EXPECT_THAT(readFile(messages), HasSubstr("QLXBA0301I"));
    std::string traced = readFile(trace);
    EXPECT_THAT(traced, HasSubstr(" kova-eas ")) << "the trace-component names the lines";
    EXPECT_THAT(traced, HasSubstr("Enter KOVAModule::initialize"));

    // Named levels: "debug" is 9, "error" only 1 (no entry and exit lines).
    for (const auto& [level, entered] : {std::pair{"debug", true}, std::pair{"error", false}}) {
        std::string named = dir.file(std::string(level) + ".log");
        CliRun run = zemhost(
            {"--config", writeConfig(exampleWithoutPdp()), "--trace-level", level, "--trace-file", named, "init"});
        EXPECT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(contains(readFile(named), "Enter KOVAModule::initialize"), entered) << level;
    }
    EXPECT_EQ(zemhost({"--config", writeConfig(exampleWithoutPdp()), "--trace-level", "loud", "init"}).code, 2);
}

}  // namespace
}  // namespace kova_test
