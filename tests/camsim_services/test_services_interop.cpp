// The camera's services against real peers on 127.0.0.1: curl uploads a
// certificate over HTTP/1.0, openssl s_client talks to the TLS front with and
// without a client certificate.
#include "services_support.h"
#include "tools/camsim/http_service.h"
#include "tools/camsim/tls_service.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <sys/socket.h>

using namespace testsupport;

namespace {

void WriteKey(const std::string& path, EVP_PKEY* key) {
    BIO* bio = BIO_new_file(path.c_str(), "w");
    ASSERT_TRUE(bio);
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    BIO_free(bio);
}

TEST(ServicesInterop, CurlUploadsOverHttp10) {
    if (!HaveTool("curl")) GTEST_SKIP() << "curl is not installed";
    TempDir dir;
    camsim::HttpServiceConfig config;
    config.port = 0;
    config.trustDir = dir.path() + "/trust";
    camsim::HttpService http(config);
    std::string error;
    ASSERT_TRUE(http.Start(error)) << error;

    Identity client = MakeIdentity("curl-host");
    const std::string cert = dir.path() + "/cert.pem";
    WriteFile(cert, client.Pem());
    const std::string url = "http://127.0.0.1:" + std::to_string(http.Port()) + "/m2m/uploadcert";
    int rc = -1;
    std::string out = RunCommand("curl -sS --max-time 30 --http1.0 -T '" + cert + "' '" + url + "'", &rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("<body>Certificate stored. Subject: /C=DE/O=ZYRK/CN=curl-host</body>"), std::string::npos)
        << out;
    EXPECT_EQ(CountFiles(config.trustDir, ".pem"), 1u);

    // HTTP/1.1 (curl may ask for 100-continue) and an oversize file.
    out = RunCommand("curl -sS --max-time 30 -T '" + cert + "' '" + url + "'", &rc);
    EXPECT_NE(out.find("Certificate stored."), std::string::npos) << out;
    const std::string big = dir.path() + "/big.pem";
    WriteFile(big, std::string(100 * 1024, 'A'));
    out = RunCommand("curl -s --max-time 30 -o /dev/null -w '%{http_code}' --http1.0 -T '" + big + "' '" + url + "'",
                     &rc);
    EXPECT_NE(out.find("413"), std::string::npos) << out;
}

TEST(ServicesInterop, OpensslClientNeedsATrustedCertificate) {
    if (!HaveTool("openssl")) GTEST_SKIP() << "openssl is not installed";
    TempDir dir;
    // Answers one line with itself, then closes.
    Backend backend([](int fd, Backend& self) {
        std::string line;
        char c;
        while (line.find('\n') == std::string::npos && recv(fd, &c, 1, 0) == 1) line += c;
        self.Record(line);
        if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) < 0) ADD_FAILURE() << "echo not sent";
    });
    camsim::TlsServiceConfig config;
    config.port = 0;
    config.hostName = "interop-cam";
    config.trustDir = dir.path() + "/trust";
    config.backendPort = backend.port();
    camsim::TlsService tls(config);
    std::string error;
    ASSERT_TRUE(tls.Start(error)) << error;

    Identity client = MakeIdentity("interop-client");
    WriteFile(dir.path() + "/c.pem", client.Pem());
    WriteKey(dir.path() + "/k.pem", client.key.get());
    WriteFile(dir.path() + "/msg", "HELLO-RESOURCE-TREE\n");
    const std::string base = "timeout 30 openssl s_client -connect 127.0.0.1:" + std::to_string(tls.Port()) +
                             " -ign_eof -quiet";
    // -ign_eof keeps s_client reading after its input ends; the service's
    // close (alert or end of the relay) ends it.
    int rc = 0;
    std::string out = RunCommand(base + " < '" + dir.path() + "/msg'", &rc);
    EXPECT_NE(rc, 0) << out;
    EXPECT_EQ(out.find("HELLO-RESOURCE-TREE"), std::string::npos) << out;
    EXPECT_NE(out.find("alert"), std::string::npos) << out;

    // Trusted: the line comes back through the backend, which then closes;
    // the service closes the client after the last bytes.
    camsim::TrustedCertificate stored;
    ASSERT_TRUE(camsim::StoreTrustedCertificate(config.trustDir, client.cert.get(), stored, error)) << error;
    tls.ReloadTrustStore();
    std::string trustedOut = RunCommand(base + " -cert '" + dir.path() + "/c.pem' -key '" + dir.path() +
                                        "/k.pem' < '" + dir.path() + "/msg'");
    EXPECT_NE(trustedOut.find("HELLO-RESOURCE-TREE"), std::string::npos) << trustedOut;
}

}  // namespace
