// Against real peers on 127.0.0.1: openssl s_server as the camera's TLS
// service, openssl x509 as a reader of the stored file, curl as a reference
// client for the upload. Each test skips when its tool is missing.
#include "test_support.h"

#include "app/actions/camera_cert.h"
#include "app/actions/upload.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// openssl s_server on 127.0.0.1 with an ephemeral port, for one connection.
class SServer {
public:
    SServer(const std::string& certPath, const std::string& keyPath) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);  // stdin stays open: s_server keeps the connection
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            close(in[1]);
            close(out[0]);
            execlp("openssl", "openssl", "s_server", "-accept", "127.0.0.1:0", "-cert", certPath.c_str(),
                   "-key", keyPath.c_str(), "-naccept", "1", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        out_ = fdopen(out[0], "r");
        char line[512];
        while (out_ && std::fgets(line, sizeof line, out_)) {
            log_ += line;
            unsigned p = 0;
            if (std::sscanf(line, "ACCEPT 127.0.0.1:%u", &p) == 1) {
                port_ = static_cast<uint16_t>(p);
                break;
            }
        }
    }
    ~SServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (stdin_ >= 0) close(stdin_);
        if (out_) std::fclose(out_);
    }
    uint16_t port() const { return port_; }
    const std::string& log() const { return log_; }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    FILE* out_ = nullptr;
    uint16_t port_ = 0;
    std::string log_;
};

void WritePemFiles(const ClientCertificate& cc, const std::string& certPath, const std::string& keyPath) {
    WriteFile(certPath, ToPem(cc.cert.get()));
    FILE* f = std::fopen(keyPath.c_str(), "w");
    ASSERT_NE(f, nullptr);
    PEM_write_PrivateKey(f, cc.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
}

}  // namespace

TEST(CertInterop, CertificateOfOpensslSServerIsStoredAndReadBackByOpensslX509) {
    if (!HaveTool("openssl")) GTEST_SKIP() << "openssl is not installed";
    ScopedProgramData data("interop-sserver");
    std::filesystem::create_directories(data.SslDir());
    ClientCertificate identity = MakeCameraCertificate("ircam-sserver");
    const std::string certPath = data.dir() + "/server-cert.pem", keyPath = data.dir() + "/server-key.pem";
    WritePemFiles(identity, certPath, keyPath);

    SServer server(certPath, keyPath);
    ASSERT_NE(server.port(), 0) << server.log();
    CDevice camera;
    camera.ipAddress = "127.0.0.1";
    camera.hostName = "ircam-sserver";
    FetchOptions options;
    options.port = server.port();
    std::string error;
    ASSERT_EQ(FetchCameraCertificate(camera, options, &error), 0) << error;

    const std::string stored = data.SslDir() + "/ircam-sserver.pem";
    const std::string der = data.dir() + "/stored.der";
    std::string out;
    ASSERT_EQ(RunCommand("openssl x509 -in " + ShellQuote(stored) + " -outform DER -out " + ShellQuote(der), out), 0)
        << out;
    EXPECT_EQ(ReadFile(der), ToDer(identity.cert.get()));
    ASSERT_EQ(RunCommand("openssl x509 -in " + ShellQuote(stored) + " -noout -subject", out), 0);
    EXPECT_NE(out.find("ircam-sserver"), std::string::npos) << out;
}

TEST(CertInterop, UploadSendsTheSameRequestAsCurl) {
    if (!HaveTool("curl")) GTEST_SKIP() << "curl is not installed";
    ScopedProgramData data("interop-curl");
    CertificatePaths paths;
    std::string error;
    ASSERT_TRUE(GetCertificatePaths(paths, error));
    ASSERT_TRUE(CreateCertificateFolder(paths, error));
    WriteFile(paths.clientCertPath, "-----BEGIN CERTIFICATE-----\nMIIBfake\n-----END CERTIFICATE-----\n");

    HttpTestServer server(200, "<html><body>ok</body></html>");
    CDevice camera;
    camera.ipAddress = "127.0.0.1";
    RecordingStatus status;
    std::string reply;
    UploadOptions options;
    options.baseUrl = server.BaseUrl();
    ASSERT_TRUE(UploadCertificate(camera, paths, status, reply, options).transferred);

    std::string out;
    ASSERT_EQ(RunCommand("curl -sS --noproxy '*' --max-time 30 -T " + ShellQuote(paths.clientCertPath) +
                             " --http1.0 " + server.BaseUrl() + "/m2m/uploadcert",
                         out),
              0)
        << out;

    std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    RecordedRequest ours = requests[0], theirs = requests[1];
    EXPECT_EQ(ours.method, theirs.method);
    EXPECT_EQ(ours.version, theirs.version);
    EXPECT_EQ(ours.url, theirs.url);
    EXPECT_EQ(ours.body, theirs.body);
    theirs.headers.erase("user-agent");  // the curl program names itself; the library does not
    EXPECT_EQ(ours.headers, theirs.headers);
}
