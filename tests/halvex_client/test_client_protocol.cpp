// Frame, exchange, result codes and the TCP transport of the resource-tree
// client, against a scripted server on 127.0.0.1.
#include <halvex/client/res_engine_internal.h>
#include <halvex/client/res_protocol.h>
#include <halvex/client/res_request.h>
#include <halvex/client/resourceclientlib_socket.h>
#include <halvex/platform/users.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "script_server.h"

using namespace ZYRK;
using testsrv::Bytes;
using testsrv::Frame;
using testsrv::ScriptServer;

namespace {

struct Conn {
    explicit Conn(uint16_t port) : lib("127.0.0.1", port) {}
    CResourceClientLibSocket lib;
    unsigned char send[RES_BUFFER_SIZE] = {};
    unsigned char recv[RES_BUFFER_SIZE] = {};
    ResCommType comm{RES_COMM_TCP, 0, 0};
};

}  // namespace

TEST(ClientFrame, HeaderSizeAndExtensionsByVersion) {
    EXPECT_EQ(GetHeaderSize(0), 8);
    EXPECT_EQ(GetHeaderSize(4), 8);
    EXPECT_EQ(GetHeaderSize(5), 12);
    EXPECT_EQ(GetHeaderSize(6), 18);
    EXPECT_EQ(GetHeaderSize(12), 18);

    // The same one-byte request at versions 0, 5 and 12, then once more at 12
    // on behalf of a given identity.
    std::vector<Bytes> got;
    ScriptServer server([&](int fd) {
        for (int i = 0; i < 4; ++i) {
            got.push_back(testsrv::ReadFrame(fd));
            testsrv::WriteAll(fd, Frame({0xF1, 12}));
        }
    });
    Conn c(server.Port());
    ASSERT_EQ(c.lib.Open(), 0);
    set_user_id(3);
    for (uint8_t v : {0, 5, 12}) {
        c.comm.version = v;
        unsigned char version = 0;
        EXPECT_EQ(c.lib.ResProtocolVersion(c.comm, c.send, c.recv, &version), 0);
        EXPECT_EQ(version, 12);
    }
    USER_IDENT_T ident{9, 0x0A000102};
    c.send[GetHeaderSize(12)] = 0xF0;
    int received = 0;
    EXPECT_EQ(c.lib.ResSendAndReceive(c.comm, &ident, c.send, nullptr, 0, c.recv, nullptr, 1, RES_BUFFER_SIZE,
                                      &received, "test", 0xF1, false, 0),
              0);
    EXPECT_EQ(received, 2);
    c.lib.Close();
    server.Join();
    set_user_id(0);

    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], (Bytes{0xFE, 0, 0, 0, 0, 0, 0, 1, 0xF0}));
    EXPECT_EQ(got[1], (Bytes{0xFE, 1, 0, 0, 0, 0, 0, 5, 0xF2, 2, 0, 3, 0xF0}));
    // Without identity: the calling thread's user and the local address.
    EXPECT_EQ(got[2], (Bytes{0xFE, 2, 0, 0, 0, 0, 0, 11, 0xF2, 2, 0, 3, 0xF3, 4, 127, 0, 0, 1, 0xF0}));
    EXPECT_EQ(got[3], (Bytes{0xFE, 2, 0, 0, 0, 0, 0, 11, 0xF2, 2, 0, 9, 0xF3, 4, 10, 0, 1, 2, 0xF0}));
}

TEST(ClientFrame, EmbeddedCountAddsToExtensions) {
    uint8_t buf[32] = {};
    size_t n = res_embedded_put(buf + 18, RES_EXT_REQUEST, reinterpret_cast<const uint8_t*>("\x47\x01."), 3);
    EXPECT_EQ(n, 10u);  // tag, 4, BE32 3, three bytes, pad
    EXPECT_EQ(Bytes(buf + 18, buf + 28), (Bytes{0xF4, 4, 0, 0, 0, 3, 0x47, 1, '.', 0}));
}

TEST(ClientFrame, EmbeddedReplyWalkSkipsStrayBytes) {
    // Two embedded replies with junk before, between and after them; an odd
    // length is followed by its pad byte.
    Bytes reply{0x00, 0x13, 0xF5, 4, 0, 0, 0, 1, 0x48, 0x00, 0x77, 0xF5, 4, 0, 0, 0, 2, 0xFF, 0xA0, 0x99};
    CResEmbeddedWalker walk(reply.data(), reply.size());
    const uint8_t* item = nullptr;
    uint32_t len = 0;
    ASSERT_TRUE(walk.Next(&item, &len));
    EXPECT_EQ(len, 1u);
    EXPECT_EQ(item[0], 0x48);
    ASSERT_TRUE(walk.Next(&item, &len));
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(item[0], 0xFF);
    EXPECT_EQ(item[1], 0xA0);
    EXPECT_FALSE(walk.Next(&item, &len));

    // A length that runs past the end ends the walk instead of reading past it.
    Bytes cut{0xF5, 4, 0, 0, 0x10, 0, 0x48};
    CResEmbeddedWalker walk2(cut.data(), cut.size());
    EXPECT_FALSE(walk2.Next(&item, &len));
}

TEST(ClientFrame, AttributeBlockDecodesOnlyWhatArrived) {
    ResAttr full{};
    full.type = 2;
    full.ownerGet = full.ownerSet = 1;
    full.persistent = 1;
    full.openCount = 3;
    full.numSubscr = 4;
    full.sync = 1;
    full.rename = 1;
    full.defaultHinted = 1;
    full.otherGet = 1;
    full.hidden = 1;
    full.ownerUid = 0x0102;
    full.ownerGid = 0x0304;
    full.childCount = 7;
    full.hintTemperature = 1;
    uint8_t block[RES_ATTR_BLOCK_SIZE];
    res_attr_encode(full, block);
    EXPECT_EQ(block[0], 0x42);
    EXPECT_EQ(block[7], 1);   // persistent
    EXPECT_EQ(block[16], 1);  // synchronous

    ResAttr a{};
    res_attr_decode(block, sizeof block, a);
    EXPECT_EQ(std::memcmp(&a, &full, sizeof a), 0);
    EXPECT_EQ(res_attr_to_word(a), RES_ATTR_OWNER_GET | RES_ATTR_OWNER_SET | RES_ATTR_PERSISTENT |
                                       RES_ATTR_SYNC | RES_ATTR_RENAME | RES_ATTR_DEFAULT_HINTED |
                                       RES_ATTR_OTHERS_GET | RES_ATTR_HIDDEN);

    res_attr_decode(block, 16, a);
    EXPECT_EQ(a.type, 0);  // fewer than 17 bytes: nothing
    res_attr_decode(block, 23, a);
    EXPECT_EQ(a.openCount, 3u);
    EXPECT_EQ(a.rename, 1);
    EXPECT_EQ(a.ownerUid, 0);  // needs more than 35 bytes
    res_attr_decode(block, 40, a);
    EXPECT_EQ(a.ownerGid, 0x0304);
    EXPECT_EQ(a.childCount, 7u);
    EXPECT_EQ(a.hintTemperature, 0);
}

TEST(ClientRequest, WriterStaysInsideTheRoomOfItsRequest) {
    unsigned char send[RES_BUFFER_SIZE];
    std::memset(send, 0xAA, sizeof send);
    CResRequest req(send, 12);  // 18-byte header
    ASSERT_NE(req.Payload(6), nullptr);
    EXPECT_FALSE(req.OnHeap());
    CResWriter w = req.Writer();
    EXPECT_TRUE(w.U8(0x41).Cstr("abcd").Ok());
    EXPECT_EQ(Bytes(send + 18, send + 24), (Bytes{0x41, 'a', 'b', 'c', 'd', 0}));
    // One byte more does not fit: refused, and every write after it too.
    EXPECT_FALSE(w.U8(0x01).Ok());
    EXPECT_FALSE(w.Reserve(1));
    EXPECT_EQ(w.Size(), 6u);
    EXPECT_EQ(send[24], 0xAA);

    // A payload past the send buffer goes to the heap, whole.
    const Bytes text(2500, 'p');
    ASSERT_NE(req.Payload(2500), nullptr);
    EXPECT_TRUE(req.OnHeap());
    CResWriter big = req.Writer();
    EXPECT_TRUE(big.Bytes(text.data(), text.size()).Ok());
    EXPECT_EQ(Bytes(req.Buffer() + 18, req.Buffer() + 18 + 2500), text);
    EXPECT_FALSE(big.U8(0).Ok());
}

TEST(ClientRequest, TextFormsAndFieldsWrittenLater) {
    Bytes b;
    CResWriter w(b);
    w.U8(0x63).U16(0).Lstr("ab").Cstr(nullptr).Cstr("x").U16(0x0102).U32(0x03040506).U32LE(0x0708090A).Zeros(2);
    EXPECT_TRUE(w.U16At(1, uint16_t(w.Size())));
    EXPECT_FALSE(w.U32At(w.Size() - 3, 1));  // runs past what was written
    EXPECT_TRUE(w.Ok());
    EXPECT_EQ(b, (Bytes{0x63, 0, 21, 2, 'a', 'b', 0, 'x', 0, 1, 2, 3, 4, 5, 6, 0x0A, 9, 8, 7, 0, 0}));
}

TEST(ClientRequest, ValueBodyIsRefusedWhenItsRoomIsShort) {
    const CResourceValue v(0x01020304);
    uint8_t room[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    CResWriter shortRoom(room, 3);
    EXPECT_EQ(res_wire_body_write(v, shortRoom), RES_ERR_PROTOCOL);
    EXPECT_FALSE(shortRoom.Ok());
    EXPECT_EQ(room[0], 0xEE);

    CResWriter fits(room, 4);
    EXPECT_EQ(res_wire_body_write(v, fits), 0);
    EXPECT_EQ(Bytes(room, room + 5), (Bytes{1, 2, 3, 4, 0xEE}));
}

TEST(ClientResultCodes, ConvertAndInterpret) {
    EXPECT_EQ(res_convert_errcode(0), 0u);
    EXPECT_EQ(res_convert_errcode(160), 0xAB010004u);
    EXPECT_EQ(res_convert_errcode(163), 0x64060000u);
    EXPECT_EQ(res_convert_errcode(165), 0xAB01000Au);
    EXPECT_EQ(res_convert_errcode(169), 0x64070000u);
    EXPECT_EQ(res_convert_errcode(-103), 0xAB010003u);
    EXPECT_EQ(res_convert_errcode(-104), 0x64070006u);
    EXPECT_EQ(res_convert_errcode(-105), 0x64070001u);
    EXPECT_EQ(res_convert_errcode(-106), 0x64080000u);
    EXPECT_EQ(res_convert_errcode(-102), 0x640D0002u);
    // Transport errors pass unchanged; they never coincide with engine codes.
    EXPECT_EQ(res_convert_errcode(-10104), uint32_t(-10104));
    EXPECT_EQ(res_convert_errcode(int(0x64070003)), 0x64070003u);

    const char* text = nullptr;
    EXPECT_EQ(res_interpret_errcode(0xAB010004, &text), 0u);
    EXPECT_STREQ(text, "resource not in tree");
    EXPECT_EQ(res_interpret_errcode(0x000000AA, &text), 0u);
    EXPECT_STREQ(text, "permisson denied");
    // Class match: an unlisted code of the i/o class.
    EXPECT_EQ(res_interpret_errcode(0x64010ABC, &text), 0u);
    EXPECT_STREQ(text, "i/o error");
    // The JPEG class is found by clearing the low 12 bits only.
    EXPECT_EQ(res_interpret_errcode(0x64011007, &text), 0u);
    EXPECT_STREQ(text, "JPEG lib error");
    // 0x64040000 is no class entry; 0xAB01000A has no text.
    text = "unchanged";
    EXPECT_EQ(res_interpret_errcode(0x64040007, &text), 0x640D0000u);
    EXPECT_EQ(res_interpret_errcode(0xAB01000A, &text), 0x640D0000u);
    EXPECT_STREQ(text, "unchanged");
}

TEST(ClientExchange, FramingErrorsDrainAndRecover) {
    // 1: wrong reply code plus trailing junk -> -103, the junk is drained and
    //    the next exchange works; 2: bad magic -> -104; 3: a 3000-byte reply to
    //    an operation without a grown buffer -> -105.
    ScriptServer server([](int fd) {
        testsrv::ReadFrame(fd);
        testsrv::WriteAll(fd, testsrv::Cat({Frame({0x77, 1, 2}), Bytes{9, 9, 9, 9}}));
        testsrv::ReadFrame(fd);
        testsrv::WriteAll(fd, Frame({0xF1, 7}));
        testsrv::ReadFrame(fd);
        testsrv::WriteAll(fd, Bytes{0xFD, 0, 0, 0, 0, 0, 0, 2, 0xF1, 7});
        testsrv::ReadFrame(fd);
        testsrv::WriteAll(fd, Frame(Bytes(3000, 0xF1)));
    });
    Conn c(server.Port());
    ASSERT_EQ(c.lib.Open(), 0);
    unsigned char v = 0;
    int r = c.lib.ResProtocolVersion(c.comm, c.send, c.recv, &v);
    EXPECT_EQ(r, RES_ERR_PROTOCOL);
    EXPECT_EQ(res_convert_errcode(r), 0xAB010003u);
    EXPECT_EQ(c.lib.ResProtocolVersion(c.comm, c.send, c.recv, &v), 0);
    EXPECT_EQ(v, 7);
    r = c.lib.ResProtocolVersion(c.comm, c.send, c.recv, &v);
    EXPECT_EQ(r, RES_ERR_BAD_HEADER);
    EXPECT_EQ(res_convert_errcode(r), 0x64070006u);
    r = c.lib.ResProtocolVersion(c.comm, c.send, c.recv, &v);
    EXPECT_EQ(r, RES_ERR_TOO_LONG);
    EXPECT_EQ(res_convert_errcode(r), 0x64070001u);
    server.Join();
    c.lib.Close();
}

TEST(ClientExchange, ErrorReplyGivesServerByte) {
    ScriptServer server([](int fd) {
        testsrv::ReadFrame(fd);
        testsrv::WriteAll(fd, Frame({0xFF, 0xA0}));
    });
    Conn c(server.Port());
    ASSERT_EQ(c.lib.Open(), 0);
    unsigned char v = 0;
    int r = c.lib.ResProtocolVersion(c.comm, c.send, c.recv, &v);
    EXPECT_EQ(r, 160);
    EXPECT_EQ(res_convert_errcode(r), 0xAB010004u);
    c.lib.Close();
}

TEST(ClientExchange, GrownReplyAndLengthCap) {
    // A reply above the receive capacity goes into a heap buffer where the
    // operation accepts one; a length above the cap is refused before any
    // allocation and reported as too long.
    ScriptServer server([](int fd) {
        testsrv::ReadFrame(fd);
        Bytes big(3000, 0x5A);
        big[0] = 0x02;
        testsrv::WriteAll(fd, Frame(big));
        testsrv::ReadFrame(fd);
        testsrv::WriteAll(fd, Bytes{0xFE, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF, 0x02});
    });
    Conn c(server.Port());
    ASSERT_EQ(c.lib.Open(), 0);
    unsigned char* grown = nullptr;
    int received = 0;
    c.send[8] = 0x01;
    EXPECT_EQ(c.lib.ResSendAndReceive(c.comm, nullptr, c.send, nullptr, 0, c.recv, &grown, 1, RES_BUFFER_SIZE,
                                      &received, "test", 0x02, false, 0),
              0);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(received, 3000);
    EXPECT_EQ(grown[2999], 0x5A);
    std::free(grown);
    grown = nullptr;
    EXPECT_EQ(c.lib.ResSendAndReceive(c.comm, nullptr, c.send, nullptr, 0, c.recv, &grown, 1, RES_BUFFER_SIZE,
                                      &received, "test", 0x02, false, 0),
              RES_ERR_TOO_LONG);
    EXPECT_EQ(grown, nullptr);
    c.lib.Close();
}

TEST(ClientExchange, CloseSessionReadsNothingAndClosedPeerIsAnError) {
    Bytes got;
    ScriptServer server([&](int fd) {
        Bytes open = testsrv::ReadFrame(fd);
        EXPECT_EQ(open, (Bytes{0xFE, 0, 0, 0, 0, 0, 0, 2, 0xC0, 0}));
        testsrv::WriteAll(fd, Bytes{0xFE, 0, 0, 0, 0, 0, 0, 1, 0xC1});
        got = testsrv::ReadFrame(fd);
        // The server answers the close and hangs up; the client never reads it.
        testsrv::WriteAll(fd, Bytes{0xFE, 0, 0, 0, 0, 0, 0, 1, 0xC3});
    });
    Conn c(server.Port());
    ASSERT_EQ(c.lib.Open(), 0);
    EXPECT_EQ(c.lib.ResOpenSession(c.comm, c.send, c.recv, 0), 0);
    EXPECT_EQ(c.lib.ResCloseSession(c.comm, c.send, c.recv), 0);
    server.Join();
    EXPECT_EQ(got, (Bytes{0xFE, 0, 0, 0, 0, 0, 0, 1, 0xC2}));
    // The C3 is still unread; after it the peer has closed: no success.
    unsigned char v = 0;
    int r = c.lib.ResProtocolVersion(c.comm, c.send, c.recv, &v);
    EXPECT_EQ(r, RES_ERR_PROTOCOL);
    r = c.lib.ResProtocolVersion(c.comm, c.send, c.recv, &v);
    EXPECT_NE(r, 0);
    c.lib.Close();
}

TEST(ClientExchange, AuthenticationBytes) {
    Bytes got;
    ScriptServer server([&](int fd) {
        got = testsrv::ReadFrame(fd);
        testsrv::WriteAll(fd, Frame({0xFF, 171}));
    });
    Conn c(server.Port());
    ASSERT_EQ(c.lib.Open(), 0);
    EXPECT_EQ(c.lib.ResSendAuth(c.comm, c.send, c.recv, "ab", "xyz"), 171);
    EXPECT_EQ(res_convert_errcode(171), 0x640C0000u);
    server.Join();
    EXPECT_EQ(testsrv::Payload(got), (Bytes{0xD0, 2, 'a', 'b', 3, 'x', 'y', 'z'}));
    std::string longName(256, 'u');
    EXPECT_EQ(c.lib.ResSendAuth(c.comm, c.send, c.recv, longName.c_str(), "p"), int(ERR_BAD_PARAMETER));
    c.lib.Close();
}

namespace {

// A name lookup that knows one camera name and records what it was asked,
// so that no test asks a name server.
std::vector<std::string> g_lookedUp;
bool LookupOneName(const char* host, uint32_t* addrNet) {
    g_lookedUp.push_back(host);
    if (std::strcmp(host, "ircam-lookup") != 0) return false;
    *addrNet = htonl(INADDR_LOOPBACK);
    return true;
}

}  // namespace

TEST(ClientSocket, UnresolvableHostLeavesNoSocket) {
    g_lookedUp.clear();
    CResourceClientLibSocket lib("no-such-camera", 22136);
    lib.SetNameLookup(LookupOneName);
    EXPECT_EQ(lib.Open(), RES_ERR_HOST);
    EXPECT_EQ(lib.TmpGetSocket(), 0u);
    EXPECT_EQ(res_convert_errcode(RES_ERR_HOST), 0x640D0002u);
    EXPECT_EQ(g_lookedUp, std::vector<std::string>{"no-such-camera"});
}

TEST(ClientSocket, HostNamesGoThroughTheLookupAndDottedTextDoesNot) {
    ScriptServer server([&](int fd) {
        testsrv::ReadFrame(fd);
        testsrv::WriteAll(fd, Frame({0xF1, 12}));
    });
    g_lookedUp.clear();
    CResourceClientLibSocket named("ircam-lookup", server.Port());
    named.SetNameLookup(LookupOneName);
    ASSERT_EQ(named.Open(), 0);
    unsigned char send[RES_BUFFER_SIZE] = {}, recv[RES_BUFFER_SIZE] = {};
    unsigned char version = 0;
    EXPECT_EQ(named.ResProtocolVersion(ResCommType{RES_COMM_TCP, 0, 0}, send, recv, &version), 0);
    EXPECT_EQ(version, 12);
    named.Close();
    server.Join();

    // Dotted text is an address as it stands, whatever the lookup would say.
    ScriptServer quiet(nullptr);
    CResourceClientLibSocket dotted("127.0.0.1", quiet.Port());
    dotted.SetNameLookup(LookupOneName);
    EXPECT_EQ(dotted.Open(), 0);
    dotted.Close();
    EXPECT_EQ(g_lookedUp, std::vector<std::string>{"ircam-lookup"});
}

TEST(ClientSocket, RefusedConnectionFailsOpen) {
    uint16_t port;
    {
        ScriptServer closed(nullptr);
        port = closed.Port();
    }
    CResourceClientLibSocket lib("127.0.0.1", port);
    EXPECT_EQ(lib.Open(), -1);
    EXPECT_EQ(lib.TmpGetSocket(), 0u);
}

TEST(ClientSocket, SilentServerMakesOpenFail) {
    // A listener whose accept queue is full drops further handshakes, so the
    // connect never completes and Open gives up after its wait.
    ScriptServer server(nullptr, 0, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(server.Port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(fd);
    }
    ::usleep(200 * 1000);
    CResourceClientLibSocket lib("127.0.0.1", server.Port());
    EXPECT_EQ(lib.Open(), -1);
    EXPECT_EQ(lib.TmpGetSocket(), 0u);
    for (int fd : fillers) ::close(fd);
}

TEST(ClientSocket, TimeoutModeReportsTimeout) {
    ScriptServer server([](int fd) {
        testsrv::ReadFrame(fd);
        // Say nothing until the client has given up, then a bad frame, then
        // nothing again.
        testsrv::ReadFrame(fd);
        testsrv::WriteAll(fd, Bytes{0x00, 1, 2, 3, 4, 5, 6, 7});
        testsrv::ReadFrame(fd);
        testsrv::ReadExact(fd, 1);
    });
    Conn c(server.Port());
    ASSERT_EQ(c.lib.Open(), 0);
    c.comm.timeout = 100;
    ASSERT_EQ(c.lib.ResSetTimeout(100), 0);
    unsigned char v = 0;
    int r = c.lib.ResProtocolVersion(c.comm, c.send, c.recv, &v);
    EXPECT_EQ(r, RES_ERR_TIMEOUT);
    EXPECT_EQ(res_convert_errcode(r), 0x64080000u);
    // After the drain of a framing error the timeout still applies.
    EXPECT_EQ(c.lib.ResProtocolVersion(c.comm, c.send, c.recv, &v), RES_ERR_BAD_HEADER);
    EXPECT_EQ(c.lib.ResProtocolVersion(c.comm, c.send, c.recv, &v), RES_ERR_TIMEOUT);
    // Back to blocking mode.
    EXPECT_EQ(c.lib.ResSetTimeout(0), 0);
    c.lib.Close();
}

TEST(ClientSocket, ConnectionResetIsATransportErrorNotAFramingError) {
    ScriptServer server([](int fd) {
        testsrv::ReadFrame(fd);
        linger l{1, 0};  // close with a reset
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    });
    Conn c(server.Port());
    ASSERT_EQ(c.lib.Open(), 0);
    unsigned char v = 0;
    int r = c.lib.ResProtocolVersion(c.comm, c.send, c.recv, &v);
    server.Join();
    EXPECT_EQ(r, -(10000 + ECONNRESET));
    EXPECT_EQ(res_convert_errcode(r), uint32_t(r));
    c.lib.Close();
}
