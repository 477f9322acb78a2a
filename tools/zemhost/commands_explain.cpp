// explain: one decision with everything the plug-in exchanged and what the proxy makes of it.
#include <algorithm>
#include <cstdio>

#include "commands.h"
#include "obligation_mappings.h"
#include "trace_capture.h"
#include "xacml_view.h"

namespace zemhost {

namespace {

// The plug-in traces the whole request document and the whole response from level 6 on.
constexpr int DOCUMENT_TRACE_LEVEL = 6;

void printSection(const char* title, const std::string& body) { printf("%s\n%s\n\n", title, body.c_str()); }

void explainObligation(const ConfigReader& config, const ResponseSummary& response) {
    printf("PDP decision: %s\n", response.decision.empty() ? "(none recognised)" : response.decision.c_str());
    if (response.obligationId.empty()) {
        printf("Obligation: none\n\n");
        return;
    }
    printf("Obligation: %s\n", response.obligationId.c_str());
    std::optional<AppliedMapping> mapping = ObligationMappings::load(config).mappingFor(response.obligationId);
    printf("Obligation mapping applied: %s\n\n",
           mapping ? mapping->describe().c_str() : "none (neither a URL nor a level is configured: access is denied)");
}

void explain(const HostSettings& settings, const std::string& trace, const DecisionResult& result) {
    std::vector<std::string> requests = tracedTexts(trace, "Constructed XACML: ");
    std::vector<std::string> responses = tracedTexts(trace, "XACML Response: ");
    if (requests.empty()) {
        printf("No XACML request was sent: the native policy or the plug-in decided on its own (see the messages).\n\n");
    } else {
        printSection("XACML request sent to the PDP:", indentedXml(requestDocument(requests.back())));
        if (responses.empty()) {
            printf("No response from the PDP: it could not be reached, or it answered with a SOAP fault.\n\n");
        } else {
            printSection("XACML response from the PDP:", indentedXml(responses.back()));
            explainObligation(ConfigReader(settings.configFile), summarizeResponse(responses.back()));
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
