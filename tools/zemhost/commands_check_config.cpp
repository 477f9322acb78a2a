// check-config: every problem an administrator can fix, without deciding anything.
#include <cstdio>

#include "commands.h"
#include "config_checks.h"

namespace zemhost {

namespace {

int runCheckConfig(const HostSettings& settings) {
    ConfigReader config(settings.configFile);
    Findings findings;
    checkEntries(config, findings);
    std::vector<std::string> urls = checkStartUp(settings, findings);
    checkMappings(config, findings);
    checkExposure(config, findings);
    checkEndpoints(config, urls, findings);
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
