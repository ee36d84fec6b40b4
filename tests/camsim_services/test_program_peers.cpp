// The program's own camera actions against the simulated camera's services:
// the certificate it makes, its upload over HTTP/1.0, and the fetch of the
// camera's certificate from the TLS port.
#include "app/actions/camera_cert.h"
#include "app/actions/cert_store.h"
#include "app/actions/client_cert.h"
#include "app/actions/upload.h"
#include "services_support.h"
#include "tools/camsim/http_service.h"
#include "tools/camsim/tls_service.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace testsupport;

namespace {

struct Status : IActionStatus {
    void SetStatusText(const std::string& text) override { statusText = text; }
    void ShowStatus(const std::string& text) override { statusText = pane = text; }
    bool AskYesNo(const std::string&) override { return false; }
    std::string statusText, pane;
};

// TELIOX_PROGRAMDATA points into a private folder for one test.
class ProgramData {
public:
    ProgramData() {
        const char* old = std::getenv(kProgramDataEnv);
        if (old) previous_ = old, hadPrevious_ = true;
        setenv(kProgramDataEnv, dir_.path().c_str(), 1);
    }
    ~ProgramData() {
        if (hadPrevious_) setenv(kProgramDataEnv, previous_.c_str(), 1);
        else unsetenv(kProgramDataEnv);
    }
    CertificatePaths Paths() {
        CertificatePaths paths;
        std::string error;
        EXPECT_TRUE(GetCertificatePaths(paths, error)) << error;
        EXPECT_TRUE(CreateCertificateFolder(paths, error)) << error;
        return paths;
    }
    const TempDir& dir() const { return dir_; }

private:
    TempDir dir_;
    std::string previous_;
    bool hadPrevious_ = false;
};

CDevice Camera(const std::string& hostName) {
    CDevice camera;
    camera.name = "Simulated";
    camera.ipAddress = "127.0.0.1";
    camera.hostName = hostName;
    camera.disabled = true;
    return camera;
}

TEST(ProgramAgainstServices, UploadShowsTheSentenceBeforeSubjectAndOpensTls) {
    ProgramData data;
    CertificatePaths paths = data.Paths();
    Status status;
    // The program's own certificate (a smaller key than the product's, for speed).
    ClientCertificate cc;
    ClientCertificateOptions options;
    options.hostName = "teliox-pc";
    options.country = "DE";
    options.keyBits = 2048;
    ASSERT_TRUE(GenerateClientCertificate(cc, status, options)) << status.statusText;
    ASSERT_TRUE(WriteClientCertificate(cc, paths, status)) << status.statusText;

    Backend backend(Backend::Echo);
    camsim::TlsServiceConfig tlsConfig;
    tlsConfig.port = 0;
    tlsConfig.hostName = "simcam";
    tlsConfig.trustDir = data.dir().path() + "/camera-trust";
    tlsConfig.backendPort = backend.port();
    camsim::TlsService tls(tlsConfig);
    std::string error;
    ASSERT_TRUE(tls.Start(error)) << error;

    camsim::HttpServiceConfig httpConfig;
    httpConfig.port = 0;
    httpConfig.trustDir = tlsConfig.trustDir;
    httpConfig.onCertificateStored = [&](const camsim::TrustedCertificate&) { tls.ReloadTrustStore(); };
    camsim::HttpService http(httpConfig);
    ASSERT_TRUE(http.Start(error)) << error;

    EXPECT_TRUE(TlsRoundTrip(tls.Port(), cc.cert.get(), cc.key.get(), "ping").received.empty());

    std::string response;
    UploadOptions upload;
    upload.baseUrl = "http://127.0.0.1:" + std::to_string(http.Port());
    UploadResult result = UploadCertificate(Camera("simcam"), paths, status, response, upload);
    EXPECT_TRUE(result.transferred) << result.error;
    EXPECT_EQ(result.httpStatus, 200);
    EXPECT_TRUE(result.bodyFound);
    EXPECT_EQ(status.pane, "Certificate stored. ");
    EXPECT_NE(response.find("Subject: /C=DE/O=ZYRK/CN=teliox-pc"), std::string::npos) << response;

    // The certificate the program presents is now accepted.
    EXPECT_EQ(TlsRoundTrip(tls.Port(), cc.cert.get(), cc.key.get(), "ping").received, "ping");
}

TEST(ProgramAgainstServices, BadUploadShowsTheCamerasErrorSentence) {
    ProgramData data;
    CertificatePaths paths = data.Paths();
    WriteFile(paths.clientCertPath, "not a certificate\n");
    camsim::HttpServiceConfig config;
    config.port = 0;
    config.trustDir = data.dir().path() + "/camera-trust";
    camsim::HttpService http(config);
    std::string error;
    ASSERT_TRUE(http.Start(error)) << error;

    Status status;
    std::string response;
    UploadOptions upload;
    upload.baseUrl = "http://127.0.0.1:" + std::to_string(http.Port());
    UploadResult result = UploadCertificate(Camera("simcam"), paths, status, response, upload);
    EXPECT_EQ(result.httpStatus, 400);
    EXPECT_EQ(status.pane, "Certificate rejected: no PEM certificate found.");
}

TEST(ProgramAgainstServices, FetchStoresTheServicesCertificate) {
    ProgramData data;
    CertificatePaths paths = data.Paths();
    Backend backend(Backend::Echo);
    camsim::TlsServiceConfig config;
    config.port = 0;
    config.hostName = "simcam";
    config.trustDir = data.dir().path() + "/camera-trust";
    config.backendPort = backend.port();
    camsim::TlsService tls(config);
    std::string error;
    ASSERT_TRUE(tls.Start(error)) << error;

    FetchOptions fetch;
    fetch.port = tls.Port();
    // No client certificate: the handshake is refused, the certificate is still seen.
    ASSERT_EQ(FetchCameraCertificate(Camera("simcam"), fetch, &error), 0) << error;
    const std::string file = ReadFile(paths.CameraCertPath("simcam"));
    const std::string pem = tls.CertificatePem();
    ASSERT_FALSE(pem.empty());
    const size_t at = file.find(pem);
    EXPECT_NE(at, std::string::npos);
    EXPECT_GT(at, 0u);  // the text dump comes first
    EXPECT_NE(file.find("CN=simcam"), std::string::npos);
}

}  // namespace
