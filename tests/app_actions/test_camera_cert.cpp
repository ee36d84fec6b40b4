#include "test_support.h"

#include "app/actions/camera_cert.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <filesystem>

namespace {

CDevice Camera(const std::string& host, const std::string& ip = "127.0.0.1") {
    CDevice d;
    d.ipAddress = ip;
    d.hostName = host;
    return d;
}

FetchOptions On(uint16_t port, int timeoutMs = 10000) {
    FetchOptions o;
    o.port = port;
    o.timeoutMs = timeoutMs;
    return o;
}

// The first PEM certificate in a file, skipping the text in front of it.
X509Ptr ReadPem(const std::string& path) {
    BIO* bio = BIO_new_file(path.c_str(), "r");
    if (!bio) return nullptr;
    X509Ptr cert(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    return cert;
}

class CameraCertFetch : public ::testing::Test {
protected:
    void SetUp() override {
        data_ = std::make_unique<ScopedProgramData>(
            std::string("fetch-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(data_->SslDir());
    }
    std::string File(const std::string& host) const { return data_->SslDir() + "/" + host + ".pem"; }
    std::unique_ptr<ScopedProgramData> data_;
    ClientCertificate identity_ = MakeCameraCertificate("ircam-0815");
};

}  // namespace

TEST_F(CameraCertFetch, StoresTextDumpThenThePemBlock) {
    TlsTestServer camera(TlsTestServer::kPresent, identity_);
    std::string error;
    ASSERT_EQ(FetchCameraCertificate(Camera("ircam-0815"), On(camera.port()), &error), 0) << error;

    const std::string text = ReadFile(File("ircam-0815"));
    const size_t pem = text.find("-----BEGIN CERTIFICATE-----");
    ASSERT_NE(pem, std::string::npos);
    EXPECT_EQ(text.rfind("Certificate:", 0), 0u);  // the dump comes first
    EXPECT_NE(text.substr(0, pem).find("Subject: CN=ircam-0815"), std::string::npos);
    EXPECT_EQ(text.substr(pem), ToPem(identity_.cert.get()));

    X509Ptr stored = ReadPem(File("ircam-0815"));
    ASSERT_TRUE(stored);
    EXPECT_EQ(ToDer(stored.get()), ToDer(identity_.cert.get()));
    EXPECT_FALSE(FileExists(File("ircam-0815") + ".new"));
}

TEST_F(CameraCertFetch, CameraThatRefusesUsStillShowedItsCertificate) {
    // The camera asks for a client certificate we do not send and ends the
    // handshake; what it presented before that is kept.
    TlsTestServer camera(TlsTestServer::kRequireClientCert, identity_);
    std::string error;
    ASSERT_EQ(FetchCameraCertificate(Camera("strict"), On(camera.port()), &error), 0) << error;
    X509Ptr stored = ReadPem(File("strict"));
    ASSERT_TRUE(stored);
    EXPECT_EQ(X509_cmp(stored.get(), identity_.cert.get()), 0);
}

TEST_F(CameraCertFetch, NoCertificateLeavesTheOldFileAlone) {
    WriteFile(File("plain"), "previous certificate");
    TlsTestServer plain(TlsTestServer::kCloseAtOnce, identity_);
    std::string error;
    EXPECT_EQ(FetchCameraCertificate(Camera("plain"), On(plain.port()), &error), 1);
    EXPECT_NE(error.find("no certificate"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(File("plain")), "previous certificate");

    EXPECT_EQ(FetchCameraCertificate(Camera("plain"), On(UnusedPort()), &error), 1);
    EXPECT_NE(error.find("refused"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(File("plain")), "previous certificate");
}

TEST_F(CameraCertFetch, SilentCameraEndsAtTheTimeLimit) {
    SilentListener silent;
    std::string error;
    EXPECT_EQ(FetchCameraCertificate(Camera("silent"), On(silent.port(), 300), &error), 1);
    EXPECT_FALSE(FileExists(File("silent")));
}

TEST_F(CameraCertFetch, BadRecordsAreRefusedBeforeAnyTraffic) {
    TlsTestServer camera(TlsTestServer::kPresent, identity_);
    std::string error;
    EXPECT_EQ(FetchCameraCertificate(Camera("../escape"), On(camera.port()), &error), 1);
    EXPECT_NE(error.find("host name"), std::string::npos);
    EXPECT_FALSE(FileExists(data_->dir() + "/ZYRK/escape.pem"));
    EXPECT_EQ(FetchCameraCertificate(Camera("cam", "127.0.0.1/x"), On(camera.port()), &error), 1);
    EXPECT_EQ(FetchCameraCertificate(Camera("cam", ""), On(camera.port()), &error), 1);
    EXPECT_EQ(camera.connections(), 0);
}

TEST_F(CameraCertFetch, UnwritableFolderIsAFailure) {
    TlsTestServer camera(TlsTestServer::kPresent, identity_);
    std::filesystem::remove_all(data_->SslDir());  // the folder is gone
    std::string error;
    EXPECT_EQ(FetchCameraCertificate(Camera("cam"), On(camera.port()), &error), 1);
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}
