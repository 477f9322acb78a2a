// cmake --install into a fresh prefix, the prefix moved elsewhere, and the installed tools run from there:
// nothing they load may come from the build tree.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "cli/cli_fixture.h"

namespace kova_test {
namespace {

namespace fs = std::filesystem;

class Install : public CliFixture {
protected:
    std::string prefix;  // the installed tree, after the move

    void SetUp() override {
        CliFixture::SetUp();
        std::string staged = dir.file("staged");
        const char* cmake = std::getenv("KOVA_CMAKE");
        CliRun install = runTool({cmake ? cmake : "/usr/bin/cmake", "--install", buildDir(), "--prefix", staged});
        ASSERT_EQ(install.code, 0) << install.out << install.err;
        prefix = dir.file("moved/kova");
        fs::create_directories(fs::path(prefix).parent_path());
        fs::rename(staged, prefix);
    }

    // The one file under the prefix whose name is `name`.
    std::string installed(const std::string& name) const {
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(prefix)) {
            if (entry.path().filename() == name) return entry.path().string();
        }
        ADD_FAILURE() << name << " is not installed under " << prefix;
        return "";
    }
};

TEST_F(Install, BinariesAndLibrariesFindEachOtherRelativeToThemselves) {
    for (const std::string name : {"zemhost", "refpdp", "libkova_eas.so", "libzemhost.so"}) {
        CliRun dynamic = runTool({"/usr/bin/readelf", "-d", installed(name)});
        ASSERT_EQ(dynamic.code, 0) << dynamic.err;
        EXPECT_THAT(dynamic.out, Not(HasSubstr(buildDir()))) << name << ":\n" << dynamic.out;
        EXPECT_THAT(dynamic.out, Not(HasSubstr(sourceDir()))) << name << ":\n" << dynamic.out;
        if (name != "libzemhost.so" && name != "refpdp") {
            EXPECT_TRUE(contains(dynamic.out, "(RUNPATH)") && contains(dynamic.out, "$ORIGIN")) << name << dynamic.out;
        }
    }
    for (const std::string name : {"zemhost", "libkova_eas.so"}) {
        CliRun libraries = runTool({"/usr/bin/ldd", installed(name)});
        const std::string resolved = "libzemhost.so => ";
        std::size_t at = libraries.out.find(resolved);
        ASSERT_NE(at, std::string::npos) << libraries.out;
        at += resolved.size();
        std::string found = libraries.out.substr(at, libraries.out.find(" (", at) - at);
        EXPECT_TRUE(fs::equivalent(found, installed("libzemhost.so"))) << name << " loads " << found;
    }
}

TEST_F(Install, InstalledToolsReportTheirVersionAndDecideWithTheInstalledPluginAndExamples) {
    CliRun version = runTool({installed("zemhost"), "--version"});
    EXPECT_EQ(version.code, 0) << version.err;
    std::vector<std::string> versionLines = lines(version.out);
    ASSERT_EQ(versionLines.size(), 2u) << version.out;
    EXPECT_TRUE(versionLines[0].starts_with("zemhost ") && versionLines[0].size() > 8) << version.out;
    EXPECT_EQ(versionLines[1], "plug-in: " + installed("libkova_eas.so"));
    CliRun pdpVersion = runTool({installed("refpdp"), "--version"});
    EXPECT_EQ(pdpVersion.out, "refpdp " + versionLines[0].substr(8) + "\n") << "one version for both tools";

    for (const std::string name : {"demo-requests.jsonl", "admin-guide.md"})
        EXPECT_TRUE(fs::is_regular_file(installed(name)));
    RefPdp pdp({"--rules", installed("policies.json")}, "127.0.0.1:0", installed("refpdp"));
    std::string config = writeConfig(exampleConfig(pdp.url(), "", installed("corvaned.conf")));
    CliRun init = runTool({installed("zemhost"), "--config", config, "init"});
    EXPECT_EQ(init.code, 0) << init.err;
    EXPECT_THAT(init.out, HasSubstr("service version: "));

    CliRun decide =
        runTool({installed("zemhost"), "--config", config, "decide", "--resource", "/Corvane/inst1/docs/handbook.html",
                 "--operation", "r", "--cred", "AZN_CRED_PRINCIPAL_NAME=alice", "--cred", "AZN_CRED_GROUPS=staff",
                 "--cred", "AUTHENTICATION_LEVEL=1", "--fail"});
    EXPECT_EQ(decide.code, 0) << decide.out << decide.err;
    EXPECT_THAT(decide.out, HasSubstr("permission: AZN_C_PERMITTED"));
}

}  // namespace
}  // namespace kova_test
