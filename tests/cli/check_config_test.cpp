// check-config on real configuration files, with a real refpdp as the endpoint that answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "cli/cli_fixture.h"
#include "nvwebrte/config_keys.h"

namespace kova_test {
namespace {

class CheckConfig : public CliFixture {
protected:
    CliRun check(const std::string& configText) {
        return zemhost({"--config", writeConfig(configText), "check-config"});
    }

    std::vector<std::string> reported(const CliRun& run, const std::string& kind) {
        std::vector<std::string> found;
        for (const std::string& line : lines(run.out)) {
            if (line.starts_with("  " + kind + ": ")) found.push_back(line);
        }
        return found;
    }

    static bool anyHolds(const std::vector<std::string>& found, const std::string& text) {
        return std::any_of(found.begin(), found.end(), [&](const std::string& line) { return contains(line, text); });
    }
};

TEST_F(CheckConfig, TheExampleConfigurationIsCleanAgainstAnAnsweringEndpoint) {
    RefPdp pdp({});
    CliRun run = check(exampleConfig(pdp.url()));
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_TRUE(reported(run, "problem").empty()) << run.out;
    EXPECT_TRUE(reported(run, "warning").empty()) << run.out;
    EXPECT_THAT(run.out, HasSubstr("endpoint " + pdp.url() + " answers the health check"));
    EXPECT_THAT(run.out, HasSubstr("notice: a canned decision (/check-config/probe, read) took "));
    EXPECT_THAT(run.out, HasSubstr("no problems found"));
}

TEST_F(CheckConfig, ReportsEveryProblemAnAdministratorCanFix) {
    // clang-format off
    CliRun run = check(
        "[kova-eas]\n"
        "cluster-name = kova\n"
        "apply-zem-native-policy = perhaps\n"
        "server = ten,http://127.0.0.1:9/x\n"
        "server = 5,ftp://127.0.0.1/x\n"
        "server = 5,http://127.0.0.1:9/kova\n"
        "timeout = soon\n"
        "ssl-ca-file = " + dir.file("missing-ca.pem") + "\n"
        "this line is not an entry\n"
        "[server]\nserver-name = inst1\n"
        "[obligations-levels-mapping]\n"
        "urn:a = 2x\nurn:b = 0x100000000\nurn:c = high\nurn:d = 4294967295\n"
        "[user-attribute-definitions]\nurn:t.datatype = String\nurn:t.category = resource\n"
        "[zemhost-native-policy]\n/Corvane = maybe\n");
    // clang-format on
    EXPECT_EQ(run.code, 1) << run.out;
    const char* expected[] = {
        ":9: expected key = value",
        "[kova-eas] trace-component: missing; plug-in does not start without it",
        "[corvane-config] version: missing; plug-in does not start without it",
        "apply-zem-native-policy = perhaps: not yes or no",
        "timeout = soon: not a whole number from 1 to 3600",
        "server = ten,http://127.0.0.1:9/x: not PRIORITY,URL: the PDP cluster is not added (0x38ad5012)",
        "start-up fails (zemhost init): [zemhost-native-policy] /Corvane = maybe",
        "urn:a = 2x has characters after the number",
        "urn:b = 0x100000000 is beyond 32 bits",
        "urn:c = high is not a number",
        "urn:t.datatype = String is not a data type",
        "urn:t.category = resource is not a category",
        "[zemhost-native-policy] /Corvane = maybe: expected permit, deny, indifferent or eas",
    };
    std::vector<std::string> problems = reported(run, "problem");
    for (const char* text : expected) {
        EXPECT_THAT(run.out, HasSubstr(text)) << "missing: " << text << "\n" << run.out;
    }
    EXPECT_EQ(problems.size(), std::size(expected)) << run.out;
    for (const std::string& problem : problems)
        EXPECT_THAT(problem, Not(HasSubstr("urn:d"))) << "the largest 32-bit level converts";
    EXPECT_THAT(run.out, HasSubstr(std::to_string(std::size(expected)) + " problems found"));
}

// Warnings name what weakens security without making the check fail.
TEST_F(CheckConfig, WarnsOfThePermitOnFailureAndOfRawFieldsThatHoldMarkup) {
    RefPdp pdp({});
    std::string text = exampleConfig(pdp.url());
    text = replaced(text, "permit-when-no-kova-available = no", "permit-when-no-kova-available = Yes");
    text = replaced(text, "server-name = corvane-inst1", "server-name = inst<1>");
    text = replaced(text, "version = 10.0.6", "version = 10&6");
    text = replaced(text, "context-id = context-server-name", "context-id = policy\"set'");
    text = replaced(text, "timeout = 5", "timeout = 30");
    CliRun run = check(text);
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    std::vector<std::string> warnings = reported(run, "warning");
    ASSERT_EQ(warnings.size(), 5u) << run.out;
    EXPECT_THAT(warnings[4], HasSubstr("[kova-eas] timeout = 30: an endpoint that stops answering holds each decision "
                                       "up to 30 seconds"));
    EXPECT_THAT(run.err, HasSubstr("check-config: probing " + pdp.url())) << "one progress line per endpoint";
    EXPECT_THAT(warnings[0], HasSubstr("[kova-eas] permit-when-no-kova-available = Yes: every request is permitted "
                                       "whenever no PDP answer is read"));
    EXPECT_THAT(warnings[1], HasSubstr("[server] server-name = inst<1> holds < & \" or ': it goes into every request "
                                       "document unescaped"));
    EXPECT_THAT(warnings[2], HasSubstr("[corvane-config] version = 10&6 holds"));
    EXPECT_THAT(warnings[3], HasSubstr("[kova-eas] context-id = policy\"set' holds"));
    EXPECT_THAT(run.out, HasSubstr("no problems found"));
}

TEST_F(CheckConfig, ObligationMappingsThatOnlyInformAreNoticesNotProblems) {
    RefPdp pdp({});
    CliRun run = check(exampleConfig(pdp.url(), "[obligations-levels-mapping]\n"
                                                "urn:oxa:security:authentication:obligation:login = 2\n"
                                                "[obligations-urls-mapping]\n"
                                                "urn:oxa:security:authentication:obligation:consent:* = /elsewhere\n"));
    EXPECT_EQ(run.code, 0) << run.out;
    std::vector<std::string> notices = reported(run, "notice");
    auto noticed = [&](const std::string& text) { return anyHolds(notices, text); };
    EXPECT_TRUE(
        noticed("urn:oxa:security:authentication:obligation:login = 2 is never used: "
                "[obligations-urls-mapping] urn:oxa:security:authentication:obligation:login = /login/index.html"))
        << run.out;
    EXPECT_TRUE(noticed("urn:oxa:security:authentication:obligation:login = 2 shares its level with "
                        "urn:oxa:security:authentication:obligation:otp"))
        << run.out;
    EXPECT_TRUE(noticed("consent:* = /elsewhere repeats a name: the first entry is used")) << run.out;
    EXPECT_TRUE(noticed("obligation urn:oxa:security:authentication:obligation:otp asks for a step-up to level 2 "
                        "(no redirect URL is mapped to it)"))
        << run.out;
    EXPECT_NE(std::find(notices.begin(), notices.end(),
                        "  notice: obligation urn:oxa:security:authentication:obligation:login redirects to "
                        "/login/index.html"),
              notices.end())
        << "it has a level too, so no remark about a missing one\n"
        << run.out;
}

TEST_F(CheckConfig, AnEndpointThatDoesNotAnswerIsAProblemEvenWhenTheRestIsClean) {
    LoopbackSocket refusing;
    std::string url = refusing.url();
    CliRun run = check(exampleConfig(url));
    EXPECT_EQ(run.code, 1) << run.out;
    std::vector<std::string> problems = reported(run, "problem");
    ASSERT_EQ(problems.size(), 2u) << run.out;
    EXPECT_THAT(problems[0], HasSubstr("a canned decision (/check-config/probe, read) took "));
    EXPECT_THAT(problems[0], HasSubstr(" ms: error-page"));
    EXPECT_THAT(problems[1], HasSubstr("endpoint " + url + " does not answer"));
}

// Each endpoint gets the cluster's own health check and, when that answers, a canned decision through
// it alone; one progress line each shows which endpoint is being waited for.
TEST_F(CheckConfig, ChecksEachEndpointWithTheHealthCheckAndACannedDecisionOfItsOwn) {
    RefPdp answering({});
    RefPdp slow({"--delay-ms", "30000"});  // answers the health check, but no decision within the time-out
    LoopbackSocket hung;                   // a PDP that has hung: the kernel completes connections, nobody answers
    hung.listen();
    std::string text = replaced(exampleConfig(answering.url()), "timeout = 5", "timeout = 1");
    CliRun run = check(text + "[kova-eas]\nserver = 5," + slow.url() + "\nserver = 4," + hung.url() + "\n");
    EXPECT_EQ(run.code, 1) << run.out;
    std::vector<std::string> notices = reported(run, "notice"), problems = reported(run, "problem");
    EXPECT_TRUE(anyHolds(notices, "endpoint " + answering.url() + " answers the health check")) << run.out;
    EXPECT_TRUE(
        anyHolds(notices, "endpoint " + answering.url() + ": a canned decision (/check-config/probe, read) took "))
        << run.out;
    EXPECT_TRUE(anyHolds(notices, " ms: permit (serves the resource)")) << run.out;
    EXPECT_TRUE(anyHolds(notices, "endpoint " + slow.url() + " answers the health check")) << run.out;
    EXPECT_TRUE(anyHolds(problems, "endpoint " + slow.url() + ": a canned decision")) << run.out;
    EXPECT_TRUE(anyHolds(problems,
                         "endpoint " + hung.url() + " does not answer the health check: 0x38ad541f KOVA_PING_NO_READ"))
        << run.out;
    EXPECT_FALSE(anyHolds(notices, "endpoint " + hung.url() + ": a canned decision"))
        << "no decision after a failed check";
    EXPECT_FALSE(anyHolds(problems, "endpoint " + hung.url() + ": a canned decision")) << run.out;
    ASSERT_EQ(problems.size(), 2u) << "the decision through the cluster's choice answers\n" << run.out;
    std::size_t first = run.err.find("check-config: probing " + answering.url());
    std::size_t last = run.err.find("check-config: probing " + hung.url());
    EXPECT_NE(first, std::string::npos) << run.err;
    EXPECT_NE(last, std::string::npos) << run.err;
    EXPECT_LT(first, last) << run.err;
    EXPECT_THAT(run.err, HasSubstr("each at most 1 s"));
}

// One broken file each: check-config fails and names the entry, and start-up (`zemhost init`) either
// fails or warns naming the same entry. The first eight rows are the eight realistic mistakes.
struct BrokenFile {
    const char* mistake;
    const char* from;  // text of the example configuration to replace; "" appends `to`
    const char* to;
    const char* checkSays;              // in check-config's problems
    const char* startUpSays = nullptr;  // in init's output; null: the same text
};

const BrokenFile BROKEN_FILES[] = {
    {"misspelled key", "permit-when-no-kova-available = no", "permit-when-no-kova-availble = yes",
     "[kova-eas] permit-when-no-kova-availble: unknown key (did you mean permit-when-no-kova-available?)",
     "permit-when-no-kova-availble: unknown key (did you mean permit-when-no-kova-available?)"},
    {"misspelled timeout", "timeout = 5", "timout = 5", "[kova-eas] timout: unknown key (did you mean timeout?)",
     "timout: unknown key"},
    {"misspelled stanza", "[obligations-urls-mapping]", "[obligation-urls-mapping]",
     "[obligation-urls-mapping]: unknown stanza (did you mean obligations-urls-mapping?)",
     "[obligation-urls-mapping]: unknown stanza"},
    {"bad redirect URL", "= /login/index.html", "= login page.html",
     "urn:oxa:security:authentication:obligation:login = login page.html: not a URL"},
    {"repeated timeout", "timeout = 5", "timeout = 5\ntimeout = 5", "[kova-eas] timeout: given more than once"},
    {"undecodable obf:", "timeout = 5", "timeout = 5\nbasic-auth-user = u\nbasic-auth-passwd = obf:====",
     "basic-auth-passwd: the text after obf: is not base64"},
    {"server URL with one slash", "timeout = 5", "timeout = 5\nserver = 10,http:/127.0.0.1:47001/kova",
     "server = 10,http:/127.0.0.1:47001/kova: the URL has not an http or https URL"},
    {"ssl-verify-peer not a boolean", "timeout = 5", "timeout = 5\nssl-verify-peer = nope",
     "ssl-verify-peer = nope: not yes or no"},
    {"obf: in a plug-in setting", "apply-zem-native-policy = yes", "apply-zem-native-policy = obf:eWVz",
     "apply-zem-native-policy = obf:eWVz: obf: is not decoded for this key (plug-in reads it as written)",
     "QLXBA0304E"},
    {"largest int timeout", "timeout = 5", "timeout = 2147483647",
     "timeout = 2147483647: not a whole number from 1 to 3600"},
    {"no handles", "max-handles = 16", "max-handles = 0", "max-handles = 0: not a whole number from 1 to 1024"},
    {"hexadecimal interval", "health-check-interval = 30", "health-check-interval = 0x1e",
     "health-check-interval = 0x1e: not a whole number"},
    {"tiny answer limit", "timeout = 5", "timeout = 5\nmax-response-size = 1023",
     "max-response-size = 1023: not a whole number from 1024"},
    {"ftp endpoint", "server = 10,", "server = 10,ftp://127.0.0.1/x\nserver = 9,",
     "the URL has not an http or https URL"},
    {"client-address switch not a boolean", "use_real_client_ip = yes", "use_real_client_ip = sometimes",
     "use_real_client_ip = sometimes: not yes or no"},
    {"obf: in an optional plug-in switch", "provide_700_attribute_ids = no",
     "provide_700_attribute_ids = obf:bm8=", "provide_700_attribute_ids = obf:bm8=: obf: is not decoded"},
    {"serve threads out of range", "", "threads = 0\n",
     "[zemhost-serve] threads = 0: not a whole number from 1 to 256"},
    {"serve style unknown", "", "style = fancy\n", "[zemhost-serve] style = fancy: not one of standard,nginx"},
    {"native policy word", "/Corvane/inst1/maintenance = deny", "/Corvane/inst1/maintenance = maybe",
     "/Corvane/inst1/maintenance = maybe"},
    {"misspelled stanza of the plug-in", "", "[kova-esa]\ntimeout = 5\n",
     "[kova-esa]: unknown stanza (did you mean kova-eas?)"},
};

// A file without one of the declaration's required keys is broken the same way, and start-up fails.
TEST_F(CheckConfig, CheckConfigAndStartUpGiveTheSameVerdictOnEveryBrokenFile) {
    RefPdp pdp({});
    const std::string example = exampleConfig(pdp.url());
    CliRun clean = check(example);
    ASSERT_EQ(clean.code, 0) << clean.out << clean.err;
    CliRun cleanStart = zemhost({"--config", writeConfig(example), "init"});
    ASSERT_EQ(cleanStart.code, 0) << cleanStart.err;
    ASSERT_THAT(cleanStart.err, Not(HasSubstr("warning:")));
    auto expectBroken = [&](const std::string& text, const std::string& checkSays, const std::string& startUpSays) {
        std::string config = writeConfig(text);
        CliRun checked = zemhost({"--config", config, "check-config"});
        CliRun started = zemhost({"--config", config, "init"});
        EXPECT_EQ(checked.code, 1) << checked.out;
        EXPECT_TRUE(anyHolds(reported(checked, "problem"), checkSays)) << checked.out;
        EXPECT_TRUE(started.code != 0 || contains(started.err, "warning:")) << started.err;
        EXPECT_THAT(started.err, HasSubstr(startUpSays));
        return started.code;
    };
    for (const BrokenFile& broken : BROKEN_FILES) {
        SCOPED_TRACE(broken.mistake);
        std::string text = *broken.from ? replaced(example, broken.from, broken.to) : example + broken.to;
        expectBroken(text, broken.checkSays, broken.startUpSays ? broken.startUpSays : broken.checkSays);
    }
    for (const zem::ConfigKey& key : zem::configKeys()) {
        if (!key.required) continue;
        SCOPED_TRACE(std::string("without ") + key.key);
        std::size_t line = example.find("\n" + std::string(key.key) + " = ");
        ASSERT_NE(line, std::string::npos);
        std::string text = example;
        EXPECT_NE(expectBroken(text.erase(line, text.find('\n', line + 1) - line), key.key, key.key), 0)
            << "a warning is not enough: the plug-in cannot start";
    }
}

// The administrator's guide's key tables hold exactly the declared keys, with their ranges and defaults.
std::vector<std::string> guideSection(const std::string& guide, const std::string& heading) {
    std::vector<std::string> rows;
    std::size_t at = guide.find("\n" + heading + "\n");
    EXPECT_NE(at, std::string::npos) << heading;
    std::istringstream lines(at == std::string::npos ? "" : guide.substr(at + heading.size() + 2));
    for (std::string line; std::getline(lines, line) && !line.starts_with("#");)
        if (line.starts_with("| `")) rows.push_back(line);
    return rows;
}

std::string firstCell(const std::string& row) { return row.substr(2, row.find(" |", 2) - 2); }

TEST_F(CheckConfig, TheGuidesKeyTablesMatchTheDeclaration) {
    std::string guide = readFile(sourceDir() + "/docs/admin-guide.md");
    const std::pair<const char*, const char*> sections[] = {{"kova-eas", "### `[kova-eas]`"},
                                                            {"zemhost-serve", "### `[zemhost-serve]`"}};
    std::vector<std::string> proxyRows = guideSection(guide, "### Proxy stanzas the plug-in reads");
    std::size_t proxyKeys = 0;
    for (const zem::ConfigKey& key : zem::configKeys()) {
        SCOPED_TRACE(std::string(key.stanza) + " " + key.key);
        if (std::string(key.key) == "*") {
            EXPECT_THAT(guide, HasSubstr(std::string("[") + key.stanza + "]"));
            continue;
        }
        const char* heading = nullptr;
        for (const auto& [stanza, title] : sections)
            if (std::string(stanza) == key.stanza) heading = title;
        std::vector<std::string> rows = heading ? guideSection(guide, heading) : proxyRows;
        std::string cell =
            heading ? "`" + std::string(key.key) + "`" : "`[" + std::string(key.stanza) + "]` | `" + key.key + "`";
        auto row =
            std::find_if(rows.begin(), rows.end(), [&](const std::string& line) { return contains(line, cell); });
        ASSERT_NE(row, rows.end()) << cell;
        proxyKeys += heading ? 0 : 1;
        if (key.type == zem::KeyType::Number) {
            EXPECT_THAT(*row, HasSubstr(std::to_string(key.minimum) + " to " + std::to_string(key.maximum)));
            EXPECT_THAT(*row, HasSubstr(key.fallback));
        }
    }
    EXPECT_EQ(proxyRows.size(), proxyKeys) << "a proxy stanza key in the guide that no reader declares";
    for (const auto& [stanza, title] : sections) {
        for (const std::string& row : guideSection(guide, title)) {
            std::string names = firstCell(row);
            for (std::size_t at = names.find('`'); at != std::string::npos;
                 at = names.find('`', names.find('`', at + 1) + 1)) {
                std::string name = names.substr(at + 1, names.find('`', at + 1) - at - 1);
                EXPECT_NE(zem::findConfigKey(stanza, name), nullptr)
                    << "[" << stanza << "] " << name << " in the guide";
            }
        }
    }
}

// An https endpoint's certificate that expires within a month is a warning, with the days left.
TEST_F(CheckConfig, WarnsOfAPdpCertificateThatExpiresSoon) {
    std::string key = dir.file("pdp.key"), certificate = dir.file("pdp.pem");
    ASSERT_EQ(makeSelfSignedCertificate(key, certificate, 2), "");
    RefPdp pdp({"--tls-cert", certificate, "--tls-key", key});
    CliRun run = check(exampleConfig(pdp.url(), "[kova-eas]\nssl-ca-file = " + certificate + "\n"));
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    std::vector<std::string> warnings = reported(run, "warning");
    ASSERT_EQ(warnings.size(), 1u) << run.out;
    std::string prefix = "endpoint " + pdp.url() + ": its certificate expires in ";
    EXPECT_TRUE(contains(warnings[0], prefix + "1 days") || contains(warnings[0], prefix + "2 days")) << warnings[0];
}

}  // namespace
}  // namespace kova_test
