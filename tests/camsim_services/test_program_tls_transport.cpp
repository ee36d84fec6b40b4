// The library's TLS transport, as the program uses it for a camera whose plain
// resource service is off, against the camera's TLS front: the camera's
// certificate fetched by the program as the trust file, the program's client
// certificate uploaded over HTTP, then resource-tree bytes through the relay.
#include "app/actions/camera_cert.h"
#include "app/actions/cert_store.h"
#include "app/actions/upload.h"
#include "services_support.h"
#include "tools/camsim/http_service.h"
#include "tools/camsim/tls_service.h"

#include <halvex/client/res_protocol.h>
#include <halvex/client/resourceclientlib_bio.h>

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <cstdlib>

using namespace testsupport;

namespace {

struct QuietStatus : IActionStatus {
    void SetStatusText(const std::string& text) override { last = text; }
    void ShowStatus(const std::string& text) override { last = text; }
    bool AskYesNo(const std::string&) override { return false; }
    std::string last;
};

// Sends data and reads until as many bytes came back or the transport fails.
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

TEST(ProgramTlsTransport, ConnectsWithStrictVerificationOnceItsCertificateIsUploaded) {
    TempDir dir;
    const char* old = std::getenv(kProgramDataEnv);
    const std::string previous = old ? old : "";
    setenv(kProgramDataEnv, dir.path().c_str(), 1);
    CertificatePaths paths;
    std::string error;
    ASSERT_TRUE(GetCertificatePaths(paths, error)) << error;
    ASSERT_TRUE(CreateCertificateFolder(paths, error)) << error;

    Backend backend(Backend::Echo);
    camsim::TlsServiceConfig tlsConfig;
    tlsConfig.port = 0;
    tlsConfig.hostName = "tlscam";
    tlsConfig.trustDir = dir.path() + "/camera-trust";
    tlsConfig.backendPort = backend.port();
    camsim::TlsService tls(tlsConfig);
    ASSERT_TRUE(tls.Start(error)) << error;
    camsim::HttpServiceConfig httpConfig;
    httpConfig.port = 0;
    httpConfig.trustDir = tlsConfig.trustDir;
    httpConfig.onCertificateStored = [&](const camsim::TrustedCertificate&) { tls.ReloadTrustStore(); };
    camsim::HttpService http(httpConfig);
    ASSERT_TRUE(http.Start(error)) << error;

    CDevice camera;
    camera.ipAddress = "127.0.0.1";
    camera.hostName = "tlscam";
    FetchOptions fetch;
    fetch.port = tls.Port();
    ASSERT_EQ(FetchCameraCertificate(camera, fetch, &error), 0) << error;
    const std::string trustFile = paths.CameraCertPath("tlscam");

    Identity client = MakeIdentity("teliox-pc");
    WriteFile(paths.clientCertPath, client.Pem());

    const std::string frame("\xFE\x00\x10resource-tree", 16);
    {
        // Not yet trusted by the camera: nothing comes back.
        ZYRK::CResourceClientLibBio transport("127.0.0.1", tls.Port(), client.cert.get(), client.key.get(),
                                              trustFile.c_str(), true);
        if (transport.Open() == 0) {
            EXPECT_NE(Exchange(transport, frame), frame);
        }
        transport.Close();
    }

    QuietStatus status;
    std::string response;
    UploadOptions upload;
    upload.baseUrl = "http://127.0.0.1:" + std::to_string(http.Port());
    ASSERT_TRUE(UploadCertificate(camera, paths, status, response, upload).transferred);

    // Strict: the camera's certificate must verify against the fetched file.
    ZYRK::CResourceClientLibBio transport("127.0.0.1", tls.Port(), client.cert.get(), client.key.get(),
                                          trustFile.c_str(), true);
    ASSERT_EQ(transport.Open(), 0);
    EXPECT_EQ(Exchange(transport, frame), frame);
    transport.Close();

    if (old) setenv(kProgramDataEnv, previous.c_str(), 1);
    else unsetenv(kProgramDataEnv);
}

}  // namespace
