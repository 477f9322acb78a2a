// `zemhost serve`: the authorization service behind the HTTP server. It owns the started plug-in and
// the settings; requests share them, a reload replaces both once the requests in flight are answered.
#pragma once

#include <httplib.h>

#include <memory>
#include <shared_mutex>
#include <string>

#include "plugin_host.h"
#include "serve_access_log.h"
#include "serve_answer.h"
#include "serve_metrics.h"
#include "serve_settings.h"

namespace zemhost {

class AuthorizationService {
public:
    // Reads the settings and starts the plug-in; throws HostError when either fails.
    AuthorizationService(const HostSettings& host, const ServeOverrides& overrides);
    // Shuts the plug-in down.
    ~AuthorizationService();

    // The settings the service started with (listen address, threads: a reload does not change them).
    const ServeSettings& startSettings() const { return m_startSettings; }

    // Answers one request: an operations path or an authorization request.
    void handle(const httplib::Request& request, httplib::Response& response);

    // Checks the file as check-config does and restarts the plug-in with it; a file with problems is
    // refused and the running configuration stays. Logs what it did on standard error.
    void reload();

private:
    HttpAnswer authorize(const httplib::Request& request, const ServeSettings& settings, AccessRecord& record);
    bool ready() const;
    // Starts the plug-in with `configFile`; false (and logged) when it does not start.
    bool startPlugin(const std::string& configFile);
    // The same, with a failure to load logged instead of thrown.
    bool startPluginLogged(const std::string& configFile);
    void forgetFallback();

    HostSettings m_hostSettings;
    ServeOverrides m_overrides;
    ServeSettings m_startSettings;
    std::shared_ptr<const ServeSettings> m_settings;  // guarded by m_lock
    std::unique_ptr<PluginHost> m_plugin;             // guarded by m_lock; null when not started
    std::string m_runningText;                        // the file as the running plug-in read it
    std::string m_fallbackFile;                       // a copy of it the plug-in runs from, after a failed reload
    std::shared_mutex m_lock;
    ServeMetrics m_metrics;
    AccessLog m_accessLog;
};

}  // namespace zemhost
