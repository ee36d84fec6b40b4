// The protocol engine over a local FMP socket.
#include <halvex/client/fmp_socket.h>
#include <halvex/client/resourceclientlib_fmp.h>
#include <halvex/platform/errcodes.h>
#include <halvex/platform/postlog.h>

namespace ZYRK {

CResourceClientLibFMP::CResourceClientLibFMP(unsigned short port) : CResourceClientLibSocket("127.0.0.1", port) {}

CResourceClientLibFMP::~CResourceClientLibFMP() = default;

int CResourceClientLibFMP::Open() {
    int s = fmp_socket();
    if (s < 0) {
        ce_printmsg(L"ResOpenFMPSocket socket() error\r\n");
        return -1;
    }
    // Connecting is bounded like on the other transports (at most 5 s).
    if (fmp_connect_timed(s, m_port, ConnectWaitMs()) != 0) {
        // The FMP error stays readable through fmp_get_last_error.
        fmp_close(s);
        return -1;
    }
    m_socket = s;
    return 0;
}

int CResourceClientLibFMP::Close() {
    if (m_socket > 0) fmp_close(m_socket);
    m_socket = -1;
    return 0;
}

// The handle is an FMP socket number, not a descriptor: there is no
// descriptor mode to switch.
int CResourceClientLibFMP::SetSocketBlocking(int) { return 0; }

int CResourceClientLibFMP::ResSetTimeout(unsigned long) { return 0; }

int CResourceClientLibFMP::ResSend(ResCommType comm, const void* data, int length) {
    if ((comm.commType & 1) && m_socket > 0) return CResourceClientLibSocket::ResSend(comm, data, length);
    return fmp_send(m_socket, data, length);
}

int CResourceClientLibFMP::ResRecv(ResCommType comm, void* buffer, int capacity) {
    if (comm.commType & 1) return CResourceClientLibSocket::ResRecv(comm, buffer, capacity);
    // With a timeout the receive ends with the exchange's deadline.
    const int budget = WaitBudgetMs(comm);
    if (budget < 0) return fmp_recv(m_socket, buffer, capacity, 0);
    if (budget == 0) return RES_ERR_TIMEOUT;
    const int r = fmp_recv_timed(m_socket, buffer, capacity, budget);
    return r == int(ERR_TIMEOUT) ? RES_ERR_TIMEOUT : r;
}

int CResourceClientLibFMP::local_getsockname(ResCommType comm, sockaddr* address, socklen_t* length) {
    if (comm.commType & 1) return CResourceClientLibSocket::local_getsockname(comm, address, length);
    return 0;
}

int CResourceClientLibFMP::ResFlushBuffers() {
    if (m_socket > 0) fmp_flush(m_socket);
    return 0;
}

int CResourceClientLibFMP::clientlib_getsockname(sockaddr* address, socklen_t* length) {
    return fmp_getsockname(m_socket, address, length);
}

}  // namespace ZYRK
