// The guard that keeps a write of a transport to a vanished peer from
// raising SIGPIPE (internal). The waits themselves, the non-blocking connect
// and the send and receive loops are the library's stream pieces
// (halvex/platform/stream_io_internal.h).
#pragma once

#include <halvex/client/res_cancel.h>

#include <signal.h>

namespace ZYRK {

// Blocks SIGPIPE on the calling thread while it lives and drops one that the
// guarded calls raised, so a write to a peer that has gone away fails with
// EPIPE instead of ending the process.
class CResSigpipeBlock {
public:
    CResSigpipeBlock();
    ~CResSigpipeBlock();
    CResSigpipeBlock(const CResSigpipeBlock&) = delete;
    CResSigpipeBlock& operator=(const CResSigpipeBlock&) = delete;

private:
    sigset_t m_pipe;
    sigset_t m_previous;
    bool m_alreadyPending;
};

}  // namespace ZYRK
