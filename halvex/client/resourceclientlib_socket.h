// CResourceClientLibSocket: the protocol engine over a plain TCP connection.
#pragma once

#include <halvex/client/resourceclientlib.h>

namespace ZYRK {

class HALVEX_API CResourceClientLibSocket : public CResourceClientLib {
public:
    CResourceClientLibSocket(const char* host, unsigned short port);
    ~CResourceClientLibSocket() override;

    int SetSocketBlocking(int blocking) override;
    int ResSend(ResCommType comm, const void* data, int length) override;
    int ResRecv(ResCommType comm, void* buffer, int capacity) override;
    int Open() override;
    int Close() override;
    unsigned int TmpGetSocket() override;
    int local_getsockname(ResCommType comm, struct sockaddr* address, socklen_t* length) override;
    int ResSetTimeout(unsigned long milliseconds) override;

    // One call each; the negated error number on failure, else the count.
    int ResSendBlocking(const void* data, int length);
    int ResRecvBlocking(void* buffer, int capacity);
    // Timeout mode: wait whenever the call would block, at most until the
    // running exchange's deadline (outside an exchange: the timeout). The
    // count, -106 on timeout, -107 when cancelled, -103 when the wait fails,
    // the negated error number when the call itself fails (a reset peer).
    int ResSendNonBlocking(ResCommType comm, const void* data, int length);
    int ResRecvNonBlocking(ResCommType comm, void* buffer, int capacity);

protected:
    int m_socket;  // -1 when there is none
};

}  // namespace ZYRK
