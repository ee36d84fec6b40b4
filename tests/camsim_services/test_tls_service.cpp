// The camera's TLS front on 127.0.0.1: its own certificate, the client
// certificate it requires, the trust folder filled by the HTTP upload, and the
// relay to a loopback backend.
#include "services_support.h"
#include "tools/camsim/http_service.h"
#include "tools/camsim/tls_service.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <sys/stat.h>

using namespace testsupport;

namespace {

camsim::TlsServiceConfig BaseConfig(const TempDir& dir, uint16_t backendPort) {
    camsim::TlsServiceConfig config;
    config.bindAddress = "127.0.0.1";
    config.port = 0;
    config.hostName = "cam-tls";
    config.certFile = dir.path() + "/camera-cert.pem";
    config.keyFile = dir.path() + "/camera-key.pem";
    config.trustDir = dir.path() + "/trust";
    config.backendAddress = "127.0.0.1";
    config.backendPort = backendPort;
    return config;
}

void Trust(const TempDir& dir, X509* cert) {
    camsim::TrustedCertificate stored;
    std::string error;
    ASSERT_TRUE(camsim::StoreTrustedCertificate(dir.path() + "/trust", cert, stored, error)) << error;
}

TEST(TlsService, MakesItsCertificateOnceAndKeepsIt) {
    TempDir dir;
    camsim::TlsServiceConfig config = BaseConfig(dir, 1);
    std::string pem;
    {
        camsim::TlsService service(config);
        std::string error;
        ASSERT_TRUE(service.Start(error)) << error;
        pem = service.CertificatePem();
    }
    EXPECT_EQ(ReadFile(config.certFile), pem);
    struct stat st{};
    ASSERT_EQ(stat(config.keyFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509Ptr cert(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    ASSERT_TRUE(cert);
    EXPECT_EQ(camsim::SubjectLine(cert.get()), "/O=ZYRK/CN=cam-tls");
    EXPECT_EQ(X509_check_issued(cert.get(), cert.get()), X509_V_OK);
    EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(cert.get())), 2048);

    camsim::TlsService again(config);
    std::string error;
    ASSERT_TRUE(again.Start(error)) << error;
    EXPECT_EQ(again.CertificatePem(), pem);
}

TEST(TlsService, RefusesAKeyThatIsNotTheCertificatesAndUnreadableFiles) {
    TempDir dir;
    camsim::TlsServiceConfig config = BaseConfig(dir, 1);
    Identity a = MakeIdentity("a");
    Identity b = MakeIdentity("b");
    WriteFile(config.certFile, a.Pem());
    BIO* bio = BIO_new_file(config.keyFile.c_str(), "w");
    PEM_write_bio_PrivateKey(bio, b.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    BIO_free(bio);
    std::string error;
    camsim::TlsService mismatch(config);
    EXPECT_FALSE(mismatch.Start(error));
    EXPECT_NE(error.find("is not the key of"), std::string::npos) << error;

    WriteFile(config.certFile, "garbage");
    camsim::TlsService garbage(config);
    EXPECT_FALSE(garbage.Start(error));
    EXPECT_NE(error.find("cannot read the certificate"), std::string::npos) << error;
    // Neither file was replaced by a new pair.
    EXPECT_EQ(ReadFile(config.certFile), "garbage");
}

TEST(TlsService, ClientsWithoutATrustedCertificateAreRejected) {
    TempDir dir;
    Backend backend(Backend::Echo);
    camsim::TlsService service(BaseConfig(dir, backend.port()));
    std::string error;
    ASSERT_TRUE(service.Start(error)) << error;

    TlsExchange none = TlsRoundTrip(service.Port(), nullptr, nullptr, "ping");
    EXPECT_EQ(none.received, "");
    EXPECT_TRUE(none.closedByPeer);

    Identity stranger = MakeIdentity("stranger");
    TlsExchange untrusted = TlsRoundTrip(service.Port(), stranger.cert.get(), stranger.key.get(), "ping");
    EXPECT_EQ(untrusted.received, "");
    EXPECT_TRUE(untrusted.closedByPeer);

    // Trusted, but only after a reload.
    Identity known = MakeIdentity("known");
    Trust(dir, known.cert.get());
    EXPECT_EQ(TlsRoundTrip(service.Port(), known.cert.get(), known.key.get(), "ping").received, "");

    // A look-alike of a trusted certificate (same subject, other key) is not it.
    service.ReloadTrustStore();
    Identity lookalike = MakeIdentity("known");
    EXPECT_EQ(TlsRoundTrip(service.Port(), lookalike.cert.get(), lookalike.key.get(), "ping").received, "");
    // Presenting the trusted certificate without its key fails as well.
    EXPECT_EQ(TlsRoundTrip(service.Port(), known.cert.get(), lookalike.key.get(), "ping").received, "");

    EXPECT_TRUE(Eventually([&] { return service.RejectedHandshakes() >= 5; }));
    EXPECT_EQ(service.RelayedConnections(), 0u);
    EXPECT_EQ(TlsRoundTrip(service.Port(), known.cert.get(), known.key.get(), "ping").received, "ping");
}

TEST(TlsService, UploadedCertificateOpensTheRelayToTheBackend) {
    TempDir dir;
    Backend backend(Backend::Echo);
    camsim::TlsService tls(BaseConfig(dir, backend.port()));
    std::string error;
    ASSERT_TRUE(tls.Start(error)) << error;

    camsim::HttpServiceConfig http;
    http.port = 0;
    http.trustDir = dir.path() + "/trust";
    http.onCertificateStored = [&](const camsim::TrustedCertificate&) { tls.ReloadTrustStore(); };
    camsim::HttpService web(http);
    ASSERT_TRUE(web.Start(error)) << error;

    Identity client = MakeIdentity("teliox-host");
    EXPECT_EQ(TlsRoundTrip(tls.Port(), client.cert.get(), client.key.get(), "before").received, "");

    ASSERT_EQ(PutCertificate(web.Port(), client.Pem()).status, 200);
    TlsExchange after = TlsRoundTrip(tls.Port(), client.cert.get(), client.key.get(), "\xFE\x01resource bytes");
    EXPECT_TRUE(after.handshake);
    EXPECT_EQ(after.received, "\xFE\x01resource bytes");
    EXPECT_TRUE(backend.WaitFor([](const std::string& bytes, int) { return bytes == "\xFE\x01resource bytes"; }));
    // The client went away: the backend's side was closed too.
    EXPECT_TRUE(backend.WaitFor([](const std::string&, int closes) { return closes == 1; }));
}

TEST(TlsService, RelayCarriesALargeTransferBothWays) {
    TempDir dir;
    Backend backend(Backend::Echo);
    camsim::TlsService service(BaseConfig(dir, backend.port()));
    Identity client = MakeIdentity("bulk");
    Trust(dir, client.cert.get());
    std::string error;
    ASSERT_TRUE(service.Start(error)) << error;

    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131) >> 3);
    TlsExchange exchange = TlsRoundTrip(service.Port(), client.cert.get(), client.key.get(), data);
    EXPECT_EQ(exchange.received.size(), data.size());
    EXPECT_TRUE(exchange.received == data);
}

TEST(TlsService, BackendClosingClosesTheClientAfterItsLastBytes) {
    TempDir dir;
    Backend backend(Backend::GreetAndClose("HELLO"));
    camsim::TlsService service(BaseConfig(dir, backend.port()));
    Identity client = MakeIdentity("greeted");
    Trust(dir, client.cert.get());
    std::string error;
    ASSERT_TRUE(service.Start(error)) << error;

    // Wait for more than comes: the reading must end by the close.
    TlsExchange exchange = TlsRoundTrip(service.Port(), client.cert.get(), client.key.get(), "", 100);
    EXPECT_EQ(exchange.received, "HELLO");
    EXPECT_TRUE(exchange.closedByPeer);
}

TEST(TlsService, NoBackendMeansAClosedConnectionNotAHang) {
    TempDir dir;
    uint16_t unused;
    {
        Backend gone(Backend::Echo);
        unused = gone.port();
    }
    camsim::TlsService service(BaseConfig(dir, unused));
    Identity client = MakeIdentity("lonely");
    Trust(dir, client.cert.get());
    std::string error;
    ASSERT_TRUE(service.Start(error)) << error;
    TlsExchange exchange = TlsRoundTrip(service.Port(), client.cert.get(), client.key.get(), "ping");
    EXPECT_EQ(exchange.received, "");
    EXPECT_TRUE(exchange.closedByPeer);
    EXPECT_EQ(service.RelayedConnections(), 0u);
}

TEST(TlsService, StopEndsOpenConnectionsAndTheConnectionLimitHolds) {
    TempDir dir;
    Backend backend(Backend::RecordOnly);
    camsim::TlsServiceConfig config = BaseConfig(dir, backend.port());
    config.maxConnections = 2;
    camsim::TlsService service(config);
    Identity client = MakeIdentity("holder");
    Trust(dir, client.cert.get());
    std::string error;
    ASSERT_TRUE(service.Start(error)) << error;

    // Two clients that only send; they stay open until Stop closes them.
    std::vector<std::thread> holders;
    std::vector<TlsExchange> results(2);
    for (int i = 0; i < 2; ++i)
        holders.emplace_back([&, i] {
            results[i] = TlsRoundTrip(service.Port(), client.cert.get(), client.key.get(), "x", 100);
        });
    ASSERT_TRUE(backend.WaitFor([](const std::string& bytes, int) { return bytes == "xx"; }));
    EXPECT_EQ(service.ActiveConnections(), 2u);
    // A third is closed at once.
    TlsExchange third = TlsRoundTrip(service.Port(), client.cert.get(), client.key.get(), "y");
    EXPECT_FALSE(third.handshake);

    service.Stop();
    for (auto& t : holders) t.join();
    for (const TlsExchange& r : results) EXPECT_TRUE(r.closedByPeer);
    EXPECT_EQ(service.ActiveConnections(), 0u);
    EXPECT_TRUE(backend.WaitFor([](const std::string&, int closes) { return closes == 2; }));
    EXPECT_FALSE(service.Running());
    service.Stop();  // twice is harmless

    ASSERT_TRUE(service.Start(error)) << error;
    EXPECT_EQ(TlsRoundTrip(service.Port(), client.cert.get(), client.key.get(), "z", 0).handshake, true);

    // A new address that is none leaves the service stopped with a message.
    EXPECT_FALSE(service.Rebind("no-address", error));
    EXPECT_NE(error.find("no-address"), std::string::npos);
    EXPECT_FALSE(service.Running());
    ASSERT_TRUE(service.Rebind("127.0.0.1", error)) << error;
    EXPECT_EQ(TlsRoundTrip(service.Port(), client.cert.get(), client.key.get(), "z", 0).handshake, true);
}

TEST(TrustSet, LoadsEveryCertificateOfThePemFilesOnly) {
    TempDir dir;
    Identity a = MakeIdentity("a"), b = MakeIdentity("b"), c = MakeIdentity("c");
    WriteFile(dir.path() + "/two.pem", "text first\n" + a.Pem() + b.Pem());
    WriteFile(dir.path() + "/ignored.txt", c.Pem());
    WriteFile(dir.path() + "/broken.pem", "-----BEGIN CERTIFICATE-----\nAAAA\n");
    WriteFile(dir.path() + "/dup.pem", a.Pem());
    auto set = camsim::LoadTrustSet(dir.path());
    EXPECT_EQ(set->der.size(), 2u);
    EXPECT_TRUE(set->Contains(a.cert.get()));
    EXPECT_TRUE(set->Contains(b.cert.get()));
    EXPECT_FALSE(set->Contains(c.cert.get()));
    EXPECT_TRUE(camsim::LoadTrustSet(dir.path() + "/missing")->der.empty());
}

}  // namespace
