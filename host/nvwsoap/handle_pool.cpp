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

// Tells the live threads apart without a system call.
const void* thisThread() {
    static thread_local const char identity = 0;
    return &identity;
}

// How many of the most recent idle handles are searched for the asking thread's own.
constexpr size_t OWN_HANDLE_SEARCH = 8;

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
    auto lendable = [this] { return m_closed || !m_idle.empty() || m_handles < m_maxHandles; };
    if (!lendable() && !m_available.wait_for(lock, std::chrono::seconds(m_config.m_timeout), lendable)) return nullptr;
    if (m_closed) return nullptr;
    if (!m_idle.empty()) return takeIdle();
    ++m_handles;
    lock.unlock();
    return create();
}

// A handle stays with the thread that used it while it can: its connection's buffers and its reader's
// state are then still in that processor's caches. Called with the lock held and an idle handle there.
NVWSOAPHandleContainer* HandlePool::takeIdle() {
    auto newest = m_idle.end();
    auto oldestSearched = m_idle.end() - static_cast<long>(std::min(m_idle.size(), OWN_HANDLE_SEARCH));
    auto own = std::find_if(std::make_reverse_iterator(newest), std::make_reverse_iterator(oldestSearched),
                            [](const NVWSOAPHandleContainer* idle) { return idle->lastHolder == thisThread(); });
    auto taken = own.base() != oldestSearched ? std::prev(own.base()) : std::prev(newest);
    NVWSOAPHandleContainer* container = *taken;
    m_idle.erase(taken);
    return container;
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
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closed) {
        --m_handles;
        lock.unlock();
        // The container holds the last reference once the cluster is gone; keep the pool until we are done.
        std::shared_ptr<HandlePool> self = std::move(container->pool);
        delete container;
        return;
    }
    container->lastUsed = SteadyClock::now();
    container->lastHolder = thisThread();
    m_idle.push_back(container);
    // Under the lock: once it is released, close() may close this handle and with it end the pool.
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
