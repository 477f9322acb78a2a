#include <algorithm>

#include "nvwsoap/cluster_impl.h"

NVWSOAPHandle::NVWSOAPHandle(orbsec_axiscpp::Stub* stub, const NVWSOAPHandleConfig* config)
    : m_stub(stub), m_config(config) {}

// The library owns the stubs the factory made.
NVWSOAPHandle::~NVWSOAPHandle() { delete m_stub; }

namespace {

orbsec_axiscpp::CallTransportConfig transportConfigOf(const std::string& url, const NVWSOAPHandleConfig& config) {
    orbsec_axiscpp::CallTransportConfig transport;
    transport.endpoint = url;
    transport.timeoutSeconds = config.m_timeout;
    transport.maxResponseBytes = config.m_maxResponseSize;
    transport.caFile = config.m_caFile;
    transport.certFile = config.m_certFile;
    transport.keyFile = config.m_keyFile;
    transport.verifyPeer = config.m_verifyPeer;
    transport.basicAuthUser = config.m_baUser;
    transport.basicAuthPassword = config.m_baPassword;
    return transport;
}

void closeAll(const std::vector<NVWSOAPHandleContainer*>& containers) {
    for (NVWSOAPHandleContainer* container : containers) delete container;
}

}  // namespace

HandlePool::HandlePool(NVWSOAPServiceFactory* factory, std::string url, NVWSOAPHandleConfig config, int maxHandles,
                       std::chrono::seconds idleTimeout)
    : m_factory(factory),
      m_url(std::move(url)),
      m_config(std::move(config)),
      m_maxHandles(static_cast<size_t>(maxHandles)),
      m_idleTimeout(idleTimeout) {}

NVWSOAPHandleContainer* HandlePool::borrow() {
    std::unique_lock<std::mutex> lock(m_mutex);
    bool ready = m_available.wait_for(lock, std::chrono::seconds(m_config.m_timeout),
                                      [this] { return m_closed || !m_idle.empty() || m_handles < m_maxHandles; });
    if (!ready || m_closed) return nullptr;
    if (!m_idle.empty()) {
        NVWSOAPHandleContainer* container = m_idle.back();
        m_idle.pop_back();
        return container;
    }
    ++m_handles;
    lock.unlock();
    return create();
}

// Made outside the lock: the factory and the transport set-up may take a while.
NVWSOAPHandleContainer* HandlePool::create() {
    try {
        orbsec_axiscpp::Stub* stub = m_factory->createHandle();
        if (stub) {
            stub->getCall()->setTransportConfig(transportConfigOf(m_url, m_config));
            return new NVWSOAPHandleContainer(stub, &m_config, shared_from_this());
        }
    } catch (...) {
        // Reported like a factory that made nothing.
    }
    forget(1);
    return nullptr;
}

void HandlePool::forget(size_t count) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_handles -= count;
    }
    m_available.notify_all();
}

void HandlePool::returnHandle(NVWSOAPHandleContainer* container) {
    // The container holds the last reference once the cluster is gone; keep the pool until we are done.
    std::shared_ptr<HandlePool> self = container->pool;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closed) {
        --m_handles;
        lock.unlock();
        delete container;
        return;
    }
    container->lastUsed = SteadyClock::now();
    m_idle.push_back(container);
    lock.unlock();
    m_available.notify_one();
}

void HandlePool::closeIdle(SteadyClock::time_point now) {
    std::vector<NVWSOAPHandleContainer*> expired;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto fresh = std::find_if(m_idle.begin(), m_idle.end(), [&](const NVWSOAPHandleContainer* container) {
            return now - container->lastUsed < m_idleTimeout;
        });
        expired.assign(m_idle.begin(), fresh);
        m_idle.erase(m_idle.begin(), fresh);
    }
    if (expired.empty()) return;
    closeAll(expired);
    forget(expired.size());
}

void HandlePool::close() {
    std::vector<NVWSOAPHandleContainer*> idle;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        idle.swap(m_idle);
        m_handles -= idle.size();
    }
    m_available.notify_all();
    closeAll(idle);
}
