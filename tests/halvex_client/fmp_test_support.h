// Helpers of the FMP tests of the client and the server: the queue server
// task that carries this process's FMP sockets, and frames read from an FMP
// socket.
#pragma once

#include "tests/halvex_platform/fmq_support.h"

#include <halvex/client/fmp_socket.h>
#include <halvex/client/res_protocol.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace fmptest {

// The port of this process's queue server task, which the first call starts
// on a free loopback port; 0 when it did not start.
inline uint16_t QueueServerPort()
{
    static const uint16_t port = fmqtest::StartServer("fmqtest_" + std::to_string(getpid()));
    return port;
}

// One frame (the 8-byte header and the length it gives) from an FMP socket;
// what arrived when the socket ends early.
inline std::vector<uint8_t> ReadFmpFrame(int s)
{
    std::vector<uint8_t> out;
    uint8_t buf[700];
    size_t want = 8;
    while (out.size() < want) {
        int r = fmp_recv(s, buf, int(std::min(sizeof buf, want - out.size())), 0);
        if (r <= 0) return out;
        out.insert(out.end(), buf, buf + r);
        if (out.size() == 8) want = 8 + ZYRK::be_get32(out.data() + 4);
    }
    return out;
}

}  // namespace fmptest
