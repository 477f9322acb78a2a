// explain: one decision with everything the plug-in exchanged and what the proxy makes of it.
#include <algorithm>
#include <cstdio>
#include <regex>

#include "commands.h"
#include "nvwebrte/config_keys.h"
#include "obligation_mappings.h"
#include "orbsec_axiscpp/axis.h"
#include "trace_capture.h"
#include "xacml_view.h"

namespace zemhost {

namespace {

// The plug-in traces the whole request document and the whole response from level 6 on.
constexpr int DOCUMENT_TRACE_LEVEL = 6;

void printSection(const char* title, const std::string& body) { printf("%s\n%s\n\n", title, body.c_str()); }

// How many mapped names an unmapped obligation is compared with, nearest first.
constexpr std::size_t NEAREST_SHOWN = 3;

std::string nearestMapped(const ObligationMappings& mappings, const std::string& obligation) {
    std::vector<std::string> names;
    for (const NameValues* table : {&mappings.urls(), &mappings.levels()})
        for (const auto& entry : *table) names.push_back(entry.first);
    std::string listed;
    for (const std::string& name : zem::nearestNames(obligation, names, NEAREST_SHOWN))
        listed += (listed.empty() ? "" : ", ") + name;
    return listed.empty() ? "none (no obligation is mapped)" : listed;
}

// The obligation as the plug-in itself read it from the answer: its record on entering the URL lookup.
std::optional<std::string> obligationThePluginRead(const std::vector<TraceRecord>& records) {
    const std::string entry = "Enter KOVAModule::haveObligationURL, obligation[";
    for (const TraceRecord& record : records) {
        if (record.unit == "rba/KOVAModule" && record.text.starts_with(entry) && record.text.ends_with("]"))
            return record.text.substr(entry.size(), record.text.size() - entry.size() - 1);
    }
    return std::nullopt;
}

void explainObligation(const ConfigReader& config, const ResponseSummary& response,
                       const std::vector<TraceRecord>& records) {
    printf("PDP decision: %s\n", response.decision.empty() ? "(none recognised)" : response.decision.c_str());
    std::optional<std::string> obligation = obligationThePluginRead(records);
    if (!obligation) {
        printf("Obligation: none\n\n");
        return;
    }
    printf("Obligation: %s\n", obligation->c_str());
    ObligationMappings mappings = ObligationMappings::load(config);
    std::optional<AppliedMapping> mapping = mappings.mappingFor(*obligation);
    printf("Obligation mapping applied: %s\n",
           mapping ? mapping->describe().c_str() : "none (neither a URL nor a level is configured: access is denied)");
    if (!mapping) printf("Nearest mapped obligations: %s\n", nearestMapped(mappings, *obligation).c_str());
    printf("\n");
}

// The cluster library's record of one failed exchange: "CALL on URL failed: WHAT (code N)".
const std::regex FAILED_EXCHANGE(R"(^\S+ on (\S+) failed: (.*) \(code (\d+)\)$)");

const char* failureKind(int code) {
    switch (code) {
        case orbsec_axiscpp::SERVER_TRANSPORT_HTTP_ERROR: return "HTTP error";
        case orbsec_axiscpp::SERVER_FAULT_RECEIVED: return "SOAP fault";
        case orbsec_axiscpp::CLIENT_SOAP_MALFORMED_RESPONSE: return "malformed answer";
        default: return "unreachable";
    }
}

void printFailures(const std::vector<TraceRecord>& records) {
    bool any = false;
    for (const TraceRecord& record : records) {
        std::smatch field;
        if (record.unit != "host/nvwsoap" || !std::regex_match(record.text, field, FAILED_EXCHANGE)) continue;
        printf("Stopped by: %s at %s: %s\n", failureKind(std::stoi(field[3])), field[1].str().c_str(), field[2].str().c_str());
        any = true;
    }
    if (!any) printf("Stopped by: unreachable (every endpoint is down; no exchange was tried)\n");
}

void explain(const HostSettings& settings, const std::string& trace, const DecisionResult& result) {
    std::vector<std::string> requests = tracedTexts(trace, "Constructed XACML: ");
    std::vector<std::string> responses = tracedTexts(trace, "XACML Response: ");
    if (requests.empty()) {
        printf("No XACML request was sent: the native policy or the plug-in decided on its own (see the messages).\n\n");
    } else {
        printSection("XACML request sent to the PDP:", indentedXml(requestDocument(requests.back())));
        if (responses.empty()) {
            printf("No response from the PDP.\n");
            printFailures(traceRecords(trace));
            printf("\n");
        } else {
            printSection("XACML response from the PDP:", indentedXml(responses.back()));
            explainObligation(ConfigReader(settings.configFile), summarizeResponse(responses.back()), traceRecords(trace));
        }
    }
    printf("Plug-in answer:\n");
    printResult(result);
}

int runExplain(const HostSettings& settings, const DecisionRequest& request, bool fail) {
    TraceCapture capture(settings.traceFile);
    HostSettings traced = settings;
    traced.traceFile = capture.path();
    traced.traceLevel = std::max(settings.traceLevel, DOCUMENT_TRACE_LEVEL);
    DecisionResult result;
    int status = withStartedPlugin(traced, [&](const PluginHost& host) {
        result = host.decide(request);
        return int(EXIT_OK);
    });
    if (status != EXIT_OK) return status;
    explain(settings, capture.written(), result);
    return decisionExit(result, fail);
}

}  // namespace

Command addExplainCommand(CLI::App& app, const HostSettings& settings) {
    CLI::App* command = app.add_subcommand(
        "explain", "run one decision and show the XACML exchanged, the obligation mapping and what the proxy does");
    auto request = std::make_shared<DecisionRequest>();
    auto fail = std::make_shared<bool>(false);
    addDecisionOptions(*command, *request);
    addFailOption(*command, *fail);
    return {command, true, [&settings, request, fail] { return runExplain(settings, *request, *fail); }};
}

}  // namespace zemhost
