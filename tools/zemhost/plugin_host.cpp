#include "plugin_host.h"

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>

#include "attr_list.h"
#include "host_error.h"
#include "nvwsoap/nvwsoap.h"
#include "qzcore/qzcore.h"
#include "qzsvc/qzsvc.h"

namespace zemhost {

namespace {

// What the proxy hands the service at start-up: its identifier, no arguments.
const char* const SERVICE_ID = "kova-eas";

template <typename Function>
Function entryPoint(void* library, const char* name) {
    void* symbol = dlsym(library, name);
    if (!symbol) throw HostError(std::string("the plug-in does not export ") + name);
    return reinterpret_cast<Function>(symbol);
}

void prepareHost(const HostSettings& settings) {
    MrDomainMan::hey()->getCurrentServerConfig()->setConfigFilePath(settings.configFile.c_str());
    if (settings.traceLevel >= 0 || !settings.traceFile.empty()) {
        zem_trace_configure(settings.traceLevel, settings.traceFile.empty() ? nullptr : settings.traceFile.c_str());
    }
    qz_msg_set_output(settings.messageFile.empty() ? nullptr : settings.messageFile.c_str());
}

std::string serviceVersion(const AttrList& info) {
    for (const InfoEntry& entry : info.values()) {
        if (entry.name == azn_svc_version) {
            if (const auto* text = std::get_if<std::string>(&entry.value)) return *text;
        }
    }
    return "";
}

}  // namespace

std::string defaultPluginPath() {
    const char* const plugin = "libkova_eas.so";
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    std::filesystem::path binDir = error ? std::filesystem::path(".") : self.parent_path();
    std::filesystem::path installed = binDir / ".." / KOVA_INSTALL_LIBDIR / plugin;
    // The build tree keeps the plug-in beside the binary.
    if (!std::filesystem::exists(installed, error)) return (binDir / plugin).string();
    return installed.lexically_normal().string();
}

PluginHost::PluginHost(const HostSettings& settings) {
    std::vector<std::string> problems;
    m_nativePolicy = NativePolicy::load(ConfigReader(settings.configFile), problems);
    if (!problems.empty()) throw HostError(problems.front() + " (zemhost check-config lists every problem)");
    m_library = dlopen(settings.pluginPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_library) throw HostError("cannot load the plug-in: " + std::string(dlerror()));
    try {
        m_initialize = entryPoint<azn_svc_initialize_fn>(m_library, "azn_svc_initialize");
        m_decide = entryPoint<azn_svc_decision_access_allowed_ext_fn>(m_library, "azn_svc_decision_access_allowed_ext");
        m_shutdown = entryPoint<azn_svc_shutdown_fn>(m_library, "azn_svc_shutdown");
    } catch (...) {
        dlclose(m_library);
        throw;
    }
    prepareHost(settings);
    installNativePolicy(&m_nativePolicy, m_decide);
}

PluginHost::~PluginHost() {
    if (m_needsShutdown) {
        azn_attrlist_h_t shutdownInfo = 0;
        m_shutdown(0, &shutdownInfo);
        AttrList::adopt(shutdownInfo);  // released at once: the harness reads nothing from it
    }
    removeNativePolicy();
    dlclose(m_library);
}

azn_status_t PluginHost::start() {
    azn_attrlist_h_t initInfo = 0;
    azn_status_t status = m_initialize(SERVICE_ID, 0, nullptr, &initInfo);
    AttrList info = AttrList::adopt(initInfo);
    // Shutdown releases what a failed start-up left behind, as the proxy's framework does.
    m_needsShutdown = true;
    if (status == 0) m_version = serviceVersion(info);
    return status;
}

DecisionResult PluginHost::decide(const DecisionRequest& request) const {
    Creds creds(request.creds);
    AttrList context;
    context.add(request.context);
    DecisionResult result;
    azn_attrlist_h_t permissionInfo = 0;
    result.status = m_decide(creds.handle(), request.resource.c_str(), request.operation.c_str(), context.handle(),
                             &result.permission, &permissionInfo);
    result.permissionInfo = AttrList::adopt(permissionInfo).values();
    return result;
}

void reportStartFailure(azn_status_t status) {
    fprintf(stderr, "zemhost: the plug-in failed to start: %s\n", describeStatus(status).c_str());
}

}  // namespace zemhost
