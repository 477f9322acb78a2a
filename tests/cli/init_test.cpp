// zemhost init: the plug-in loaded with dlopen, started and shut down as the proxy does it.
#include <gtest/gtest.h>

#include "cli/cli_fixture.h"

namespace {

using kova_test::CliFixture;
using kova_test::CliRun;

class Init : public CliFixture {
protected:
    // Nothing needs to answer for a start-up: the cluster only registers its endpoints.
    std::string exampleWithoutPdp() const { return exampleConfig("http://127.0.0.1:9/kova/authz/services/AuthzService"); }
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

TEST_F(Init, WithoutTraceComponentFailsWithMajorAndMinorAndStillShutsDown) {
    std::string config = exampleWithoutPdp();
    config = replaced(config, "trace-component = kova-eas\n", "");
    CliRun run = zemhost({"--config", writeConfig(config), "init"});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_TRUE(contains(run.err, "QLXBA0303E")) << run.err;
    EXPECT_TRUE(contains(run.err, "major 1, minor 0x1005b3a6")) << run.err;
    EXPECT_TRUE(contains(run.err, "QLXBA0302I")) << "shutdown releases what a failed start-up set up";
}

TEST_F(Init, MessagesAndTraceGoWhereTheGlobalOptionsSay) {
    std::string messages = dir.file("messages.log");
    std::string trace = dir.file("trace.log");
    CliRun run = zemhost({"--config", writeConfig(exampleWithoutPdp()), "--message-file", messages, "--trace-level", "9",
                          "--trace-file", trace, "init"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_FALSE(contains(run.err, "QLXBA0301I")) << run.err;
    EXPECT_TRUE(contains(kova_test::readFile(messages), "QLXBA0301I"));
    std::string traced = kova_test::readFile(trace);
    EXPECT_TRUE(contains(traced, " kova-eas ")) << "the trace-component names the lines";
    EXPECT_TRUE(contains(traced, "Enter KOVAModule::initialize")) << traced.substr(0, 2000);

    // Named levels: "debug" is 9, "error" only 1 (no entry and exit lines).
    for (const auto& [level, entered] : {std::pair{"debug", true}, std::pair{"error", false}}) {
        std::string named = dir.file(std::string(level) + ".log");
        CliRun run = zemhost({"--config", writeConfig(exampleWithoutPdp()), "--trace-level", level, "--trace-file", named, "init"});
        EXPECT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(contains(kova_test::readFile(named), "Enter KOVAModule::initialize"), entered) << level;
    }
    EXPECT_EQ(zemhost({"--config", writeConfig(exampleWithoutPdp()), "--trace-level", "loud", "init"}).code, 2);
}

TEST_F(Init, APluginThatCannotBeLoadedIsAFailureNotAUsageError) {
    std::string notALibrary = writeConfig("not a library", "libfake.so");
    CliRun run = zemhost({"--config", writeConfig(exampleWithoutPdp()), "--plugin", notALibrary, "init"});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.err, "zemhost: cannot load the plug-in")) << run.err;
}

}  // namespace
