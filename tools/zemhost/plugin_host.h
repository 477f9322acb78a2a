// Loads the plug-in the way the proxy's framework does and drives it: start-up, decisions, shutdown.
// Every subcommand that talks to the plug-in goes through this one class.
#pragma once

#include <string>

#include "decision.h"
#include "native_policy.h"
#include "qzauthzn/azn_svc.h"

namespace zemhost {

struct HostSettings {
    std::string configFile;
    std::string pluginPath;
    int traceLevel = -1;      // -1: the host's default ($ZEM_TRACE_LEVEL)
    std::string traceFile;    // "": the host's default ($ZEM_TRACE_FILE, else standard error)
    std::string messageFile;  // "": standard error
};

// Where zemhost looks for the plug-in by default: libkova_eas.so in the library folder of the prefix its own
// binary is installed in, else (the build tree) beside the binary.
std::string defaultPluginPath();

class PluginHost {
public:
    // Opens the library and prepares the host (configuration path, trace, messages, native policy).
    // Throws HostError when the library, an entry point or the native policy cannot be had.
    explicit PluginHost(const HostSettings& settings);
    // Shuts the plug-in down when it was started, then unloads it.
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    // azn_svc_initialize.
    azn_status_t start();
    // The service-version entry the plug-in returned from a successful start.
    const std::string& version() const { return m_version; }
    // One decision with lists of its own; safe to call from many threads at once after start.
    DecisionResult decide(const DecisionRequest& request) const;

private:
    void* m_library = nullptr;
    azn_svc_initialize_fn m_initialize = nullptr;
    azn_svc_decision_access_allowed_ext_fn m_decide = nullptr;
    azn_svc_shutdown_fn m_shutdown = nullptr;
    NativePolicy m_nativePolicy;
    std::string m_version;
    bool m_needsShutdown = false;
};

// Starts the plug-in and runs `work` with it. A start-up failure is printed with its major and minor
// code and gives exit status 1; otherwise the result of `work`.
template <typename Work>
int withStartedPlugin(const HostSettings& settings, Work&& work);

// Prints "zemhost: the plug-in failed to start: status ... (major N, minor 0x...)" to standard error.
void reportStartFailure(azn_status_t status);

template <typename Work>
int withStartedPlugin(const HostSettings& settings, Work&& work) {
    PluginHost host(settings);
    azn_status_t status = host.start();
    if (status != 0) {
        reportStartFailure(status);
        return 1;
    }
    return work(host);
}

}  // namespace zemhost
