#include "qzcore/qzcore.h"

#include <cstdlib>

const char* MrServerConfig::getConfigFilePath() const {
    if (!m_path.empty()) return m_path.c_str();
    const char* fromEnvironment = std::getenv("ZEM_CONFIG");
    return fromEnvironment ? fromEnvironment : "";
}

void MrServerConfig::setConfigFilePath(const char* path) { m_path = path ? path : ""; }

MrDomainMan* MrDomainMan::hey() {
    static MrDomainMan domain;
    return &domain;
}

MrServerConfig* MrDomainMan::getCurrentServerConfig() { return &m_server; }
