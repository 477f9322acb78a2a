#include "nvwsoap/cluster_impl.h"
#include "qzauthzn/azn.h"

struct NVWSOAPClusterMgr::Impl {
    std::mutex mutex;
    NVWSOAPServiceFactory* factory = nullptr;
    NVWSOAPTrace* trace = nullptr;
    std::vector<NVWSOAPCluster*> clusters;   // made by the factory, owned here
};

NVWSOAPClusterMgr::NVWSOAPClusterMgr() : m_impl(new Impl) {}

NVWSOAPClusterMgr::~NVWSOAPClusterMgr() {
    shutdown();
    delete m_impl;
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
    if (int status = readClusterSettings(*config, settings, error)) {
        NVWSOAP_TRACE(trace, 1, "Cluster %s, stanza [%s]: %s", name ? name : "", config->stanza, error.c_str());
        return status;
    }
    NVWSOAPCluster* made = factory->createCluster();
    if (!made) return NVWSOAP_S_BAD_FACTORY;
    if (int status = made->impl()->configure(name ? name : factory->clusterName(), settings, factory, trace, error)) {
        NVWSOAP_TRACE(trace, 1, "Cluster %s: %s", name ? name : "", error.c_str());
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
