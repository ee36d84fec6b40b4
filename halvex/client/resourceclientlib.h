// CResourceClientLib: the protocol engine of the resource-tree client. It has
// no buffers of its own: every operation gets the caller's 2048-byte send and
// receive buffers, builds its request at GetHeaderSize(version) of the send
// buffer and passes it to ResSendAndReceive. Bytes move only through the
// virtual transport operations, which the transports implement.
#pragma once

#include <halvex/client/res_protocol.h>
#include <halvex/halvex_export.h>
#include <halvex/resource/resource.h>

#include <sys/socket.h>

#include <cstdint>

namespace ZYRK {

class CResCancel;
class CResourceValue;
class CResourceSet;
class CResourceValueSet;
struct TRANSPARENT_FRAGMENT_T;

using RES_IDENT_T = CResource::USER_IDENT_T;

// Looks a host name up: its first IPv4 address, network order, in *addrNet;
// false when it has none.
using ResNameLookup = bool (*)(const char* host, uint32_t* addrNet);

// The longest a transport waits for a connection to be made (for TLS: the
// TCP connection and the handshake together).
constexpr int RES_CONNECT_WAIT_MS = 5000;
// Bounds of FlushSock's drain: what is discarded, and for how long.
constexpr int RES_FLUSH_MAX_BYTES = 64 * 1024;
constexpr int RES_FLUSH_MAX_MS = 250;

class HALVEX_API CResourceClientLib {
public:
    CResourceClientLib(const char* host, unsigned short port);
    CResourceClientLib(const CResourceClientLib&) = delete;
    CResourceClientLib& operator=(const CResourceClientLib&) = delete;

    // Transport operations, in this order.
    virtual int FlushSock(ResCommType comm, const char* name);
    virtual int SetSocketBlocking(int blocking) = 0;
    virtual int ResSend(ResCommType comm, const void* data, int length) = 0;
    virtual int ResRecv(ResCommType comm, void* buffer, int capacity) = 0;
    virtual ~CResourceClientLib();
    virtual int Open() = 0;
    virtual int Close() = 0;
    virtual unsigned int TmpGetSocket() = 0;
    virtual int local_getsockname(ResCommType comm, struct sockaddr* address, socklen_t* length) = 0;
    virtual int ResFlushBuffers();
    virtual int ResSetTimeout(unsigned long milliseconds) = 0;

    const char* GetHost() const { return m_host; }
    unsigned short GetPort() const { return m_port; }

    // Opening a connection gives up after this many milliseconds; 0 or more
    // than RES_CONNECT_WAIT_MS means RES_CONNECT_WAIT_MS.
    void SetConnectTimeout(unsigned long milliseconds);
    // The waits of this transport (connect, handshake, and every send and
    // receive in timeout mode) also end when `cancel` fires; null: never.
    // The object stays the caller's and must outlive the transport.
    void SetCancel(const CResCancel* cancel) { m_cancel = cancel; }
    // How a host that is not dotted IPv4 text is looked up when the
    // transport opens; null (the default): the system's resolver.
    void SetNameLookup(ResNameLookup lookup) { m_lookup = lookup; }
    // 0 while requests and replies are in step on this connection; else the
    // engine result of the exchange that left it out of step (timeout,
    // transport error, closed by the peer, framing error, interrupted). A
    // reply read after that could belong to an earlier request.
    int StreamFault() const { return m_fault; }

    // The single exchange of every operation (see the .cpp for the steps).
    int ResSendAndReceive(ResCommType comm, const RES_IDENT_T* ident, unsigned char* send,
                          TRANSPARENT_FRAGMENT_T* fragments, unsigned long prefix, unsigned char* recv,
                          unsigned char** grown, int payload, int capacity, int* received,
                          const char* name, unsigned char expected, bool noReply, int embedded);

    // Connection level.
    int ResOpenSession(ResCommType comm, unsigned char* send, unsigned char* recv, int option);
    int ResCloseSession(ResCommType comm, unsigned char* send, unsigned char* recv);
    int ResProtocolVersion(ResCommType comm, unsigned char* send, unsigned char* recv,
                           unsigned char* version);
    int ResSendAuth(ResCommType comm, unsigned char* send, unsigned char* recv, const char* user,
                    const char* password);
    int ResSendDebugCommand(ResCommType comm, unsigned char* send, unsigned char* recv,
                            const RES_IDENT_T* ident, const char* path, unsigned char command);

    // Reading.
    int ResReadData(ResCommType comm, unsigned char* send, unsigned char* recv, const RES_IDENT_T* ident,
                    const char* path, CResourceValue& value);
    int ResReadAttributes(ResCommType comm, unsigned char* send, unsigned char* recv, const char* path,
                          ResAttr& attr);
    int ResReadLimits(ResCommType comm, unsigned char* send, unsigned char* recv, const RES_IDENT_T* ident,
                      const char* path, CResourceValue& value);
    int ResReadAttrDataLimits(ResCommType comm, unsigned char* send, unsigned char* recv,
                              const RES_IDENT_T* ident, const char* path, ResAttr& attr,
                              CResourceValue& value);
    int ResVerify(ResCommType comm, unsigned char* send, unsigned char* recv, const RES_IDENT_T* ident,
                  const char* path);
    int ResIterate(ResCommType comm, unsigned char* send, unsigned char* recv, const RES_IDENT_T* ident,
                   const char* path, unsigned char selector, char** name);

    // Writing.
    int ResWriteData(ResCommType comm, unsigned char* send, unsigned char* recv, const RES_IDENT_T* ident,
                     const char* path, const CResourceValue& value, int wait, unsigned long timeout);
    int ResWriteDataEx(ResCommType comm, unsigned char* send, unsigned char* recv,
                       const RES_IDENT_T* ident, const char* path, const CResourceValue& value, int wait,
                       unsigned long timeout);
    int ResWriteDataMulti(ResCommType comm, unsigned char* send, unsigned char* recv,
                          const RES_IDENT_T* ident, CResource* parent, const CResourceSet& children,
                          const CResourceValueSet& values, const CResourceValueSet& waits,
                          const CResourceValueSet& timeouts);

    // Structure.
    int ResCreateInstance(ResCommType comm, unsigned char* send, unsigned char* recv,
                          const RES_IDENT_T* ident, const char* path, int wait, unsigned long timeout,
                          char** created);
    int ResCreateNamedInstance(ResCommType comm, unsigned char* send, unsigned char* recv,
                               const RES_IDENT_T* ident, const char* path, const char* name, int wait,
                               unsigned long timeout, char** created);
    int ResDeleteInstance(ResCommType comm, unsigned char* send, unsigned char* recv,
                          const RES_IDENT_T* ident, const char* path, int wait, unsigned long timeout);
    int ResRenameResource(ResCommType comm, unsigned char* send, unsigned char* recv,
                          const RES_IDENT_T* ident, const char* path, const char* newName, char type,
                          int wait, unsigned long timeout);
    int ResSetAttributes(ResCommType comm, unsigned char* send, unsigned char* recv,
                         const RES_IDENT_T* ident, const char* path, const ResAttr& attr, int recursive,
                         int op);

    // Persistence.
    int ResDump(ResCommType comm, unsigned char* send, unsigned char* recv, const RES_IDENT_T* ident,
                const char* path, const char* file, int pathType, const char* hash, const char* info,
                int persistence, int defaults, int gidFilter, unsigned long option);
    int ResDumpSet(ResCommType comm, unsigned char* send, unsigned char* recv, const RES_IDENT_T* ident,
                   const char* path, const CResourceSet& set, const char* file, int pathType,
                   const char* hash, const char* info, int persistence, int defaults, int gidFilter,
                   unsigned long option);
    int ResReload(ResCommType comm, unsigned char* send, unsigned char* recv, const RES_IDENT_T* ident,
                  const char* path, const char* file, unsigned char hashType, const char* info,
                  unsigned char infoType);

    // Subscriptions. Kind and flavour are the wire bytes; replyKind is the
    // RES_SUBSCR_T value of the reply (0, 8 or 10).
    int ResAddSubscriber(ResCommType comm, unsigned char* send, unsigned char* recv,
                         const RES_IDENT_T* ident, const char* path, unsigned char flavour, uint32_t id,
                         unsigned char kind, uint32_t destination, uint32_t param5, int replyKind,
                         uint32_t replyDestination, uint32_t param8);
    int ResAddUDPSubscriber(ResCommType comm, unsigned char* send, unsigned char* recv,
                            const RES_IDENT_T* ident, const char* path, unsigned char flavour,
                            unsigned char kind, uint32_t id, uint16_t port, uint32_t param8);
    int ResRemoveSubscriber(ResCommType comm, unsigned char* send, unsigned char* recv,
                            const RES_IDENT_T* ident, const char* path, unsigned char flavour, uint32_t id,
                            unsigned char kind, uint32_t destination);
    int ResRemoveUDPSubscriber(ResCommType comm, unsigned char* send, unsigned char* recv,
                               const RES_IDENT_T* ident, const char* path, unsigned char flavour,
                               uint32_t id, uint16_t port);
    int ResAddTreeSubscriber(ResCommType comm, unsigned char* send, unsigned char* recv,
                             const RES_IDENT_T* ident, uint32_t mask, unsigned char kind,
                             unsigned char flavour, uint32_t destination, uint16_t port, uint32_t param);
    int ResRemoveTreeSubscriber(ResCommType comm, unsigned char* send, unsigned char* recv,
                                const RES_IDENT_T* ident, uint32_t mask, unsigned char kind,
                                unsigned char flavour, uint32_t destination, uint16_t port);

    // Multi operations: one embedded request per item, one result per item.
    int ResReadDataMulti(ResCommType comm, unsigned char* send, unsigned char* recv,
                         const RES_IDENT_T* ident, const CResourceSet& set, CResourceValueSet& attrs,
                         CResourceValueSet& values, CResourceValueSet& results);
    int ResVerifyMulti(ResCommType comm, unsigned char* send, unsigned char* recv,
                       const RES_IDENT_T* ident, const CResourceValueSet& paths, CResourceValueSet& results);
    int ResAddSubscriberMulti(ResCommType comm, unsigned char* send, unsigned char* recv,
                              const RES_IDENT_T* ident, const CResourceSet& set, unsigned char flavour,
                              const CResourceValueSet& ids, unsigned char kind, uint32_t destination,
                              uint32_t param5, int replyKind, uint32_t replyDestination,
                              CResourceValueSet& results);
    int ResRemoveSubscriberMulti(ResCommType comm, unsigned char* send, unsigned char* recv,
                                 const RES_IDENT_T* ident, const CResourceSet& set, unsigned char flavour,
                                 const CResourceValueSet& ids, unsigned char kind, uint32_t destination,
                                 CResourceValueSet& results);

    // Mounting.
    int ResMountSubtree(ResCommType comm, unsigned char* send, unsigned char* recv,
                        const RES_IDENT_T* ident, const char* path, const char* name, uint16_t port);
    int ResUnmountSubtree(ResCommType comm, unsigned char* send, unsigned char* recv,
                          const RES_IDENT_T* ident, const char* path);

protected:
    // Milliseconds the next wait may take: what is left of the running
    // exchange when the connection has a timeout, else the call's own
    // timeout; -1 when there is none.
    int WaitBudgetMs(const ResCommType& comm) const;
    // The same as the moment the waits of a call end, in milliseconds of the
    // library's monotonic clock; 0 when there is none.
    int64_t WaitDeadline(const ResCommType& comm) const;
    int ConnectWaitMs() const { return m_connectMs; }
    const CResCancel* Cancel() const { return m_cancel; }
    // The transport's host as an IPv4 address, network order: dotted text as
    // it stands, a name through the name lookup. False when it has none.
    bool ResolveHost(uint32_t* addrNet) const;

    unsigned short m_port;
    char m_host[128];

private:
    friend class CResExchangeScope;
    // Records the first result that left the stream out of step.
    int Fault(int result);

    int64_t m_deadline = 0;  // of the running exchange, monotonic milliseconds
    bool m_inExchange = false;
    int m_fault = 0;
    int m_connectMs = RES_CONNECT_WAIT_MS;
    const CResCancel* m_cancel = nullptr;
    ResNameLookup m_lookup = nullptr;

    // Builds the originator of a write: the value's own, or the local end of
    // the connection and the calling thread. 0 or a positive error number.
    int Originator(ResCommType comm, const CResourceValue& value, uint8_t* out);
};

}  // namespace ZYRK

namespace ZYRK {

// Decodes one notification datagram of a UDP subscription into the value and
// the subscription identifier; the sender (host order) becomes the value's
// originator. 0, or 0x64070000 for a datagram too short for its form.
HALVEX_API unsigned long res_decode_notify(const uint8_t* datagram, size_t length, uint32_t senderAddress,
                                           uint16_t senderPort, unsigned long* id, CResourceValue& value);

}  // namespace ZYRK
