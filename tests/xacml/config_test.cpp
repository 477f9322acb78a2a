// The mapping tables read from a real configuration file, and their lookups.
#include <map>

#include "xacml/xacml_fixture.h"

using xacml_test::Config;
using xacml_test::FileTail;

namespace {

using ::testing::HasSubstr;

template <class Exception, class Call>
std::string raisedText(Call call) {
    try {
        call();
    } catch (const Exception& error) {
        return error.what();
    }
    return "no exception";
}

TEST(ConfigTables, ReverseTablesKeepTheFirstEntry) {
    Config config(R"([azn-decision-info]
host = header:Host
host-copy = header:Host
host = header:Other

[obligations-levels-mapping]
first = 2
second = 2
first = 5
)");
    KOVAConfig& tables = config.tables();
    EXPECT_EQ(tables.appContextToHeader, (KOVATextTable{{"host", "header:Host"}, {"host-copy", "header:Host"}}));
    EXPECT_EQ(tables.headerToAppContext, (KOVATextTable{{"header:Host", "host"}, {"header:Other", "host"}}));
    EXPECT_EQ(tables.getAuthenticationLevel("first"), 2u);
    EXPECT_EQ(tables.getAuthenticationLevel("second"), 2u);
    EXPECT_EQ(tables.getObligation(2), "first");
    EXPECT_EQ(tables.getObligation(5), "first");
}

TEST(ConfigTables, LevelsTakeTheLeadingNumberInItsBaseAndKeysKeepTheirCase) {
    Config config(R"([obligations-levels-mapping]
hex = 0x10
octal = 010
trailing = 7abc
word = none
Hex = 3
)");
    const auto& levels = config.tables().obligationToLevel;
    EXPECT_EQ(levels.at("hex"), 16u);
    EXPECT_EQ(levels.at("octal"), 8u);
    EXPECT_EQ(levels.at("trailing"), 7u);
    EXPECT_EQ(levels.at("word"), 0u);
    EXPECT_EQ(levels.at("Hex"), 3u);
    EXPECT_THROW(config.tables().getAuthenticationLevel("HEX"), AuthenticationLevelMissingException);
}

TEST(ConfigTables, UrlMappingSplitsExactNamesFromWildcardPrefixes) {
    Config config(R"([obligations-urls-mapping]
P* = https://wild/p
P = https://exact/p
* = https://wild/any
)");
    EXPECT_EQ(config.tables().obligationURLs, (KOVATextTable{{"P", "https://exact/p"}}));
    EXPECT_EQ(config.tables().wildcardObligationURLs,
              (KOVATextTable{{"", "https://wild/any"}, {"P", "https://wild/p"}}));
}

TEST(ConfigLookups, WildcardUrlTakesTheLongestPrefixAfterExactNames) {
    Config config(R"([obligations-urls-mapping]
step* = https/step
stepc* = https/stepc
stepca* = https/stepca
stepcx = https/exact
* = https/any
)");
    std::map<const char*, std::string> expected = {{"stepc-9", "https/stepc"}, {"stepcb", "https/stepc"},
                                                   {"stepca", "https/stepca"}, {"stepd", "https/step"},
                                                   {"stepcx", "https/exact"},  {"ste", "https/any"}};
    for (const auto& [obligation, url] : expected) {
        std::string found;
        EXPECT_EQ(config.tables().getObligationURL(obligation, found), 0) << obligation;
        EXPECT_EQ(found, url) << obligation;
    }
}

TEST(ConfigLookups, UnmatchedObligationLeavesTheUrlAlone) {
    Config config("[obligations-urls-mapping]\nabc* = https/abc\nexact = https/exact\n");
    for (const char* obligation : {"ab", "xabc", "Abc", static_cast<const char*>(nullptr)}) {
        std::string url = "unchanged";
        EXPECT_EQ(config.tables().getObligationURL(obligation, url), 1);
        EXPECT_EQ(url, "unchanged");
    }
    std::string prefix = "unchanged";
    EXPECT_EQ(config.tables().isAWildcardObligation("a*b", prefix), 0);
    EXPECT_EQ(prefix, "unchanged");
}

TEST(ConfigLookups, AttributeDefinitionsMatchTheWholeJoinedName) {
    Config config(R"([user-attribute-definitions]
x.category = Resource
x.datatypes = boolean
xa.datatype = double
x.d.datatype = date
)");
    std::string word = "unchanged";
    EXPECT_EQ(config.tables().getAttrDataType("x", word), 1);
    EXPECT_EQ(word, "unchanged");
    EXPECT_EQ(config.tables().getAttrCategory("x", word), 0);
    EXPECT_EQ(word, "Resource");
    EXPECT_EQ(config.tables().getAttrDataType("x.d", word), 0);
    EXPECT_EQ(word, "date");
    EXPECT_EQ(config.tables().getAttrDataType("xa", word), 0);
    EXPECT_EQ(word, "double");
}

// Keys of one length that also share their first and last byte are told apart by their whole text.
TEST(ConfigLookups, HeaderNamesMatchTheWholeKey) {
    Config config(R"([azn-decision-info]
a1z = header:One
a2z = header:Two
a = header:Short
az = header:Pair
b1z = header:Other
)");
    KOVAConfig& tables = config.tables();
    const std::pair<const char*, const char*> found[] = {{"a1z", "header:One"},
                                                         {"a2z", "header:Two"},
                                                         {"a", "header:Short"},
                                                         {"az", "header:Pair"},
                                                         {"b1z", "header:Other"}};
    for (const auto& [key, header] : found) EXPECT_EQ(tables.getHeaderName(key), header) << key;
    for (const char* missing : {"a3z", "", "A1z", "a1z "})
        EXPECT_THROW(tables.getHeaderName(missing), HeaderNameMissingException) << missing;
}

TEST(ConfigLookups, MissingEntriesRaiseWithTheirTexts) {
    Config config("[azn-decision-info]\nhost = header:Host\n");
    FileTail messages(xacml_test::messagesPath());
    KOVAConfig& tables = config.tables();
    EXPECT_EQ(raisedText<HeaderNameMissingException>([&] { tables.getHeaderName("cookie"); }),
              "Header key name missing for app_context_data key: cookie");
    EXPECT_EQ(raisedText<AuthenticationLevelMissingException>([&] { tables.getAuthenticationLevel("otp"); }),
              "Authentication level missing for obligation: otp");
    EXPECT_EQ(raisedText<ObligationMissingException>([&] { tables.getObligation(3); }),
              "Obligation missing for authentication level: 3This is not a problem");
    std::string printed = messages.text();
    EXPECT_THAT(printed, HasSubstr("QLXBA0308W   The header key name is missing for the app_context_data key: cookie"));
    EXPECT_THAT(printed, HasSubstr("QLXBA0309W   The authentication level is missing for the obligation: otp."));
    EXPECT_EQ(kova_test::countOf(printed, "QLXBA"), 2u) << "a level without obligation is no message";
}

}  // namespace
