// The program's own camera actions against the simulated camera's services,
// in the order a technician runs them for a camera whose plain resource
// service is off: make the client certificate, fetch the camera's
// certificate from the TLS port, upload the client certificate over HTTP/1.0,
// then connect with the library's TLS transport, strict verification on.
#include "app/actions/camera_cert.h"
#include "app/actions/cert_store.h"
#include "app/actions/client_cert.h"
#include "app/actions/upload.h"
#include "services_support.h"
#include "tools/camsim/http_service.h"
#include "tools/camsim/tls_service.h"

#include <halvex/client/res_protocol.h>
#include <halvex/client/resourceclientlib_bio.h>

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
    std::string CameraTrust() const { return dir_.path() + "/camera-trust"; }

private:
    TempDir dir_;
    std::string previous_;
    bool hadPrevious_ = false;
};

CDevice Camera() {
    CDevice camera;
    camera.name = "Simulated";
    camera.ipAddress = "127.0.0.1";
    camera.hostName = "simcam";
    camera.disabled = true;
    return camera;
}

// Sends data through the transport and reads until as many bytes came back
// or the transport fails.
std::string Exchange(ZYRK::CResourceClientLibBio& transport, const std::string& data) {
    ZYRK::ResCommType comm{ZYRK::RES_COMM_TLS, 10000, 0};
    if (transport.ResSend(comm, data.data(), static_cast<int>(data.size())) != 0) return "send failed";
    std::string back;
    char buffer[4096];
    while (back.size() < data.size()) {
        int n = transport.ResRecv(comm, buffer, sizeof buffer);
        if (n <= 0) break;
        back.append(buffer, static_cast<size_t>(n));
    }
    return back;
}

TEST(ProgramAgainstServices, FetchUploadThenTheLibrarysTlsTransportGetsThrough) {
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
    tlsConfig.trustDir = data.CameraTrust();
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

    // Fetch: no client certificate, so the handshake is refused, but the
    // camera's certificate has been seen: text dump first, then the PEM block.
    FetchOptions fetch;
    fetch.port = tls.Port();
    ASSERT_EQ(FetchCameraCertificate(Camera(), fetch, &error), 0) << error;
    const std::string trustFile = paths.CameraCertPath("simcam");
    const std::string file = ReadFile(trustFile);
    const size_t at = file.find(tls.CertificatePem());
    ASSERT_NE(at, std::string::npos);
    EXPECT_GT(at, 0u);
    EXPECT_NE(file.find("CN=simcam"), std::string::npos);

    const std::string frame("\xFE\x00\x10resource-tree", 16);
    {
        // Not yet trusted by the camera: nothing comes back.
        ZYRK::CResourceClientLibBio refused("127.0.0.1", tls.Port(), cc.cert.get(), cc.key.get(),
                                            trustFile.c_str(), true);
        if (refused.Open() == 0) {
            EXPECT_NE(Exchange(refused, frame), frame);
        }
        refused.Close();
    }

    std::string response;
    UploadOptions upload;
    upload.baseUrl = "http://127.0.0.1:" + std::to_string(http.Port());
    UploadResult result = UploadCertificate(Camera(), paths, status, response, upload);
    EXPECT_TRUE(result.transferred) << result.error;
    EXPECT_EQ(result.httpStatus, 200);
    EXPECT_TRUE(result.bodyFound);
    EXPECT_EQ(status.pane, "Certificate stored. ");
    EXPECT_NE(response.find("Subject: /C=DE/O=ZYRK/CN=teliox-pc"), std::string::npos) << response;

    // Strict: the camera's certificate must verify against the fetched file.
    ZYRK::CResourceClientLibBio transport("127.0.0.1", tls.Port(), cc.cert.get(), cc.key.get(), trustFile.c_str(),
                                          true);
    ASSERT_EQ(transport.Open(), 0);
    EXPECT_EQ(Exchange(transport, frame), frame);
    transport.Close();
}

TEST(ProgramAgainstServices, BadUploadShowsTheCamerasErrorSentence) {
    ProgramData data;
    CertificatePaths paths = data.Paths();
    WriteFile(paths.clientCertPath, "not a certificate\n");
    camsim::HttpServiceConfig config;
    config.port = 0;
    config.trustDir = data.CameraTrust();
    camsim::HttpService http(config);
    std::string error;
    ASSERT_TRUE(http.Start(error)) << error;

    Status status;
    std::string response;
    UploadOptions upload;
    upload.baseUrl = "http://127.0.0.1:" + std::to_string(http.Port());
    UploadResult result = UploadCertificate(Camera(), paths, status, response, upload);
    EXPECT_EQ(result.httpStatus, 400);
    EXPECT_EQ(status.pane, "Certificate rejected: no PEM certificate found.");
}

}  // namespace
