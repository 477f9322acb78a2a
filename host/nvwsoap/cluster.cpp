#include <pthread.h>
#include <signal.h>
#include <strings.h>

#include <algorithm>

#include "nvwsoap/cluster_impl.h"
#include "qzcore/c_boundary.h"

namespace {

// How often the maintenance thread looks for idle handles and due health checks.
constexpr std::chrono::milliseconds MAINTENANCE_TICK{250};
// How often a stopping cluster repeats the interrupt until the maintenance thread has ended: a signal
// that lands just before a blocking call begins is not lost for long.
constexpr std::chrono::milliseconds INTERRUPT_REPEAT{20};

int interruptSignal() { return SIGRTMAX - 3; }

void ignoreInterrupt(int) {}

// Whether the interrupt signal is the library's: installed on first use unless the process already
// handles that signal itself, in which case stopping waits for a ping in flight instead.
bool interruptAvailable() {
    static const bool available = [] {
        struct sigaction current {};
        if (sigaction(interruptSignal(), nullptr, &current) != 0) return false;
        if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL) return false;
        struct sigaction ours {};
        ours.sa_handler = ignoreInterrupt;
        sigemptyset(&ours.sa_mask);
        ours.sa_flags = 0;  // no SA_RESTART: a blocking call returns EINTR
        return sigaction(interruptSignal(), &ours, nullptr) == 0;
    }();
    return available;
}

bool isHttps(const std::string& url) { return strncasecmp(url.c_str(), "https:", 6) == 0; }

NVWSOAPHandleConfig handleConfigOf(const ClusterSettings& settings, const std::string& url, wzt_env_handle_t tlsEnv) {
    NVWSOAPHandleConfig config;
    config.m_useSSL = isHttps(url);
    config.m_wztEnv = config.m_useSSL ? tlsEnv : nullptr;
    config.m_baUser = settings.basicAuthUser;
    config.m_baPassword = settings.basicAuthPassword;
    config.m_timeout = settings.timeout;
    config.m_maxResponseSize = settings.maxResponseSize;
    config.m_caFile = settings.caFile;
    config.m_certFile = settings.certFile;
    config.m_keyFile = settings.keyFile;
    config.m_verifyPeer = settings.verifyPeer;
    return config;
}

// The TLS environment of the health checks, from the same ssl-* keys the SOAP transport uses.
int createTlsEnv(const ClusterSettings& settings, wzt_env_handle_t& env, std::string& error) {
    auto optional = [](const std::string& text) { return text.empty() ? nullptr : text.c_str(); };
    wzt_env_config_t config{optional(settings.caFile), optional(settings.certFile), optional(settings.keyFile),
                            settings.verifyPeer ? 1 : 0};
    char reason[256] = {};
    if (wzt_env_create(&config, &env, reason, sizeof reason) == WZT_OK) return 0;
    error = reason;
    return NVWSOAP_S_TLS_CONFIG;
}

}  // namespace

// ---- members --------------------------------------------------------------------------------------

NVWSOAPClusterMember::NVWSOAPClusterMember(const ClusterSettings& settings, const ClusterSettings::Server& server,
                                           NVWSOAPServiceFactory* factory, wzt_env_handle_t tlsEnv)
    : m_url(server.url),
      m_priority(server.priority),
      m_pool(std::make_shared<HandlePool>(factory, server.url, handleConfigOf(settings, server.url, tlsEnv),
                                          settings.maxHandles, std::chrono::seconds(settings.handleIdleTimeout))),
      m_pingHandle(nullptr, &m_pool->config()) {}

NVWSOAPClusterMember::~NVWSOAPClusterMember() { m_pool->close(); }

bool NVWSOAPClusterMember::markDown(SteadyClock::time_point nextPing) {
    postponePing(nextPing);
    return m_up.exchange(false, std::memory_order_relaxed);
}

bool NVWSOAPClusterMember::pingDue(SteadyClock::time_point now) const {
    return now.time_since_epoch().count() >= m_nextPing.load(std::memory_order_relaxed);
}

void NVWSOAPClusterMember::postponePing(SteadyClock::time_point nextPing) {
    m_nextPing.store(nextPing.time_since_epoch().count(), std::memory_order_relaxed);
}

// ---- cluster --------------------------------------------------------------------------------------

NVWSOAPCluster::NVWSOAPCluster() : m_impl(new Impl) {}

NVWSOAPCluster::~NVWSOAPCluster() { delete m_impl; }

NVWSOAPCluster::Impl::~Impl() {
    running = false;
    stopMaintenance();
    members.clear();
    if (tlsEnv) wzt_env_destroy(tlsEnv);
}

void NVWSOAPCluster::Impl::stopMaintenance() {
    m_stopping = true;
    if (!m_maintenance.joinable()) return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.notify_all();
    while (!m_finished.wait_for(lock, INTERRUPT_REPEAT, [this] { return m_done; })) {
        if (interruptAvailable()) pthread_kill(m_maintenance.native_handle(), interruptSignal());
    }
    lock.unlock();
    m_maintenance.join();
}

int NVWSOAPCluster::Impl::configure(const std::string& clusterName, const ClusterSettings& settings,
                                    NVWSOAPServiceFactory* serviceFactory, NVWSOAPTrace* traceChannel,
                                    std::string& error) {
    name = clusterName;
    factory = serviceFactory;
    trace = traceChannel;
    healthCheckInterval = std::chrono::seconds(settings.healthCheckInterval);
    if (std::any_of(settings.servers.begin(), settings.servers.end(), [](const auto& s) { return isHttps(s.url); })) {
        if (int status = createTlsEnv(settings, tlsEnv, error)) return status;
    }
    for (const ClusterSettings::Server& server : settings.servers)
        members.push_back(std::make_unique<NVWSOAPClusterMember>(settings, server, factory, tlsEnv));
    std::stable_sort(members.begin(), members.end(),
                     [](const auto& a, const auto& b) { return a->priority() > b->priority(); });
    m_rotates = std::adjacent_find(members.begin(), members.end(), [](const auto& a, const auto& b) {
                    return a->priority() == b->priority();
                }) != members.end();
    running = true;
    return 0;
}

// The thread inherits a mask that lets only the interrupt signal through, so no signal meant for the
// process ends one of its waits.
void NVWSOAPCluster::Impl::startMaintenance() {
    sigset_t onlyInterrupt, previous;
    sigfillset(&onlyInterrupt);
    if (interruptAvailable()) sigdelset(&onlyInterrupt, interruptSignal());
    pthread_sigmask(SIG_SETMASK, &onlyInterrupt, &previous);
    m_maintenance = std::thread(&Impl::maintain, this);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Without health checks nothing would bring a member back, so members are then never marked down.
void NVWSOAPCluster::Impl::reportFailure(NVWSOAPClusterMember& member, const std::string& reason) {
    if (healthCheckInterval.count() == 0) return;
    if (!member.markDown(SteadyClock::now() + healthCheckInterval)) return;
    NVWSOAP_TRACE(trace, 2, "Cluster %s: endpoint %s is down: %s", name.c_str(), member.url(), reason.c_str());
    bool anyUp = std::any_of(members.begin(), members.end(), [](const auto& other) { return other->isUp(); });
    nvwsoapMessage(anyUp ? NVWSOAP_MSG_ENDPOINT_DOWN : NVWSOAP_MSG_ALL_DOWN, member.url(), name.c_str(),
                   reason.c_str());
}

void NVWSOAPCluster::Impl::maintain() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, MAINTENANCE_TICK, [this] { return m_stopping.load(); })) {
        lock.unlock();
        SteadyClock::time_point now = SteadyClock::now();
        for (const std::unique_ptr<NVWSOAPClusterMember>& member : members) {
            if (m_stopping) break;
            member->pool().closeIdle(now);
            if (!member->isUp() && member->pingDue(now)) ping(*member);
        }
        lock.lock();
    }
    m_done = true;
    m_finished.notify_all();
}

// The ping runs the embedding service's call on this thread: whatever it raises counts as a failed ping,
// so the thread, and with it every later health check, survives.
int NVWSOAPCluster::Impl::pingStatus(NVWSOAPClusterMember& member) {
    return zem::cBoundary("health check", int(NVWSOAP_S_TRANSPORT), [&] {
        std::unique_ptr<NVWSOAPCall> call(factory->createPingCall(&member));
        if (!call) return int(NVWSOAP_S_NO_HANDLE);
        NVWSOAPHandleMgr::HandleRef unused;
        int status = call->execute(nullptr, &unused, nullptr);
        return call->hasRecovered(status) ? 0 : (status != 0 ? status : int(NVWSOAP_S_TRANSPORT));
    });
}

namespace {
thread_local const std::string* t_pinnedEndpoint = nullptr;
}  // namespace

const std::string* nvwsoapPinnedEndpoint() { return t_pinnedEndpoint; }

NVWSOAPEndpointPin::NVWSOAPEndpointPin(const std::string& url) : m_url(url) { t_pinnedEndpoint = &m_url; }

NVWSOAPEndpointPin::~NVWSOAPEndpointPin() { t_pinnedEndpoint = nullptr; }

void NVWSOAPCluster::Impl::ping(NVWSOAPClusterMember& member) {
    if (pingStatus(member) == 0) {
        if (member.markUp()) nvwsoapMessage(NVWSOAP_MSG_ENDPOINT_BACK, member.url(), name.c_str());
        NVWSOAP_TRACE(trace, 2, "Cluster %s: endpoint %s is back", name.c_str(), member.url());
    } else {
        member.postponePing(SteadyClock::now() + healthCheckInterval);
    }
}
