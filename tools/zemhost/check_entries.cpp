// check-config: the entries as the host's readers and the plug-in's start-up take them, and the command
// that runs every check.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>

#include "commands.h"
#include "config_checks.h"
#include "host_error.h"
#include "nvaudutl/nvaudutl.h"
#include "nvwebrte/config_keys.h"
#include "nvwebrte/nvwebrte.h"
#include "nvwebrte/stanza_file.h"
#include "nvwsoap/nvwsoap.h"
#include "plugin_host.h"
#include "qzsvc/qzsvc.h"
#include "qzz/qzz.h"
#include "trace_capture.h"

namespace zemhost {

const char* const KOVA_STANZA = "kova-eas";

namespace {

void checkBasicAuthentication(const ConfigReader& config, Findings& findings) {
    bool user = !config.first(KOVA_STANZA, "basic-auth-user").empty();
    bool password = !config.first(KOVA_STANZA, "basic-auth-passwd").empty();
    if (user != password) {
        findings.problem(std::string("[kova-eas] ") + (user ? "basic-auth-user" : "basic-auth-passwd") +
                         " is set but " + (user ? "basic-auth-passwd" : "basic-auth-user") +
                         " is not: no basic authentication is sent without both");
    }
}

// Auditing is off without the entry; a sink that cannot be written is only reported at start-up.
void checkAudit(const ConfigReader& config, Findings& findings) {
    std::string text = config.first(KOVA_STANZA, "audit-log-cfg");
    if (text.empty()) return;
    std::filesystem::path path = zem_audit_file_path(text.c_str());
    if (path.empty()) {
        findings.problem("[kova-eas] audit-log-cfg = " + text +
                         " does not name a file (expected: file path=PATH, or path=\"PATH\" with blanks)");
        return;
    }
    std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    bool writable = std::filesystem::exists(path) ? access(path.c_str(), W_OK) == 0 : access(folder.c_str(), W_OK) == 0;
    if (!writable) findings.problem("[kova-eas] audit-log-cfg: the audit file " + path.string() + " cannot be written");
}

void checkContextId(const ConfigReader& config, Findings& findings) {
    if (config.first(KOVA_STANZA, "context-id") == "context-inherited-pop" &&
        config.first("aznapi-configuration", "special-eas").empty()) {
        findings.problem("[kova-eas] context-id = context-inherited-pop needs [aznapi-configuration] special-eas: "
                         "every decision falls back to the server name and prints QLXBA0316W");
    }
}

// The cluster's entries through the host reader with obf: decoding on, as the plug-in's loader reads them.
int loadDecodedEntry(const char* configFile, const char* stanza, const char*, const char* key, char*** values, int) {
    ZStanzaFileProperties_7_0_0 reader(configFile, 1);
    ZArrayList_7_0_0 list;
    if (reader.getValues(stanza, key, list, 0) <= 0 || list.size() == 0) return 0;
    char** texts = static_cast<char**>(calloc(list.size() + 1, sizeof(char*)));
    if (!texts) return 0;
    for (std::size_t i = 0; i < list.size(); ++i) texts[i] = strdup(list.get(i).getChars());
    *values = texts;
    return 1;
}

void checkClusterSettings(const ConfigReader& config, Findings& findings) {
    static const nvw_soap_config_ops_t ops = {loadDecodedEntry, qzw_release_entry_data, nullptr, nullptr};
    nvw_soap_config_interface_t interface = {&ops, config.path().c_str(), KOVA_STANZA, nullptr};
    std::string reason;
    if (int status = NVWSOAPClusterMgr::checkSettings(interface, reason)) {
        char code[16];
        snprintf(code, sizeof code, "0x%x", static_cast<unsigned>(status));
        findings.problem("[kova-eas] " + reason + ": the PDP cluster is not added (" + code + ")");
    }
}

// A catalogue message line holds its identifier, e.g. QLXBA0303E; E is an error, W a warning.
const std::regex MESSAGE_ID("\\b[A-Z]{5}[0-9]{4}([EWI])\\b");

void reportStartUpMessages(const std::string& messages, Findings& findings) {
    std::istringstream lines(messages);
    std::string line;
    while (std::getline(lines, line)) {
        std::smatch match;
        if (!std::regex_search(line, match, MESSAGE_ID) || match[1] == "I") continue;
        std::string text = "start-up: " + line.substr(match.position(0));
        if (match[1] == "E") {
            findings.problem(text);
        } else {
            findings.notice(text);
        }
    }
}

}  // namespace

std::size_t Findings::problems() const {
    std::size_t count = 0;
    for (const Item& item : m_items) count += item.kind == PROBLEM ? 1 : 0;
    return count;
}

void checkEntries(const ConfigReader& config, Findings& findings) {
    for (const std::string& line : config.malformedLines()) findings.problem(line);
    if (auto file = zem::loadStanzaFile(config.path())) {
        for (std::string& problem : zem::undeclaredEntries(*file)) findings.problem(std::move(problem));
    }
    checkClusterSettings(config, findings);
    checkBasicAuthentication(config, findings);
    checkAudit(config, findings);
    checkContextId(config, findings);
}

void checkStartUp(const HostSettings& settings, Findings& findings, const WhileStarted& whileStarted) {
    TraceCapture messages("");
    HostSettings captured = settings;
    captured.messageFile = messages.path();
    try {
        PluginHost host(captured);
        azn_status_t status = host.start();
        reportStartUpMessages(messages.written(), findings);
        std::vector<std::string> urls;
        for (const NVWSOAPEndpointState& endpoint : nvwSoapEndpointStates()) urls.push_back(endpoint.url);
        if (status != 0) {
            findings.problem("start-up fails (zemhost init): " + describeStatus(status));
        } else if (!urls.empty()) {
            checkCannedDecision(host, "", findings);
        }
        whileStarted(status == 0 ? &host : nullptr, urls);
    } catch (const HostError& error) {
        findings.problem(std::string("start-up fails (zemhost init): ") + error.what());
        whileStarted(nullptr, {});
    }
    qz_msg_set_output(settings.messageFile.empty() ? nullptr : settings.messageFile.c_str());
}

namespace {

int runCheckConfig(const HostSettings& settings) {
    ConfigReader config(settings.configFile);
    Findings findings;
    checkEntries(config, findings);
    checkStartUp(settings, findings, [&](const PluginHost* host, const std::vector<std::string>& urls) {
        checkMappings(config, findings);
        checkExposure(config, findings);
        checkEndpoints(host, config, urls, findings);
    });
    printf("%s\n", config.path().c_str());
    for (const Findings::Item& item : findings.items()) {
        printf("  %s: %s\n", item.label(), item.text.c_str());
    }
    std::size_t problems = findings.problems();
    if (problems == 0) {
        printf("no problems found\n");
        return EXIT_OK;
    }
    printf("%zu problem%s found\n", problems, problems == 1 ? "" : "s");
    return EXIT_FAILED;
}

}  // namespace

Command addCheckConfigCommand(CLI::App& app, const HostSettings& settings) {
    CLI::App* command = app.add_subcommand(
        "check-config", "check the configuration without deciding anything; exit 1 when a problem is found");
    return {command, true, [&settings] { return runCheckConfig(settings); }};
}

}  // namespace zemhost
