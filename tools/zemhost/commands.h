// The subcommands of zemhost. Each add... function declares its options on `app` and returns what
// to run when the user chose it.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>

#include "decision.h"
#include "plugin_host.h"

namespace zemhost {

// Exit statuses.
enum : int { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2, EXIT_NOT_PERMITTED = 3 };

struct Command {
    CLI::App* app;
    bool needsConfig;  // every command but `obfuscate` reads the configuration file
    std::function<int()> run;
};

Command addInitCommand(CLI::App& app, const HostSettings& settings);
Command addDecideCommand(CLI::App& app, const HostSettings& settings);
Command addExplainCommand(CLI::App& app, const HostSettings& settings);
Command addRunCommand(CLI::App& app, const HostSettings& settings);
Command addBenchCommand(CLI::App& app, const HostSettings& settings);
Command addCheckConfigCommand(CLI::App& app, const HostSettings& settings);
Command addObfuscateCommand(CLI::App& app);
Command addServeCommand(CLI::App& app, const HostSettings& settings);
Command addServeLoadCommand(CLI::App& app);
Command addStatusCommand(CLI::App& app);

// --resource, --operation, repeated --cred NAME=VALUE and --context NAME=VALUE, filling `request`.
void addDecisionOptions(CLI::App& command, DecisionRequest& request);
// --fail: the exit status says whether the proxy would serve the resource.
void addFailOption(CLI::App& command, bool& fail);
// EXIT_NOT_PERMITTED when `fail` is set and the outcome is not a permit, else EXIT_OK.
int decisionExit(const DecisionResult& result, bool fail);
// Status, permission word and every permission-information entry, one per line.
void printResult(const DecisionResult& result);

}  // namespace zemhost
