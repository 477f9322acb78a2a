// `zemhost serve` as an administrator runs it: refpdp on loopback, the service, and a real nginx
// (auth_request) or Caddy (forward_auth) with the sites of examples/ in front of a small upstream,
// each on loopback ports with its own configuration in a temporary folder. Requests go through libcurl.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace kova_test {

// What refpdp answers, by the resource path the plug-in sends (the object less /Corvane/inst1).
inline const char* SERVE_RULES = R"({
  "default": "NotApplicable",
  "rules": [
    {"resource-prefix": "/docs", "user": "mallory", "effect": "Deny"},
    {"resource-prefix": "/docs", "group": "staff", "effect": "Permit"},
    {"resource-prefix": "/payroll", "effect": "Permit",
     "obligation": "urn:oxa:security:authentication:obligation:otp", "transaction-id": true},
    {"resource-prefix": "/account", "effect": "Deny",
     "obligation": "urn:oxa:security:authentication:obligation:login", "transaction-id": true},
    {"resource-prefix": "/open", "effect": "Permit"}
  ]})";

// The identity a trusted proxy passes for a member of staff.
inline const std::vector<std::string> ALICE = {"Remote-User: alice", "Remote-Groups: staff"};

// A loopback port that was free a moment ago.
int freePort();
// Polls until something accepts on 127.0.0.1:port or `process` ends; false on time-out.
bool waitForPort(int port, Process& process);
// Polls until `path` contains `text`; false after ten seconds.
bool waitForText(const std::string& path, const std::string& text);

// `zemhost serve` on an ephemeral loopback port.
class ServeProcess {
public:
    ServeProcess(const std::string& configFile, const std::vector<std::string>& options, const std::string& dir);
    int port() const { return m_port; }
    std::string url(const std::string& path = "/auth") const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    const std::string& logFile() const { return m_err; }
    Process& process() { return *m_process; }

private:
    std::string m_out, m_err;
    std::unique_ptr<Process> m_process;
    int m_port = 0;
};

// A proxy started with its own configuration; the protected site answers on port().
class ProxyProcess {
public:
    enum class Kind { Nginx, Caddy };
    // `site`: the example site text with its ports already pointed at this run.
    ProxyProcess(Kind kind, const std::string& site, int sitePort, int upstreamPort, const std::string& dir);
    ~ProxyProcess();
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }

private:
    std::unique_ptr<Process> m_process;
    int m_port;
};

// refpdp with SERVE_RULES, the example configuration pointed at it (plus `extra` stanza lines), and
// one `zemhost serve` with `serveOptions`.
class ServeFixture : public ::testing::Test {
protected:
    TempDir dir;
    std::unique_ptr<RefPdp> pdp;
    std::unique_ptr<ServeProcess> serve;
    std::vector<std::string> pdpOptions;  // refpdp options beyond the rules, set before startService

    void startService(const std::vector<std::string>& serveOptions, const std::string& serveEntries = "");
    // The example configuration pointed at this run's refpdp and audit file, with `serveEntries` leading
    // the [zemhost-serve] stanza (so they override the example's).
    std::string configText(const std::string& serveEntries) const;
    std::string configFile() const { return dir.file("corvaned.conf"); }
    // An authorization request as a proxy sends it for `method uri`, with extra headers.
    Reply authorize(const std::string& uri, const std::vector<std::string>& extra = {},
                    const std::string& localAddress = "") const;
    // The last access-log line of a service started with --log-format json.
    nlohmann::json lastAccessRecord() const;
};

}  // namespace kova_test
