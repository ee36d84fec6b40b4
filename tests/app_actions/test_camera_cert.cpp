#include "test_support.h"

#include "app/actions/camera_cert.h"
#include "app/actions/cert_store.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <chrono>
#include <filesystem>
#include <thread>

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

TEST_F(CameraCertFetch, HostNamesKeyAndCertNeverReplaceTheClientFiles) {
    // Real client files, as generation leaves them.
    ClientCertificate client = MakeCameraCertificate("teliox-client");
    WriteFile(data_->SslDir() + "/cert.pem", ToPem(client.cert.get()));
    std::string written;
    ASSERT_TRUE(ReplaceFile(data_->SslDir() + "/key.pem", 0600, [&](FILE* f) {
        return PEM_write_PrivateKey(f, client.key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    }, written)) << written;
    const std::string certBefore = ReadFile(data_->SslDir() + "/cert.pem");
    const std::string keyBefore = ReadFile(data_->SslDir() + "/key.pem");

    TlsTestServer camera(TlsTestServer::kPresent, identity_);
    for (const char* name : {"key", "cert", "KEY", "Cert", ".key", "key/", "../SSL/key"}) {
        std::string error;
        EXPECT_EQ(FetchCameraCertificate(Camera(name), On(camera.port()), &error), 1) << name;
        EXPECT_EQ(error.rfind("Camera certificate not stored: ", 0), 0u) << error;
    }
    EXPECT_EQ(camera.connections(), 0);  // refused before any traffic
    EXPECT_EQ(ReadFile(data_->SslDir() + "/cert.pem"), certBefore);
    EXPECT_EQ(ReadFile(data_->SslDir() + "/key.pem"), keyBefore);
    BIO* bio = BIO_new_file((data_->SslDir() + "/key.pem").c_str(), "r");
    ASSERT_TRUE(bio);
    EvpPkeyPtr key(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    EXPECT_TRUE(key);
}

TEST_F(CameraCertFetch, ACancelEndsTheWaitForASilentCamera) {
    SilentListener silent;
    FetchOptions options = On(silent.port(), 30000);
    options.cancel = std::make_shared<std::atomic<bool>>(false);
    std::thread canceller([flag = options.cancel] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        flag->store(true);
    });
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    EXPECT_EQ(FetchCameraCertificate(Camera("silent"), options, &error), 1);
    canceller.join();
    // Far below the 30 s limit: the cancel, not the time limit, ended it.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(FileExists(File("silent")));
}
