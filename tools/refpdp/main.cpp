// refpdp: a reference policy decision point speaking SOAP 1.1 / XACML 2.0 on one HTTP endpoint.
//   POST /kova/authz/services/AuthzService   evaluate an XACML Request against the rules (a body that is
//                                            no well-formed XML: Indeterminate, status syntax-error)
//   GET  /stats                              {"connections":N,"requests":M}
//   GET  any other path                      200 OK (health checks)
// With --basic-auth every path but /stats wants that user and password (401 otherwise); with --tls-cert and
// --tls-key it speaks https, and with --tls-client-ca it also wants a client certificate issued by that CA.
#include <libxml/parser.h>
#include <malloc.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <httplib.h>
#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "rules.h"
#include "soap.h"

namespace refpdp {
namespace {

constexpr const char* SERVICE_PATH = "/kova/authz/services/AuthzService";
// The action URI the plug-in's stub sends; any other action is refused as a client error.
constexpr const char* SOAP_ACTION = "http://kova.authz.service/kova/AuthzService/XACML";
constexpr const char* RESOURCE_ID = "urn:oasis:names:tc:xacml:1.0:resource:resource-id";
constexpr const char* XML_CONTENT_TYPE = "text/xml; charset=utf-8";

struct Options {
    std::string listen = "127.0.0.1:9080";
    std::string rulesFile;
    int delayMs = 0;
    std::string recordFile;
    int threads = 32;
    std::string tlsCert, tlsKey, tlsClientCa;
    std::string basicAuth;  // USER:PASSWORD
};

struct Counters {
    std::atomic<long> connections{0};
    std::atomic<long> requests{0};
};

// httplib hands each accepted connection to the task queue as one task, so counting tasks counts
// connections (a keep-alive connection is one task however many requests it carries).
class ConnectionCountingPool : public httplib::TaskQueue {
public:
    ConnectionCountingPool(size_t threads, Counters& counters) : m_pool(threads), m_counters(counters) {}
    void enqueue(std::function<void()> task) override {
        ++m_counters.connections;
        m_pool.enqueue(std::move(task));
    }
    void shutdown() override { m_pool.shutdown(); }

private:
    httplib::ThreadPool m_pool;
    Counters& m_counters;
};

// Appends each request body, whole, to a file.
class Recorder {
public:
    explicit Recorder(const std::string& path) {
        if (!path.empty()) m_out.open(path, std::ios::app | std::ios::binary);
        if (!path.empty() && !m_out) throw std::runtime_error("cannot open " + path);
    }
    void append(const std::string& body) {
        if (!m_out.is_open()) return;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_out << body << '\n';
        m_out.flush();
    }

private:
    std::mutex m_mutex;
    std::ofstream m_out;
};

std::string freshTransactionId() {
    unsigned char bytes[16];
    RAND_bytes(bytes, sizeof bytes);
    static const char hex[] = "0123456789abcdef";
    std::string id;
    for (unsigned char byte : bytes) id.append({hex[byte >> 4], hex[byte & 15]});
    return id;
}

std::string unquoted(std::string text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
    return text;
}

class Service {
public:
    Service(Rules rules, const Options& options, Counters& counters)
        : m_rules(std::move(rules)), m_delay(options.delayMs), m_recorder(options.recordFile), m_counters(counters) {}

    void evaluate(const httplib::Request& request, httplib::Response& response) {
        ++m_counters.requests;
        m_recorder.append(request.body);
        if (m_delay.count() > 0) std::this_thread::sleep_for(m_delay);
        // SOAP 1.1: an empty or absent SOAPAction leaves the intent to the request URI.
        std::string action = unquoted(request.get_header_value("SOAPAction"));
        if (!action.empty() && action != SOAP_ACTION)
            return refuse(response, {"soapenv:Client", "Unknown SOAPAction", "", action, ""});
        ParsedRequest parsed = parseRequest(request.body);
        // A document that cannot be read is the PDP's to judge (Indeterminate), not a SOAP error: a fault
        // would let whoever shapes the request choose how the client treats it.
        if (!parsed.wellFormed) return response.set_content(syntaxErrorEnvelope(parsed.error), XML_CONTENT_TYPE);
        if (!parsed.ok) return refuse(response, {"soapenv:Client", "Malformed XACML request", "", parsed.error, ""});
        std::visit([&](const auto& outcome) { answer(response, outcome, parsed.attributes); },
                   m_rules.evaluate(parsed.attributes));
    }

    void stats(const httplib::Request&, httplib::Response& response) const {
        nlohmann::json body{{"connections", m_counters.connections.load()}, {"requests", m_counters.requests.load()}};
        response.set_content(body.dump(), "application/json");
    }

private:
    static void refuse(httplib::Response& response, const Fault& fault) {
        response.status = 500;
        response.set_content(faultEnvelope(fault), XML_CONTENT_TYPE);
    }

    static void answer(httplib::Response& response, const DecisionOutcome& outcome, const Attributes& attributes) {
        Decision decision{outcome.effect, outcome.obligation, std::nullopt, outcome.padding};
        if (outcome.transactionId) decision.transactionId = freshTransactionId();
        auto resource = attributes.find(RESOURCE_ID);
        bool hasResource = resource != attributes.end() && !resource->second.empty();
        std::string envelope = responseEnvelope(decision, hasResource ? resource->second.front() : "");
        if (!outcome.chunked) return response.set_content(envelope, XML_CONTENT_TYPE);
        response.set_chunked_content_provider(XML_CONTENT_TYPE, [envelope](size_t, httplib::DataSink& sink) {
            bool written = sink.write(envelope.data(), envelope.size());
            sink.done();
            return written;
        });
    }
    static void answer(httplib::Response& response, const Fault& outcome, const Attributes&) {
        refuse(response, outcome);
    }
    static void answer(httplib::Response& response, const VerbatimBody& outcome, const Attributes&) {
        response.set_content(verbatimEnvelope(outcome.content), XML_CONTENT_TYPE);
    }

    Rules m_rules;
    std::chrono::milliseconds m_delay;
    Recorder m_recorder;
    Counters& m_counters;
};

struct ListenAddress {
    std::string host;  // as given, brackets included for IPv6
    int port = 0;
};

ListenAddress parseListen(const std::string& text) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        throw std::runtime_error("--listen wants HOST:PORT, got \"" + text + "\"");
    size_t used = 0;
    int port = std::stoi(text.substr(colon + 1), &used);
    if (used != text.size() - colon - 1 || port < 0 || port > 65535) throw std::runtime_error("bad port in --listen");
    return {text.substr(0, colon), port};
}

std::string bindHost(const std::string& host) {
    return host.size() > 2 && host.front() == '[' && host.back() == ']' ? host.substr(1, host.size() - 2) : host;
}

std::string basicAuthorization(const std::string& userAndPassword) {
    std::string encoded(4 * ((userAndPassword.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                 reinterpret_cast<const unsigned char*>(userAndPassword.data()),
                                 static_cast<int>(userAndPassword.size()));
    encoded.resize(static_cast<size_t>(length));
    return "Basic " + encoded;
}

void requireBasicAuth(httplib::Server& server, const std::string& userAndPassword) {
    server.set_pre_routing_handler(
        [expected = basicAuthorization(userAndPassword)](const httplib::Request& request, httplib::Response& response) {
            if (request.path == "/stats" || request.get_header_value("Authorization") == expected)
                return httplib::Server::HandlerResponse::Unhandled;
            response.status = 401;
            response.set_header("WWW-Authenticate", "Basic realm=\"refpdp\"");
            return httplib::Server::HandlerResponse::Handled;
        });
}

std::unique_ptr<httplib::Server> plainOrTlsServer(const Options& options) {
    if (options.tlsCert.empty()) return std::make_unique<httplib::Server>();
    auto server =
        std::make_unique<httplib::SSLServer>(options.tlsCert.c_str(), options.tlsKey.c_str(),
                                             options.tlsClientCa.empty() ? nullptr : options.tlsClientCa.c_str());
    if (!server->is_valid()) throw std::runtime_error("cannot load the TLS certificate, key or client CA");
    return server;
}

std::unique_ptr<httplib::Server> makeServer(const Options& options, Counters& counters) {
    std::unique_ptr<httplib::Server> server = plainOrTlsServer(options);
    if (!options.basicAuth.empty()) requireBasicAuth(*server, options.basicAuth);
    size_t threads = static_cast<size_t>(options.threads);
    server->new_task_queue = [threads, &counters] { return new ConnectionCountingPool(threads, counters); };
    // Clients keep their connections for many exchanges; close only idle ones.
    server->set_keep_alive_max_count(1000000);
    server->set_keep_alive_timeout(300);
    server->set_tcp_nodelay(true);
    return server;
}

int run(const Options& options) {
    Rules rules = options.rulesFile.empty() ? Rules() : Rules::load(options.rulesFile);
    ListenAddress address = parseListen(options.listen);
    Counters counters;
    Service service(std::move(rules), options, counters);
    std::unique_ptr<httplib::Server> server = makeServer(options, counters);
    server->Post(SERVICE_PATH, [&](const httplib::Request& q, httplib::Response& r) { service.evaluate(q, r); });
    server->Get("/stats", [&](const httplib::Request& q, httplib::Response& r) { service.stats(q, r); });
    server->Get(".*", [](const httplib::Request&, httplib::Response& r) { r.set_content("OK\n", "text/plain"); });

    std::string host = bindHost(address.host);
    int port = address.port == 0 ? server->bind_to_any_port(host) : address.port;
    if (port < 0 || (address.port != 0 && !server->bind_to_port(host, port)))
        throw std::runtime_error("cannot listen on " + options.listen);
    std::cout << "refpdp listening on " << address.host << ":" << port << std::endl;
    return server->listen_after_bind() ? 0 : 1;
}

}  // namespace
}  // namespace refpdp

#if defined(__SANITIZE_THREAD__)
// cpp-httplib's compiled part is not instrumented: its own synchronisation is invisible to the sanitizer,
// so what it reports from inside that library is noise. refpdp is the tests' peer, not code under test.
extern "C" const char* __tsan_default_suppressions() { return "called_from_lib:libcpp-httplib.so\n"; }
#endif

namespace {

int runRefpdp(int argc, char** argv) {
    refpdp::Options options;
    CLI::App app{"refpdp: reference XACML 2.0 policy decision point over SOAP 1.1"};
    app.set_version_flag("--version", "refpdp " KOVA_EAS_VERSION);
    app.add_option("--listen", options.listen, "HOST:PORT to listen on; port 0 picks a free port");
    app.add_option("--rules", options.rulesFile, "JSON rules file (default: permit everything)")
        ->check(CLI::ExistingFile);
    app.add_option("--delay-ms", options.delayMs, "delay before each answer, in milliseconds")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--record", options.recordFile, "append each request body to this file");
    app.add_option("--threads", options.threads, "worker threads (each open connection holds one)")
        ->check(CLI::PositiveNumber);
    auto* cert =
        app.add_option("--tls-cert", options.tlsCert, "PEM server certificate: serve https")->check(CLI::ExistingFile);
    auto* key = app.add_option("--tls-key", options.tlsKey, "PEM server key")->check(CLI::ExistingFile);
    cert->needs(key);
    key->needs(cert);
    app.add_option("--tls-client-ca", options.tlsClientCa, "PEM CA that must have issued a client certificate")
        ->check(CLI::ExistingFile)
        ->needs(cert);
    app.add_option("--basic-auth", options.basicAuth, "USER:PASSWORD every request but /stats must carry");
    CLI11_PARSE(app, argc, argv);
    try {
        return refpdp::run(options);
    } catch (const std::exception& e) {
        std::cerr << "refpdp: " << e.what() << std::endl;
        return 2;
    }
}

}  // namespace

// Nothing escapes: what setting up the command line raises is reported like a failure to serve.
int main(int argc, char** argv) {
    // A request of megabytes is read, parsed and freed whole; the freed heap stays with the process for the
    // next one instead of going back to the kernel and faulting in anew, page by page, on every request.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    // libxml2's global state is set up once here, before the server's threads parse at the same time.
    xmlInitParser();
    try {
        return runRefpdp(argc, argv);
    } catch (...) {
        fputs("refpdp: an unknown failure\n", stderr);
    }
    return 2;
}
