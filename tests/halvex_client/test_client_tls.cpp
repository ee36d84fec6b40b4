// The TLS transport against a real peer: openssl s_server on 127.0.0.1,
// requiring a client certificate (-Verify 1), with a CA, server and client
// certificates that the test makes in a temporary folder.
#include <halvex/client/resourceclientlib_bio.h>
#include <halvex/resource/client_resource.h>

#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "script_server.h"

extern char** environ;

using namespace ZYRK;
namespace fs = std::filesystem;

namespace {

bool HaveOpenssl() { return std::system("openssl version >/dev/null 2>&1") == 0; }

int Run(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()); }

// CA, a server certificate signed by it, a self-signed server certificate
// that the CA does not vouch for, and a client certificate signed by the CA.
class Pki {
public:
    Pki() {
        char tmpl[] = "/tmp/halvex-tls-XXXXXX";
        dir = ::mkdtemp(tmpl);
        const std::string d = dir;
        auto key = [&](const char* name) { return Run("openssl genrsa -out " + d + "/" + name + ".key 2048"); };
        ok = key("ca") == 0 && key("server") == 0 && key("client") == 0 && key("rogue") == 0 &&
             Run("openssl req -x509 -new -key " + d + "/ca.key -subj /CN=halvex-test-ca -days 2 -out " + d +
                 "/ca.pem") == 0 &&
             Sign("server", "127.0.0.1") && Sign("client", "halvex-client") &&
             Run("openssl req -x509 -new -key " + d + "/rogue.key -subj /CN=rogue -days 2 -out " + d +
                 "/rogue.pem") == 0;
    }
    ~Pki() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string Path(const char* name) const { return dir + "/" + name; }

    std::string dir;
    bool ok = false;

private:
    bool Sign(const char* name, const char* cn) {
        const std::string d = dir, n = name;
        return Run("openssl req -new -key " + d + "/" + n + ".key -subj /CN=" + cn + " -out " + d + "/" + n +
                   ".csr") == 0 &&
               Run("openssl x509 -req -in " + d + "/" + n + ".csr -CA " + d + "/ca.pem -CAkey " + d +
                   "/ca.key -CAcreateserial -days 2 -out " + d + "/" + n + ".pem") == 0;
    }
};

// openssl s_server for one connection; its output is collected for checks.
class SServer {
public:
    SServer(const Pki& pki, const char* cert, const char* key) : port(testsrv::FreeLoopbackPort()) {
        int out[2], in[2];
        if (::pipe(out) != 0 || ::pipe(in) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, out[1], 2);
        posix_spawn_file_actions_addclose(&fa, in[1]);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        std::string accept = "127.0.0.1:" + std::to_string(port);
        std::string c = pki.Path(cert), k = pki.Path(key), ca = pki.Path("ca.pem");
        std::vector<std::string> args = {"openssl", "s_server", "-accept", accept, "-cert", c, "-key", k,
                                         "-CAfile", ca, "-Verify", "1", "-naccept", "1"};
        std::vector<char*> argv;
        for (auto& s : args) argv.push_back(s.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid, "openssl", &fa, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        m_in = in[1];
        m_out = out[0];
        // Ready once it says ACCEPT.
        while (Read(10000) && output.find("ACCEPT") == std::string::npos) {
        }
    }
    ~SServer() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        if (m_in >= 0) ::close(m_in);
        if (m_out >= 0) ::close(m_out);
    }
    bool Ready() const { return pid > 0 && output.find("ACCEPT") != std::string::npos; }
    // Collects output until `text` shows up or the server goes quiet.
    bool WaitFor(const std::string& text) {
        while (output.find(text) == std::string::npos)
            if (!Read(5000)) return false;
        return true;
    }

    uint16_t port;
    pid_t pid = -1;
    std::string output;

private:
    bool Read(int ms) {
        pollfd p{m_out, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return false;
        char buf[4096];
        ssize_t r = ::read(m_out, buf, sizeof buf);
        if (r <= 0) return false;
        output.append(buf, size_t(r));
        return true;
    }
    int m_in = -1;
    int m_out = -1;
};

struct Credentials {
    explicit Credentials(const Pki& pki) {
        FILE* f = std::fopen(pki.Path("client.pem").c_str(), "r");
        if (f) {
            cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
            std::fclose(f);
        }
        f = std::fopen(pki.Path("client.key").c_str(), "r");
        if (f) {
            key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
            std::fclose(f);
        }
    }
    ~Credentials() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
};

class ClientTls : public ::testing::Test {
protected:
    // One set of certificates for the whole suite: key generation is slow.
    static void SetUpTestSuite() {
        if (HaveOpenssl()) shared = new Pki;
    }
    static void TearDownTestSuite() {
        delete shared;
        shared = nullptr;
    }
    void SetUp() override {
        if (!shared) GTEST_SKIP() << "openssl command not found: TLS interop test skipped";
        ASSERT_TRUE(shared->ok) << "could not make the test certificates in " << shared->dir;
        pki = shared;
        creds = std::make_unique<Credentials>(*pki);
        ASSERT_NE(creds->cert, nullptr);
        ASSERT_NE(creds->key, nullptr);
    }
    static Pki* shared;
    Pki* pki = nullptr;
    std::unique_ptr<Credentials> creds;
};

Pki* ClientTls::shared = nullptr;

}  // namespace

TEST_F(ClientTls, ClientCertificateIsPresentedAndAccepted) {
    SServer server(*pki, "server.pem", "server.key");
    ASSERT_TRUE(server.Ready()) << server.output;
    const std::string trust = pki->Path("ca.pem");
    CResourceClientLibBio lib("127.0.0.1", server.port, creds->cert, creds->key, trust.c_str(), true);
    EXPECT_EQ(lib.TmpGetSocket(), 1u);
    ASSERT_EQ(lib.Open(), 0) << server.output;
    ResCommType comm{RES_COMM_TLS, 0, 0};
    const unsigned char frame[] = {0xFE, 0, 0, 0, 0, 0, 0, 1, 0xF0, '\n'};
    EXPECT_EQ(lib.ResSend(comm, frame, sizeof frame), 0);
    EXPECT_EQ(lib.ResSetTimeout(100), 0);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    EXPECT_EQ(lib.local_getsockname(comm, reinterpret_cast<sockaddr*>(&local), &len), 0);
    EXPECT_TRUE(server.WaitFor("Client certificate")) << server.output;
    EXPECT_NE(server.output.find("CN = halvex-client"), std::string::npos) << server.output;
    EXPECT_EQ(server.output.find("verify error"), std::string::npos) << server.output;
    lib.Close();
}

TEST_F(ClientTls, UnverifiedServerFailsOnlyInStrictMode) {
    const std::string trust = pki->Path("ca.pem");
    {
        SServer server(*pki, "rogue.pem", "rogue.key");
        ASSERT_TRUE(server.Ready()) << server.output;
        CResourceClientLibBio lib("127.0.0.1", server.port, creds->cert, creds->key, trust.c_str(), true);
        EXPECT_EQ(lib.Open(), -1);
    }
    {
        SServer server(*pki, "rogue.pem", "rogue.key");
        ASSERT_TRUE(server.Ready()) << server.output;
        CResourceClientLibBio lib("127.0.0.1", server.port, creds->cert, creds->key, trust.c_str(), false);
        EXPECT_EQ(lib.Open(), 0);
        ResCommType comm{RES_COMM_TLS, 0, 0};
        const unsigned char frame[] = {0xFE, 0, 0, 0, 0, 0, 0, 1, 0xF0};
        EXPECT_EQ(lib.ResSend(comm, frame, sizeof frame), 0);
        lib.Close();
    }
}

TEST_F(ClientTls, NoPeerFailsCleanly) {
    const std::string trust = pki->Path("ca.pem");
    CResourceClientLibBio lib("127.0.0.1", testsrv::FreeLoopbackPort(), creds->cert, creds->key, trust.c_str(), true);
    EXPECT_EQ(lib.Open(), -1);
    ResCommType comm{RES_COMM_TLS, 0, 0};
    unsigned char b[4];
    EXPECT_LT(lib.ResRecv(comm, b, sizeof b), 0);
    lib.Close();
}

TEST_F(ClientTls, TreeReportsAFailedTlsOpen) {
    std::string trust = pki->Path("ca.pem");
    CClientResourceTree tree;
    EXPECT_EQ(tree.Init("127.0.0.1", testsrv::FreeLoopbackPort(), creds->cert, creds->key, trust.data(), false, true), 0xFFFFFFFFu);
    CResource* r = nullptr;
    EXPECT_EQ(tree.OpenResource(CResourcePath(".a"), &r, nullptr), 0x64040002u);
}

// s_server completes the handshake and then only prints what it receives:
// the session request is never answered, and the exchange ends at the
// tree's deadline instead of waiting for ever.
TEST_F(ClientTls, ASilentPeerAfterTheHandshakeEndsTheExchangeAtTheDeadline) {
    SServer server(*pki, "server.pem", "server.key");
    ASSERT_TRUE(server.Ready()) << server.output;
    std::string trust = pki->Path("ca.pem");
    CClientResourceTree tree;
    tree.SetTimeout(500);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tree.Init("127.0.0.1", server.port, creds->cert, creds->key, trust.data(), true, true), 0x64080000u)
        << server.output;
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    // The handshake on loopback, the 500-ms deadline, and slack.
    EXPECT_LE(took, 500 + 1500);
    CResource* r = nullptr;
    EXPECT_NE(tree.OpenResource(CResourcePath(".a"), &r, nullptr), 0u);
}
