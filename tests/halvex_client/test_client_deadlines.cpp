// The client against resource servers that misbehave on purpose, all on
// 127.0.0.1: silent after the accept, silent in the TLS handshake, a reply
// later than the deadline followed by a refusal, one byte every 300 ms, a
// reset in the middle of a reply, a 4 GiB length, an unsolicited frame before
// the reply. Each call must come back within its deadline plus 0.5 s with a
// result that is not success, and a session whose stream went out of step
// must never match a late reply to a later request.
#include <halvex/client/res_cancel.h>
#include <halvex/client/resourceclientlib_bio.h>
#include <halvex/client/resourceclientlib_socket.h>
#include <halvex/resource/client_resource.h>

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "fake_server.h"
#include "script_server.h"

using namespace ZYRK;
using testsrv::Bytes;
using testsrv::Frame;
using testsrv::ScriptServer;

namespace {

using Clock = std::chrono::steady_clock;

// Long enough that a loaded machine still answers the exchanges that must
// succeed in time.
constexpr unsigned long kDeadlineMs = 1000;
// For the exchanges that must succeed.
constexpr unsigned long kRelaxedMs = 10000;
// What a call may take beyond its deadline before it counts as hanging.
constexpr long long kSlackMs = 500;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Counts the request frames that arrive until the client closes.
int CountUntilClosed(int fd) {
    int n = 0;
    while (!testsrv::ReadFrame(fd).empty()) ++n;
    return n;
}

// A tree in session mode against `port`. Init runs with a bound that a
// loaded machine meets; the calls under test then run with `timeoutMs`.
class Session {
public:
    explicit Session(uint16_t port, unsigned long timeoutMs = kDeadlineMs) {
        tree.SetTimeout(kRelaxedMs);
        init = tree.Init("127.0.0.1", port, true);
        tree.SetTimeout(timeoutMs);
    }
    unsigned long Open(const char* path, CResource** out) { return tree.OpenResource(CResourcePath(path), out, nullptr); }

    CClientResourceTree tree;
    unsigned long init = 1;
};

// Against a server whose answer to the first request after Init breaks the
// stream: that request fails with `code` within the deadline, and the next
// one fails with it too, without going out.
void ExpectSessionBrokenWith(uint16_t port, unsigned long code) {
    Session s(port);
    ASSERT_EQ(s.init, 0u);
    CResource* r = nullptr;
    const auto start = Clock::now();
    EXPECT_EQ(s.Open(".a", &r), code);
    EXPECT_LE(MsSince(start), long(kDeadlineMs) + kSlackMs);
    EXPECT_EQ(s.Open(".b", &r), code);
}

// A throw-away EC key and a self-signed certificate: enough for the client
// to start a TLS handshake.
struct Identity {
    Identity() {
        key = EVP_EC_gen("P-256");
        cert = X509_new();
        if (!key || !cert) return;
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("client"), -1,
                                   -1, 0);
        X509_set_issuer_name(cert, name);
        X509_set_pubkey(cert, key);
        X509_sign(cert, key, EVP_sha256());
    }
    ~Identity() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
};

}  // namespace

TEST(ClientDeadline, SilentAfterAcceptEndsInitWithTimeout) {
    ScriptServer server([](int fd) { CountUntilClosed(fd); });
    CClientResourceTree tree;
    tree.SetTimeout(kDeadlineMs);
    const auto start = Clock::now();
    EXPECT_EQ(tree.Init("127.0.0.1", server.Port(), true), 0x64080000u);
    EXPECT_LE(MsSince(start), long(kDeadlineMs) + kSlackMs);
}

TEST(ClientDeadline, SilentTlsHandshakeEndsWithinTheConnectBound) {
    Identity id;
    ASSERT_TRUE(id.key && id.cert);
    // The peer takes the connection and the ClientHello and says nothing.
    ScriptServer server([](int fd) { testsrv::ReadExact(fd, 1 << 20); });
    std::string trust = "/nonexistent/camera.pem";
    CClientResourceTree tree;
    tree.SetTimeout(kDeadlineMs);
    const auto start = Clock::now();
    EXPECT_EQ(tree.Init("127.0.0.1", server.Port(), id.cert, id.key, trust.data(), false, true), 0xFFFFFFFFu);
    EXPECT_LE(MsSince(start), long(kDeadlineMs) + kSlackMs);
    CResource* r = nullptr;
    EXPECT_NE(tree.OpenResource(CResourcePath(".a"), &r, nullptr), 0u);
}

TEST(ClientDeadline, ACancelEndsAHandshakeAndEveryLaterRequest) {
    Identity id;
    ASSERT_TRUE(id.key && id.cert);
    ScriptServer server([](int fd) { testsrv::ReadExact(fd, 1 << 20); });
    CResCancel cancel;
    CResourceClientLibBio lib("127.0.0.1", server.Port(), id.cert, id.key, "/nonexistent/camera.pem", false);
    lib.SetCancel(&cancel);  // the connect wait stays at its full 5 s
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        cancel.Cancel();
    });
    const auto start = Clock::now();
    EXPECT_EQ(lib.Open(), -1);
    EXPECT_LE(MsSince(start), 200 + kSlackMs);
    canceller.join();
    unsigned char send[RES_BUFFER_SIZE] = {}, recv[RES_BUFFER_SIZE] = {};
    unsigned char v = 0;
    const int r = lib.ResProtocolVersion(ResCommType{RES_COMM_TLS, 0, 0}, send, recv, &v);
    EXPECT_EQ(r, RES_ERR_INTERRUPTED);
    EXPECT_EQ(res_convert_errcode(r), 0x640F0000u);
}

TEST(ClientDeadline, ACancelledTreeSendsNothingMore) {
    std::atomic<int> afterInit{-1};
    ScriptServer server([&](int fd) {
        if (testsrv::AnswerSessionInit(fd)) afterInit = CountUntilClosed(fd);
    });
    CResCancel cancel;
    {
        Session s(server.Port(), 10000);
        s.tree.SetCancel(&cancel);
        ASSERT_EQ(s.init, 0u);
        CResource* r = nullptr;
        // A request whose reply never comes ends when the cancel fires.
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            cancel.Cancel();
        });
        const auto start = Clock::now();
        EXPECT_EQ(s.Open(".a", &r), 0x640F0000u);
        EXPECT_LE(MsSince(start), 200 + kSlackMs);
        canceller.join();
        EXPECT_EQ(s.Open(".b", &r), 0x640F0000u);
    }
    server.Join();
    EXPECT_EQ(afterInit.load(), 1) << "only the request that was waiting went out";
}

// The measured fault: a camera whose reply to the DHCP write comes late and
// which refuses the commit. The late reply must not answer a later request.
TEST(ClientDeadline, LateReplyBreaksTheSessionSoARefusalIsNeverReadAsSuccess) {
    std::atomic<int> afterLateReply{-1};
    ScriptServer server([&](int fd) {
        if (!testsrv::AnswerSessionInit(fd)) return;
        Bytes open = testsrv::ReadFrame(fd);  // verify DHCP
        testsrv::WriteAll(fd, Frame({0x48}));
        Bytes write = testsrv::ReadFrame(fd);  // write DHCP: answered a second after the deadline
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        testsrv::WriteAll(fd, Frame({0x12, 0}));
        // Whatever comes next: a verify is accepted, a write refused.
        int n = 0;
        for (Bytes f; !(f = testsrv::ReadFrame(fd)).empty(); ++n)
            testsrv::WriteAll(fd, testsrv::RequestCode(f) == 0x47 ? Frame({0x48})
                                                                  : Frame({0xFF, 165, 0xAB, 0x01, 0, 0x0A}));
        afterLateReply = n;
    });
    {
        Session s(server.Port(), kRelaxedMs);
        ASSERT_EQ(s.init, 0u);
        CResource* dhcp = nullptr;
        ASSERT_EQ(s.Open(".net.DHCP", &dhcp), 0u);
        s.tree.SetTimeout(kDeadlineMs);
        auto start = Clock::now();
        EXPECT_EQ(dhcp->Set(CResourceValue(false), RES_NOWAIT, 0, nullptr), 0x64080000u);
        EXPECT_LE(MsSince(start), long(kDeadlineMs) + kSlackMs);
        dhcp->Close();
        // Every later request fails at once with the timeout, sending nothing.
        std::this_thread::sleep_for(std::chrono::milliseconds(1300));  // the stale reply has arrived
        CResource* commit = nullptr;
        start = Clock::now();
        EXPECT_EQ(s.Open(".net.commit", &commit), 0x64080000u);
        CResourceValue flag(VALUE_TYPE_BOOL);
        ASSERT_EQ(s.Open(".net.DHCP", &dhcp), 0u);  // still listed: no request
        EXPECT_EQ(dhcp->Get(flag, nullptr), 0x64080000u);
        dhcp->Close();
        EXPECT_LE(MsSince(start), kSlackMs);
    }
    server.Join();
    EXPECT_EQ(afterLateReply.load(), 0);
}

TEST(ClientDeadline, OneByteEvery300MsCannotStretchAnExchange) {
    ScriptServer server([](int fd) {
        if (!testsrv::AnswerSessionInit(fd)) return;
        testsrv::ReadFrame(fd);  // the open
        testsrv::WriteAll(fd, Frame({0x48}));
        testsrv::ReadFrame(fd);  // the read: its reply trickles
        Bytes attr(41, 0);
        attr[0] = 0x42;
        attr[1] = 4;
        const Bytes reply = Frame(testsrv::Cat({Bytes{0x0D, 0, 0, 41, 0, 3, 0, 0}, attr, Bytes{0x02, 4, 0}}));
        for (uint8_t b : reply) {
            if (::send(fd, &b, 1, MSG_NOSIGNAL) != 1) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    });
    Session s(server.Port(), kRelaxedMs);
    ASSERT_EQ(s.init, 0u);
    CResource* r = nullptr;
    ASSERT_EQ(s.Open(".a", &r), 0u);
    s.tree.SetTimeout(kDeadlineMs);
    CResourceValue v(VALUE_TYPE_ASCII);
    const auto start = Clock::now();
    EXPECT_EQ(r->Get(v, nullptr), 0x64080000u);
    EXPECT_LE(MsSince(start), long(kDeadlineMs) + kSlackMs);
    r->Close();
}

TEST(ClientDeadline, ResetInTheMiddleOfAReplyIsAnIoFailure) {
    ScriptServer server([](int fd) {
        if (!testsrv::AnswerSessionInit(fd)) return;
        testsrv::ReadFrame(fd);
        testsrv::WriteAll(fd, Bytes{0xFE, 0, 0, 0, 0, 0, 0, 40, 0x48, 0});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        linger l{1, 0};  // close with a reset
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    });
    Session s(server.Port());
    ASSERT_EQ(s.init, 0u);
    CResource* r = nullptr;
    const auto start = Clock::now();
    const unsigned long first = s.Open(".a", &r);
    EXPECT_LE(MsSince(start), long(kDeadlineMs) + kSlackMs);
    // The reset, or the end of the stream when the reset came after the data.
    const unsigned long reset = uint32_t(-(10000 + ECONNRESET));
    EXPECT_TRUE(first == reset || first == 0x6401000Eu) << std::hex << first;
    EXPECT_EQ(s.Open(".b", &r), first);
}

TEST(ClientDeadline, FourGibibyteLengthIsRefusedAndTheFloodIsNotFollowed) {
    std::atomic<bool> stop{false};
    ScriptServer server([&](int fd) {
        if (!testsrv::AnswerSessionInit(fd)) return;
        testsrv::ReadFrame(fd);
        testsrv::WriteAll(fd, Bytes{0xFE, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x0D});
        // Then an endless stream, until the client goes away.
        Bytes junk(4096, 0x5A);
        while (!stop && ::send(fd, junk.data(), junk.size(), MSG_NOSIGNAL) > 0) {
        }
    });
    ExpectSessionBrokenWith(server.Port(), 0x64070001u);
    stop = true;
    server.Join();
}

TEST(ClientDeadline, UnsolicitedFrameBeforeTheReplyIsAFramingError) {
    std::atomic<int> after{-1};
    ScriptServer server([&](int fd) {
        if (!testsrv::AnswerSessionInit(fd)) return;
        testsrv::ReadFrame(fd);
        testsrv::WriteAll(fd, testsrv::Cat({Frame({0xC3}), Frame({0x48})}));
        after = CountUntilClosed(fd);
    });
    // The real reply that followed is never taken for the next request's.
    ExpectSessionBrokenWith(server.Port(), 0xAB010003u);
    server.Join();
    EXPECT_EQ(after.load(), 0);
}

TEST(ClientDeadline, ReinitGivesABrokenSessionANewConnection) {
    std::atomic<int> connection{0};
    ScriptServer server(
        [&](int fd) {
            ++connection;
            if (!testsrv::AnswerSessionInit(fd)) return;
            Bytes f = testsrv::ReadFrame(fd);
            if (connection == 1) {
                CountUntilClosed(fd);  // silent: the first session times out
                return;
            }
            testsrv::WriteAll(fd, Frame({0x48}));
            CountUntilClosed(fd);
        },
        2);
    Session s(server.Port());
    ASSERT_EQ(s.init, 0u);
    CResource* r = nullptr;
    EXPECT_EQ(s.Open(".a", &r), 0x64080000u);
    s.tree.SetTimeout(kRelaxedMs);  // the new connection's exchanges must succeed
    ASSERT_EQ(s.tree.Reinit(nullptr, 0, true), 0u);
    ASSERT_EQ(s.Open(".a", &r), 0u);
    r->Close();
}

// Get reads value and limits apart only when the server says it does not
// know the combined read; after a timeout it reports the timeout.
namespace {

// Opens ".a" on a fresh session and reads it with the deadline: Get's
// result and the value.
unsigned long OpenAndGet(uint16_t port, CResourceValue& v) {
    Session s(port, kRelaxedMs);
    if (s.init != 0) return s.init;
    CResource* r = nullptr;
    if (unsigned long e = s.Open(".a", &r)) return e;
    s.tree.SetTimeout(kDeadlineMs);
    const unsigned long result = r->Get(v, nullptr);
    r->Close();
    return result;
}

}  // namespace

TEST(ClientDeadline, GetFallsBackOnlyWhenTheCombinedReadIsUnknown) {
    std::vector<uint8_t> codes;
    ScriptServer server([&](int fd) {
        if (!testsrv::AnswerSessionInit(fd)) return;
        for (Bytes f; !(f = testsrv::ReadFrame(fd)).empty();) {
            codes.push_back(testsrv::RequestCode(f));
            switch (testsrv::RequestCode(f)) {
                case 0x47: testsrv::WriteAll(fd, Frame({0x48})); break;
                case 0x0C: testsrv::WriteAll(fd, Frame({0xFF, 166})); break;
                case 0x01: testsrv::WriteAll(fd, Frame({0x02, 0x02, 0, 0, 0, 7})); break;
                case 0x45: testsrv::WriteAll(fd, Frame({0xFF, 161})); break;
                default: testsrv::WriteAll(fd, Frame({0xFF, 166})); break;
            }
        }
    });
    CResourceValue v;
    EXPECT_EQ(OpenAndGet(server.Port(), v), 0u);
    EXPECT_EQ(v.GetInt(), 7);
    server.Join();
    EXPECT_EQ(codes, (std::vector<uint8_t>{0x47, 0x0C, 0x01, 0x45, 0xC2}));

    codes.clear();
    ScriptServer silent([&](int fd) {
        if (!testsrv::AnswerSessionInit(fd)) return;
        Bytes f = testsrv::ReadFrame(fd);
        codes.push_back(testsrv::RequestCode(f));
        testsrv::WriteAll(fd, Frame({0x48}));
        // Never answered.
        for (Bytes g; !(g = testsrv::ReadFrame(fd)).empty();) codes.push_back(testsrv::RequestCode(g));
    });
    EXPECT_EQ(OpenAndGet(silent.Port(), v), 0x64080000u);
    silent.Join();
    // Neither a second read nor the session's close goes down a stream out of step.
    EXPECT_EQ(codes, (std::vector<uint8_t>{0x47, 0x0C}));
}

// The header counts extensions in one byte: a request with more items is
// refused before anything is sent, never sent with a count that wrapped.
TEST(ClientDeadline, MoreItemsThanTheHeaderCanCountAreRefused) {
    testsrv::FakeServer server(testsrv::CameraHandler(12));
    CClientResourceTree tree;
    ASSERT_EQ(tree.Init("127.0.0.1", server.Port(), true), 0u);
    auto open = [&](int n, CResourceSet** out) {
        CResourceValueSet set;
        for (int i = 0; i < n; ++i) set.AddVal(CResourceValue((".p" + std::to_string(i)).c_str()));
        return tree.OpenResources(set, out, nullptr);
    };
    CResourceSet* out = nullptr;
    const size_t before = server.Requests().size();
    EXPECT_EQ(open(300, &out), 0x64070001u);
    EXPECT_EQ(open(254, &out), 0x64070001u);
    EXPECT_EQ(server.Requests().size(), before);
    // 253 items and the two identity extensions fill the byte exactly.
    open(253, &out);
    const auto requests = server.WaitRequests(before + 1);
    ASSERT_EQ(requests.size(), before + 1);
    EXPECT_EQ(requests.back().extensions, 255);
    delete out;
}

TEST(ClientFrame, UncountedEmbeddedRequestsAreRecognised) {
    // Two counted items (user extension, one embedded request of 3 bytes and
    // its pad), then a third embedded request the count does not cover.
    const Bytes counted = {0xF2, 2, 0, 0, 0xF4, 4, 0, 0, 0, 3, 0x47, 1, 'a', 0};
    const Bytes extra = {0xF4, 4, 0, 0, 0, 1, 0x47, 0};
    const Bytes wrapped = testsrv::Cat({counted, extra});
    EXPECT_TRUE(res_frame_has_uncounted_items(wrapped.data(), uint32_t(wrapped.size()), 2));
    EXPECT_FALSE(res_frame_has_uncounted_items(wrapped.data(), uint32_t(wrapped.size()), 3));
    EXPECT_FALSE(res_frame_has_uncounted_items(counted.data(), uint32_t(counted.size()), 2));
    // A single request after its extensions is no embedded request.
    const Bytes single = {0xF2, 2, 0, 0, 0x47, 1, 'a'};
    EXPECT_FALSE(res_frame_has_uncounted_items(single.data(), uint32_t(single.size()), 1));
    // An item that claims more than the frame holds ends the walk.
    const Bytes runaway = {0xF4, 4, 0xFF, 0xFF, 0xFF, 0xFF, 0xF4};
    EXPECT_FALSE(res_frame_has_uncounted_items(runaway.data(), uint32_t(runaway.size()), 1));
}

TEST(ClientSocket, FlushSockIsBoundedAgainstAFlood) {
    std::atomic<bool> stop{false};
    ScriptServer server([&](int fd) {
        testsrv::ReadFrame(fd);
        Bytes junk(4096, 0x77);
        while (!stop && ::send(fd, junk.data(), junk.size(), MSG_NOSIGNAL) > 0) {
        }
    });
    CResourceClientLibSocket lib("127.0.0.1", server.Port());
    ASSERT_EQ(lib.Open(), 0);
    ASSERT_EQ(lib.ResSetTimeout(kDeadlineMs), 0);
    ResCommType comm{RES_COMM_TCP, uint32_t(kDeadlineMs), 0};
    unsigned char send[RES_BUFFER_SIZE] = {}, recv[RES_BUFFER_SIZE] = {};
    unsigned char v = 0;
    const auto start = Clock::now();
    // 0x77 is no frame magic: a framing error, then the drain.
    EXPECT_EQ(lib.ResProtocolVersion(comm, send, recv, &v), RES_ERR_BAD_HEADER);
    EXPECT_LE(MsSince(start), RES_FLUSH_MAX_MS + kSlackMs);
    EXPECT_EQ(lib.StreamFault(), RES_ERR_BAD_HEADER);
    stop = true;
    lib.Close();
    server.Join();
}

// A multi reply with fewer sub-replies than requests is no success: every
// item still gets a result, and the call fails.
TEST(ClientDeadline, AShortMultiReplyIsAFailureWithAResultPerItem) {
    testsrv::FakeServer server([](const Bytes& p) -> Bytes {
        switch (p.empty() ? 0 : p[0]) {
            case 0xF0: return {0xF1, 12};
            case 0xF4: return {0xF5, 4, 0, 0, 0, 1, 0x48, 0};  // one sub-reply for all of them
            default: return {0xFF, 166};
        }
    });
    CClientResourceTree tree;
    ASSERT_EQ(tree.Init("127.0.0.1", server.Port(), true), 0u);
    CResourceValueSet paths;
    for (const char* p : {".a", ".b", ".c"}) paths.AddVal(CResourceValue(p));
    CResourceSet* out = nullptr;
    EXPECT_EQ(tree.OpenResources(paths, &out, nullptr), 0x64070000u);
    EXPECT_EQ(out, nullptr);

    // The engine's own view: three results, the last two "bad data".
    CResourceClientLibSocket lib("127.0.0.1", server.Port());
    ASSERT_EQ(lib.Open(), 0);
    unsigned char send[RES_BUFFER_SIZE] = {}, recv[RES_BUFFER_SIZE] = {};
    CResourceValueSet results;
    EXPECT_EQ(lib.ResVerifyMulti(ResCommType{RES_COMM_TCP, 0, 12}, send, recv, nullptr, paths, results),
              int(0x64070000u));
    ASSERT_EQ(results.GetValueCount(), 3u);
    CResourceValue* v = nullptr;
    ASSERT_EQ(results.GetValueByIndex(0, &v), 0u);
    EXPECT_EQ(v->GetInt(), 0);
    ASSERT_EQ(results.GetValueByIndex(2, &v), 0u);
    EXPECT_EQ(uint32_t(v->GetInt()), 0x64070000u);
    lib.Close();
}
