// Domain manager: where the running server's configuration file is.
#pragma once

#include <string>

class MrServerConfig {
public:
    // Path of the server's configuration file: the one the harness was given, else $ZEM_CONFIG.
    const char* getConfigFilePath() const;
    void setConfigFilePath(const char* path);

private:
    std::string m_path;
};

class MrDomainMan {
public:
    static MrDomainMan* hey();
    MrServerConfig* getCurrentServerConfig();

private:
    MrServerConfig m_server;
};
