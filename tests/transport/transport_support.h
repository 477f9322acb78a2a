// Shared parts of the transport tests: an XACML request in pieces, refpdp rules that answer every way
// the transport must handle, refpdp's connection counter, and a cluster configured from a real file.
#pragma once

#include <curl/curl.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "nvwebrte/nvwebrte.h"
#include "nvwsoap/nvwsoap.h"
#include "orbsec_axiscpp/axis.h"
#include "rba/KOVASOAPCall.h"
#include "rba/kova_eas.h"
#include "support/test_support.h"

namespace kova_test {

// Resource paths select refpdp's answer.
inline const char* TRANSPORT_RULES = R"({
  "default": "NotApplicable",
  "rules": [
    {"resource-prefix": "/permit", "effect": "Permit", "obligation": "urn:kova:stepup", "transaction-id": true},
    {"resource-prefix": "/deny-obliged", "effect": "Deny", "obligation": "urn:kova:login"},
    {"resource-prefix": "/deny", "effect": "Deny"},
    {"resource-prefix": "/fault-text", "fault": {"code": "soapenv:Server", "string": "policy store offline",
                                                 "actor": "urn:kova:pdp", "detail": "store 7 unreachable"}},
    {"resource-prefix": "/fault-xml", "fault": {"string": "bad policy", "detail-xml": "<reason code=\"9\">cycle</reason>"}},
    {"resource-prefix": "/fault-bare", "fault": {"code": "soapenv:Client", "string": "no detail"}},
    {"resource-prefix": "/not-a-response", "body": "<Other xmlns=\"urn:example:other\"><Decision>Permit</Decision></Other>"},
    {"resource-prefix": "/markup-in-text", "body": "<Response xmlns=\"urn:oasis:names:tc:xacml:2.0:context:schema:os\"><!-- >Permit</ --><?note >Permit</?><Result><Decision><![CDATA[<b>&]]>Deny</Decision></Result></Response>"},
    {"resource-prefix": "/padded", "effect": "Deny", "padding": 8000},
    {"resource-prefix": "/big", "effect": "Deny", "padding": 900000},
    {"resource-prefix": "/huge", "effect": "Deny", "padding": 2000000},
    {"resource-prefix": "/streamed", "effect": "Deny", "padding": 2000000, "chunked": true}
  ]})";

// The content of an XACML Request element in pieces, written with the "ns1" prefix the SOAP layer binds.
class XacmlPieces {
public:
    explicit XacmlPieces(const std::string& resource, const std::string& action = "read")
        : XacmlPieces(std::vector<std::string>{resource}, action) {}
    // The resource given in as many pieces as `resource` holds.
    XacmlPieces(const std::vector<std::string>& resource, const std::string& action) {
        m_texts = {"<ns1:Resource><ns1:Attribute AttributeId=\"urn:oasis:names:tc:xacml:1.0:resource:resource-id\" "
                   "DataType=\"http://www.w3.org/2001/XMLSchema#string\"><ns1:AttributeValue>"};
        m_texts.insert(m_texts.end(), resource.begin(), resource.end());
        m_texts.insert(m_texts.end(), {"</ns1:AttributeValue></ns1:Attribute></ns1:Resource><ns1:Action><ns1:Attribute "
                                       "AttributeId=\"urn:oasis:names:tc:xacml:1.0:action:action-id\" "
                                       "DataType=\"http://www.w3.org/2001/XMLSchema#string\"><ns1:AttributeValue>",
                                       action, "</ns1:AttributeValue></ns1:Attribute></ns1:Action><ns1:Environment/>"});
        for (std::string& text : m_texts) m_pointers.push_back(text.data());
        m_any = orbsec_axiscpp::AnyType(m_pointers.data(), static_cast<int>(m_pointers.size()));
    }
    XacmlPieces(const XacmlPieces&) = delete;
    XacmlPieces& operator=(const XacmlPieces&) = delete;

    orbsec_axiscpp::AnyType* any() { return &m_any; }
    std::string joined() const {
        std::string text;
        for (const std::string& piece : m_texts) text += piece;
        return text;
    }

private:
    std::vector<std::string> m_texts;
    std::vector<char*> m_pointers;
    orbsec_axiscpp::AnyType m_any;
};

// Joins the pieces of a response any-content and releases it as its owner must.
inline std::string takeJoined(orbsec_axiscpp::AnyType* any) {
    std::string text;
    for (int i = 0; i < any->_size; ++i) {
        text += any->_array[i];
        delete[] any->_array[i];
    }
    delete[] any->_array;
    delete any;
    return text;
}

// refpdp's counters: accepted TCP connections and evaluated requests.
struct PdpStats {
    long connections = 0;
    long requests = 0;
};

// Reads refpdp's /stats over one keep-alive connection of its own, which it leaves out of the count.
class PdpStatsReader {
public:
    explicit PdpStatsReader(const RefPdp& pdp) : m_curl(curl_easy_init()) {
        std::string service = pdp.url();
        m_url = service.substr(0, service.find('/', service.find("//") + 2)) + "/stats";
        curl_easy_setopt(m_curl, CURLOPT_URL, m_url.c_str());
        curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYPEER, 0L);  // only counters travel here
        curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(
            m_curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
                static_cast<std::string*>(out)->append(data, size * count);
                return size * count;
            });
        curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &m_body);
    }
    ~PdpStatsReader() { curl_easy_cleanup(m_curl); }
    PdpStatsReader(const PdpStatsReader&) = delete;
    PdpStatsReader& operator=(const PdpStatsReader&) = delete;

    PdpStats read() {
        m_body.clear();
        if (curl_easy_perform(m_curl) != CURLE_OK) return {-1, -1};
        nlohmann::json stats = nlohmann::json::parse(m_body);
        return {stats.at("connections").get<long>() - 1, stats.at("requests").get<long>()};
    }

private:
    CURL* m_curl;
    std::string m_url;
    std::string m_body;
};

// A cluster manager with one cluster read from a real [kova-eas] stanza through the host's loader.
class ClusterUnderTest {
public:
    ClusterUnderTest(NVWSOAPServiceFactory& factory, const TempDir& dir, const std::string& stanzaBody,
                     NVWSOAPTrace* trace = nullptr)
        : m_path(dir.file("cluster.conf")) {
        writeFile(m_path, "[kova-eas]\n" + stanzaBody);
        m_config = {&m_ops, m_path.c_str(), "kova-eas", nullptr};
        status = manager.initialize(&factory, trace);
        if (status == 0) status = manager.addCluster("kova", true, &m_config, &cluster);
    }

    NVWSOAPClusterMgr manager;
    NVWSOAPCluster* cluster = nullptr;
    int status = -1;

private:
    std::string m_path;
    nvw_soap_config_ops_t m_ops{qzw_load_entry, qzw_release_entry_data, nullptr, nullptr};
    nvw_soap_config_interface_t m_config{};
};

// What a call borrowed; given back when the test is done with it, as the plug-in does.
struct BorrowedHandle {
    NVWSOAPHandleMgr::HandleRef ref;
    ~BorrowedHandle() { giveBack(); }
    void giveBack() {
        if (ref.container) ref.mgr->returnHandle(ref.container);
        ref = {};
    }
};

// What one decision's service call gave.
struct Exchange {
    int status = -1;
    bool hasResponse = false;
    std::string content;
    bool recovered = false;
};

// One decision's service call through the cluster, as the plug-in runs it. The handle goes back at once
// unless `keep` is given.
inline Exchange exchangeThrough(NVWSOAPCluster* cluster, const std::string& resource, BorrowedHandle* keep = nullptr,
                                NVWSOAPTrace* trace = nullptr) {
    KOVAServiceCall call("EvaluateKOVARequest", true, nullptr, trace);
    BorrowedHandle own;
    XacmlPieces request(resource);
    orbsec_axiscpp::AnyType* response = nullptr;
    Exchange exchange;
    exchange.status = call.execute(cluster, &(keep ? keep : &own)->ref, &exchange.recovered, request.any(), &response);
    exchange.hasResponse = response != nullptr;
    if (response) exchange.content = takeJoined(response);
    return exchange;
}

// soapCall wants an argument list; the ping reads none.
inline int soapCallWithoutArguments(NVWSOAPCall& call, NVWSOAPHandle* handle, const char* url, ...) {
    va_list none;
    va_start(none, url);
    int result = call.soapCall(handle, url, none);
    va_end(none);
    return result;
}

// One health-check ping of `url` with the transport settings of `config`.
inline int pingOnce(const std::string& url, const NVWSOAPHandleConfig& config) {
    KOVAPingCall call("ping", true, nullptr, &kova_trace);
    NVWSOAPHandle handle(nullptr, &config);
    return soapCallWithoutArguments(call, &handle, url.c_str());
}

}  // namespace kova_test
