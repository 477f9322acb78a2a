#include "serve_service.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "config_checks.h"
#include "host_error.h"
#include "nvwsoap/nvwsoap.h"
#include "serve_pool.h"
#include "serve_request.h"

namespace zemhost {

namespace {

using Clock = std::chrono::steady_clock;

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void logLine(const std::string& text) {
    std::string line = "zemhost serve: " + text + "\n";
    fwrite(line.data(), 1, line.size(), stderr);
}

// Every problem check-config reports for the file, the PDP endpoints' reachability aside (a reload
// must not depend on the PDP answering), plus the [zemhost-serve] stanza's own.
std::vector<std::string> configProblems(const std::string& configFile, const ServeOverrides& overrides) {
    ConfigReader config(configFile);
    Findings findings;
    checkEntries(config, findings);
    checkMappings(config, findings);
    checkExposure(config, findings);
    std::vector<std::string> problems;
    for (const Findings::Item& item : findings.items()) {
        if (item.kind == Findings::PROBLEM) problems.push_back(item.text);
    }
    readServeSettings(config, overrides, problems);
    return problems;
}

// A private copy of the previous file, so the service can fall back to it; "" when it cannot be made.
std::string scratchCopy(const std::string& text) {
    char path[] = "/tmp/zemhost-serve-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return "";
    bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (written) return path;
    unlink(path);
    return "";
}

void apply(const HttpAnswer& answer, httplib::Response& response) {
    response.status = answer.status;
    for (const auto& [name, value] : answer.headers) response.set_header(name.c_str(), value);
    response.set_content(answer.body, answer.contentType.c_str());
}

}  // namespace

AuthorizationService::AuthorizationService(const HostSettings& host, const ServeOverrides& overrides)
    : m_hostSettings(host), m_overrides(overrides) {
    std::vector<std::string> problems;
    m_startSettings = readServeSettings(ConfigReader(host.configFile), overrides, problems);
    if (!problems.empty()) throw HostError(problems.front() + " (zemhost check-config lists every problem)");
    m_settings = std::make_shared<const ServeSettings>(m_startSettings);
    m_runningText = fileText(host.configFile);
    if (!startPlugin(host.configFile)) throw HostError("the plug-in did not start");
}

AuthorizationService::~AuthorizationService() {
    std::unique_lock<std::shared_mutex> lock(m_lock);
    m_plugin.reset();
    forgetFallback();
}

void AuthorizationService::forgetFallback() {
    if (!m_fallbackFile.empty()) unlink(m_fallbackFile.c_str());
    m_fallbackFile.clear();
}

bool AuthorizationService::startPlugin(const std::string& configFile) {
    HostSettings settings = m_hostSettings;
    settings.configFile = configFile;
    auto plugin = std::make_unique<PluginHost>(settings);
    azn_status_t status = plugin->start();
    if (status != 0) {
        reportStartFailure(status);
        return false;
    }
    m_plugin = std::move(plugin);
    return true;
}

void AuthorizationService::reload() {
    const std::string& path = m_hostSettings.configFile;
    logLine("SIGHUP: reloading " + path);
    std::vector<std::string> problems = configProblems(path, m_overrides);
    if (!problems.empty()) {
        for (const std::string& problem : problems) logLine("  problem: " + problem);
        logLine("reload refused: the running configuration stays");
        return;
    }
    std::vector<std::string> ignored;
    auto settings = std::make_shared<const ServeSettings>(readServeSettings(ConfigReader(path), m_overrides, ignored));
    std::string text = fileText(path);
    std::unique_lock<std::shared_mutex> lock(m_lock);  // the requests in flight finish first
    m_plugin.reset();
    if (startPluginLogged(path)) {
        m_settings = settings;
        m_runningText = text;
        forgetFallback();
        logLine("reloaded");
        return;
    }
    logLine("reload failed: restarting with the previous configuration");
    std::string previous = scratchCopy(m_runningText);
    if (previous.empty() || !startPluginLogged(previous)) {
        logLine("the previous configuration did not start either: every decision fails until the next reload");
    }
    forgetFallback();
    m_fallbackFile = previous;
}

bool AuthorizationService::startPluginLogged(const std::string& configFile) {
    try {
        return startPlugin(configFile);
    } catch (const std::exception& error) {
        logLine(error.what());
        return false;
    }
}

bool AuthorizationService::ready() const {
    if (!m_plugin) return false;
    for (const NVWSOAPEndpointState& endpoint : nvwSoapEndpointStates()) {
        if (endpoint.up) return true;
    }
    return false;
}

HttpAnswer AuthorizationService::authorize(const httplib::Request& request, const ServeSettings& settings,
                                           AccessRecord& record) {
    auto translated = translateRequest(request, settings);
    if (const BadInput* bad = std::get_if<BadInput>(&translated)) {
        m_metrics.countBadInput();
        record.outcome = "bad-input";
        record.reason = bad->reason;
        return plainAnswer(400, "bad request: " + bad->reason);
    }
    const TranslatedRequest& asked = std::get<TranslatedRequest>(translated);
    record.client = asked.client;
    record.method = asked.method;
    record.object = asked.decision.resource;
    record.operation = asked.decision.operation;
    record.user = asked.user;
    if (!m_plugin) {
        record.outcome = "failure";
        record.reason = "the plug-in is not running";
        return plainAnswer(500, "the decision failed");
    }
    Clock::time_point begin = Clock::now();
    DecisionResult result = m_plugin->decide(asked.decision);
    Outcome outcome = classify(result);
    m_metrics.countDecision(outcome, Clock::now() - begin);
    record.outcome = outcomeName(outcome);
    return answerFor(result, outcome, settings, asked.originalUrl);
}

void AuthorizationService::handle(const httplib::Request& request, httplib::Response& response) {
    Clock::time_point begin = Clock::now();
    AccessRecord record;
    record.client = request.remote_addr;
    record.method = request.method;
    HttpAnswer answer;
    std::shared_lock<std::shared_mutex> lock(m_lock);
    if (BoundedPool::overloaded()) {
        m_metrics.countOverload();
        record.outcome = "overloaded";
        answer = plainAnswer(503, "overloaded");
        answer.headers.emplace_back("Retry-After", "1");
        answer.headers.emplace_back("Connection", "close");
    } else if (request.path == "/healthz") {
        record.outcome = "health";
        answer = plainAnswer(200, "alive");
    } else if (request.path == "/readyz") {
        record.outcome = "ready";
        answer = ready() ? plainAnswer(200, "ready") : plainAnswer(503, "not ready: no PDP endpoint is up");
    } else if (request.path == "/metrics") {
        record.outcome = "metrics";
        answer = plainAnswer(200, "");
        answer.body = m_metrics.render();
        answer.contentType = "text/plain; version=0.0.4";
    } else {
        try {
            answer = authorize(request, *m_settings, record);
        } catch (const std::exception& error) {  // HostError from the framework calls
            record.outcome = "failure";
            record.reason = error.what();
            answer = plainAnswer(500, "the decision failed");
        }
    }
    apply(answer, response);
    record.status = answer.status;
    record.latency = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin);
    m_accessLog.write(record, m_settings->logFormat);
}

}  // namespace zemhost
