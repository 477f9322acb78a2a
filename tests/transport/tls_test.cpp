// The transport over https and with basic authentication, against refpdp: trust, a wrong CA, a
// required client certificate, the health-check ping through the SSL toolkit, and a large request over
// both kinds of connection. Certificates are made for the run with the openssl tool; no key is kept.
#include <gtest/gtest.h>

#include <memory>

#include "rba/stub/AuthzService.h"
#include "transport/transport_support.h"
#include "wzt/wzt.h"

namespace kova_test {
namespace {

// A throwaway CA with a server certificate for 127.0.0.1 and ::1 and a client certificate, plus an
// unrelated CA.
class TestPki {
public:
    TestPki() {
        makeCa("ca");
        makeCa("other-ca");
        makeIssued("server", "/CN=127.0.0.1", "subjectAltName=IP:127.0.0.1,IP:::1\n");
        makeIssued("client", "/CN=kova-client", "extendedKeyUsage=clientAuth\n");
    }
    std::string file(const std::string& name) const { return m_dir.file(name); }

private:
    void openssl(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "/usr/bin/openssl");
        std::string err;
        if (runCommand(arguments, nullptr, &err) != 0) throw std::runtime_error("openssl failed: " + err);
    }
    std::vector<std::string> newKey(const std::string& name) {
        return {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", file(name + ".key")};
    }
    void makeCa(const std::string& name) {
        std::vector<std::string> arguments{"req",   "-x509",       "-days", "2",
                                           "-subj", "/CN=" + name, "-out",  file(name + ".pem")};
        for (const std::string& part : newKey(name)) arguments.push_back(part);
        openssl(arguments);
    }
    void makeIssued(const std::string& name, const std::string& subject, const std::string& extensions) {
        std::vector<std::string> request{"req", "-subj", subject, "-out", file(name + ".csr")};
        for (const std::string& part : newKey(name)) request.push_back(part);
        openssl(request);
        writeFile(file(name + ".ext"), extensions);
        openssl({"x509", "-req", "-days", "2", "-in", file(name + ".csr"), "-CA", file("ca.pem"), "-CAkey",
                 file("ca.key"), "-CAcreateserial", "-extfile", file(name + ".ext"), "-out", file(name + ".pem")});
    }

    TempDir m_dir;
};

class TlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { pki = std::make_unique<TestPki>(); }
    static void TearDownTestSuite() { pki.reset(); }
    static std::unique_ptr<TestPki> pki;

    TempDir dir;
    KOVAServiceFactory factory;

    static std::vector<std::string> tlsOptions() {
        return {"--tls-cert", pki->file("server.pem"), "--tls-key", pki->file("server.key")};
    }

    // The SOAP call's settings towards `pdp`, trusting the test CA.
    static orbsec_axiscpp::CallTransportConfig trustingCall(const RefPdp& pdp, long timeoutSeconds) {
        orbsec_axiscpp::CallTransportConfig config;
        config.endpoint = pdp.url();
        config.caFile = pki->file("ca.pem");
        config.timeoutSeconds = timeoutSeconds;
        return config;
    }

    std::unique_ptr<ClusterUnderTest> cluster(const RefPdp& pdp, const std::string& extra) {
        auto made =
            std::make_unique<ClusterUnderTest>(factory, dir, "server = 10," + pdp.url() + "\ntimeout = 2\n" + extra);
        EXPECT_EQ(made->status, 0);
        return made;
    }

    // A ping's transport settings with a TLS environment trusting `caFile`.
    struct SecurePing {
        NVWSOAPHandleConfig config;
        explicit SecurePing(const std::string& caFile) {
            wzt_env_config_t settings{caFile.c_str(), nullptr, nullptr, 1};
            char error[256];
            EXPECT_EQ(wzt_env_create(&settings, &config.m_wztEnv, error, sizeof error), WZT_OK) << error;
            config.m_useSSL = true;
            config.m_timeout = 2;
        }
        ~SecurePing() { wzt_env_destroy(config.m_wztEnv); }
    };
};

std::unique_ptr<TestPki> TlsTest::pki;

// A server the trust file does not vouch for is refused and its endpoint marked down; a trust file that
// cannot be loaded refuses the cluster.
TEST_F(TlsTest, UntrustedServerIsRefusedAndItsEndpointMarkedDown) {
    RefPdp pdp(tlsOptions());
    auto target = cluster(pdp, "ssl-ca-file = " + pki->file("other-ca.pem") + "\nhealth-check-interval = 60\n");
    EXPECT_EQ(exchangeThrough(target->cluster, "/permit/a").status, NVWSOAP_S_TRANSPORT);
    EXPECT_EQ(exchangeThrough(target->cluster, "/permit/a").status, NVWSOAP_S_NO_ENDPOINT);
    ClusterUnderTest refused(factory, dir,
                             "server = 10," + pdp.url() + "\nssl-ca-file = " + dir.file("missing.pem") + "\n");
    EXPECT_EQ(refused.status, NVWSOAP_S_TLS_CONFIG);
}

// The certificate names 127.0.0.1 and ::1 only: asked as "localhost", a trusted server is refused unless
// verification is off.
TEST_F(TlsTest, ServerWhoseCertificateDoesNotNameTheUrlsHostIsRefused) {
    RefPdp pdp(tlsOptions());
    std::string url = pdp.url();
    url.replace(url.find("127.0.0.1"), 9, "localhost");
    for (const char* verify : {"yes", "no"}) {
        ClusterUnderTest target(factory, dir,
                                "server = 10," + url + "\ntimeout = 2\nssl-ca-file = " + pki->file("ca.pem") +
                                    "\nssl-verify-peer = " + verify + "\n");
        ASSERT_EQ(target.status, 0);
        EXPECT_EQ(exchangeThrough(target.cluster, "/permit/a").status, *verify == 'y' ? NVWSOAP_S_TRANSPORT : 0)
            << verify;
    }
}

TEST_F(TlsTest, ServerRequiringAClientCertificateAcceptsOnlyTheConfiguredOne) {
    std::vector<std::string> options = tlsOptions();
    options.insert(options.end(), {"--tls-client-ca", pki->file("ca.pem")});
    RefPdp pdp(options);
    std::string trust = "ssl-ca-file = " + pki->file("ca.pem") + "\n";
    EXPECT_EQ(exchangeThrough(cluster(pdp, trust)->cluster, "/permit/a").status, NVWSOAP_S_TRANSPORT);
    auto identified = cluster(pdp, trust + "ssl-cert-file = " + pki->file("client.pem") +
                                       "\nssl-key-file = " + pki->file("client.key") + "\n");
    EXPECT_EQ(exchangeThrough(identified->cluster, "/permit/a").status, 0);
}

TEST_F(TlsTest, PingThroughTheSslToolkitTrustsOnlyItsEnvironment) {
    RefPdp pdp(tlsOptions());
    EXPECT_EQ(pingOnce(pdp.url(), SecurePing(pki->file("ca.pem")).config), 0);
    EXPECT_EQ(pingOnce(pdp.url(), SecurePing(pki->file("other-ca.pem")).config),
              static_cast<int>(KOVA_PING_SSL_FAILURE));
}

// A resource of about 3 MB in pieces of every size: empty, more small ones than one gathered write takes, ones
// around a TLS record's size and one far larger than the socket buffer. refpdp must record the very bytes
// of the envelope, in order, over plain and over TLS, on a fresh and on a kept connection.
TEST_F(TlsTest, LargeRequestInPiecesOfEverySizeArrivesWholeAndInOrder) {
    std::vector<std::string> resource{"/permit/"};
    for (size_t i = 0; i < 300; ++i) resource.push_back(std::string(i % 7, static_cast<char>('a' + i % 26)));
    for (size_t size : {16383, 16384, 16385, 8'000'000, 1, 40'000})
        resource.push_back(std::string(size, static_cast<char>('A' + size % 26)));
    XacmlPieces request(resource, "read");
    std::string expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
        "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><SOAP-ENV:Body><ns1:Request "
        "xmlns:ns1=\"urn:oasis:names:tc:xacml:2.0:context:schema:os\">" +
        request.joined() + "</ns1:Request></SOAP-ENV:Body></SOAP-ENV:Envelope>\n";
    for (bool tls : {false, true}) {
        std::vector<std::string> options{"--record", dir.file(tls ? "tls.xml" : "plain.xml")};
        if (tls) {
            std::vector<std::string> secure = tlsOptions();
            options.insert(options.end(), secure.begin(), secure.end());
        }
        RefPdp pdp(options);
        AuthzService stub(pdp.url().c_str(), orbsec_axiscpp::APTHTTP1_1);
        orbsec_axiscpp::CallTransportConfig config = trustingCall(pdp, 10);
        config.maxResponseBytes = 32L * 1024 * 1024;  // the answer names the resource
        stub.getCall()->setTransportConfig(config);
        for (int round = 0; round < 2; ++round)
            EXPECT_THAT(takeJoined(stub.EvaluateXACML(request.any())), HasSubstr(">Permit</")) << tls;
        EXPECT_EQ(stub.getCall()->connectionsOpened(), 1) << tls;
        std::string recorded = readFile(dir.file(tls ? "tls.xml" : "plain.xml"));
        EXPECT_EQ(recorded.size(), 2 * expected.size()) << tls;
        EXPECT_TRUE(recorded == expected + expected) << tls << ": the bytes refpdp received differ";
    }
}

// A TLS read waits no longer than a plain one: a PDP that takes longer than the time-out fails the exchange.
TEST_F(TlsTest, SlowServerOverTlsTimesOut) {
    std::vector<std::string> options = tlsOptions();
    options.insert(options.end(), {"--delay-ms", "2500"});
    RefPdp pdp(options);
    AuthzService stub(pdp.url().c_str(), orbsec_axiscpp::APTHTTP1_1);
    stub.getCall()->setTransportConfig(trustingCall(pdp, 1));
    XacmlPieces request("/permit/a");
    try {
        takeJoined(stub.EvaluateXACML(request.any()));
        ADD_FAILURE() << "a slow server answered within the time-out";
    } catch (const orbsec_axiscpp::AxisException& e) {
        EXPECT_EQ(e.getExceptionCode(), orbsec_axiscpp::SERVER_TRANSPORT_TIMEOUT) << e.what();
    }
}

TEST_F(TlsTest, BasicAuthenticationIsSentByExchanges) {
    RefPdp pdp({"--basic-auth", "alice:s3cret"});
    auto anonymous = cluster(pdp, "");
    EXPECT_EQ(exchangeThrough(anonymous->cluster, "/permit/a").status, NVWSOAP_S_TRANSPORT);
    auto authenticated = cluster(pdp, "basic-auth-user = alice\nbasic-auth-passwd = s3cret\n");
    EXPECT_EQ(exchangeThrough(authenticated->cluster, "/permit/a").status, 0);
}

}  // namespace
}  // namespace kova_test
