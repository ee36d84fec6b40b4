// The resource server: request handling common to every transport
// (CResourceServerTask: one request payload decoded, applied to the local
// resource tree, the reply bytes appended to a reply buffer), the connection
// handling that TCP and FMP share (CResourceConnectionTask: frames, sessions,
// one task per connection) and the two transports (CResourceTCPServerTask,
// CResourceFMPServerTask).
#pragma once

#include <halvex/halvex_export.h>
#include <halvex/resource/resource.h>
#include <halvex/resource/resource_path.h>
#include <halvex/resource/resource_value.h>
#include <halvex/supervisor/container.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace ZYRK {

namespace Platform {
class CSessionGate;
}

constexpr uint16_t DEFAULT_TCP_PORT = 22136;
constexpr uint16_t DEFAULT_FMP_PORT = 22136;
// The version this server announces.
constexpr uint8_t RES_SERVER_PROTOCOL_VERSION = 12;
// Results of ManageCommand beside 0 and 1.
constexpr uint32_t RES_SESSION_OPENED = 0x7FFFFFFF;
// Handler results from here on are result codes, below it reply lengths.
constexpr uint32_t RES_HANDLER_ERROR_BASE = 0x1000000;
// Largest request a connection accepts unless configured otherwise.
constexpr uint32_t RES_DEFAULT_MAX_REQUEST = 1024u * 1024u;

// Growable chain of memory blocks holding one reply. Block addresses stay
// valid until Flush or a Restore that drops them, so reserved bytes can be
// filled in after later bytes were appended.
class HALVEX_API CResReplyBuffer {
public:
    struct SNAPSHOT_T {
        size_t pieces;
        size_t used;
        size_t total;
    };
    using RELEASE_T = void (*)(void* context, const void* data);

    explicit CResReplyBuffer(size_t blockSize = 2048, size_t limit = 64u * 1024u * 1024u);
    ~CResReplyBuffer();
    CResReplyBuffer(const CResReplyBuffer&) = delete;
    CResReplyBuffer& operator=(const CResReplyBuffer&) = delete;

    // n bytes at the end (zeroed); null when the buffer cannot grow.
    uint8_t* AllocSpace(size_t n);
    SNAPSHOT_T Snapshot() const;
    void Restore(const SNAPSHOT_T& snapshot);
    // Pads the end to an even length with a 0 byte; false without memory.
    bool SWAlign();
    // Appends an external block without copying; release (when given) is
    // called once the buffer lets go of it.
    bool AttachExtBuffer(const void* data, size_t n, RELEASE_T release = nullptr, void* context = nullptr);
    size_t Length() const { return m_total; }
    // Calls sink for every filled piece in order; stops at the first false.
    template <typename F>
    bool ForEachPiece(F&& sink) const
    {
        for (const Piece& p : m_pieces) {
            if (p.used && !sink(p.data, p.used)) {
                return false;
            }
        }
        return true;
    }
    std::vector<uint8_t> Bytes() const;
    void Flush();
    void SetLimit(size_t limit) { m_limit = limit; }

private:
    struct Piece {
        uint8_t* data;
        size_t capacity;
        size_t used;
        bool owned;
        RELEASE_T release;
        void* context;
    };
    void Drop(Piece& p);

    std::vector<Piece> m_pieces;
    size_t m_blockSize;
    size_t m_limit;
    size_t m_total = 0;
};

class HALVEX_API CResourceServerTask : public CTaskContainer {
public:
    CResourceServerTask();
    ~CResourceServerTask() override;

    // The tree to serve instead of the supervisor's local tree (before Init).
    void SetTree(CResourceTree* tree) { m_tree = tree; }
    CResourceTree* GetResourceTree() const { return m_tree; }

    RESULT_T Init(const char* name, uint32_t priority, uint32_t stackSize, uint32_t flags) override;
    RESULT_T Unload() override;

    // Runs one request payload: the number of reply bytes appended (below
    // 0x1000000) or a result code that abandons the reply.
    uint32_t ProcessData(const uint8_t* data, uint32_t length, const USER_IDENT_T& ident);

    CResReplyBuffer& Reply() { return m_reply; }

    // A created instance below a mounted tree is reported with the request
    // path's own first component in front.
    static void CheckPrefixMountPath(const char* requestPath, CResourcePath& resultPath);

protected:
    // A two-byte reply: the code and a second byte (0 unless given); its length,
    // or ERR_NO_MEMORY when the reply buffer is full.
    uint32_t ShortReply(uint8_t code, uint8_t second = 0);
    uint32_t ErrorResponse(uint8_t error);
    static uint8_t FlattenType(CResource* resource);

    uint32_t ReadData(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t ReadAttrDataLimits(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t WriteData(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t WriteDataEx(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t WriteDataMulti(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t CreateInstance(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t DeleteInstance(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t ReadAttributes(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t SetAttributes(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t ReadLimits(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t VerifyResource(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t IterateChild(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t DumpResource(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t DumpSet(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t ReloadResource(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t RenameResource(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t AddSubscr(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t RemoveSubscr(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t AddTreeSubscr(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t RemoveTreeSubscr(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t MountSubtree(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t UnmountSubtree(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t ProtocolVersion(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);
    uint32_t DebugCommand(const uint8_t* p, uint32_t n, const USER_IDENT_T& id);

    // Opens the path of a read request (its text at offset 1) and reads the
    // value (a copy of transparent data when asked and allowed): 0 with the
    // resource in *out, which the caller closes, its attribute word and
    // whether a copy was asked for; else the error reply's length.
    uint32_t OpenForRead(const uint8_t* p, uint32_t n, const USER_IDENT_T& id, CResource** out, uint32_t* attr,
                         bool* copy, CResourceValue& value);
    uint32_t ReadDataInternal(CResource* res, uint32_t attr, CResourceValue& value, bool copy, size_t capacity,
                              const USER_IDENT_T& id, uint8_t* head);
    uint32_t ReadAttributesInternal(CResource* res, const CResourceValue& value, uint32_t attr);
    uint32_t ReadLimitsInternal(CResource* res, const CResourceValue& value, size_t capacity,
                                const USER_IDENT_T& id);

    // Opens path for a handler: 0 and *out, else the error reply's length
    // (2) is returned after appending it. noMem174: answer 174 for 0x64040000.
    uint32_t OpenPath(const char* path, CResource** out, const USER_IDENT_T* id, bool noMem174);
    // The same for the path at offset 1 of a request, a text with its 0 byte
    // or (lengthPrefixed) after a length byte; a request without one is
    // answered 169. *next (when given) receives the offset after the path.
    uint32_t OpenRequestPath(const uint8_t* p, uint32_t n, bool lengthPrefixed, const USER_IDENT_T* id,
                             bool noMem174, CResource** out, uint32_t* next = nullptr);
    // Opens the path of an attribute or limits request (as OpenRequestPath)
    // and reads its value without identity: 0 with the resource in *out,
    // which the caller closes, else the error reply's length.
    uint32_t OpenWithValue(const uint8_t* p, uint32_t n, bool lengthPrefixed, const USER_IDENT_T& id, bool noMem174,
                           CResource** out, CResourceValue& value);
    // Opens path for a write of a value of the given type byte: 0 with the
    // resource in *out, which the caller closes; else the error reply's
    // length (type mismatch 168, not allowed 170, not supported 162).
    uint32_t OpenForWrite(const char* path, uint8_t type, const USER_IDENT_T& id, CResource** out);
    // An error reply followed by the BE32 result of the failed call (174 when
    // the buffer cannot grow).
    uint32_t ErrorResponseWithResult(uint8_t error, unsigned long result);

    CResourceTree* m_tree = nullptr;
    CResReplyBuffer m_reply;
    // Set by the connection task for every request: the client holds a
    // grant of the host table (or is local), not only an address.
    bool m_authenticated = false;
};

// What every transport of the resource server shares: request frames read
// from a byte stream (header, extensions, embedded requests, one operation)
// and answered with one reply frame, sessions, and a listener that hands
// every accepted connection to a task of its own, up to a cap. The transport
// (TCP or FMP) gives the byte stream, the identity of a request, the
// deadlines and the session tasks.
class HALVEX_API CResourceConnectionTask : public CResourceServerTask {
public:
    static constexpr uint32_t RECEIVE_BUFFER_SIZE = 2048;
    static constexpr uint32_t RECEIVE_PAYLOAD_MAX = 2040;

    CResourceConnectionTask();
    ~CResourceConnectionTask() override;

    RESULT_T Init(const char* name, uint32_t priority, uint32_t stackSize, uint32_t flags) override;
    RESULT_T Unload() override;
    // Ends the listening (or serving) body: wakes it where it waits, then the
    // base's Shutdown.
    RESULT_T Shutdown() override;
    uint16_t GetPort() override;

    // Before Start: the largest request payload a connection may announce
    // (larger ones close the connection unread).
    void SetMaxRequestSize(uint32_t bytes) { m_maxRequest = bytes; }
    // The most connections that this listener serves at once (sessions and
    // single requests together); 0 = no cap. Default 256. A connection
    // beyond it is answered FF AC ("session failed") and closed at once.
    void SetSessionCap(uint32_t connections);
    // Connections being served now (tests and diagnostics).
    uint32_t ActiveConnections() const;

    // One request on a connected socket: 1 answered (the connection goes on
    // when it is a session), 0 closed or nothing to answer, a transport error
    // or a handler's result code otherwise.
    uint32_t ManageCommand(int socket, uint32_t clientAddress);

protected:
    // Word 0 of a task's start argument: a listening task, a session handed
    // over already, a connection that has not yet read its first request.
    static constexpr uint32_t MODE_LISTEN = 0;
    static constexpr uint32_t MODE_SESSION = 1;
    static constexpr uint32_t MODE_CONNECTION = 2;

    // The parts a transport gives: the task that serves one connection and
    // its name, the byte stream, the identity of a request, the deadlines.
    virtual CResourceConnectionTask* NewSessionTask() = 0;
    virtual void SessionName(char* name, size_t size) = 0;
    // Settings of this listener that a connection task takes over, beside
    // the tree, the request limit and the connection cap.
    virtual void InheritSettings(CResourceConnectionTask& connection);
    // Exactly n bytes before the deadline (monotonic ms, 0 = none): n, 0 when
    // the peer closed, negative on failure or time-out.
    virtual long ConnRecv(int socket, uint8_t* p, size_t n, int64_t deadline) = 0;
    virtual bool ConnSend(int socket, const uint8_t* p, size_t n) = 0;
    virtual void ConnClose(int socket) = 0;
    // The deadline of a request's bytes (monotonic ms, 0 = none);
    // awaitingNext: a session waiting for the first byte of its next request.
    virtual int64_t RequestDeadline(bool awaitingNext) = 0;
    // Before a refused connection is closed: takes what the client has sent
    // already without waiting, so that the close does not reset the
    // connection before the client has read the refusal.
    virtual void DrainBeforeRefusal(int socket) = 0;
    virtual USER_IDENT_T RequestIdentity(uint32_t clientAddress) = 0;
    virtual bool TrustsIdentityExtensions(uint32_t clientAddress) = 0;
    // Operation 0xD0 (host authentication).
    virtual uint32_t HandleAuth(const uint8_t* p, uint32_t n, uint32_t clientAddress, const USER_IDENT_T& ident) = 0;
    // Called when a connection becomes a session, before it is answered as
    // one; a result other than 0 ends the connection.
    virtual RESULT_T PrepareSession();
    // Wakes the body where it waits for a connection or a request.
    virtual void WakeListener() = 0;

    uint32_t OpenSession(int socket);
    uint32_t CloseSession(int socket);
    // Hands an accepted connection to a task of its own, or refuses it when
    // the cap is reached; the connection is closed either way on failure.
    void StartConnection(int socket, uint32_t clientAddress);
    // The body of a connection task: serves the connection (from its first
    // request, or as a session already opened) until it ends, then closes it.
    void ServeConnection(int socket, uint32_t clientAddress, bool session);
    // Publishes the listening socket and its port (socket -1: none).
    void SetListening(int socket, uint16_t port);

    uint8_t* m_receive = nullptr;
    int m_socket = -1;
    bool m_session = false;
    uint32_t m_maxRequest = RES_DEFAULT_MAX_REQUEST;
    std::recursive_mutex m_socketLock;
    uint16_t m_port = 0;
    // Set by Shutdown before the body is woken, so that the accept loop ends
    // instead of retrying.
    std::atomic<bool> m_stopping{false};
    // The listener's connection count, shared with its connection tasks
    // (Platform::CSessionGate); the slot a connection task holds.
    std::shared_ptr<Platform::CSessionGate> m_gate;
    std::shared_ptr<void> m_slot;
};

// The resource server over TCP: a listening task that only accepts; every
// connection is served by a task of its own ("tcpserver_%u"), which reads
// the first request, checks the host grants and, when the request opens a
// session, goes on serving it.
class HALVEX_API CResourceTCPServerTask : public CResourceConnectionTask {
public:
    struct GRANT_T {
        uint32_t address;  // as the socket reports it (network order)
        int64_t expiry;    // seconds of the server clock
        uint16_t uid;
        uint16_t gid;
    };
    static constexpr int GRANT_COUNT = 10;
    static constexpr int64_t GRANT_SECONDS = 300;
    static constexpr int64_t GRANT_PERMANENT = 0x7FFFFFFF;

    CResourceTCPServerTask();
    ~CResourceTCPServerTask() override;

    RESULT_T Init(const char* name, uint32_t priority, uint32_t stackSize, uint32_t flags) override;
    RESULT_T Unload() override;
    void taskbody(uint32_t* startArgument) override;

    // Before Start: the local address the listening socket binds to (network
    // order; 0 = any).
    void SetBindAddress(uint32_t addressNetworkOrder) { m_bindAddress = addressNetworkOrder; }
    // How long a connection may take to deliver its first request, and any
    // later request once its first byte has arrived, and how long a reply
    // may take to leave; 0 = without limit. Default 30 s.
    void SetIdleTimeout(uint32_t milliseconds) { m_idleTimeoutMs = milliseconds; }
    // How long an open session may stay silent between requests before the
    // server closes it; 0 = without limit. Default 600 s (a client that
    // keeps a session open longer sends a request, such as the protocol
    // version, in between).
    void SetSessionIdleTimeout(uint32_t milliseconds) { m_sessionIdleMs = milliseconds; }

    // Grant table.
    bool CheckHostAuth(uint32_t address);
    RESULT_T AddToHostAuth(uint32_t address, uint16_t uid, uint16_t gid);

    // Numbers the session tasks ("tcpserver_%u"); shared by every listener
    // of the process, so it counts atomically.
    static std::atomic<uint32_t> mulForkCounter;

protected:
    CResourceTCPServerTask* NewSessionTask() override;
    void SessionName(char* name, size_t size) override;
    void InheritSettings(CResourceConnectionTask& connection) override;
    long ConnRecv(int socket, uint8_t* p, size_t n, int64_t deadline) override;
    bool ConnSend(int socket, const uint8_t* p, size_t n) override;
    void ConnClose(int socket) override;
    int64_t RequestDeadline(bool awaitingNext) override;
    void DrainBeforeRefusal(int socket) override;
    USER_IDENT_T RequestIdentity(uint32_t clientAddress) override;
    bool TrustsIdentityExtensions(uint32_t clientAddress) override;
    uint32_t HandleAuth(const uint8_t* p, uint32_t n, uint32_t clientAddress, const USER_IDENT_T& ident) override;
    RESULT_T PrepareSession() override;
    void WakeListener() override;
    uint32_t AuthHost(const uint8_t* p, uint32_t n, uint32_t clientAddress);
    void ManageConnection(int listenSocket);

    static int64_t Now();

    // The grant table in use: the listener's, shared with the connections it
    // hands out; a session gets a table of its own when it opens.
    struct GRANT_TABLE_T;
    std::shared_ptr<GRANT_TABLE_T> m_grants;
    static std::shared_ptr<GRANT_TABLE_T> NewGrantTable();
    uint32_t m_bindAddress = 0;
    uint32_t m_idleTimeoutMs = 30000;
    uint32_t m_sessionIdleMs = 600000;
};

// The resource server over the local FMP socket layer: the same requests and
// sessions as over TCP, every request as coming from 127.0.0.1 (identity
// extensions always honoured, no host authentication). Local sockets have no
// receive deadline: sessions stay until closed. Needs the process's queue
// server. The session tasks are named "fmpserver_%d".
class HALVEX_API CResourceFMPServerTask : public CResourceConnectionTask {
public:
    CResourceFMPServerTask();
    ~CResourceFMPServerTask() override;

    void taskbody(uint32_t* startArgument) override;

    static std::atomic<int> mulForkCounter;

protected:
    CResourceFMPServerTask* NewSessionTask() override;
    void SessionName(char* name, size_t size) override;
    long ConnRecv(int socket, uint8_t* p, size_t n, int64_t deadline) override;
    bool ConnSend(int socket, const uint8_t* p, size_t n) override;
    void ConnClose(int socket) override;
    int64_t RequestDeadline(bool awaitingNext) override;
    void DrainBeforeRefusal(int socket) override;
    USER_IDENT_T RequestIdentity(uint32_t clientAddress) override;
    bool TrustsIdentityExtensions(uint32_t clientAddress) override;
    uint32_t HandleAuth(const uint8_t* p, uint32_t n, uint32_t clientAddress, const USER_IDENT_T& ident) override;
    void WakeListener() override;
};

}  // namespace ZYRK
