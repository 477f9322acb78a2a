// explain: one decision with everything the plug-in exchanged and what the proxy makes of it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "config_reader.h"
#include "nvwebrte/config_keys.h"
#include "orbsec_axiscpp/axis.h"
#include "rba/KOVAConfig.h"
#include "trace_capture.h"
#include "xacml_view.h"

namespace zemhost {

namespace {

// The plug-in traces the whole request document and response from level 6 on, and what it read and which
// mapping it applied at level 9.
constexpr int EXPLAIN_TRACE_LEVEL = 9;

void printSection(const char* title, const std::string& body) { printf("%s\n%s\n\n", title, body.c_str()); }

// How many mapped names an unmapped obligation is compared with, nearest first.
constexpr std::size_t NEAREST_SHOWN = 3;

std::string nearestMapped(const ConfigReader& config, const std::string& obligation) {
    std::vector<std::string> names;
    for (const char* stanza : {KOVA_URLS_STANZA, KOVA_LEVELS_STANZA})
        for (const auto& entry : config.stanza(stanza).value_or(NameValues{})) names.push_back(entry.first);
    std::string listed;
    for (const std::string& name : zem::nearestNames(obligation, names, NEAREST_SHOWN))
        listed += (listed.empty() ? "" : ", ") + name;
    return listed.empty() ? "none (no obligation is mapped)" : listed;
}

// The plug-in traces an absent text as NULL.
std::optional<std::string> tracedText(const TraceFields& fields, const std::string& key) {
    auto found = fields.find(key);
    if (found == fields.end() || found->second == "NULL") return std::nullopt;
    return found->second;
}

std::string describeMapping(const ConfigReader& config, const std::string& obligation,
                            const std::vector<TraceFields>& mappings) {
    if (mappings.empty()) return "(not traced)";
    const TraceFields& applied = mappings.back();
    std::string stanza = tracedText(applied, "stanza").value_or("none");
    std::string entry = tracedText(applied, "entry").value_or("");
    if (stanza == "none") {
        return "none (neither a URL nor a level is configured: access is denied)\nNearest mapped obligations: " +
               nearestMapped(config, obligation);
    }
    return "[" + stanza + "] " + entry + " = " + tracedText(applied, "value").value_or("") +
           (entry.ends_with('*') ? " (wildcard)" : "");
}

// What the plug-in itself read from the answer and which mapping entry it applied.
void explainAnswer(const ConfigReader& config, const std::vector<TraceRecord>& records) {
    std::vector<TraceFields> answers = tracedEvents(records, "read PDP answer");
    TraceFields answer = answers.empty() ? TraceFields{} : answers.back();
    printf("PDP decision: %s\n", tracedText(answer, "decision").value_or("(none recognised)").c_str());
    std::optional<std::string> obligation = tracedText(answer, "obligation");
    if (!obligation) {
        printf("Obligation: none\n\n");
        return;
    }
    printf("Obligation: %s\n", obligation->c_str());
    printf("Obligation mapping applied: %s\n\n",
           describeMapping(config, *obligation, tracedEvents(records, "applied obligation mapping")).c_str());
}

const char* failureKind(const std::optional<std::string>& code) {
    switch (code ? std::atoi(code->c_str()) : 0) {
        case orbsec_axiscpp::SERVER_TRANSPORT_HTTP_ERROR: return "HTTP error";
        case orbsec_axiscpp::SERVER_FAULT_RECEIVED: return "SOAP fault";
        case orbsec_axiscpp::CLIENT_SOAP_MALFORMED_RESPONSE: return "malformed answer";
        default: return "unreachable";
    }
}

// The records of each failed exchange: the cluster library's, and the plug-in's for a fault it caught or
// an answer it could not read.
void printFailures(const std::vector<TraceRecord>& records) {
    std::vector<TraceFields> failures = tracedEvents(records, "exchange failed");
    for (const TraceFields& failure : failures) {
        std::optional<std::string> url = tracedText(failure, "url");
        printf("Stopped by: %s%s: %s\n", failureKind(tracedText(failure, "code")), url ? (" at " + *url).c_str() : "",
               tracedText(failure, "reason").value_or("").c_str());
    }
    if (failures.empty()) printf("Stopped by: unreachable (every endpoint is down; no exchange was tried)\n");
}

void explain(const HostSettings& settings, const std::string& trace, const DecisionResult& result) {
    std::vector<TraceRecord> records = traceRecords(trace);
    std::vector<std::string> requests = tracedTexts(records, "Constructed XACML: ");
    std::vector<std::string> responses = tracedTexts(records, "XACML Response: ");
    if (requests.empty()) {
        printf(
            "No XACML request was sent: the native policy or the plug-in decided on its own (see the messages).\n\n");
    } else {
        printSection("XACML request sent to the PDP:", indentedXml(requestDocument(requests.back())));
        if (responses.empty()) {
            printf("No response from the PDP.\n");
            printFailures(records);
            printf("\n");
        } else {
            printSection("XACML response from the PDP:", indentedXml(responses.back()));
            explainAnswer(ConfigReader(settings.configFile), records);
        }
    }
    printf("Plug-in answer:\n");
    printResult(result);
}

int runExplain(const HostSettings& settings, const DecisionRequest& request, bool fail) {
    TraceCapture capture(settings.traceFile);
    HostSettings traced = settings;
    traced.traceFile = capture.path();
    traced.traceLevel = std::max(settings.traceLevel, EXPLAIN_TRACE_LEVEL);
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
