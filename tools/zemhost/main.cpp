// zemhost: loads the KOVA EAS plug-in as the proxy's authorization framework does and drives it.
#include <cstdio>
#include <exception>

#include "commands.h"
#include "nvwsoap/nvwsoap.h"

namespace {

using namespace zemhost;

void addGlobalOptions(CLI::App& app, HostSettings& settings) {
    app.add_option("--config", settings.configFile, "the proxy's configuration file (default: $ZEM_CONFIG)")
        ->envname("ZEM_CONFIG")
        ->check(CLI::ExistingFile);
    app.add_option("--plugin", settings.pluginPath, "the plug-in library")->capture_default_str();
    app.add_option_function<std::string>(
        "--trace-level",
        [&settings](const std::string& text) {
            settings.traceLevel = zem_trace_level_from_text(text.c_str());
            if (settings.traceLevel < 0)
                throw CLI::ValidationError("--trace-level", "0 to 9, or error, warning, info, debug");
        },
        "trace level 0 to 9, or error (1), warning (2), info (5), debug (9) (default: $ZEM_TRACE_LEVEL)");
    app.add_option("--trace-file", settings.traceFile, "trace destination (default: $ZEM_TRACE_FILE, else stderr)");
    app.add_option("--message-file", settings.messageFile, "catalogue messages destination (default: stderr)");
}

// The subcommand the user named, if parsing got that far.
const CLI::App* chosenCommand(const CLI::App& app) {
    std::vector<const CLI::App*> chosen = app.get_subcommands([](const CLI::App* sub) { return sub->parsed(); });
    return chosen.empty() ? &app : chosen.front();
}

int usageError(const CLI::App& app, const std::string& what) {
    const CLI::App* command = chosenCommand(app);
    std::string name = command == &app ? app.get_name() : app.get_name() + " " + command->get_name();
    fprintf(stderr, "zemhost: %s\n%sRun '%s --help' for more.\n", what.c_str(),
            CLI::Formatter().make_usage(command, name).c_str(), name.c_str());
    return EXIT_USAGE;
}

std::string subcommandNames(const std::vector<Command>& commands) {
    std::string names;
    for (const Command& command : commands) names += (names.empty() ? "" : ", ") + command.app->get_name();
    return names;
}

int runZemhost(int argc, char** argv) {
    CLI::App app{"zemhost: loads the KOVA EAS plug-in as the proxy does, and drives it.", "zemhost"};
    app.fallthrough();  // global options may also follow the subcommand
    HostSettings settings;
    settings.pluginPath = defaultPluginPath();
    addGlobalOptions(app, settings);
    app.set_version_flag("--version", [&settings] {
        return std::string("zemhost " KOVA_EAS_VERSION "\nplug-in: ") + settings.pluginPath;
    });
    const std::vector<Command> commands = {
        addInitCommand(app, settings), addDecideCommand(app, settings), addExplainCommand(app, settings),
        addRunCommand(app, settings),  addBenchCommand(app, settings),  addCheckConfigCommand(app, settings),
        addObfuscateCommand(app),      addStatusCommand(app),           addServeCommand(app, settings),
        addServeLoadCommand(app),
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        return usageError(app, error.what());
    }
    for (const Command& command : commands) {
        if (!command.app->parsed()) continue;
        if (command.needsConfig && settings.configFile.empty()) {
            return usageError(app, "--config FILE is required (or set ZEM_CONFIG)");
        }
        return command.run();
    }
    return usageError(app, "a subcommand is required: " + subcommandNames(commands));
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return runZemhost(argc, argv);
    } catch (const std::exception& error) {  // HostError, and whatever a library raises
        fprintf(stderr, "zemhost: %s\n", error.what());
    } catch (...) {
        fprintf(stderr, "zemhost: an unknown failure\n");
    }
    return EXIT_FAILED;
}
