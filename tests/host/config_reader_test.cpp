// The host's stanza configuration file: entries, stanzas, qualifiers, obfuscation and malformed lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "nvwebrte/nvwebrte.h"
#include "nvwebrte/stanza_file.h"
#include "qzz/qzz.h"
#include "support/test_support.h"

namespace {

std::vector<std::string> entryValues(const std::string& file, const char* stanza, const char* qualifier,
                                     const char* key) {
    char** values = nullptr;
    std::vector<std::string> found;
    if (qzw_load_entry(file.c_str(), stanza, qualifier, key, &values, 0) == 1) {
        for (char** value = values; *value; ++value) found.emplace_back(*value);
        qzw_release_entry_data(values);
    }
    return found;
}

class ConfigReader : public ::testing::Test {
protected:
    kova_test::TempDir dir;
    std::string path = dir.file("corvaned.conf");

    void write(const std::string& text) { kova_test::writeFile(path, text); }
};

TEST_F(ConfigReader, TrimsBlanksSkipsCommentsAndKeepsRepeatedKeysInFileOrder) {
    write("# comment\n; another\n\n[kova-eas]\n  trace-component =  kova  \nserver = 10,http://a\n"
          "server=20,http://b\nempty =\n[kova-eas]\nserver = 30,http://c\n");
    EXPECT_EQ(entryValues(path, "kova-eas", nullptr, "trace-component"), std::vector<std::string>{"kova"});
    EXPECT_EQ(entryValues(path, "kova-eas", nullptr, "server"),
              (std::vector<std::string>{"10,http://a", "20,http://b", "30,http://c"}));
    EXPECT_EQ(entryValues(path, "kova-eas", nullptr, "empty"), std::vector<std::string>{""});
    EXPECT_TRUE(entryValues(path, "kova-eas", nullptr, "absent").empty());
    EXPECT_TRUE(entryValues(path, "other", nullptr, "server").empty());
}

TEST_F(ConfigReader, QualifierJoinsTheStanzaNameWithAColon) {
    write("[audit]\nlevel = plain\n[audit:strict]\nlevel = strict\n");
    EXPECT_EQ(entryValues(path, "audit", "strict", "level"), std::vector<std::string>{"strict"});
    EXPECT_EQ(entryValues(path, "audit", "", "level"), std::vector<std::string>{"plain"});
    EXPECT_EQ(entryValues(path, "audit", nullptr, "level"), std::vector<std::string>{"plain"});
}

TEST_F(ConfigReader, KeysAndStanzasAreCaseSensitive) {
    write("[Map]\nKey = upper\nkey = lower\n");
    EXPECT_EQ(entryValues(path, "Map", nullptr, "Key"), std::vector<std::string>{"upper"});
    EXPECT_EQ(entryValues(path, "Map", nullptr, "key"), std::vector<std::string>{"lower"});
    EXPECT_TRUE(entryValues(path, "map", nullptr, "key").empty());
}

TEST_F(ConfigReader, StanzaComesBackAsPairsInFileOrder) {
    write("[obligations-urls-mapping]\nstepup = /a\nlogin* = /b\n* = /c\n");
    qzw_stanza_pair_t* pairs = nullptr;
    ASSERT_NE(qzw_load_stanza(path.c_str(), "obligations-urls-mapping", 0, &pairs), 0);
    std::vector<std::string> seen;
    for (qzw_stanza_pair_t* pair = pairs; pair->name; ++pair)
        seen.push_back(std::string(pair->name) + "=" + pair->value);
    qzw_release_stanza_data(pairs);
    EXPECT_EQ(seen, (std::vector<std::string>{"stepup=/a", "login*=/b", "*=/c"}));
    EXPECT_EQ(qzw_load_stanza(path.c_str(), "missing", 0, &pairs), 0);
}

TEST_F(ConfigReader, MalformedLinesAreReportedWithTheirLineNumberAndSkipped) {
    zem::StanzaFile file =
        zem::parseStanzaText("orphan = 1\n[ok]\nno equals sign\n= no key\n[broken\nkey = v\n", "x.conf");
    // After a broken header, entries belong to no stanza until the next good header.
    ASSERT_EQ(file.problems.size(), 5u);
    const char* lines[] = {"x.conf:1: entry outside", "x.conf:3: expected key", "x.conf:4: entry without",
                           "x.conf:5: malformed stanza", "x.conf:6: entry outside"};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(file.problems[i].rfind(lines[i], 0), 0u) << file.problems[i];
    EXPECT_TRUE(file.values("ok", "key").empty());
}

TEST_F(ConfigReader, MissingFileGivesNoEntryAndNoStanza) {
    qzw_stanza_pair_t* pairs = nullptr;
    EXPECT_TRUE(entryValues(dir.file("absent.conf"), "kova-eas", nullptr, "server").empty());
    EXPECT_EQ(qzw_load_stanza(dir.file("absent.conf").c_str(), "kova-eas", 0, &pairs), 0);
}

TEST_F(ConfigReader, ChangedFileIsReadAgain) {
    write("[s]\nk = one\n");
    EXPECT_EQ(entryValues(path, "s", nullptr, "k"), std::vector<std::string>{"one"});
    write("[s]\nk = second value\n");
    EXPECT_EQ(entryValues(path, "s", nullptr, "k"), std::vector<std::string>{"second value"});
}

TEST_F(ConfigReader, ObfuscatedValuesAreRevealedOnlyWhenAsked) {
    std::string hidden = zqz_obfuscate("s3cret:pa=ss");
    ASSERT_EQ(hidden.rfind("obf:", 0), 0u);
    write("[kova-eas]\nbasic-auth-passwd = " + hidden + "\nshort = " + zqz_obfuscate("x") + "\n");
    ZArrayList_7_0_0 revealed, asWritten, oneByte;
    EXPECT_EQ(ZStanzaFileProperties_7_0_0(path.c_str(), 1).getValues("kova-eas", "basic-auth-passwd", revealed, 0), 1);
    ZStanzaFileProperties_7_0_0(path.c_str(), 0).getValues("kova-eas", "basic-auth-passwd", asWritten, 0);
    ZStanzaFileProperties_7_0_0(path.c_str(), 1).getValues("kova-eas", "short", oneByte, 0);
    ASSERT_EQ(revealed.size(), 1u);
    EXPECT_STREQ(revealed.get(0).getChars(), "s3cret:pa=ss");
    EXPECT_EQ(asWritten.get(0).getChars(), hidden);
    EXPECT_STREQ(oneByte.get(0).getChars(), "x");
}

// An obfuscated value that does not give a usable text is refused, never handed on as written.
TEST_F(ConfigReader, ObfuscatedValuesThatDoNotDecodeAreRefusedWithFileKeyAndReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"obf:====", "is not base64"},     {"obf:========", "is not base64"},     {"obf:", "nothing follows obf:"},
        {"obf:%%%%", "is not base64"},     {"obf:QQ=", "is not base64"},          {"obf:Q===", "is not base64"},
        {"obf:QQ==QQ==", "is not base64"}, {"obf:AA==", "decodes to a NUL byte"},
    };
    for (const auto& [value, reason] : cases) {
        write(std::string("[kova-eas]\ngood = plain\nbasic-auth-passwd = ") + value +
              "\nbasic-auth-passwd = obf:QQ==\n");
        ZStanzaFileProperties_7_0_0 reader(path.c_str(), 1);
        ZArrayList_7_0_0 values;
        EXPECT_EQ(reader.getValues("kova-eas", "basic-auth-passwd", values, 0), -1) << value;
        EXPECT_EQ(values.size(), 0u) << value;
        EXPECT_EQ(reader.problem().rfind(path + ": [kova-eas] basic-auth-passwd: ", 0), 0u) << reader.problem();
        EXPECT_NE(reader.problem().find(reason), std::string::npos) << value << ": " << reader.problem();
        EXPECT_EQ(reader.getValues("kova-eas", "good", values, 0), 1) << "other entries stay readable";

        ZArrayList_7_0_0 asWritten;
        EXPECT_EQ(ZStanzaFileProperties_7_0_0(path.c_str(), 0).getValues("kova-eas", "basic-auth-passwd", asWritten, 0),
                  2);
        EXPECT_STREQ(asWritten.get(0).getChars(), value);
    }
}

TEST(Booleans, AcceptTheUsualWordsInAnyCaseAndRejectTheRest) {
    const std::vector<std::pair<const char*, int>> accepted = {{"yes", 1}, {"TRUE", 1},  {"On", 1},  {"1", 1},
                                                               {"No", 0},  {"false", 0}, {"OFF", 0}, {"0", 0}};
    for (const auto& [text, expected] : accepted) {
        int value = -1;
        EXPECT_EQ(nvw_util_unmarshal_bool(text, &value), 0) << text;
        EXPECT_EQ(value, expected) << text;
    }
    for (const char* text : {"", "y", "2", "yes ", "enabled"}) {
        int value = 7;
        EXPECT_NE(nvw_util_unmarshal_bool(text, &value), 0) << text;
        EXPECT_EQ(value, 7) << text;
    }
}

TEST(Base64, EncodesLikeTheStandardAlphabetWithPadding) {
    for (const auto& [plain, encoded] : std::vector<std::pair<std::string, std::string>>{
             {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"user:pass", "dXNlcjpwYXNz"}}) {
        char* text = mime64_encode(plain.data(), plain.size());
        EXPECT_STREQ(text, encoded.c_str());
        free(text);
    }
}

}  // namespace
