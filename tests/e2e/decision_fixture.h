// The loaded plug-in deciding against a real refpdp on loopback.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/loaded_plugin.h"
#include "support/plugin_fixture.h"

namespace kova_test {

// What refpdp answers, by the resource path the plug-in sends (the protected object less its first
// two components). More specific prefixes come first.
inline const char* DECISION_RULES = R"({
  "default": "NotApplicable",
  "rules": [
    {"resource-prefix": "/permit", "effect": "Permit"},
    {"resource-prefix": "/deny", "effect": "Deny"},
    {"resource-prefix": "/indeterminate", "effect": "Indeterminate"},
    {"resource-prefix": "/redirect", "effect": "Deny", "obligation": "urn:kova:login", "transaction-id": true},
    {"resource-prefix": "/stepup", "effect": "Deny", "obligation": "urn:kova:level2"},
    {"resource-prefix": "/unmapped", "effect": "Permit", "obligation": "urn:kova:nothing"},
    {"resource-prefix": "/fault", "fault": {"code": "soapenv:Server", "string": "policy store offline"}}
  ]})";

inline const char* DECISION_MAPPINGS =
    "[azn-decision-info]\nHTTP_HOST_HDR = header:Host\nHTTP_USER_AGENT = header:User-Agent\n"
    "HTTP_REQUEST_METHOD = method\nHTTP_CLIENT_IP = client_ip\n"
    "[obligations-levels-mapping]\nurn:kova:level2 = 2\n"
    "[obligations-urls-mapping]\nurn:kova:login = /login.jsp\nurn:kova:login-query = /login.jsp?lang=en\n";

struct Decision {
    azn_status_t status = 0;
    int permission = AZN_C_NOT_PERMITTED;
    std::unique_ptr<AttrList> info = std::make_unique<AttrList>();
};

class DecisionFixture : public PluginFixture {
protected:
    std::unique_ptr<RefPdp> pdp;
    std::unique_ptr<LoadedPlugin> plugin;
    bool started = false;
    bool applyNativePolicy = false;
    std::string rules = DECISION_RULES;  // what refpdp answers; set before SetUp to answer otherwise

    void SetUp() override {
        PluginFixture::SetUp();
        writeFile(dir.file("rules.json"), rules);
        pdp = std::make_unique<RefPdp>(
            std::vector<std::string>{"--rules", dir.file("rules.json"), "--record", dir.file("requests.xml")});
        plugin = std::make_unique<LoadedPlugin>();
    }

    void TearDown() override {
        stop();
        plugin.reset();
        pdp.reset();
        PluginFixture::TearDown();
    }

    // Starts the plug-in with the minimal settings, the mappings and `extra` stanzas.
    void start(const std::string& extra = "") {
        std::string base = minimalConfig(pdp->url());
        if (applyNativePolicy) base = replaced(base, "apply-zem-native-policy = no", "apply-zem-native-policy = yes");
        writeConfig(base + DECISION_MAPPINGS + extra);
        azn_attrlist_h_t info = 0;
        ASSERT_EQ(plugin->initialize("kova", 0, nullptr, &info), 0u) << messages();
        azn_attrlist_delete(&info);
        started = true;
    }

    Decision decide(const std::string& object, const Attributes& creds = {{"AZN_CRED_PRINCIPAL_NAME", "alice"}},
                    const Attributes& context = {}, const char* operation = "r", int preset = AZN_C_NOT_PERMITTED) {
        Decision decision;
        decision.permission = preset;
        Credentials credentials(creds);
        AttrList appContext(context);
        decision.status = plugin->decide(credentials.handle(), object.c_str(), operation, appContext.handle(),
                                         &decision.permission, &decision.info->handle());
        return decision;
    }

    void stop() {
        if (started) plugin->shutdown(0, nullptr);
        started = false;
    }

    std::string recorded() const { return readFile(dir.file("requests.xml")); }
    void clearRecorded() const { writeFile(dir.file("requests.xml"), ""); }

    void clearMessages() const { writeFile(dir.file("messages"), ""); }
    // The catalogue identifiers printed so far, in order ("QLXBA0301I", ...).
    std::vector<std::string> printedIds() const {
        std::string printed = messages();
        std::vector<std::string> ids;
        for (std::size_t at = printed.find("QLXBA"); at != std::string::npos; at = printed.find("QLXBA", at + 1))
            ids.push_back(printed.substr(at, 10));
        return ids;
    }

    static unsigned long ulongEntry(Decision& decision, const char* name) {
        unsigned long value = 0;
        return azn_attrlist_get_entry_ulong_value(decision.info->handle(), name, 0, &value) == 0 ? value : 0;
    }
};

}  // namespace kova_test
