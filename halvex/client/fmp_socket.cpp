// FMP sockets on the inter-process message queues.
//
// Message head (host byte order, six 32-bit words): sender queue number,
// receiver queue number, sequence number (random start, +1 per message), the
// peer's last sequence number (handshake and close), type, data length.
#include <halvex/client/fmp_socket.h>
#include <halvex/platform/errcodes.h>
#include <halvex/platform/fmq.h>
#include <halvex/platform/postlog.h>

#include "halvex/platform/stream_io_internal.h"

#include <netinet/in.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <random>
#include <thread>

namespace ZYRK {

namespace {

enum FMP_MSG_T : uint32_t { FMP_MSG_DATA = 0, FMP_MSG_CONFIRM = 1, FMP_MSG_CONNECT = 2, FMP_MSG_ACCEPT = 3, FMP_MSG_CLOSE = 4 };

enum FMP_STATE_T { FMP_FREE = 0, FMP_OPEN, FMP_BOUND, FMP_LISTENING, FMP_CONNECTED, FMP_PEER_CLOSED };

constexpr uint32_t kCapacity = 20;
constexpr uint32_t kMessageSize = 512;
constexpr int kHandshakeMs = 10000;
constexpr int kAttachStepMs = 50;
constexpr uint32_t kFirstFree = 1;
constexpr uint32_t kLastNumber = 0xFFFF;

struct MsgHead {
    uint32_t sender, receiver, seq, peerSeq, type, length;
};
static_assert(sizeof(MsgHead) == FMP_HEAD_SIZE, "message head");

struct FmpSocket {
    FMP_STATE_T state = FMP_FREE;
    CQueue* own = nullptr;
    uint32_t ownNo = 0;
    CQueue* peer = nullptr;
    uint32_t peerNo = 0;
    uint16_t port = 0;  // bound, listened on or connected to
    uint32_t sendSeq = 0;
    uint32_t recvSeq = 0;
    uint8_t pending[kMessageSize];
    uint32_t pendingOff = 0;
    uint32_t pendingLen = 0;
};

std::mutex g_tableLock;
FmpSocket g_table[FMP_MAX_SOCKETS];
thread_local uint32_t t_lastError = 0;

int Fail(uint32_t code) {
    t_lastError = code;
    return int(code);
}

FmpSocket* Get(int s) {
    if (s < 1 || s > FMP_MAX_SOCKETS) return nullptr;
    FmpSocket* f = &g_table[s - 1];
    return f->state == FMP_FREE ? nullptr : f;
}

void QueueName(uint32_t number, char out[16]) { std::snprintf(out, 16, "FMP_%04X", unsigned(number & 0xFFFF)); }

uint32_t RandomSeq() {
    static std::mutex m;
    static std::mt19937 gen{std::random_device{}()};
    std::lock_guard<std::mutex> lock(m);
    return gen();
}

// Creates the socket's own receive queue under `number`, or under the first
// free number from 1 when number is 0.
uint32_t CreateOwnQueue(FmpSocket& f, uint32_t number) {
    CQueue* q = new (std::nothrow) CQueue;
    if (!q) return ERR_FMP_NO_MEMORY;
    const uint32_t first = number ? number : kFirstFree;
    const uint32_t last = number ? number : kLastNumber;
    for (uint32_t n = first; n <= last; ++n) {
        char name[16];
        QueueName(n, name);
        RESULT_T r = q->Init(name, kCapacity, kMessageSize, 0, 0);
        if (r == 0) {
            f.own = q;
            f.ownNo = n;
            return 0;
        }
        if (r == ERR_UNSUPPORTED) break;  // no queue server
    }
    delete q;
    return ERR_FMP_NO_QUEUE;
}

uint32_t AttachPeer(FmpSocket& f, uint32_t number, int waitMs) {
    CQueue* q = new (std::nothrow) CQueue;
    if (!q) return ERR_FMP_NO_MEMORY;
    char name[16];
    QueueName(number, name);
    for (int waited = 0;; waited += kAttachStepMs) {
        if (q->Attach(name) == 0) {
            f.peer = q;
            f.peerNo = number;
            return 0;
        }
        if (waited >= waitMs) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(kAttachStepMs));
    }
    delete q;
    return waitMs ? ERR_FMP_NO_SERVER : ERR_FMP_ATTACH;
}

// Sends one message to the peer; a full queue is retried while the reader
// catches up (bounded).
uint32_t SendMsg(FmpSocket& f, uint32_t type, uint32_t peerSeq, const void* data, uint32_t length) {
    uint8_t msg[kMessageSize];
    MsgHead h{f.ownNo, f.peerNo, f.sendSeq, peerSeq, type, length};
    std::memcpy(msg, &h, sizeof h);
    if (length) std::memcpy(msg + sizeof h, data, length);
    for (int waited = 0;; waited += 5) {
        RESULT_T r = f.peer->Send(msg, uint32_t(sizeof h + length));
        if (r == 0) break;
        if (r != FMQ_ERR_FULL || waited >= kHandshakeMs) return ERR_FMP_QUEUE_SEND;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ++f.sendSeq;
    return 0;
}

// RecvMsg's result when the peer's queue has gone away.
constexpr uint32_t kPeerGone = 1;

// Receives one message of the socket's own queue within waitMs (0: no limit),
// waiting in steps of at most a second; with whilePeer it also gives up once
// the peer's queue is gone. 0, ERR_TIMEOUT, kPeerGone, or an error.
uint32_t RecvMsg(FmpSocket& f, uint8_t* msg, MsgHead& h, int waitMs, bool whilePeer) {
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        int step = 1000;
        if (waitMs) {
            auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
            int left = waitMs - int(spent.count());
            if (left <= 0) return ERR_TIMEOUT;
            step = left < 1000 ? left : 1000;
        }
        RESULT_T r = f.own->Receive(msg, CQueue::RECEIVE_WAIT, uint32_t(step), kMessageSize);
        if (r == 0) {
            std::memcpy(&h, msg, sizeof h);
            if (h.length > FMP_MAX_DATA) return ERR_FMP_RECV;
            return 0;
        }
        if (r != ERR_TIMEOUT && r != FMQ_ERR_EMPTY) return ERR_FMP_RECV;
        if (whilePeer && f.peer && !f.peer->QueueValid()) return kPeerGone;
    }
}

void Release(FmpSocket& f) {
    if (f.own) {
        f.own->Delete();
        delete f.own;
    }
    delete f.peer;
    f = FmpSocket{};
}

int Alloc() {
    std::lock_guard<std::mutex> lock(g_tableLock);
    for (int i = 0; i < FMP_MAX_SOCKETS; ++i) {
        if (g_table[i].state == FMP_FREE) {
            g_table[i] = FmpSocket{};
            g_table[i].state = FMP_OPEN;
            return i + 1;
        }
    }
    return -1;
}

}  // namespace

}  // namespace ZYRK

using namespace ZYRK;

int fmp_socket(void) { return Alloc(); }

uint32_t fmp_get_last_error(void) { return t_lastError; }

int fmp_connect(int s, unsigned short port) { return fmp_connect_timed(s, port, kHandshakeMs); }

int fmp_connect_timed(int s, unsigned short port, int waitMs) {
    if (waitMs <= 0 || waitMs > kHandshakeMs) waitMs = kHandshakeMs;
    const auto start = std::chrono::steady_clock::now();
    // What is left of waitMs once the server's queue is found: finding it
    // and being accepted share the one bound.
    auto left = [&] {
        const auto spent =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        return spent >= waitMs ? 0 : waitMs - int(spent);
    };
    FmpSocket* f = Get(s);
    if (!f) return -1;
    if (f->state != FMP_OPEN) return Fail(ERR_FMP_WRONG_STATE);
    if (uint32_t e = CreateOwnQueue(*f, 0)) return Fail(e);
    auto undo = [f](uint32_t e) {
        if (f->own) {
            f->own->Delete();
            delete f->own;
            f->own = nullptr;
        }
        delete f->peer;
        f->peer = nullptr;
        return Fail(e);
    };
    if (uint32_t e = AttachPeer(*f, port, waitMs)) return undo(e);
    f->sendSeq = RandomSeq();
    const uint32_t connectSeq = f->sendSeq;
    if (SendMsg(*f, FMP_MSG_CONNECT, 0, nullptr, 0)) return undo(ERR_FMP_CONNECT_SEND);
    uint8_t msg[kMessageSize];
    MsgHead h{};
    const int acceptMs = left();
    uint32_t r = acceptMs > 0 ? RecvMsg(*f, msg, h, acceptMs, false) : uint32_t(ERR_TIMEOUT);
    if (r == ERR_TIMEOUT) return undo(ERR_FMP_NO_ACCEPT);
    if (r != 0) return undo(ERR_FMP_RECV);
    if (h.type != FMP_MSG_ACCEPT || h.peerSeq != connectSeq) return undo(ERR_FMP_NOT_ACCEPT);
    // From now on the peer is the connection's own queue on the server side.
    delete f->peer;
    f->peer = nullptr;
    if (AttachPeer(*f, h.sender, 0)) return undo(ERR_FMP_ATTACH);
    f->recvSeq = h.seq;
    if (SendMsg(*f, FMP_MSG_CONFIRM, h.seq, nullptr, 0)) return undo(ERR_FMP_QUEUE_SEND);
    f->port = port;
    f->state = FMP_CONNECTED;
    return 0;
}

int fmp_bind(int s, unsigned short port) {
    FmpSocket* f = Get(s);
    if (!f) return -1;
    if (f->state != FMP_OPEN || port == 0) return Fail(ERR_FMP_WRONG_STATE);
    if (uint32_t e = CreateOwnQueue(*f, port)) return Fail(e);
    f->port = port;
    f->state = FMP_BOUND;
    return 0;
}

int fmp_listen(int s, int) {
    FmpSocket* f = Get(s);
    if (!f) return -1;
    if (f->state != FMP_BOUND) return Fail(ERR_FMP_WRONG_STATE);
    f->state = FMP_LISTENING;
    return 0;
}

int fmp_accept(int s, sockaddr* address, socklen_t* length) {
    FmpSocket* l = Get(s);
    if (!l) return -1;
    if (l->state != FMP_LISTENING) return Fail(ERR_FMP_WRONG_STATE);
    uint8_t msg[kMessageSize];
    MsgHead h{};
    uint32_t r;
    do {
        r = RecvMsg(*l, msg, h, 0, false);
    } while (r == ERR_TIMEOUT);
    if (r != 0 || h.type != FMP_MSG_CONNECT) return Fail(ERR_FMP_RECV);

    int n = Alloc();
    if (n < 0) return Fail(ERR_FMP_NO_MEMORY);
    FmpSocket& c = g_table[n - 1];
    auto undo = [&c](uint32_t e) {
        Release(c);
        return Fail(e);
    };
    if (uint32_t e = CreateOwnQueue(c, 0)) return undo(e);
    if (AttachPeer(c, h.sender, 0)) return undo(ERR_FMP_ATTACH);
    c.sendSeq = RandomSeq();
    if (SendMsg(c, FMP_MSG_ACCEPT, h.seq, nullptr, 0)) return undo(ERR_FMP_QUEUE_SEND);
    MsgHead confirm{};
    r = RecvMsg(c, msg, confirm, kHandshakeMs, false);
    if (r != 0 || confirm.type != FMP_MSG_CONFIRM || confirm.seq != h.seq + 1) return undo(ERR_FMP_NOT_CONFIRMED);
    c.recvSeq = confirm.seq;
    c.port = l->port;
    c.state = FMP_CONNECTED;
    if (address && length && *length >= socklen_t(sizeof(sockaddr_in))) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = uint16_t(c.peerNo);
        a.sin_addr.s_addr = INADDR_LOOPBACK;
        std::memcpy(address, &a, sizeof a);
        *length = sizeof a;
    }
    return n;
}

int fmp_send(int s, const void* data, int length) {
    FmpSocket* f = Get(s);
    if (!f) return -1;
    if (f->state != FMP_CONNECTED || length < 0) return Fail(ERR_FMP_WRONG_STATE);
    const uint8_t* p = static_cast<const uint8_t*>(data);
    // One message per FMP_MAX_DATA bytes.
    const long sent = Platform::MoveAll(size_t(length), [&](size_t at, size_t left) -> long {
        const uint32_t n = left < FMP_MAX_DATA ? uint32_t(left) : FMP_MAX_DATA;
        return SendMsg(*f, FMP_MSG_DATA, 0, p + at, n) ? -1 : long(n);
    });
    return sent < 0 ? Fail(ERR_FMP_QUEUE_SEND) : int(sent);
}

int fmp_recv(int s, void* buffer, int capacity, int) { return fmp_recv_timed(s, buffer, capacity, 0); }

int fmp_recv_timed(int s, void* buffer, int capacity, int waitMs) {
    FmpSocket* f = Get(s);
    if (!f) return -1;
    if (f->state == FMP_PEER_CLOSED && f->pendingLen == 0) return 0;
    if (f->state != FMP_CONNECTED && f->state != FMP_PEER_CLOSED) return Fail(ERR_FMP_WRONG_STATE);
    if (capacity <= 0) return 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs > 0 ? waitMs : 0);
    while (f->pendingLen == 0) {
        if (f->state == FMP_PEER_CLOSED) return 0;
        int left = 0;
        if (waitMs > 0) {
            left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
            if (left <= 0) return Fail(ERR_TIMEOUT);
        }
        uint8_t msg[kMessageSize];
        MsgHead h{};
        uint32_t r = RecvMsg(*f, msg, h, left, true);
        if (r == kPeerGone) {
            f->state = FMP_PEER_CLOSED;
            return 0;
        }
        if (r == ERR_TIMEOUT) return Fail(ERR_TIMEOUT);
        if (r != 0) return Fail(ERR_FMP_RECV);
        if (h.seq != f->recvSeq + 1) return Fail(ERR_FMP_RECV);
        f->recvSeq = h.seq;
        if (h.type == FMP_MSG_CLOSE) {
            f->state = FMP_PEER_CLOSED;
            return 0;
        }
        if (h.type != FMP_MSG_DATA) continue;
        std::memcpy(f->pending, msg + FMP_HEAD_SIZE, h.length);
        f->pendingOff = 0;
        f->pendingLen = h.length;
    }
    uint32_t n = f->pendingLen < uint32_t(capacity) ? f->pendingLen : uint32_t(capacity);
    std::memcpy(buffer, f->pending + f->pendingOff, n);
    f->pendingOff += n;
    f->pendingLen -= n;
    return int(n);
}

int fmp_flush(int s) {
    FmpSocket* f = Get(s);
    if (!f) return -1;
    if (f->pendingLen) {
        ce_printmsg(L"fmp_flush deleted buffer\r\n");
        f->pendingLen = 0;
        f->pendingOff = 0;
    }
    if (!f->own) return 0;
    uint8_t msg[kMessageSize];
    // Bounded by what the queue can hold plus what arrives meanwhile.
    for (int i = 0; i < 1000; ++i) {
        if (f->own->Receive(msg, 0, 0, kMessageSize) != 0) break;
        MsgHead h{};
        std::memcpy(&h, msg, sizeof h);
        if (f->state == FMP_CONNECTED || f->state == FMP_PEER_CLOSED) f->recvSeq = h.seq;
        ce_printmsg(L"fmp_flush recv msg\r\n");
    }
    return 0;
}

int fmp_close(int s) {
    FmpSocket* f = Get(s);
    if (!f) return -1;
    if (f->state == FMP_CONNECTED && f->peer) SendMsg(*f, FMP_MSG_CLOSE, f->recvSeq, nullptr, 0);
    std::lock_guard<std::mutex> lock(g_tableLock);
    Release(*f);
    return 0;
}

int fmp_getsockname(int s, sockaddr* address, socklen_t* length) {
    FmpSocket* f = Get(s);
    if (!f) return -1;
    if (!address || !length || *length < socklen_t(sizeof(sockaddr_in))) return Fail(ERR_FMP_WRONG_STATE);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = f->port;                   // host byte order
    a.sin_addr.s_addr = INADDR_LOOPBACK;    // host byte order
    std::memcpy(address, &a, sizeof a);
    *length = sizeof a;
    return 0;
}
