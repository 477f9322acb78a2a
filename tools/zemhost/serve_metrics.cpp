#include "serve_metrics.h"

#include <cstdio>

#include "nvwsoap/nvwsoap.h"

namespace zemhost {

namespace {

const Outcome ALL_OUTCOMES[] = {Outcome::Permit,    Outcome::StepUp,      Outcome::Deny,   Outcome::Redirect,
                                Outcome::ErrorPage, Outcome::Indifferent, Outcome::Failure};

// A label value with \, " and line feeds escaped as the text format wants.
std::string labelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string number(double value) {
    char text[32];
    snprintf(text, sizeof text, "%g", value);
    return text;
}

}  // namespace

void ServeMetrics::countDecision(Outcome outcome, std::chrono::nanoseconds latency) {
    ++m_decisions[static_cast<std::size_t>(outcome)];
    double seconds = std::chrono::duration<double>(latency).count();
    for (std::size_t i = 0; i < BUCKETS.size(); ++i) {
        if (seconds <= BUCKETS[i]) {
            ++m_buckets[i];
            break;
        }
    }
    ++m_latencyCount;
    m_latencyNanos += static_cast<unsigned long>(latency.count());
}

std::string ServeMetrics::render() const {
    std::string out =
        "# HELP kova_serve_decisions_total Decisions by outcome.\n# TYPE kova_serve_decisions_total counter\n";
    for (Outcome outcome : ALL_OUTCOMES) {
        out += "kova_serve_decisions_total{outcome=\"" + std::string(outcomeName(outcome)) + "\"} " +
               std::to_string(m_decisions[static_cast<std::size_t>(outcome)].load()) + "\n";
    }
    out += "# HELP kova_serve_decision_seconds Time the plug-in took for one decision.\n"
           "# TYPE kova_serve_decision_seconds histogram\n";
    unsigned long cumulative = 0;
    for (std::size_t i = 0; i < BUCKETS.size(); ++i) {
        cumulative += m_buckets[i].load();
        out += "kova_serve_decision_seconds_bucket{le=\"" + number(BUCKETS[i]) + "\"} " + std::to_string(cumulative) +
               "\n";
    }
    unsigned long count = m_latencyCount.load();
    out += "kova_serve_decision_seconds_bucket{le=\"+Inf\"} " + std::to_string(count) + "\n";
    out += "kova_serve_decision_seconds_sum " + number(double(m_latencyNanos.load()) / 1e9) + "\n";
    out += "kova_serve_decision_seconds_count " + std::to_string(count) + "\n";
    out += "# HELP kova_serve_pdp_endpoint_up 1 when the SOAP cluster library holds the PDP endpoint up.\n"
           "# TYPE kova_serve_pdp_endpoint_up gauge\n";
    for (const NVWSOAPEndpointState& endpoint : nvwSoapEndpointStates()) {
        out += "kova_serve_pdp_endpoint_up{cluster=\"" + labelValue(endpoint.cluster) + "\",url=\"" +
               labelValue(endpoint.url) + "\"} " + (endpoint.up ? "1" : "0") + "\n";
    }
    out += "# HELP kova_serve_bad_requests_total Requests refused as bad input (400), no decision made.\n"
           "# TYPE kova_serve_bad_requests_total counter\n"
           "kova_serve_bad_requests_total " +
           std::to_string(m_badInput.load()) + "\n";
    out += "# HELP kova_serve_overloaded_total Connections answered 503 because every worker and queue slot was busy.\n"
           "# TYPE kova_serve_overloaded_total counter\n"
           "kova_serve_overloaded_total " +
           std::to_string(m_overload.load()) + "\n";
    return out;
}

}  // namespace zemhost
