// The plug-in loaded with dlopen, as the proxy's framework loads it, plus request builders.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "qzauthzn/azn.h"
#include "qzauthzn/azn_svc.h"
#include "support/test_support.h"

namespace kova_test {

typedef std::vector<std::pair<std::string, std::string>> Attributes;

// An attribute list built from (name, value) pairs in order; repeated names become several values.
class AttrList {
public:
    explicit AttrList(const Attributes& items = {}) {
        azn_attrlist_create(&m_handle);
        for (const auto& [name, value] : items) azn_attrlist_add_entry(m_handle, name.c_str(), value.c_str());
    }
    ~AttrList() {
        if (azn_util_handle_is_valid(m_handle)) azn_attrlist_delete(&m_handle);
    }
    AttrList(const AttrList&) = delete;
    AttrList& operator=(const AttrList&) = delete;
    azn_attrlist_h_t& handle() { return m_handle; }

private:
    azn_attrlist_h_t m_handle = 0;
};

class Credentials {
public:
    explicit Credentials(const Attributes& items) {
        AttrList list(items);
        azn_creds_create_from_attrlist(list.handle(), &m_handle);
    }
    ~Credentials() { azn_creds_delete(&m_handle); }
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;
    azn_creds_h_t handle() const { return m_handle; }

private:
    azn_creds_h_t m_handle = 0;
};

class LoadedPlugin {
public:
    explicit LoadedPlugin(const std::string& path = pluginPath()) {
        m_library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!m_library) throw std::runtime_error(dlerror());
        initialize = reinterpret_cast<azn_svc_initialize_fn>(dlsym(m_library, "azn_svc_initialize"));
        shutdown = reinterpret_cast<azn_svc_shutdown_fn>(dlsym(m_library, "azn_svc_shutdown"));
        decide = reinterpret_cast<azn_svc_decision_access_allowed_ext_fn>(
            dlsym(m_library, "azn_svc_decision_access_allowed_ext"));
        if (!initialize || !shutdown || !decide) throw std::runtime_error("entry point missing");
    }
    ~LoadedPlugin() { dlclose(m_library); }
    LoadedPlugin(const LoadedPlugin&) = delete;
    LoadedPlugin& operator=(const LoadedPlugin&) = delete;

    azn_svc_initialize_fn initialize = nullptr;
    azn_svc_shutdown_fn shutdown = nullptr;
    azn_svc_decision_access_allowed_ext_fn decide = nullptr;

private:
    void* m_library = nullptr;
};

}  // namespace kova_test
