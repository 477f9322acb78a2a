// A fixture for tests that start the plug-in in this process: a configuration file in a fresh folder,
// messages and trace captured in files, and helpers to read attribute lists.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nvwsoap/nvwsoap.h"
#include "qzauthzn/azn.h"
#include "qzcore/qzcore.h"
#include "qzsvc/qzsvc.h"
#include "support/test_support.h"

namespace kova_test {

class PluginFixture : public ::testing::Test {
protected:
    TempDir dir;

    void SetUp() override {
        qz_msg_set_output(dir.file("messages").c_str());
        setTraceLevel(0);
        MrDomainMan::hey()->getCurrentServerConfig()->setConfigFilePath(configPath().c_str());
    }
    void TearDown() override {
        qz_msg_set_output(nullptr);
        zem_trace_configure(-1, nullptr);
        zem_clear_failures();
    }

    std::string configPath() const { return dir.file("corvaned.conf"); }
    void writeConfig(const std::string& text) const { writeFile(configPath(), text); }
    std::string messages() const { return readFile(dir.file("messages")); }
    void setTraceLevel(int level) const { zem_trace_configure(level, dir.file("trace").c_str()); }

    // The settings a start-up needs, with one PDP endpoint (nothing listens on the default one).
    static std::string minimalConfig(const std::string& url = "http://127.0.0.1:9/kova/authz/services/AuthzService") {
        return "[kova-eas]\ntrace-component = kova\ncluster-name = kova\napply-zem-native-policy = no\n"
               "server = 10," +
               url +
               "\ntimeout = 5\nhealth-check-interval = 0\n"
               "[corvane-config]\nversion = 6.1\n[server]\nserver-name = srv1\n";
    }

    static std::vector<std::string> entryNames(azn_attrlist_h_t list) {
        azn_string_t* names = nullptr;
        std::vector<std::string> found;
        if (azn_attrlist_get_names(list, &names) == 0) {
            for (azn_string_t* name = names; *name; ++name) found.emplace_back(*name);
            azn_release_strings(&names);
        }
        return found;
    }

    static std::string firstString(azn_attrlist_h_t list, const char* name) {
        azn_string_t value = nullptr;
        if (azn_attrlist_get_entry_string_value(list, name, 0, &value) != 0) return "<absent>";
        std::string copy = value ? value : "<null>";
        azn_release_string(&value);
        return copy;
    }
};

}  // namespace kova_test
