// The framework's own (native) policy as the harness plays it, from [zemhost-native-policy]:
// OBJECT-PREFIX = permit | deny | indifferent | eas, the longest matching prefix wins, default eas.
#pragma once

#include <string>
#include <vector>

#include "config_reader.h"
#include "qzauthzn/azn_svc.h"

namespace zemhost {

enum class NativeVerdict { Permit, Deny, Indifferent, Eas };

class NativePolicy {
public:
    // Reads the stanza; entries whose word is not one of the four are left out and described in `problems`.
    static NativePolicy load(const ConfigReader& config, std::vector<std::string>& problems);

    NativeVerdict verdictFor(const std::string& protectedObject) const;

private:
    std::vector<std::pair<std::string, NativeVerdict>> m_rules;
};

// Installs `policy` as the framework's native decision; `eas` re-enters `plugin` as the proxy does.
// Both must outlive the installation; removeNativePolicy ends it.
void installNativePolicy(const NativePolicy* policy, azn_svc_decision_access_allowed_ext_fn plugin);
void removeNativePolicy();

}  // namespace zemhost
