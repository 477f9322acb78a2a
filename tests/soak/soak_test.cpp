// Faults under load: zemhost decides on two threads for a minute against a cluster of two refpdp
// endpoints while they are stopped, restarted, slowed past the time-out and made to answer SOAP faults
// and garbage. `zemhost bench` keeps one plug-in busy for the whole minute; beside it, rounds of
// `zemhost run` report every decision, and each must be the right answer, a fail-closed denial (deny
// or the 502 page, never permitted) or a failure status. Both must exit cleanly, which under
// `./run test asan` includes LeakSanitizer's check at exit. A long test: it runs only with SOAK=1.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "support/test_support.h"

namespace kova_test {
namespace {

using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

constexpr seconds PHASE_TIME{5};
constexpr int TIMEOUT_SECONDS = 1;
constexpr const char* SLOW_DELAY_MS = "2500";  // past the configured time-out
constexpr int LINES_PER_ROUND = 200;

// The right answers, by the resource path refpdp sees (the object less its first two components).
const char* const HEALTHY_RULES = R"({"default": "NotApplicable", "rules": [
  {"resource-prefix": "/permit", "effect": "Permit"},
  {"resource-prefix": "/deny", "effect": "Deny"},
  {"resource-prefix": "/stepup", "effect": "Permit", "obligation": "urn:kova:otp"},
  {"resource-prefix": "/redirect", "effect": "Deny", "obligation": "urn:kova:login", "transaction-id": true}]})";
const char* const FAULT_RULES =
    R"({"rules": [{"fault": {"code": "soapenv:Server", "string": "policy store offline"}}]})";
// Bodies that say Permit without being an XACML response: broken XML, and a well-formed foreign element.
const char* const GARBAGE_RULES = R"({"rules": [
  {"resource-prefix": "/deny", "body": "<Response><Result><Decision>Permit</Decision></Result"},
  {"body": "<Other xmlns=\"urn:example:other\"><Result><Decision>Permit</Decision></Result></Other>"}]})";

struct Request {
    const char* object;
    const char* expected;  // zemhost's outcome name for the right answer
};
constexpr Request REQUESTS[] = {
    {"/Corvane/inst1/permit/index.html", "permit"},  {"/Corvane/inst1/deny/index.html", "deny"},
    {"/Corvane/inst1/stepup/index.html", "step-up"}, {"/Corvane/inst1/redirect/index.html", "redirect"},
    {"/Corvane/inst1/elsewhere/index.html", "deny"},
};

enum class Mode { Healthy, Stopped, Slow, Faults, Garbage };

constexpr const char* MODE_NAMES[] = {"healthy", "stopped", "slow", "faults", "garbage"};
static_assert(std::size(MODE_NAMES) == static_cast<std::size_t>(Mode::Garbage) + 1, "a name for every mode");
const char* nameOf(Mode mode) { return MODE_NAMES[static_cast<int>(mode)]; }

struct Phase {
    Mode first, second;
};
// Twelve phases of PHASE_TIME: a minute. The first endpoint has the better priority.
constexpr Phase SCHEDULE[] = {
    {Mode::Healthy, Mode::Healthy}, {Mode::Stopped, Mode::Healthy}, {Mode::Healthy, Mode::Stopped},
    {Mode::Slow, Mode::Healthy},    {Mode::Faults, Mode::Healthy},  {Mode::Garbage, Mode::Healthy},
    {Mode::Healthy, Mode::Slow},    {Mode::Stopped, Mode::Stopped}, {Mode::Stopped, Mode::Faults},
    {Mode::Slow, Mode::Slow},       {Mode::Garbage, Mode::Stopped}, {Mode::Healthy, Mode::Healthy},
};

// One endpoint of the cluster: a refpdp that keeps its port when it is restarted in another mode.
class Endpoint {
public:
    explicit Endpoint(const TempDir& dir) : m_dir(dir) {
        m_pdp = std::make_unique<RefPdp>(options(Mode::Healthy));
        m_port = m_pdp->port();
    }
    std::string url() const {
        return "http://127.0.0.1:" + std::to_string(m_port) + "/kova/authz/services/AuthzService";
    }

    void become(Mode mode) {
        if (mode == m_mode) return;
        m_mode = mode;
        m_pdp.reset();
        if (mode != Mode::Stopped)
            m_pdp = std::make_unique<RefPdp>(options(mode), "127.0.0.1:" + std::to_string(m_port));
    }

private:
    std::vector<std::string> options(Mode mode) const {
        switch (mode) {
            case Mode::Slow: return {"--rules", m_dir.file("healthy.json"), "--delay-ms", SLOW_DELAY_MS};
            case Mode::Faults: return {"--rules", m_dir.file("faults.json")};
            case Mode::Garbage: return {"--rules", m_dir.file("garbage.json")};
            default: return {"--rules", m_dir.file("healthy.json")};
        }
    }

    const TempDir& m_dir;
    std::unique_ptr<RefPdp> m_pdp;
    Mode m_mode = Mode::Healthy;
    int m_port = 0;
};

using Counts = std::map<std::string, long>;  // right, fail-closed deny, error page, failure status, wrong

// How each checked decision came out, in all and by the phase in which its round started.
struct Tally {
    Counts counts;
    std::vector<Counts> byPhase = std::vector<Counts>(std::size(SCHEDULE));
    std::vector<std::string> wrong;     // the first few wrong decisions, as zemhost printed them
    std::vector<std::string> problems;  // rounds that did not end cleanly

    void add(const nlohmann::json& result, const char* expected, std::size_t phase) {
        std::string outcome = result.value("outcome", "");
        bool permitted = result.value("permission", "") == "AZN_C_PERMITTED";
        const char* kind = outcome == expected       ? "right"
                           : permitted               ? "wrong"
                           : outcome == "deny"       ? "fail-closed deny"
                           : outcome == "error-page" ? "error page"
                           : outcome == "failure"    ? "failure status"
                                                     : "wrong";
        ++counts[kind];
        ++byPhase[phase][kind];
        if (std::string(kind) == "wrong" && wrong.size() < 5)
            wrong.push_back(std::string(expected) + ": " + result.dump());
    }
    long count(const char* kind) const {
        auto found = counts.find(kind);
        return found == counts.end() ? 0 : found->second;
    }
};

std::string printed(const Counts& counts) {
    std::string text;
    for (const auto& [kind, count] : counts) text += " " + kind + " " + std::to_string(count) + ";";
    return text;
}

std::string requestLine(const Request& request) {
    return std::string(R"({"resource": ")") + request.object +
           R"(", "operation": "r", "creds": [["AZN_CRED_PRINCIPAL_NAME", "alice"], ["AUTHENTICATION_LEVEL", "1"]]})"
           "\n";
}

// `copies` passes over the requests, one JSON object per line.
std::string requestsFile(int copies) {
    std::string text;
    for (int i = 0; i < copies; ++i)
        for (const Request& request : REQUESTS) text += requestLine(request);
    return text;
}

std::string configText(const Endpoint& first, const Endpoint& second) {
    // clang-format off
    return "[kova-eas]\ntrace-component = kova\ncluster-name = kova\napply-zem-native-policy = no\n"
           "permit-when-no-kova-available = no\n"
           "server = 20," + first.url() + "\nserver = 10," + second.url() + "\n"
           "timeout = " + std::to_string(TIMEOUT_SECONDS) + "\nhealth-check-interval = 1\nmax-handles = 4\n"
           "[corvane-config]\nversion = 10.0.6\n[server]\nserver-name = corvane-inst1\n"
           "[azn-decision-info]\n[obligations-levels-mapping]\nurn:kova:otp = 2\n"
           "[obligations-urls-mapping]\nurn:kova:login = /login.html\n[user-attribute-definitions]\n";
    // clang-format on
}

class Soak : public ::testing::Test {
protected:
    TempDir dir;

    void SetUp() override {
        const char* soak = std::getenv("SOAK");
        if (!soak || std::string(soak) != "1") GTEST_SKIP() << "a minute of faults under load; set SOAK=1 to run it";
        writeFile(dir.file("healthy.json"), HEALTHY_RULES);
        writeFile(dir.file("faults.json"), FAULT_RULES);
        writeFile(dir.file("garbage.json"), GARBAGE_RULES);
        writeFile(dir.file("bench.jsonl"), requestsFile(1));
        writeFile(dir.file("round.jsonl"), requestsFile(LINES_PER_ROUND / std::size(REQUESTS)));
    }

    std::vector<std::string> zemhost(const std::vector<std::string>& command) const {
        std::vector<std::string> argv{buildDir() + "/zemhost", "--config", dir.file("corvaned.conf"), "--message-file",
                                      dir.file("messages")};
        argv.insert(argv.end(), command.begin(), command.end());
        return argv;
    }

    // Rounds of `zemhost run` until the schedule is over; every decision checked against its right answer.
    void checkRounds(const std::atomic<std::size_t>& phase, Tally& tally) const {
        for (std::size_t round = 0, at; (at = phase) < std::size(SCHEDULE); ++round) {
            std::string out, err;
            int code =
                runCommand(zemhost({"run", "--requests", dir.file("round.jsonl"), "--threads", "2"}), &out, &err);
            if (code != 0 || hasSanitizerReport(err))
                tally.problems.push_back("round " + std::to_string(round) + " exit " + std::to_string(code) + ":\n" +
                                         err);
            std::istringstream lines(out);
            for (std::string line; std::getline(lines, line);) {
                nlohmann::json result = nlohmann::json::parse(line);
                tally.add(result, REQUESTS[(result.at("line").get<int>() - 1) % std::size(REQUESTS)].expected, at);
            }
        }
    }

    static bool hasSanitizerReport(const std::string& err) {
        return err.find("Sanitizer") != std::string::npos || err.find("runtime error") != std::string::npos;
    }
};

TEST_F(Soak, DecisionsStayRightOrFailClosedWhileEndpointsFailAndNothingCrashesOrLeaks) {
    Endpoint first(dir), second(dir);
    writeFile(dir.file("corvaned.conf"), configText(first, second));

    Process bench(zemhost({"bench", "--requests", dir.file("bench.jsonl"), "--threads", "2", "--seconds",
                           std::to_string(PHASE_TIME.count() * std::size(SCHEDULE))}),
                  dir.file("bench.out"), dir.file("bench.err"));
    std::atomic<std::size_t> phase{0};
    Tally tally;
    std::thread checker([&] { checkRounds(phase, tally); });
    for (; phase < std::size(SCHEDULE); ++phase) {
        first.become(SCHEDULE[phase].first);
        second.become(SCHEDULE[phase].second);
        std::this_thread::sleep_for(PHASE_TIME);
    }
    checker.join();
    int benchCode = bench.wait();

    std::string benchErr = readFile(dir.file("bench.err"));
    std::cout << "soak: " << std::size(SCHEDULE) << " phases of " << PHASE_TIME.count() << " s\n"
              << "zemhost bench, 2 threads (exit " << benchCode << "):\n"
              << readFile(dir.file("bench.out"))
              << "zemhost run, 2 threads, checked decisions by the phase their round started in:\n";
    for (std::size_t at = 0; at < std::size(SCHEDULE); ++at)
        std::cout << "  " << at + 1 << " " << nameOf(SCHEDULE[at].first) << "/" << nameOf(SCHEDULE[at].second) << ":"
                  << printed(tally.byPhase[at]) << "\n";
    std::cout << "  all:" << printed(tally.counts) << std::endl;

    EXPECT_EQ(benchCode, 0) << benchErr;
    EXPECT_FALSE(hasSanitizerReport(benchErr)) << benchErr;
    EXPECT_TRUE(tally.problems.empty()) << tally.problems.front();
    EXPECT_EQ(tally.count("wrong"), 0) << tally.wrong.front();
    // The healthy phases gave right answers and the all-down phase gave error pages.
    EXPECT_GT(tally.count("right"), 0);
    EXPECT_GT(tally.count("error page"), 0);
}

}  // namespace
}  // namespace kova_test
