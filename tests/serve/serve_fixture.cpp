#include "serve/serve_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

namespace kova_test {

int freePort() { return LoopbackSocket().port(); }

bool waitForPort(int port, Process& process) {
    return eventually([&] {
               int fd = connectToLoopback(port);
               if (fd >= 0) close(fd);
               return fd >= 0 || !process.running();
           }) &&
           process.running();
}

bool waitForText(const std::string& path, const std::string& text) {
    return eventually([&] { return contains(readFile(path), text); });
}

ServeProcess::ServeProcess(const std::string& configFile, const std::vector<std::string>& options,
                           const std::string& dir)
    : m_out(dir + "/serve.out"), m_err(dir + "/serve.err") {
    std::vector<std::string> argv{buildDir() + "/zemhost", "--config", configFile, "--message-file",
                                  dir + "/messages.log",   "serve",    "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), options.begin(), options.end());
    m_process = std::make_unique<Process>(argv, m_out, m_err);
    const std::string marker = "zemhost serve listening on 127.0.0.1:";
    if (!waitForText(m_out, marker)) {
        ADD_FAILURE() << "zemhost serve did not start:\n" << readFile(m_err);
        return;
    }
    std::string out = readFile(m_out);
    m_port = std::stoi(out.substr(out.find(marker) + marker.size()));
}

ProxyProcess::ProxyProcess(Kind kind, const std::string& site, int sitePort, int upstreamPort, const std::string& dir)
    : m_port(sitePort) {
    std::string upstream = std::to_string(upstreamPort);
    std::vector<std::string> argv;
    if (kind == Kind::Nginx) {
        for (const char* sub : {"/nginx", "/nginx/logs", "/nginx/tmp"}) mkdir((dir + sub).c_str(), 0700);
        std::string prefix = dir + "/nginx";
        writeFile(prefix + "/site.conf", site);
        // One process, no daemon: it stops with the test, and its files stay in the test's folder.
        // clang-format off
        writeFile(prefix + "/nginx.conf",
                  "master_process off;\npid " + prefix + "/nginx.pid;\nerror_log " + prefix + "/logs/error.log;\n"
                  "events { worker_connections 512; }\nhttp {\n  access_log off;\n"
                  "  client_body_temp_path " + prefix + "/tmp/body;\n  proxy_temp_path " + prefix + "/tmp/proxy;\n"
                  "  fastcgi_temp_path " + prefix + "/tmp/fastcgi;\n  uwsgi_temp_path " + prefix + "/tmp/uwsgi;\n"
                  "  scgi_temp_path " + prefix + "/tmp/scgi;\n"
                  "  server { listen 127.0.0.1:" + upstream + "; location / { return 200 \"upstream $request_uri\\n\"; } }\n"
                  "  include " + prefix + "/site.conf;\n}\n");
        argv = {"/usr/sbin/nginx", "-p", prefix, "-e", prefix + "/logs/error.log", "-c", prefix + "/nginx.conf",
                "-g", "daemon off;"};
        // clang-format on
    } else {
        mkdir((dir + "/caddy").c_str(), 0700);
        setenv("HOME", (dir + "/caddy").c_str(), 1);
        setenv("XDG_DATA_HOME", (dir + "/caddy").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir + "/caddy").c_str(), 1);
        writeFile(dir + "/caddy/Caddyfile", "{\n\tadmin off\n\tauto_https off\n\tstorage file_system " + dir +
                                                "/caddy/storage\n}\n\n" + site + "\nhttp://127.0.0.1:" + upstream +
                                                " {\n\trespond \"upstream {uri}\n\" 200\n}\n");
        argv = {"/usr/bin/caddy", "run", "--config", dir + "/caddy/Caddyfile", "--adapter", "caddyfile"};
    }
    m_process = std::make_unique<Process>(argv, dir + "/proxy.out", dir + "/proxy.err");
    EXPECT_TRUE(waitForPort(sitePort, *m_process) && waitForPort(upstreamPort, *m_process))
        << "the proxy did not start:\n"
        << readFile(dir + "/proxy.err") << readFile(dir + "/nginx/logs/error.log");
}

ProxyProcess::~ProxyProcess() {
    m_process->signal(SIGTERM);
    m_process->wait();
}

std::string ServeFixture::configText(const std::string& serveEntries) const {
    std::string text = exampleConfigFor(pdp->url(), dir.file("audit.log"));
    // An endpoint that failed is pinged again after a second, so readiness comes back quickly.
    text = replacedAll(text, "health-check-interval = 30", "health-check-interval = 1");
    // The PDP's rules speak of the operation (read, write), not of the HTTP method.
    text = replacedAll(text, "HTTP_REQUEST_METHOD = method\n", "");
    // A key is given once: the example's own value of a key in `serveEntries` goes.
    std::istringstream entries(serveEntries);
    for (std::string entry; std::getline(entries, entry);) {
        std::size_t serve = text.find("[zemhost-serve]\n");
        std::size_t line = text.find("\n" + entry.substr(0, entry.find(" =")) + " = ", serve);
        if (serve != std::string::npos && line != std::string::npos) text.erase(line, text.find('\n', line + 1) - line);
    }
    return replacedAll(text, "[zemhost-serve]\n", "[zemhost-serve]\n" + serveEntries);
}

void ServeFixture::startService(const std::vector<std::string>& serveOptions, const std::string& serveEntries) {
    writeFile(dir.file("rules.json"), SERVE_RULES);
    std::vector<std::string> options{"--rules", dir.file("rules.json")};
    options.insert(options.end(), pdpOptions.begin(), pdpOptions.end());
    pdp = std::make_unique<RefPdp>(options);
    writeFile(configFile(), configText(serveEntries));
    serve = std::make_unique<ServeProcess>(configFile(), serveOptions, dir.path());
}

Reply ServeFixture::authorize(const std::string& uri, const std::vector<std::string>& extra,
                              const std::string& localAddress) const {
    RequestOptions options;
    options.headers = {"X-Original-URI: " + uri, "X-Original-Method: GET"};
    options.headers.insert(options.headers.end(), extra.begin(), extra.end());
    options.localAddress = localAddress;
    return httpRequest(serve->url(), options);
}

nlohmann::json ServeFixture::lastAccessRecord() const {
    std::string log = readFile(serve->logFile());
    std::size_t end = log.find_last_not_of('\n');
    std::size_t start = log.rfind("\n{", end);
    start = start == std::string::npos ? 0 : start + 1;
    return nlohmann::json::parse(log.substr(start, end + 1 - start), nullptr, false);
}

}  // namespace kova_test
