// init, decide, status and obfuscate: the one-shot subcommands.
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "commands.h"
#include "host_error.h"
#include "json_output.h"
#include "qzz/qzz.h"
#include "status_words.h"

namespace zemhost {

namespace {

// "major 1 AZN_S_FAILURE (framework): ..." or why the part is not known; false for an unknown code.
bool printPart(const char* part, const std::string& number, const StatusCode* row, const char* unknown) {
    if (row) {
        printf("%s %s %s (%s): %s\n", part, number.c_str(), row->name, row->source, row->meaning);
    } else {
        printf("%s %s: %s\n", part, number.c_str(), unknown);
    }
    return row != nullptr;
}

const CLI::Validator STATUS_WORD(
    [](const std::string& text) {
        return parseStatusWord(text) ? std::string()
                                     : "'" + text + "' is not a status word in hexadecimal, e.g. 0x138ad5003";
    },
    "");

int explainStatusWord(unsigned long word) {
    unsigned int major = azn_error_major(word), minor = azn_error_minor(word);
    printf("status %s\n", statusHex(word).c_str());
    bool known = true;
    if (major == 0 && minor != 0) {
        printf("major 0: none (a minor code on its own, as the catalogue messages print it)\n");
    } else {
        known = printPart("major", std::to_string(major), findCode(majorCodes(), major), "not a framework code");
    }
    if (minor != 0) {
        known = printPart("minor", statusHex(minor), findCode(minorCodes(), minor),
                          "not a code of the plug-in or its host") &&
                known;
    } else if (major != 0) {
        printf("minor 0x0: no further detail (see the catalogue messages printed before it)\n");
    }
    return known ? int(EXIT_OK) : int(EXIT_FAILED);
}

// Terminal echo off while a secret is typed; restored on every way out.
class HiddenInput {
public:
    HiddenInput() : m_terminal(isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &m_saved) == 0) {
        if (!m_terminal) return;
        termios quiet = m_saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        fprintf(stderr, "value to obfuscate: ");
    }
    ~HiddenInput() {
        if (!m_terminal) return;
        tcsetattr(STDIN_FILENO, TCSANOW, &m_saved);
        fprintf(stderr, "\n");
    }
    HiddenInput(const HiddenInput&) = delete;
    HiddenInput& operator=(const HiddenInput&) = delete;

private:
    termios m_saved{};
    bool m_terminal;
};

// The first line of standard input, so that the secret stays out of the argument list and shell history.
std::string secretFromStdin() {
    const std::size_t limit = std::size_t{64} * 1024;
    std::string line;
    HiddenInput hidden;
    for (int c; (c = getchar()) != EOF && c != '\n';) {
        if (line.size() == limit) throw HostError("the value to obfuscate is longer than 64 KiB");
        line.push_back(static_cast<char>(c));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) throw HostError("nothing to obfuscate: the first line of standard input is empty");
    return line;
}

// Every code as the rows of a Markdown table; the administrator's guide holds this table as printed.
int listStatusCodes() {
    printf("| part | code | name | returned by | meaning |\n|---|---|---|---|---|\n");
    for (const StatusCode& row : majorCodes()) {
        printf("| major | %u | %s | %s | %s |\n", row.code, row.name, row.source, row.meaning);
    }
    for (const StatusCode& row : minorCodes()) {
        printf("| minor | %s | %s | %s | %s |\n", statusHex(row.code).c_str(), row.name, row.source, row.meaning);
    }
    return EXIT_OK;
}

}  // namespace

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

Command addStatusCommand(CLI::App& app) {
    CLI::App* command =
        app.add_subcommand("status", "explain a status word of the plug-in or its host: major and minor code, meaning");
    auto word = std::make_shared<std::string>();
    auto list = std::make_shared<bool>(false);
    CLI::Option* wordOption =
        command->add_option("WORD", *word, "the status word in hexadecimal, e.g. 0x138ad5003 or 38ad5013")
            ->check(STATUS_WORD);
    command->add_flag("--list", *list, "print every known code as a Markdown table")->excludes(wordOption);
    command->require_option(1);
    return {command, false,
            [word, list] { return *list ? listStatusCodes() : explainStatusWord(*parseStatusWord(*word)); }};
}

Command addObfuscateCommand(CLI::App& app) {
    CLI::App* command =
        app.add_subcommand("obfuscate", "print TEXT in the obfuscated form the configuration file accepts (obf:...)");
    auto text = std::make_shared<std::string>();
    command->add_option("TEXT", *text,
                        "the value to obfuscate; leave it out to type it or pipe it on standard input (first line), "
                        "which keeps a password out of the process list and shell history");
    return {command, false, [text] {
                printf("%s\n", zqz_obfuscate(text->empty() ? secretFromStdin() : *text).c_str());
                return int(EXIT_OK);
            }};
}

}  // namespace zemhost
