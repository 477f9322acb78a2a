// serve: the plug-in as an HTTP authorization service for nginx (auth_request), Caddy (forward_auth)
// and any other forward-auth proxy.
#include <cstdio>
#include <memory>

#include "commands.h"
#include "host_error.h"
#include "serve_pool.h"
#include "serve_service.h"
#include "serve_signals.h"

namespace zemhost {

namespace {

// Connections answered 503 while waiting for the refusing thread; beyond them the accept loop refuses.
const std::size_t MAX_REFUSALS = 1024;
// Authorization requests carry no body.
const std::size_t MAX_BODY = std::size_t{64} * 1024;
const std::size_t KEEP_ALIVE_REQUESTS = 1000;

struct ServeOptions {
    ServeOverrides overrides;
    std::string tlsCert, tlsKey;
};

struct ListenAddress {
    std::string host;
    int port = 0;
};

// HOST:PORT or [IPV6]:PORT; port 0 picks a free port.
ListenAddress parseListen(const std::string& text) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) throw HostError("--listen wants ADDR:PORT, got '" + text + "'");
    ListenAddress address{text.substr(0, colon), 0};
    if (address.host.front() == '[' && address.host.back() == ']')
        address.host = address.host.substr(1, address.host.size() - 2);
    std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) > 65535) {
        throw HostError("bad port in --listen '" + text + "'");
    }
    address.port = std::stoi(port);
    return address;
}

std::unique_ptr<httplib::Server> makeServer(const ServeOptions& options) {
    if (options.tlsCert.empty() != options.tlsKey.empty()) throw HostError("--tls-cert and --tls-key go together");
    if (options.tlsCert.empty()) return std::make_unique<httplib::Server>();
    auto server = std::make_unique<httplib::SSLServer>(options.tlsCert.c_str(), options.tlsKey.c_str());
    if (!server->is_valid()) throw HostError("cannot load --tls-cert/--tls-key");
    return server;
}

void configure(httplib::Server& server, const ServeSettings& settings, AuthorizationService& service) {
    server.set_read_timeout(settings.readTimeout, 0);
    server.set_write_timeout(settings.writeTimeout, 0);
    server.set_keep_alive_timeout(settings.keepAliveTimeout);
    server.set_keep_alive_max_count(KEEP_ALIVE_REQUESTS);
    server.set_payload_max_length(MAX_BODY);
    server.set_tcp_nodelay(true);
    std::size_t threads = settings.threads, queue = settings.maxQueue;
    server.new_task_queue = [threads, queue] { return new BoundedPool(threads, queue, MAX_REFUSALS); };
    // Every method and path is handled here: the proxy may call /, /auth or anything else.
    server.set_pre_routing_handler([&service](const httplib::Request& request, httplib::Response& response) {
        service.handle(request, response);
        return httplib::Server::HandlerResponse::Handled;
    });
}

int bindTo(httplib::Server& server, const ListenAddress& address) {
    int port = address.port == 0 ? server.bind_to_any_port(address.host)
                                 : (server.bind_to_port(address.host, address.port) ? address.port : -1);
    if (port <= 0) throw HostError("cannot listen on " + address.host + ":" + std::to_string(address.port));
    return port;
}

int runServe(const HostSettings& host, const ServeOptions& options) {
    SignalThread::blockSignals();  // before the plug-in or the server start a thread
    AuthorizationService service(host, options.overrides);
    const ServeSettings& settings = service.startSettings();
    ListenAddress address = parseListen(settings.listen);
    std::unique_ptr<httplib::Server> server = makeServer(options);
    configure(*server, settings, service);
    int port = bindTo(*server, address);
    printf("zemhost serve listening on %s:%d\n", address.host.c_str(), port);
    fflush(stdout);
    bool served = false;
    {
        SignalThread signals([&server] { server->stop(); }, [&service] { service.reload(); });
        served = server->listen_after_bind();
        server->stop();  // when listening ended for another reason than a signal
    }
    fprintf(stderr, "zemhost serve: stopped; shutting the plug-in down\n");
    return served ? EXIT_OK : EXIT_FAILED;
}

}  // namespace

Command addServeCommand(CLI::App& app, const HostSettings& settings) {
    CLI::App* command = app.add_subcommand(
        "serve", "answer authorization requests of nginx, Caddy or any forward-auth proxy over HTTP");
    auto options = std::make_shared<ServeOptions>();
    command->add_option("--listen", options->overrides.listen, "ADDR:PORT to listen on (default 127.0.0.1:9191)");
    command->add_option("--threads", options->overrides.threads, "worker threads (default 8)")
        ->check(CLI::Range(1, 256));
    command->add_flag("--nginx", options->overrides.nginx, "answer 401/403 only, targets in headers (auth_request)");
    command->add_option("--log-format", options->overrides.logFormat, "access log: text or json")
        ->check(CLI::IsMember({"text", "json"}));
    command->add_option("--tls-cert", options->tlsCert, "serve HTTPS with this certificate (PEM)")
        ->check(CLI::ExistingFile);
    command->add_option("--tls-key", options->tlsKey, "the certificate's private key (PEM)")->check(CLI::ExistingFile);
    return {command, true, [&settings, options] { return runServe(settings, *options); }};
}

}  // namespace zemhost
