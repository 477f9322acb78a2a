#include "support/test_support.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kova_test {

namespace {
std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

size_t appendBody(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

size_t keepHeader(char* data, size_t size, size_t count, void* target) {
    std::string line(data, size * count);
    std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        value.erase(value.find_last_not_of("\r\n") + 1);
        (*static_cast<std::map<std::string, std::string>*>(target))[name] = value;
    }
    return size * count;
}

}  // namespace

std::string buildDir() { return envOr("KOVA_BUILD_DIR", std::filesystem::current_path().string()); }
std::string sourceDir() { return envOr("KOVA_SOURCE_DIR", std::filesystem::current_path().parent_path().string()); }
std::string pluginPath() { return envOr("KOVA_PLUGIN", buildDir() + "/libkova_eas.so"); }
std::string xacmlDir() {
    std::string dir = envOr("KOVA_XACML_DIR", sourceDir() + "/../shared/xacml");
    return std::filesystem::exists(dir + "/access_control-xacml-2.0-context-schema-os.xsd") ? dir : "";
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

std::string replacedAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    std::size_t at = text.find(from);
    if (at == std::string::npos) {
        ADD_FAILURE() << "not in the text: " << from;
        return text;
    }
    return text.replace(at, from.size(), to);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) found.push_back(line);
    return found;
}

bool eventually(const std::function<bool()>& ready, std::chrono::milliseconds limit) {
    for (auto deadline = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < deadline;) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ready();
}

std::string exampleConfigFor(const std::string& pdpUrl, const std::string& auditPath, const std::string& example) {
    std::string text = readFile(example.empty() ? sourceDir() + "/examples/corvaned.conf" : example);
    text = replaced(text, "http://127.0.0.1:9080/kova/authz/services/AuthzService", pdpUrl);
    return replaced(text, "/tmp/kova-eas-audit.log", auditPath);
}

std::string makeSelfSignedCertificate(const std::string& keyPath, const std::string& certificatePath, int days) {
    std::string err;
    int code = runCommand({"/usr/bin/openssl", "req", "-x509", "-days", std::to_string(days), "-subj", "/CN=127.0.0.1",
                           "-addext", "subjectAltName=IP:127.0.0.1", "-newkey", "ec", "-pkeyopt",
                           "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", keyPath, "-out", certificatePath},
                          nullptr, &err);
    return code == 0 ? "" : "openssl: " + err;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/kova-test-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

Process::Process(const std::vector<std::string>& argv, const std::string& stdoutPath, const std::string& stderrPath,
                 const std::string& stdinPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    int rc = posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
}

Process::~Process() {
    if (running()) {
        signal(SIGKILL);
        wait();
    }
}

int Process::wait() {
    if (m_status < 0 && m_pid > 0) {
        int status = 0;
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return m_status;
}

void Process::signal(int sig) {
    if (m_status < 0 && m_pid > 0) kill(m_pid, sig);
}

bool Process::running() {
    if (m_status >= 0 || m_pid <= 0) return false;
    int status = 0;
    pid_t done = waitpid(m_pid, &status, WNOHANG);
    if (done == m_pid) {
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

int runCommand(const std::vector<std::string>& argv, std::string* out, std::string* err, const std::string& stdinText) {
    TempDir dir;
    std::string in;
    if (!stdinText.empty()) {
        in = dir.file("stdin");
        writeFile(in, stdinText);
    }
    Process process(argv, dir.file("stdout"), dir.file("stderr"), in);
    int code = process.wait();
    if (out) *out = readFile(dir.file("stdout"));
    if (err) *err = readFile(dir.file("stderr"));
    return code;
}

Reply httpRequest(const std::string& url, const RequestOptions& options) {
    Reply reply;
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    for (const std::string& header : options.headers) headers = curl_slist_append(headers, header.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, options.method.c_str());
    if (options.method == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    if (!options.body.empty()) curl_easy_setopt(curl, CURLOPT_POSTFIELDS, options.body.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, keepHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.headers);
    if (!options.localAddress.empty()) curl_easy_setopt(curl, CURLOPT_INTERFACE, options.localAddress.c_str());
    if (!options.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, options.caFile.c_str());
    if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return reply;
}

int connectToLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
}

LoopbackSocket::LoopbackSocket() : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot bind a loopback socket");
    m_port = ntohs(address.sin_port);
}

LoopbackSocket::~LoopbackSocket() { close(m_fd); }

void LoopbackSocket::listen(int backlog) const {
    if (::listen(m_fd, backlog) != 0) throw std::runtime_error("cannot listen on a loopback socket");
}

std::string LoopbackSocket::url(const std::string& scheme) const {
    return scheme + "://127.0.0.1:" + std::to_string(m_port) + "/kova/authz/services/AuthzService";
}

RefPdp::RefPdp(const std::vector<std::string>& options, const std::string& listen, const std::string& binary)
    : m_options(options), m_listen(listen), m_binary(binary.empty() ? buildDir() + "/refpdp" : binary) {
    for (const std::string& option : options) m_tls = m_tls || option == "--tls-cert";
    start();
}

RefPdp::~RefPdp() { stop(); }

std::string RefPdp::url() const {
    return std::string(m_tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port) +
           "/kova/authz/services/AuthzService";
}

void RefPdp::stop() {
    if (!m_process) return;
    m_process->signal(SIGTERM);
    m_process->wait();
    delete m_process;
    m_process = nullptr;
}

// refpdp prints "refpdp listening on HOST:PORT" once it accepts connections.
void RefPdp::start() {
    if (m_process) return;
    std::string listen = m_port ? m_listen.substr(0, m_listen.rfind(':')) + ":" + std::to_string(m_port) : m_listen;
    std::vector<std::string> argv{m_binary, "--listen", listen};
    argv.insert(argv.end(), m_options.begin(), m_options.end());
    std::string out = m_dir.file("refpdp.out");
    m_process = new Process(argv, out, m_dir.file("refpdp.err"));
    for (int i = 0; i < 500; ++i) {
        std::string text = readFile(out);
        std::size_t at = text.find("listening on ");
        std::size_t nl = text.find('\n', at);
        if (at != std::string::npos && nl != std::string::npos) {
            std::string address = text.substr(at + 13, nl - at - 13);
            m_port = std::stoi(address.substr(address.rfind(':') + 1));
            return;
        }
        if (!m_process->running()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("refpdp did not start: " + readFile(m_dir.file("refpdp.err")));
}

}  // namespace kova_test
