// Inner parts of the SOAP cluster library: endpoint settings, handle pools, cluster members and the
// cluster's maintenance thread. Private to the library.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nvwsoap/nvwsoap.h"

using SteadyClock = std::chrono::steady_clock;

// Trace lines of the library itself; formatted only when the channel's level asks for them.
// The library's catalogue messages, printed at every trace level through the host's message destination.
enum : unsigned int {
    NVWSOAP_MSG_CLUSTER_REFUSED = 0x38ad5090,
    NVWSOAP_MSG_ENDPOINT_DOWN = 0x38ad5091,
    NVWSOAP_MSG_ALL_DOWN = 0x38ad5092,
    NVWSOAP_MSG_ENDPOINT_BACK = 0x38ad5093,
};
void nvwsoapMessage(unsigned int id, ...);

#define NVWSOAP_TRACE(channel, lineLevel, ...)                                    \
    do {                                                                          \
        if ((channel) && (channel)->level() >= (lineLevel))                       \
            (channel)->trace((lineLevel), "host/nvwsoap", __LINE__, __VA_ARGS__); \
    } while (0)

// The cluster keys of one stanza, parsed.
struct ClusterSettings {
    struct Server {
        int priority;
        std::string url;
    };
    std::vector<Server> servers;
    int maxHandles = 16;
    int handleIdleTimeout = 240;        // seconds
    int timeout = 30;                   // seconds
    int healthCheckInterval = 60;       // seconds; 0: no health checks, endpoints are never marked down
    int maxResponseSize = 1024 * 1024;  // bytes of one answer
    std::string caFile, certFile, keyFile;
    bool verifyPeer = true;
    std::string basicAuthUser, basicAuthPassword;
};

// Reads the cluster keys through the caller's configuration interface; 0 or an NVWSOAP_S_* status with
// the reason in `error`. Numbers outside their ranges are refused, and so are server URLs whose host,
// port or path the SOAP connection and the health check's parser would read differently.
int readClusterSettings(const nvw_soap_config_interface_t& config, ClusterSettings& settings, std::string& error);

class HandlePool;

// A pooled handle with its bookkeeping. The pool link keeps the pool alive while the handle is lent,
// so a handle returned after shutdown is closed safely.
class NVWSOAPHandleContainer {
public:
    NVWSOAPHandleContainer(orbsec_axiscpp::Stub* stub, const NVWSOAPHandleConfig* config,
                           std::shared_ptr<HandlePool> pool)
        : handle(stub, config), pool(std::move(pool)) {}

    NVWSOAPHandle handle;
    std::shared_ptr<HandlePool> pool;
    SteadyClock::time_point lastUsed;
    const void* lastHolder = nullptr;  // the thread that gave it back last
};

// The handles of one endpoint. Idle handles hold the pool, so it lives until close(). Lends the idle handle
// the asking thread gave back last, else the most recently returned one (its connection is the warmest),
// creates one through the factory while fewer than max-handles exist, and otherwise waits for a return up
// to the endpoint's time-out. The lock is held only to pick or put back a handle.
class HandlePool : public NVWSOAPHandleMgr, public std::enable_shared_from_this<HandlePool> {
public:
    HandlePool(NVWSOAPServiceFactory* factory, std::string url, NVWSOAPHandleConfig config, int maxHandles,
               std::chrono::seconds idleTimeout);

    // A handle for one exchange, or null when none could be had in time or the pool is closed.
    NVWSOAPHandleContainer* borrow();
    void returnHandle(NVWSOAPHandleContainer* container) override;
    // Closes the handles that have been idle for longer than the idle time-out.
    void closeIdle(SteadyClock::time_point now);
    // Closes the idle handles now and every lent one when it comes back; lends nothing more.
    void close();

    const NVWSOAPHandleConfig& config() const { return m_config; }

private:
    NVWSOAPHandleContainer* create();
    NVWSOAPHandleContainer* takeIdle();
    void forget(size_t count);

    NVWSOAPServiceFactory* m_factory;
    std::string m_url;
    NVWSOAPHandleConfig m_config;
    size_t m_maxHandles;
    std::chrono::seconds m_idleTimeout;

    std::mutex m_mutex;
    std::condition_variable m_available;
    std::vector<NVWSOAPHandleContainer*> m_idle;  // ordered by lastUsed, most recent last
    size_t m_handles = 0;                         // idle, lent and being created
    bool m_closed = false;
};

// One endpoint of a cluster: its URL and priority, its handle pool, whether it is up, and a stubless
// handle that carries its configuration for health checks.
class NVWSOAPClusterMember {
public:
    NVWSOAPClusterMember(const ClusterSettings& settings, const ClusterSettings::Server& server,
                         NVWSOAPServiceFactory* factory, wzt_env_handle_t tlsEnv);
    ~NVWSOAPClusterMember();

    const char* url() const { return m_url.c_str(); }
    int priority() const { return m_priority; }
    HandlePool& pool() { return *m_pool; }
    NVWSOAPHandle* pingHandle() { return &m_pingHandle; }

    bool isUp() const { return m_up.load(std::memory_order_relaxed); }
    // Both return true when the state changed (the caller reports the change once).
    bool markDown(SteadyClock::time_point nextPing);
    bool markUp() { return !m_up.exchange(true, std::memory_order_relaxed); }
    bool pingDue(SteadyClock::time_point now) const;
    void postponePing(SteadyClock::time_point nextPing);

private:
    std::string m_url;
    int m_priority;
    std::shared_ptr<HandlePool> m_pool;
    NVWSOAPHandle m_pingHandle;
    std::atomic<bool> m_up{true};
    std::atomic<SteadyClock::rep> m_nextPing{0};
};

// Members in priority order (best first) and the maintenance thread that closes idle handles and
// pings members that are down. Stopping does not wait out a ping in flight: the maintenance thread runs
// with every signal blocked but the library's interrupt signal (whose handler does nothing and does not
// restart calls), and the stopping thread sends it that signal until it ends, so a connect or a timed
// wait in the ping returns at once (EINTR) and the thread is joined before anything it uses is freed.
struct NVWSOAPCluster::Impl {
    ~Impl();

    // 0, or NVWSOAP_S_TLS_CONFIG (reason in `error`) when the ssl-* files of https endpoints do not load.
    int configure(const std::string& name, const ClusterSettings& settings, NVWSOAPServiceFactory* factory,
                  NVWSOAPTrace* trace, std::string& error);
    void startMaintenance();

    // Calls `attempt(member)` on each member that is up, best priority first, members of equal
    // priority in turn from call to call, until it returns true.
    template <typename Attempt>
    void tryMembers(Attempt attempt);
    // An exchange with `member` failed for `reason`: marked down, and reported when it was up.
    void reportFailure(NVWSOAPClusterMember& member, const std::string& reason);
    // The service's ping call on `member`: 0 when it answered, else its status.
    int pingStatus(NVWSOAPClusterMember& member);

    std::string name;
    NVWSOAPServiceFactory* factory = nullptr;
    NVWSOAPTrace* trace = nullptr;
    std::vector<std::unique_ptr<NVWSOAPClusterMember>> members;
    std::chrono::seconds healthCheckInterval{0};
    std::atomic<bool> running{false};
    wzt_env_handle_t tlsEnv = nullptr;  // for the health checks of https endpoints

private:
    void maintain();
    void ping(NVWSOAPClusterMember& member);
    void stopMaintenance();

    std::atomic<unsigned> m_turn{0};
    // Whether some members share a priority; only then is the turn counted, as a counter every request
    // thread writes passes between processors.
    bool m_rotates = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;      // wakes the maintenance thread early when it is to stop
    std::condition_variable m_finished;  // the maintenance thread has left its loop
    std::atomic<bool> m_stopping{false};
    bool m_done = false;  // under m_mutex: the maintenance thread is about to end
    std::thread m_maintenance;
};

// The endpoint URL the current thread's exchanges are pinned to (NVWSOAPEndpointPin), or null.
const std::string* nvwsoapPinnedEndpoint();

template <typename Attempt>
void NVWSOAPCluster::Impl::tryMembers(Attempt attempt) {
    if (const std::string* pinned = nvwsoapPinnedEndpoint()) {
        for (const std::unique_ptr<NVWSOAPClusterMember>& member : members)
            if (*pinned == member->url()) attempt(*member);
        return;
    }
    unsigned turn = m_rotates ? m_turn.fetch_add(1, std::memory_order_relaxed) : 0;
    for (size_t first = 0; first < members.size();) {
        size_t end = first;
        while (end < members.size() && members[end]->priority() == members[first]->priority()) ++end;
        size_t count = end - first;
        for (size_t i = 0; i < count; ++i) {
            NVWSOAPClusterMember& member = *members[first + (turn + i) % count];
            if (member.isUp() && attempt(member)) return;
        }
        first = end;
    }
}
