// FMP sockets: stream sockets between processes of one machine, emulated on
// the library's inter-process message queues. Each socket owns a receive
// queue named "FMP_%04X" (a listening socket after its port, any other after
// the first free number from 1); a connection is a pair of such queues set up
// by a connect, accept and confirm handshake. Messages carry a 24-byte head
// and at most 488 data bytes.
//
// Results: 0 or a count; -1 for a socket number out of range; else one of the
// 0xAD0000nn codes (errcodes.h), which as an int is negative.
#pragma once

#include <halvex/halvex_export.h>

#include <sys/socket.h>

#include <cstdint>

HALVEX_C_API int fmp_socket(void);
HALVEX_C_API int fmp_connect(int socket, unsigned short port);
// fmp_connect that gives up after waitMs in total (finding the server's
// queue and being accepted); 0 or more than 10000 means 10000, the bound of
// fmp_connect.
HALVEX_C_API int fmp_connect_timed(int socket, unsigned short port, int waitMs);
HALVEX_C_API int fmp_send(int socket, const void* data, int length);
HALVEX_C_API int fmp_recv(int socket, void* buffer, int capacity, int flags);
// fmp_recv that gives up after waitMs (0: no limit) with 0x64080000
// (timeout), which as an int is negative.
HALVEX_C_API int fmp_recv_timed(int socket, void* buffer, int capacity, int waitMs);
HALVEX_C_API int fmp_close(int socket);
// Port = the port the socket is bound to, listens on or is connected to (the
// number in the name of the server's queue), address 127.0.0.1, both in host
// byte order.
HALVEX_C_API int fmp_getsockname(int socket, struct sockaddr* address, socklen_t* length);
HALVEX_C_API int fmp_bind(int socket, unsigned short port);
HALVEX_C_API int fmp_listen(int socket, int backlog);
// Waits for a connect message and returns the connection's new socket.
HALVEX_C_API int fmp_accept(int socket, struct sockaddr* address, socklen_t* length);
// Drops the partly read message and every message waiting for the socket,
// printing one line for each. Returns 0.
HALVEX_C_API int fmp_flush(int socket);
// The FMP error of the calling thread's last failed call.
HALVEX_C_API uint32_t fmp_get_last_error(void);

namespace ZYRK {
constexpr int FMP_MAX_SOCKETS = 64;
constexpr uint32_t FMP_HEAD_SIZE = 24;
constexpr uint32_t FMP_MAX_DATA = 488;
}  // namespace ZYRK
