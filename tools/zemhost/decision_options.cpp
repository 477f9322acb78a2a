// Options and printing shared by `decide` and `explain`.
#include <cstdio>

#include "commands.h"
#include "outcome.h"
#include "rba/KOVAActions.h"

namespace zemhost {

namespace {

// NAME=VALUE; the value may itself hold "=" and may be empty.
std::pair<std::string, std::string> splitNameValue(const std::string& text) {
    std::size_t equals = text.find('=');
    return {text.substr(0, equals), text.substr(equals + 1)};
}

const CLI::Validator NAME_VALUE(
    [](const std::string& text) {
        std::size_t equals = text.find('=');
        return equals == std::string::npos || equals == 0 ? "expected NAME=VALUE, got '" + text + "'" : std::string();
    },
    "");

void addNameValueOption(CLI::App& command, const char* name, NameValues& target, const char* description) {
    command
        .add_option_function<std::vector<std::string>>(
            name,
            [&target](const std::vector<std::string>& texts) {
                for (const std::string& text : texts) target.push_back(splitNameValue(text));
            },
            description)
        ->check(NAME_VALUE)
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

std::string knownOperations() {
    std::string names;
    for (const KOVAAction& known : KOVA_ACTIONS) {
        names += (names.empty() ? "" : ", ") + std::string(known.operation) + " (" + known.action + ")";
    }
    return names;
}

// Only the operations the plug-in maps: any other letter would silently reach the PDP as an unknown action.
const CLI::Validator KNOWN_OPERATION(
    [](const std::string& text) {
        for (const KOVAAction& known : KOVA_ACTIONS) {
            if (text == known.operation) return std::string();
        }
        return "unknown operation '" + text + "': the plug-in knows " + knownOperations();
    },
    "");

}  // namespace

void addDecisionOptions(CLI::App& command, DecisionRequest& request) {
    command.add_option("--resource", request.resource, "protected object name, e.g. /Corvane/inst1/app/index.html")
        ->required();
    command.add_option("--operation", request.operation, "operation letter: " + knownOperations())
        ->required()
        ->check(KNOWN_OPERATION);
    addNameValueOption(
        command, "--cred", request.creds,
        "credential attribute; repeat it, a repeated NAME adds a value (e.g. AZN_CRED_PRINCIPAL_NAME=alice)");
    addNameValueOption(command, "--context", request.context,
                       "application-context attribute; repeat it (e.g. HTTP_REQUEST_METHOD=GET)");
}

void addFailOption(CLI::App& command, bool& fail) {
    command.add_flag("--fail", fail, "exit with status 3 unless the outcome is permit (for scripts and CI gates)");
}

int decisionExit(const DecisionResult& result, bool fail) {
    return fail && classify(result) != Outcome::Permit ? int(EXIT_NOT_PERMITTED) : int(EXIT_OK);
}

void printResult(const DecisionResult& result) {
    // The proxy reads the permission only from a decision that succeeded.
    bool failed = azn_error_major(result.status) != 0;
    printf("%s\npermission: %s%s\n", describeStatus(result.status).c_str(), permissionWord(result.permission).c_str(),
           failed ? " (not used: the decision failed)" : "");
    printf("permission_info:%s\n", result.permissionInfo.empty() ? " (none)" : "");
    for (const InfoEntry& entry : result.permissionInfo) {
        if (const auto* text = std::get_if<std::string>(&entry.value)) {
            printf("  %s = \"%s\"\n", entry.name.c_str(), text->c_str());
        } else {
            printf("  %s = %lu\n", entry.name.c_str(), std::get<unsigned long>(entry.value));
        }
    }
    printf("proxy: %s\n", proxyAction(result).c_str());
}

}  // namespace zemhost
