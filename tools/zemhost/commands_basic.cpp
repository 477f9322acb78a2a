// init, decide and obfuscate: the one-shot subcommands.
#include <cstdio>

#include "commands.h"
#include "json_output.h"
#include "qzz/qzz.h"

namespace zemhost {

Command addInitCommand(CLI::App& app, const HostSettings& settings) {
    CLI::App* command = app.add_subcommand("init", "start the plug-in, print its service version, shut it down");
    return {command, true, [&settings] {
                return withStartedPlugin(settings, [](const PluginHost& host) {
                    printf("service version: %s\n", host.version().c_str());
                    return int(EXIT_OK);
                });
            }};
}

Command addDecideCommand(CLI::App& app, const HostSettings& settings) {
    CLI::App* command = app.add_subcommand("decide", "run one access decision and print the plug-in's answer");
    auto request = std::make_shared<DecisionRequest>();
    auto json = std::make_shared<bool>(false);
    auto fail = std::make_shared<bool>(false);
    addDecisionOptions(*command, *request);
    command->add_flag("--json", *json, "print the answer as one JSON object");
    addFailOption(*command, *fail);
    return {command, true, [&settings, request, json, fail] {
                return withStartedPlugin(settings, [&](const PluginHost& host) {
                    DecisionResult result = host.decide(*request);
                    if (*json) {
                        printf("%s\n", jsonLine(resultJson(result)).c_str());
                    } else {
                        printResult(result);
                    }
                    return decisionExit(result, *fail);
                });
            }};
}

Command addObfuscateCommand(CLI::App& app) {
    CLI::App* command =
        app.add_subcommand("obfuscate", "print TEXT in the obfuscated form the configuration file accepts (obf:...)");
    auto text = std::make_shared<std::string>();
    command->add_option("TEXT", *text, "the value to obfuscate, e.g. a password")->required();
    return {command, false, [text] {
                printf("%s\n", zqz_obfuscate(*text).c_str());
                return int(EXIT_OK);
            }};
}

}  // namespace zemhost
