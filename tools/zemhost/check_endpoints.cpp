// check-config: the PDP endpoints, from the `server` entries to a health-check GET.
#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

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
std::string healthProblem(const ConfigReader& config, const std::string& url) {
    Easy easy(curl_easy_init(), curl_easy_cleanup);
    std::string statusLine;
    curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy.get(), CURLOPT_HEADERFUNCTION, keepStatusLine);
    curl_easy_setopt(easy.get(), CURLOPT_HEADERDATA, &statusLine);
    curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, discardBody);
    applyTransportSettings(easy.get(), config);
    CURLcode result = curl_easy_perform(easy.get());
    if (result != CURLE_OK) return std::string("does not answer: ") + curl_easy_strerror(result);
    if (!statusLine.starts_with(HEALTHY_STATUS_LINE)) return "answers '" + statusLine + "' instead of " + HEALTHY_STATUS_LINE;
    return "";
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
        std::string problem = healthProblem(config, url);
        if (problem.empty()) {
            findings.notice("endpoint " + url + " answers the health check with " + HEALTHY_STATUS_LINE);
        } else {
            findings.problem("endpoint " + url + " " + problem + " (health-check GET)");
        }
    }
}

}  // namespace zemhost
