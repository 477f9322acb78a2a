// Shared test fixtures: temporary folders, files, child processes and a reference PDP on loopback.
#pragma once

#include <gmock/gmock.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kova_test {

using ::testing::HasSubstr;
using ::testing::Not;

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
// `text` with the first `from` replaced by `to`; a `from` that is not there fails the test.
std::string replaced(std::string text, const std::string& from, const std::string& to);
bool contains(const std::string& text, const std::string& part);
// The lines of `text` without their line ends.
std::vector<std::string> lines(const std::string& text);
// Polls `ready` until it holds or `limit` has passed; gives its last answer.
bool eventually(const std::function<bool()>& ready, std::chrono::milliseconds limit = std::chrono::seconds(10));
// examples/corvaned.conf (or the copy `example`) pointed at `pdpUrl` and auditing into `auditPath`.
std::string exampleConfigFor(const std::string& pdpUrl, const std::string& auditPath, const std::string& example = "");
// A self-signed certificate for 127.0.0.1 (EC key, valid `days`) made with the openssl tool; "" or its complaint.
std::string makeSelfSignedCertificate(const std::string& keyPath, const std::string& certificatePath, int days);

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

// A TCP socket bound to an ephemeral loopback port. Until listen() connections are refused; after it the
// kernel completes them into the queue, and nothing reads them unless the owner accepts.
class LoopbackSocket {
public:
    LoopbackSocket();
    ~LoopbackSocket();
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;
    int fd() const { return m_fd; }
    int port() const { return m_port; }
    void listen(int backlog = 16) const;
    // SCHEME://127.0.0.1:PORT/kova/authz/services/AuthzService
    std::string url(const std::string& scheme = "http") const;

private:
    int m_fd;
    int m_port = 0;
};

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
    pid_t pid() const { return m_process ? m_process->pid() : -1; }
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
