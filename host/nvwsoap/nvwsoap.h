// SOAP cluster library: the trace channel, PDP endpoint clusters with failover and health checks,
// pooled SOAP client handles, and the call object that borrows a handle for one exchange.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

#include "orbsec_axiscpp/axis.h"
#include "wzt/wzt.h"

// ---------------------------------------------------------------------------------------------------
// Trace channel. Level and destination come from the host (zem_trace_configure, else the environment
// variables ZEM_TRACE_LEVEL and ZEM_TRACE_FILE; default: no tracing). Each line carries the UTC time
// with microseconds, the thread id, the level, the component, the source unit and line, and the text.
class NVWSOAPTrace {
public:
    // Points at the current level while the channel runs; null before initialize and after shutdown.
    // Callers test the level before building a costly line.
    int* m_level = nullptr;

    NVWSOAPTrace();
    ~NVWSOAPTrace();
    NVWSOAPTrace(const NVWSOAPTrace&) = delete;
    NVWSOAPTrace& operator=(const NVWSOAPTrace&) = delete;

    int initialize(const char* component);
    void shutdown();
    // Current level, -1 when the channel is not running.
    int level() const { return m_level ? *m_level : -1; }
    // printf-style; a line above the current level is dropped without formatting.
    void trace(int level, const char* file, int line, const char* format, ...) __attribute__((format(printf, 5, 6)));
    void vtrace(int level, const char* file, int line, const char* format, va_list args);

private:
    struct Impl;
    Impl* m_impl;
    int m_currentLevel = -1;
};

// Host-wide trace settings, applied by the next NVWSOAPTrace::initialize. A null path means stderr.
extern "C" void zem_trace_configure(int level, const char* path);
// A trace level given as 0 to 9 or by name: error (1), warning (2), info (5), debug (9); -1 for anything
// else (ZEM_TRACE_LEVEL then means no tracing).
extern "C" int zem_trace_level_from_text(const char* text);

// ---------------------------------------------------------------------------------------------------
// Configuration access handed to addCluster: the caller's own entry loader and its release call.
typedef int (*nvw_soap_load_entry_fn)(const char* config_file, const char* stanza, const char* qualifier,
                                      const char* key, char*** values, int optional);
typedef void (*nvw_soap_release_entry_fn)(char** values);

struct nvw_soap_config_ops_t {
    nvw_soap_load_entry_fn loadEntry;
    nvw_soap_release_entry_fn releaseEntry;
    void* reserved1;
    void* reserved2;
};

struct nvw_soap_config_interface_t {
    const nvw_soap_config_ops_t* ops;
    const char* configFile;
    const char* stanza;
    void* reserved;
};

class NVWSOAPCall;
class NVWSOAPCluster;
class NVWSOAPClusterMember;
class NVWSOAPHandle;
class NVWSOAPHandleContainer;

// ---------------------------------------------------------------------------------------------------
// What the service's plug-in gives the library: stubs for the pooled handles, health-check calls and
// the cluster object. The library owns what the three create operations return.
class NVWSOAPServiceFactory {
public:
    virtual orbsec_axiscpp::Stub* createHandle() = 0;
    virtual NVWSOAPCall* createPingCall(NVWSOAPClusterMember* member) = 0;
    virtual NVWSOAPCluster* createCluster() = 0;
    virtual void setHandleSecure(orbsec_axiscpp::Stub* stub, char* argument) = 0;
    virtual const char* clusterName() = 0;

protected:
    ~NVWSOAPServiceFactory() = default;
};

// Transport settings of the handles of one endpoint.
class NVWSOAPHandleConfig {
public:
    bool useSSL() const { return m_useSSL; }
    const char* baUser() const { return m_baUser.empty() ? nullptr : m_baUser.c_str(); }
    const char* baPassword() const { return m_baPassword.empty() ? nullptr : m_baPassword.c_str(); }
    int timeout() const { return m_timeout; }                  // seconds for connect and each read/write
    int maxResponseSize() const { return m_maxResponseSize; }  // bytes of one answer, headers and body
    wzt_env_handle_t wztEnv() const { return m_wztEnv; }

    bool m_useSSL = false;
    std::string m_baUser;
    std::string m_baPassword;
    int m_timeout = 30;
    int m_maxResponseSize = 1024 * 1024;
    wzt_env_handle_t m_wztEnv = nullptr;
    std::string m_caFile;
    std::string m_certFile;
    std::string m_keyFile;
    bool m_verifyPeer = true;
};

// One pooled SOAP client handle: a stub made by the factory, bound to one endpoint.
class NVWSOAPHandle {
public:
    NVWSOAPHandle(orbsec_axiscpp::Stub* stub, const NVWSOAPHandleConfig* config);
    ~NVWSOAPHandle();
    NVWSOAPHandle(const NVWSOAPHandle&) = delete;
    NVWSOAPHandle& operator=(const NVWSOAPHandle&) = delete;

    orbsec_axiscpp::Stub* axisHandle() const { return m_stub; }
    const NVWSOAPHandleConfig* config() const { return m_config; }

private:
    orbsec_axiscpp::Stub* m_stub;
    const NVWSOAPHandleConfig* m_config;
};

// Lends the handles of one endpoint, creating them through the factory up to max-handles.
class NVWSOAPHandleMgr {
public:
    // What a call borrowed: give the container back with the manager's returnHandle, then clear both.
    struct HandleRef {
        NVWSOAPHandleContainer* container = nullptr;
        NVWSOAPHandleMgr* mgr = nullptr;
    };

    virtual ~NVWSOAPHandleMgr() = default;
    virtual void returnHandle(NVWSOAPHandleContainer* container) = 0;
};

// ---------------------------------------------------------------------------------------------------
// One call run through the library. A call constructed with a member runs against that member only
// (health checks); otherwise execute picks a healthy endpoint of the cluster, best priority first.
class NVWSOAPCall {
public:
    NVWSOAPCall(const char* name, bool traceCalls, NVWSOAPClusterMember* member, NVWSOAPTrace* trace);
    virtual ~NVWSOAPCall();
    NVWSOAPCall(const NVWSOAPCall&) = delete;
    NVWSOAPCall& operator=(const NVWSOAPCall&) = delete;

    virtual int mapError(int status);
    virtual bool hasRecovered(int status);
    // One exchange through `handle` to `url`; `args` holds the trailing arguments given to execute.
    virtual int soapCall(NVWSOAPHandle* handle, const char* url, va_list args) = 0;

    // Lends a pooled handle (kept in `ref` until the caller returns it; given back at once when `ref` is
    // null), passes the trailing arguments to soapCall and gives its status. Anything soapCall throws is
    // a non-zero status; a transport failure also marks the endpoint down and the next healthy one is
    // tried within the same call. With every endpoint down, fails at once. `recovered`, when given, tells
    // whether a failover happened.
    int execute(NVWSOAPCluster* cluster, NVWSOAPHandleMgr::HandleRef* ref, bool* recovered, ...);

    const char* name() const { return m_name.c_str(); }
    NVWSOAPClusterMember* member() const { return m_member; }

protected:
    NVWSOAPTrace* m_trace;

private:
    std::string m_name;
    bool m_traceCalls;
    NVWSOAPClusterMember* m_member;
};

// Status codes of execute (the call's own soapCall statuses pass through unchanged).
enum {
    NVWSOAP_S_NO_ENDPOINT = 0x38ad5001,  // every endpoint of the cluster is down
    NVWSOAP_S_NO_HANDLE = 0x38ad5002,    // the factory made no stub
    NVWSOAP_S_TRANSPORT = 0x38ad5003,    // the exchange threw (connect, time-out, HTTP, TLS, XML)
    NVWSOAP_S_NOT_RUNNING = 0x38ad5004,  // the cluster manager is shut down
};

// ---------------------------------------------------------------------------------------------------
// A cluster: its endpoints (members) in priority order, their handle pools, and the health checker.
class NVWSOAPCluster {
public:
    NVWSOAPCluster();
    virtual ~NVWSOAPCluster();
    NVWSOAPCluster(const NVWSOAPCluster&) = delete;
    NVWSOAPCluster& operator=(const NVWSOAPCluster&) = delete;

    struct Impl;
    Impl* impl() const { return m_impl; }

private:
    Impl* m_impl;
};

// Reads its keys through the configuration interface given to addCluster (stanza of the interface):
//   server = PRIORITY,URL (repeated; at least one), max-handles (16; 1..1024), handle-idle-timeout
//   (240 s; 0..86400), timeout (30 s; 1..3600), health-check-interval (60 s; 0..86400, 0 = off),
//   max-response-size (1048576 bytes; 1024..67108864), ssl-ca-file, ssl-cert-file, ssl-key-file,
//   ssl-verify-peer (yes), basic-auth-user, basic-auth-passwd.
// A cluster that cannot be added is also reported as one message line naming the entry and the reason.
class NVWSOAPClusterMgr {
public:
    NVWSOAPClusterMgr();
    ~NVWSOAPClusterMgr();
    NVWSOAPClusterMgr(const NVWSOAPClusterMgr&) = delete;
    NVWSOAPClusterMgr& operator=(const NVWSOAPClusterMgr&) = delete;

    int initialize(NVWSOAPServiceFactory* factory, NVWSOAPTrace* trace);
    int addCluster(const char* name, bool start, nvw_soap_config_interface_t* config, NVWSOAPCluster** cluster);
    // Stops the health checks (a ping in flight is interrupted), closes every idle connection and frees
    // the clusters; waits for no exchange.
    int shutdown();

    // Reads the cluster keys as addCluster does, without making a cluster or printing anything: 0, or the
    // status addCluster would give with the reason in `reason` (for configuration checkers).
    static int checkSettings(const nvw_soap_config_interface_t& config, std::string& reason);

    struct Impl;

private:
    Impl* m_impl;
};

// One endpoint of a cluster as the library sees it now; `up` is false while health checks hold it down.
struct NVWSOAPEndpointState {
    std::string cluster;
    std::string url;
    int priority;
    bool up;
};
// Every endpoint of every cluster that a live cluster manager of this process holds; read-only, for
// status pages (no probe is made).
std::vector<NVWSOAPEndpointState> nvwSoapEndpointStates();

// For configuration checkers: the cluster's own health check (the service's ping call) run now against
// the endpoint `url` of a live cluster manager, whatever the endpoint's state, which it leaves unchanged.
// 0 when the endpoint answers, else the ping's status (NVWSOAP_S_NO_ENDPOINT when no cluster holds the
// URL). The manager is held for the ping, so its shutdown waits for it.
int nvwSoapPingEndpoint(const std::string& url);

// For configuration checkers: while it lives, the exchanges the current thread runs through a cluster
// go to the endpoint `url` alone, up or down, without failover (NVWSOAP_S_NO_ENDPOINT when no member has
// that URL). Pins do not nest.
class NVWSOAPEndpointPin {
public:
    explicit NVWSOAPEndpointPin(const std::string& url);
    ~NVWSOAPEndpointPin();
    NVWSOAPEndpointPin(const NVWSOAPEndpointPin&) = delete;
    NVWSOAPEndpointPin& operator=(const NVWSOAPEndpointPin&) = delete;

private:
    std::string m_url;
};

// Status codes of initialize and addCluster.
enum {
    NVWSOAP_S_BAD_FACTORY = 0x38ad5010,
    NVWSOAP_S_NO_SERVER = 0x38ad5011,    // no `server` entry
    NVWSOAP_S_BAD_SERVER = 0x38ad5012,   // a `server` entry that does not parse, or a URL the exchange and
                                         // the health check would not read alike
    NVWSOAP_S_BAD_SETTING = 0x38ad5013,  // a number outside its range, or a boolean that does not parse
    NVWSOAP_S_TLS_CONFIG = 0x38ad5014,   // ssl-* files that cannot be loaded
    NVWSOAP_S_NOT_INITIALIZED = 0x38ad5015,
};
