// Shared test fixtures: temporary folders, files, child processes and a reference PDP on loopback.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace kova_test {

// Folders handed over by ctest (falling back to the current folder's parents for manual runs).
std::string buildDir();
std::string sourceDir();
std::string pluginPath();
// The OASIS XACML 2.0 schema folder, or "" when it is not present.
std::string xacmlDir();

void writeFile(const std::string& path, const std::string& text);
std::string readFile(const std::string& path);
// How often `part` occurs in `text`, overlapping occurrences included.
std::size_t countOf(const std::string& text, const std::string& part);
std::string replacedAll(std::string text, const std::string& from, const std::string& to);

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// A child process whose standard output and error go to files.
class Process {
public:
    Process(const std::vector<std::string>& argv, const std::string& stdoutPath, const std::string& stderrPath,
            const std::string& stdinPath = "");
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    pid_t pid() const { return m_pid; }
    // Waits for the exit; returns the exit code, or 128 + signal.
    int wait();
    void signal(int sig);
    bool running();

private:
    pid_t m_pid = -1;
    int m_status = -1;
};

// Runs a command to completion; returns the exit code and fills `out` and `err`.
int runCommand(const std::vector<std::string>& argv, std::string* out = nullptr, std::string* err = nullptr,
               const std::string& stdinText = "");

struct Reply {
    long status = 0;  // 0: no answer (connection failed or timed out)
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string header(const std::string& name) const {
        auto found = headers.find(name);
        return found == headers.end() ? "" : found->second;
    }
};

struct RequestOptions {
    std::vector<std::string> headers;  // "Name: value"
    std::string localAddress;          // the client's own address, e.g. 127.0.0.2
    std::string method = "GET";
    std::string body;    // sent when not empty
    std::string caFile;  // trust for https URLs
};

// One request through libcurl, redirects not followed.
Reply httpRequest(const std::string& url, const RequestOptions& options = {});

// A connection to 127.0.0.1:port, or -1 when nothing accepts there.
int connectToLoopback(int port);

// refpdp on an ephemeral loopback port with the given extra options (rules file, delay, TLS, ...); `binary`
// "" is the build tree's.
class RefPdp {
public:
    explicit RefPdp(const std::vector<std::string>& options, const std::string& listen = "127.0.0.1:0",
                    const std::string& binary = "");
    ~RefPdp();
    RefPdp(const RefPdp&) = delete;
    RefPdp& operator=(const RefPdp&) = delete;
    int port() const { return m_port; }
    // http://127.0.0.1:PORT/kova/authz/services/AuthzService (https with TLS options)
    std::string url() const;
    void stop();
    // Restarts on the same port with the same options.
    void start();

private:
    std::vector<std::string> m_options;
    std::string m_listen;
    std::string m_binary;
    TempDir m_dir;
    Process* m_process = nullptr;
    int m_port = 0;
    bool m_tls = false;
};

}  // namespace kova_test
