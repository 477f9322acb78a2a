// check-config: each PDP endpoint through the runtime's own health check and a canned decision, and the
// certificate of an https endpoint.
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>

#include "config_checks.h"
#include "nvwebrte/config_keys.h"
#include "nvwebrte/nvwebrte.h"
#include "nvwsoap/nvwsoap.h"
#include "outcome.h"
#include "status_words.h"

namespace zemhost {

namespace {

// Seconds from [kova-eas] timeout, which the cluster's own check has accepted; else the declared default.
long timeoutSeconds(const ConfigReader& config) {
    std::string text = config.first(KOVA_STANZA, "timeout");
    return std::strtol(text.empty() ? zem::findConfigKey(KOVA_STANZA, "timeout")->fallback : text.c_str(), nullptr, 10);
}

// Beyond this, an endpoint that stops answering holds each decision noticeably before failover.
constexpr long SLOW_FAILOVER_SECONDS = 5;

bool verifiesPeer(const ConfigReader& config) {
    int verify = 1;
    std::string text = config.first(KOVA_STANZA, "ssl-verify-peer");
    return text.empty() || nvw_util_unmarshal_bool(text.c_str(), &verify) != 0 || verify;
}

// The TLS settings the plug-in's handles use, for reading the PDP's certificate.
void applyTlsSettings(CURL* easy, const ConfigReader& config) {
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, timeoutSeconds(config));
    if (std::string ca = config.first(KOVA_STANZA, "ssl-ca-file"); !ca.empty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, ca.c_str());
    if (std::string cert = config.first(KOVA_STANZA, "ssl-cert-file"); !cert.empty()) {
        curl_easy_setopt(easy, CURLOPT_SSLCERT, cert.c_str());
    }
    if (std::string key = config.first(KOVA_STANZA, "ssl-key-file"); !key.empty())
        curl_easy_setopt(easy, CURLOPT_SSLKEY, key.c_str());
    if (!verifiesPeer(config)) {
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    }
}

// Days from now until the PDP's own certificate (the first of the chain) expires; none for plain http or
// when no TLS connection could be made (the health check reports that).
std::optional<long> daysUntilExpiry(const ConfigReader& config, const std::string& url) {
    if (!url.starts_with("https:")) return {};
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), curl_easy_cleanup);
    curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy.get(), CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(easy.get(), CURLOPT_CERTINFO, 1L);
    applyTlsSettings(easy.get(), config);
    curl_certinfo* chain = nullptr;
    if (curl_easy_perform(easy.get()) != CURLE_OK ||
        curl_easy_getinfo(easy.get(), CURLINFO_CERTINFO, &chain) != CURLE_OK || !chain || chain->num_of_certs < 1) {
        return {};
    }
    const std::string label = "Expire date:";
    for (curl_slist* field = chain->certinfo[0]; field; field = field->next) {
        std::string text = field->data;
        if (!text.starts_with(label)) continue;
        time_t expiry = curl_getdate(text.substr(label.size()).c_str(), nullptr);
        if (expiry < 0) return {};
        return static_cast<long>((expiry - time(nullptr)) / 86400);
    }
    return {};
}

// An expiring certificate is renewed in time when it is noticed a month ahead.
constexpr long EXPIRY_WARNING_DAYS = 30;

void reportExpiry(const std::string& url, long days, Findings& findings) {
    std::string text = "endpoint " + url + ": its certificate expires in " + std::to_string(days) + " days";
    if (days < EXPIRY_WARNING_DAYS) {
        findings.warning(text + ": renew it before decisions fail");
    } else {
        findings.notice(text);
    }
}

// The health check the cluster runs on an endpoint it holds down; true when it answered.
bool checkHealth(const std::string& url, Findings& findings) {
    int status = nvwSoapPingEndpoint(url);
    if (status == 0) {
        findings.notice("endpoint " + url + " answers the health check");
        return true;
    }
    const StatusCode* known = findCode(minorCodes(), static_cast<unsigned int>(status));
    char code[16];
    snprintf(code, sizeof code, "0x%x", static_cast<unsigned int>(status));
    findings.problem("endpoint " + url + " does not answer the health check: " + code +
                     (known ? std::string(" ") + known->name + ": " + known->meaning : std::string()));
    return false;
}

}  // namespace

// One decision of an unknown user for an object no proxy serves: any PDP verdict shows the whole path
// works; only a decision that fails (the 502 page or a failure) is a problem.
void checkCannedDecision(const PluginHost& host, const std::string& subject, Findings& findings) {
    DecisionRequest request{"/check-config/probe", "r", {{"AZN_CRED_PRINCIPAL_NAME", "check-config"}}, {}};
    auto started = std::chrono::steady_clock::now();
    DecisionResult result = host.decide(request);
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    Outcome outcome = classify(result);
    std::string text = subject + "a canned decision (" + request.resource + ", read) took " +
                       std::to_string(elapsed.count()) + " ms: " + outcomeName(outcome) + " (" + proxyAction(result) +
                       ")";
    if (outcome == Outcome::ErrorPage || outcome == Outcome::Failure) {
        findings.problem(text);
    } else {
        findings.notice(text);
    }
}

void checkEndpoints(const PluginHost* host, const ConfigReader& config, const std::vector<std::string>& urls,
                    Findings& findings) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    long timeout = timeoutSeconds(config);
    if (!urls.empty() && timeout > SLOW_FAILOVER_SECONDS) {
        findings.warning("[kova-eas] timeout = " + std::to_string(timeout) +
                         ": an endpoint that stops answering holds "
                         "each decision up to " +
                         std::to_string(timeout) +
                         " seconds per connect or read before it "
                         "fails over; a few seconds are usually enough");
    }
    for (const std::string& url : urls) {
        // One line per endpoint as it is probed, so that a PDP that hangs is visible while it does.
        fprintf(stderr, "check-config: probing %s (health check, then a canned decision; each at most %ld s)\n",
                url.c_str(), timeout);
        if (checkHealth(url, findings) && host) {
            NVWSOAPEndpointPin onlyThisEndpoint(url);
            checkCannedDecision(*host, "endpoint " + url + ": ", findings);
        }
        if (std::optional<long> days = daysUntilExpiry(config, url)) reportExpiry(url, *days, findings);
    }
}

}  // namespace zemhost
