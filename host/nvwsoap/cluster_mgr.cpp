#include <cstdarg>

#include "nvwsoap/cluster_impl.h"
#include "qzauthzn/azn.h"
#include "qzsvc/qzsvc.h"

namespace {

// The library's own messages: why a cluster could not be added, and each change of an endpoint's
// state, so that the administrator sees them whatever the trace level.
const qz_msg_entry_t MESSAGES[] = {
    {NVWSOAP_MSG_CLUSTER_REFUSED, "NVWSO0090E   The SOAP cluster %s cannot be added: [%s] in %s: %s."},
    {NVWSOAP_MSG_ENDPOINT_DOWN,
     "NVWSO0091W   The endpoint %s of the SOAP cluster %s is down: %s. Requests fail over to its other endpoints."},
    {NVWSOAP_MSG_ALL_DOWN,
     "NVWSO0092E   The endpoint %s of the SOAP cluster %s is down: %s. Every endpoint of the cluster is down."},
    {NVWSOAP_MSG_ENDPOINT_BACK, "NVWSO0093I   The endpoint %s of the SOAP cluster %s is back up."},
};

void reportRefusal(NVWSOAPTrace* trace, const char* name, const nvw_soap_config_interface_t& config,
                   const std::string& reason) {
    const char* stanza = config.stanza ? config.stanza : "";
    const char* file = config.configFile ? config.configFile : "";
    NVWSOAP_TRACE(trace, 1, "Cluster %s, stanza [%s]: %s", name, stanza, reason.c_str());
    nvwsoapMessage(NVWSOAP_MSG_CLUSTER_REFUSED, name, stanza, file, reason.c_str());
}

}  // namespace

void nvwsoapMessage(unsigned int id, ...) {
    static std::once_flag registered;
    std::call_once(registered, [] {
        unsigned int status = 0;
        qz_msg_define_msg_table(MESSAGES, sizeof MESSAGES / sizeof MESSAGES[0], &status);
    });
    va_list args;
    va_start(args, id);
    qz_vprintf_utf8(id, args);
    va_end(args);
}

struct NVWSOAPClusterMgr::Impl {
    std::mutex mutex;
    NVWSOAPServiceFactory* factory = nullptr;
    NVWSOAPTrace* trace = nullptr;
    std::vector<NVWSOAPCluster*> clusters;  // made by the factory, owned here
};

namespace {

// Live managers, for nvwSoapEndpointStates. Lock order: this registry, then a manager's mutex.
std::mutex g_registryMutex;
std::vector<NVWSOAPClusterMgr::Impl*> g_registry;

}  // namespace

NVWSOAPClusterMgr::NVWSOAPClusterMgr() : m_impl(new Impl) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    g_registry.push_back(m_impl);
}

NVWSOAPClusterMgr::~NVWSOAPClusterMgr() {
    {
        std::lock_guard<std::mutex> lock(g_registryMutex);
        std::erase(g_registry, m_impl);
    }
    shutdown();
    delete m_impl;
}

// Shutdown takes the clusters out under the manager's mutex before deleting them, so the members
// read here stay alive while it is held.
std::vector<NVWSOAPEndpointState> nvwSoapEndpointStates() {
    std::vector<NVWSOAPEndpointState> states;
    std::lock_guard<std::mutex> registryLock(g_registryMutex);
    for (NVWSOAPClusterMgr::Impl* manager : g_registry) {
        std::lock_guard<std::mutex> lock(manager->mutex);
        for (NVWSOAPCluster* cluster : manager->clusters) {
            for (const auto& member : cluster->impl()->members) {
                states.push_back({cluster->impl()->name, member->url(), member->priority(), member->isUp()});
            }
        }
    }
    return states;
}

int nvwSoapPingEndpoint(const std::string& url) {
    std::lock_guard<std::mutex> registryLock(g_registryMutex);
    for (NVWSOAPClusterMgr::Impl* manager : g_registry) {
        std::lock_guard<std::mutex> lock(manager->mutex);
        for (NVWSOAPCluster* cluster : manager->clusters) {
            for (const auto& member : cluster->impl()->members)
                if (url == member->url()) return cluster->impl()->pingStatus(*member);
        }
    }
    return NVWSOAP_S_NO_ENDPOINT;
}

int NVWSOAPClusterMgr::initialize(NVWSOAPServiceFactory* factory, NVWSOAPTrace* trace) {
    if (!factory) return NVWSOAP_S_BAD_FACTORY;
    // Nothing else makes it fail here; tests of the callers' failure path ask for it.
    if (zem_injected_failure("NVWSOAPClusterMgr::initialize")) return NVWSOAP_S_NOT_INITIALIZED;
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->factory = factory;
    m_impl->trace = trace;
    return 0;
}

// `start`: run the cluster's maintenance (closing idle handles, health checks) from now on.
int NVWSOAPClusterMgr::addCluster(const char* name, bool start, nvw_soap_config_interface_t* config,
                                  NVWSOAPCluster** cluster) {
    NVWSOAPServiceFactory* factory;
    NVWSOAPTrace* trace;
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        factory = m_impl->factory;
        trace = m_impl->trace;
    }
    if (!factory) return NVWSOAP_S_NOT_INITIALIZED;
    if (!config || !config->ops || !config->ops->loadEntry || !config->ops->releaseEntry) return NVWSOAP_S_BAD_SETTING;
    ClusterSettings settings;
    std::string error;
    const char* clusterName = name ? name : factory->clusterName();
    if (int status = readClusterSettings(*config, settings, error)) {
        reportRefusal(trace, clusterName, *config, error);
        return status;
    }
    NVWSOAPCluster* made = factory->createCluster();
    if (!made) return NVWSOAP_S_BAD_FACTORY;
    if (int status = made->impl()->configure(clusterName, settings, factory, trace, error)) {
        reportRefusal(trace, clusterName, *config, error);
        delete made;
        return status;
    }
    if (start) made->impl()->startMaintenance();
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        m_impl->clusters.push_back(made);
    }
    if (cluster) *cluster = made;
    return 0;
}

int NVWSOAPClusterMgr::shutdown() {
    std::vector<NVWSOAPCluster*> clusters;
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        clusters.swap(m_impl->clusters);
        m_impl->factory = nullptr;
    }
    for (NVWSOAPCluster* cluster : clusters) delete cluster;
    return 0;
}

int NVWSOAPClusterMgr::checkSettings(const nvw_soap_config_interface_t& config, std::string& reason) {
    if (!config.ops || !config.ops->loadEntry || !config.ops->releaseEntry) return NVWSOAP_S_BAD_SETTING;
    ClusterSettings settings;
    return readClusterSettings(config, settings, reason);
}
