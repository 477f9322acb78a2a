// check-config: the PDP endpoints, from the `server` entries to a health-check GET.
#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>

#include "config_checks.h"
#include "nvwebrte/config_keys.h"
#include "nvwebrte/nvwebrte.h"

namespace zemhost {

namespace {

const char* const HEALTHY_STATUS_LINE = "HTTP/1.1 200 OK";

using Easy = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

size_t keepStatusLine(char* data, size_t size, size_t count, void* target) {
    auto* statusLine = static_cast<std::string*>(target);
    if (statusLine->empty()) {
        statusLine->assign(data, size * count);
        statusLine->erase(statusLine->find_last_not_of("\r\n") + 1);
    }
    return size * count;
}

size_t discardBody(char*, size_t size, size_t count, void*) { return size * count; }

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

// The transport settings the plug-in's handles use for this endpoint.
void applyTransportSettings(CURL* easy, const ConfigReader& config) {
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, timeoutSeconds(config));
    if (std::string ca = config.first(KOVA_STANZA, "ssl-ca-file"); !ca.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, ca.c_str());
    if (std::string cert = config.first(KOVA_STANZA, "ssl-cert-file"); !cert.empty()) {
        curl_easy_setopt(easy, CURLOPT_SSLCERT, cert.c_str());
    }
    if (std::string key = config.first(KOVA_STANZA, "ssl-key-file"); !key.empty()) curl_easy_setopt(easy, CURLOPT_SSLKEY, key.c_str());
    if (!verifiesPeer(config)) {
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    std::string user = config.first(KOVA_STANZA, "basic-auth-user");
    std::string password = config.first(KOVA_STANZA, "basic-auth-passwd");
    if (!user.empty() && !password.empty()) {
        curl_easy_setopt(easy, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, password.c_str());
    }
}

// "" when the endpoint answers the GET with HEALTHY_STATUS_LINE, else what happened.
// Days from now until the PDP's own certificate (the first of the chain) expires, when the exchange used TLS.
std::optional<long> daysUntilExpiry(CURL* easy) {
    curl_certinfo* chain = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_CERTINFO, &chain) != CURLE_OK || !chain || chain->num_of_certs < 1) return {};
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

struct Probe {
    std::string problem;              // "" when the endpoint answers HEALTHY_STATUS_LINE
    std::optional<long> expiryDays;   // for https endpoints
};

Probe probe(const ConfigReader& config, const std::string& url) {
    Easy easy(curl_easy_init(), curl_easy_cleanup);
    std::string statusLine;
    curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy.get(), CURLOPT_HEADERFUNCTION, keepStatusLine);
    curl_easy_setopt(easy.get(), CURLOPT_HEADERDATA, &statusLine);
    curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, discardBody);
    curl_easy_setopt(easy.get(), CURLOPT_CERTINFO, 1L);
    applyTransportSettings(easy.get(), config);
    CURLcode result = curl_easy_perform(easy.get());
    Probe outcome{"", daysUntilExpiry(easy.get())};
    if (result != CURLE_OK) {
        outcome.problem = std::string("does not answer: ") + curl_easy_strerror(result);
    } else if (!statusLine.starts_with(HEALTHY_STATUS_LINE)) {
        outcome.problem = "answers '" + statusLine + "' instead of " + HEALTHY_STATUS_LINE;
    }
    return outcome;
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

}  // namespace

void checkEndpoints(const ConfigReader& config, const std::vector<std::string>& urls, Findings& findings) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    long timeout = timeoutSeconds(config);
    if (!urls.empty() && timeout > SLOW_FAILOVER_SECONDS) {
        findings.warning("[kova-eas] timeout = " + std::to_string(timeout) + ": an endpoint that stops answering holds "
                         "each decision up to " + std::to_string(timeout) + " seconds per connect or read before it "
                         "fails over; a few seconds are usually enough");
    }
    for (const std::string& url : urls) {
        // One line per endpoint as it is probed, so that a PDP that hangs is visible while it does.
        fprintf(stderr, "check-config: probing %s (at most %ld s)\n", url.c_str(), timeout);
        Probe outcome = probe(config, url);
        if (outcome.problem.empty()) {
            findings.notice("endpoint " + url + " answers the health check with " + HEALTHY_STATUS_LINE);
        } else {
            findings.problem("endpoint " + url + " " + outcome.problem + " (health-check GET)");
        }
        if (outcome.expiryDays) reportExpiry(url, *outcome.expiryDays, findings);
    }
}

}  // namespace zemhost
