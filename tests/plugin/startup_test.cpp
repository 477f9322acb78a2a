// Start-up and shutdown of the plug-in, the entry loader, number conversion, exceptions, messages
// and the audit record, against real configuration files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "qzcore/qzcore.h"
#include "qzz/qzz.h"
#include "rba/KOVAConfig.h"
#include "rba/KOVAModule.h"
#include "rba/kova_eas.h"
#include "support/loaded_plugin.h"
#include "support/plugin_fixture.h"
#include "support/test_support.h"

namespace {

using kova_test::PluginFixture;
using ::testing::HasSubstr;
using ::testing::Not;

class Startup : public PluginFixture {};

// An empty audit setting means no auditing, an obfuscated value that decodes is taken, each of the four
// mapping stanzas that is absent is reported once, and a list handed in keeps what it holds.
TEST_F(Startup, SucceedsAddsTheVersionToTheGivenListAndPrintsBothMessages) {
    writeConfig(minimalConfig() +
                "[kova-eas]\naudit-log-cfg =\nbasic-auth-user = u\nbasic-auth-passwd = " + zqz_obfuscate("pw") + "\n");
    azn_attrlist_h_t info = 0;
    azn_attrlist_create(&info);
    azn_attrlist_add_entry(info, "earlier", "kept");
    azn_attrlist_h_t before = info;
    ASSERT_EQ(azn_svc_initialize("kova", 0, nullptr, &info), 0u) << messages();
    EXPECT_NE(kova_config, nullptr);
    EXPECT_EQ(kova_audit_sink, nullptr);
    EXPECT_EQ(info, before);
    EXPECT_EQ(entryNames(info), (std::vector<std::string>{"earlier", azn_svc_version}));
    EXPECT_EQ(firstString(info, azn_svc_version), "ZEM KOVA External Authorization Server v1.0");
    EXPECT_EQ(azn_svc_shutdown(0, nullptr), 0u);
    EXPECT_EQ(kova_config, nullptr);
    EXPECT_EQ(kova_svc, nullptr);
    azn_attrlist_delete(&info);
    std::string printed = messages();
    EXPECT_THAT(printed, HasSubstr("QLXBA0301I   The KOVA external authorization service (EAS) is being initialized."));
    EXPECT_THAT(printed, HasSubstr("QLXBA0302I   The KOVA external authorization service (EAS) is being shutdown."));
    EXPECT_EQ(kova_test::countOf(printed, "QLXBA0307W"), 4u) << printed;
    for (const char* stanza : {"azn-decision-info", "obligations-levels-mapping", "obligations-urls-mapping",
                               "user-attribute-definitions"}) {
        EXPECT_THAT(printed, HasSubstr(std::string("QLXBA0307W   The stanza ") + stanza + " in file " + configPath() +
                                       " is not found."))
            << stanza;
    }
}

// A failed start-up hands no list back and no tables, prints why, and still shuts down cleanly; when the
// settings or the module fail, tracing is stopped again.
TEST_F(Startup, EachFailedStartUpGivesItsStatusAndMessageAndLeavesNothingRunning) {
    const std::string obfuscationFailed = "QLXBA0300W   A general error occurred: " + configPath() + ": [kova-eas] ";
    const struct {
        std::string config;
        int traceLevel;
        azn_status_t status;
        std::string message;
        bool moduleFails = true;
    } cases[] = {
        {kova_test::replaced(minimalConfig(), "cluster-name = kova\n", ""), 0, azn_util_errcode(1, KOVA_MISSING_ENTRY),
         "cluster-name, under the kova-eas stanza"},
        // A level beyond 32 bits fails at the deepest trace level too.
        {minimalConfig() + "[obligations-levels-mapping]\nhuge = 0x100000000\n", 9, azn_util_errcode(1, 0), "", false},
        // Obfuscated cluster entries are read through the plug-in's own loader while the cluster registers.
        {minimalConfig() + "[kova-eas]\nbasic-auth-user = u\nbasic-auth-passwd = obf:====\n", 0,
         azn_util_errcode(1, ZQZ_S_BAD_OBFUSCATED_VALUE),
         obfuscationFailed + "basic-auth-passwd: the text after obf: is not base64."},
        {minimalConfig() + "[kova-eas]\nssl-ca-file = obf:========\n", 0,
         azn_util_errcode(1, ZQZ_S_BAD_OBFUSCATED_VALUE),
         obfuscationFailed + "ssl-ca-file: the text after obf: is not base64."},
        {minimalConfig() + "[kova-eas]\nbasic-auth-passwd = obf:\n", 0, azn_util_errcode(1, ZQZ_S_BAD_OBFUSCATED_VALUE),
         obfuscationFailed + "basic-auth-passwd: nothing follows obf:."},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.config);
        kova_test::writeFile(dir.file("messages"), "");
        setTraceLevel(row.traceLevel);
        writeConfig(row.config);
        azn_attrlist_h_t info = 0;
        EXPECT_EQ(azn_svc_initialize("kova", 0, nullptr, &info), row.status);
        EXPECT_EQ(info, 0u);
        EXPECT_EQ(kova_config, nullptr);
        if (row.moduleFails) {
            EXPECT_EQ(kova_trace.level(), -1) << "a failed start stops tracing again";
            EXPECT_FALSE(kova_module.isInitialized());
        }
        EXPECT_THAT(messages(), HasSubstr(row.message));
        EXPECT_EQ(azn_svc_shutdown(0, nullptr), 0u);
    }
    EXPECT_THAT(messages(), HasSubstr("QLXBA0306E   Failed to add cluster to cluster manager: 0x38ad5102."));
}

// The module stays in memory from one start-up to the next here, as in a host that does not unload the
// library: a setting the second configuration leaves out is its default again, so an unreachable PDP denies.
TEST_F(Startup, ASecondStartUpForgetsTheSettingsOfTheFirst) {
    kova_test::Credentials creds(kova_test::Attributes{{"AZN_CRED_PRINCIPAL_NAME", "alice"}});
    auto decideUnreachable = [&](const std::string& settings) {
        writeConfig(minimalConfig() + settings);
        kova_test::AttrList info, context, permissionInfo;
        EXPECT_EQ(azn_svc_initialize("kova", 0, nullptr, &info.handle()), 0u) << messages();
        int permission = -1;
        azn_svc_decision_access_allowed_ext(creds.handle(), "/Corvane/inst1/a", "r", context.handle(), &permission,
                                            &permissionInfo.handle());
        EXPECT_EQ(azn_svc_shutdown(0, nullptr), 0u);
        return permission;
    };
    EXPECT_EQ(decideUnreachable("[kova-eas]\npermit-when-no-kova-available = yes\n"), AZN_C_PERMITTED);
    EXPECT_NE(decideUnreachable(""), AZN_C_PERMITTED);
}

// What escapes a C entry point's body becomes the catalogue message that fits and the failure value.
TEST_F(Startup, AnExceptionAtACBoundaryBecomesItsMessageAndTheFailureValue) {
    EXPECT_EQ(kova_c_boundary("entry", 7, []() -> int { throw std::bad_alloc(); }), 7);
    EXPECT_EQ(kova_c_boundary("entry", azn_util_errcode(1, 0),
                              []() -> azn_status_t { throw std::runtime_error("basic_string::_M_replace_aux"); }),
              azn_util_errcode(1, 0));
    EXPECT_EQ(kova_c_boundary("entry", -1, []() -> int { throw 42; }), -1);
    EXPECT_EQ(kova_c_boundary("entry", -1, [] { return 3; }), 3);
    std::string printed = messages();
    EXPECT_THAT(printed, HasSubstr("QLXBA0315E   Cannot allocate memory\n"));
    EXPECT_THAT(printed, HasSubstr("QLXBA0300W   A general error occurred: basic_string::_M_replace_aux.\n"));
    EXPECT_THAT(printed, HasSubstr("QLXBA0300W   A general error occurred: an exception of unknown type.\n"));
}

// ---- the entry loader ---------------------------------------------------------------------------------
class EntryLoader : public PluginFixture {};

TEST_F(EntryLoader, ReturnsEveryValueInOrderWithATrailingNullAndRevealsObfuscatedOnes) {
    writeConfig("[kova-eas]\nserver = 1,http://a\nserver = 2,http://b\nserver = 3,http://c\nbasic-auth-passwd = " +
                zqz_obfuscate("hunter2") + "\n[kova-eas:extra]\nkey = qualified\n");
    char** values = nullptr;
    ASSERT_EQ(kova_load_entry_with_obfuscation_support(configPath().c_str(), "kova-eas", nullptr, "server", &values, 0),
              1);
    EXPECT_STREQ(values[0], "1,http://a");
    EXPECT_STREQ(values[2], "3,http://c");
    EXPECT_EQ(values[3], nullptr);
    qzw_release_entry_data(values);
    ASSERT_EQ(kova_load_entry_with_obfuscation_support(configPath().c_str(), "kova-eas", "extra", "key", &values, 0),
              1);
    EXPECT_STREQ(values[0], "qualified");
    qzw_release_entry_data(values);
    ASSERT_EQ(
        kova_load_entry_with_obfuscation_support(configPath().c_str(), "kova-eas", "", "basic-auth-passwd", &values, 1),
        1);
    EXPECT_STREQ(values[0], "hunter2");
    qzw_release_entry_data(values);
}

TEST_F(EntryLoader, MissingEntryIsReportedOnlyWhenRequired) {
    writeConfig("[kova-eas]\n");
    char** values = nullptr;
    EXPECT_EQ(kova_load_entry_with_obfuscation_support(configPath().c_str(), "kova-eas", nullptr, "absent", &values, 1),
              0);
    EXPECT_THAT(messages(), Not(HasSubstr("QLXBA0303E")));
    EXPECT_EQ(kova_load_entry_with_obfuscation_support(configPath().c_str(), "kova-eas", "q", "absent", &values, 0), 0);
    EXPECT_THAT(messages(),
                HasSubstr("QLXBA0303E   A required configuration entry, absent, under the kova-eas:q stanza"));
    EXPECT_EQ(values, nullptr);
}

// ---- conversion and exceptions -------------------------------------------------------------------------
TEST(NumberConversion, OutOfRangeRaisesWhateverTheTraceLevel) {
    EXPECT_THROW(kova_strtoul("4294967296"), ParseException);
    EXPECT_THROW(kova_strtoul("99999999999999999999999"), ParseException);
    try {
        kova_strtoul("0x1ffffffff");
        FAIL() << "no exception";
    } catch (const KOVAException& e) {
        EXPECT_STREQ(e.what(), "Problem converting string to unsigned long using strtoul. String was %s, errno is %d");
    }
}

// ---- messages ------------------------------------------------------------------------------------------
TEST_F(Startup, ServiceabilityRegistersOnceAndPrintsWithoutAnInstance) {
    int32_t before = KOVAServiceability::instances();
    {
        KOVAServiceability first("kova"), second("kova");
        EXPECT_EQ(KOVAServiceability::instances(), before + 2);
    }
    EXPECT_EQ(KOVAServiceability::instances(), before);
    KOVAServiceability* none = nullptr;
    EXPECT_EQ(none, kova_svc);
    KOVAServiceability::printMessage(QLXBA0303E, "trace-component", "kova-eas");
    EXPECT_THAT(messages(),
                HasSubstr("QLXBA0303E   A required configuration entry, trace-component, under the kova-eas"));
    std::string text = "prefix: ";
    KOVAServiceability::formatMessage(text, QLXBA0311W);
    EXPECT_EQ(text, "prefix: QLXBA0311W   Unable to contact KOVA.");
}

// ---- audit record ----------------------------------------------------------------------------------------
TEST(AuditRecord, ListsFieldsInNameOrderUnescapedAndKeepsTheFirstValue) {
    KOVAAuditFields fields;
    kova_audit_add(&fields, "user-agent", "a<b&c");
    kova_audit_add(&fields, "auth-level", "1");
    kova_audit_add(&fields, "user", "alice");
    kova_audit_add(&fields, "user", "mallory");
    kova_audit_add(nullptr, "ignored", "x");
    EXPECT_EQ(kova_audit_record(fields), "<kova-event>\n    <auth-level>1</auth-level>\n    <user>alice</user>\n"
                                         "    <user-agent>a<b&c</user-agent>\n</kova-event>\n");
}

// ---- exported symbols ------------------------------------------------------------------------------------
TEST(ExportedSymbols, AreOnlyTheEntryPointsTablesAndTheStub) {
    std::string out;
    ASSERT_EQ(kova_test::runCommand({"/usr/bin/nm", "-D", "--defined-only", "-C", kova_test::pluginPath()}, &out), 0);
    std::vector<std::string> unexpected;
    for (const std::string& line : kova_test::lines(out)) {
        if (line.size() < 20) continue;
        std::string symbol = line.substr(19);
        bool allowed = symbol == "azn_svc_initialize" || symbol == "azn_svc_shutdown" ||
                       symbol == "azn_svc_decision_access_allowed_ext" || symbol == "rba_svc_table" ||
                       symbol == "rba_svc_g_table" || symbol == "rba_svc_handle" ||
                       symbol.find("AuthzService") != std::string::npos ||
                       symbol.find("RequestType") != std::string::npos ||
                       symbol.find("ResponseType") != std::string::npos;
        if (!allowed) unexpected.push_back(symbol);
    }
    EXPECT_TRUE(unexpected.empty()) << unexpected.size() << " unexpected, first: " << unexpected.front();
    for (const char* required : {"azn_svc_initialize", "azn_svc_decision_access_allowed_ext", "rba_svc_g_table"})
        EXPECT_THAT(out, HasSubstr(required)) << required;
}

}  // namespace
