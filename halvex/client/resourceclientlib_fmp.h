// CResourceClientLibFMP: the protocol engine over a local FMP socket, for
// callers that reach a resource server on the same machine. The host is
// always 127.0.0.1; the socket handle holds the FMP socket number.
#pragma once

#include <halvex/client/resourceclientlib_socket.h>

namespace ZYRK {

class HALVEX_API CResourceClientLibFMP : public CResourceClientLibSocket {
public:
    explicit CResourceClientLibFMP(unsigned short port);
    ~CResourceClientLibFMP() override;

    int SetSocketBlocking(int blocking) override;
    int ResSend(ResCommType comm, const void* data, int length) override;
    int ResRecv(ResCommType comm, void* buffer, int capacity) override;
    int Open() override;
    int Close() override;
    int local_getsockname(ResCommType comm, struct sockaddr* address, socklen_t* length) override;
    int ResFlushBuffers() override;
    int ResSetTimeout(unsigned long milliseconds) override;
    virtual int clientlib_getsockname(struct sockaddr* address, socklen_t* length);
};

}  // namespace ZYRK
