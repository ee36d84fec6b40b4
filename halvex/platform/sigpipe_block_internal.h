// Blocks SIGPIPE on the calling thread while it lives and drops one that the
// guarded calls raised, so that a write to a peer that has gone away (through
// OpenSSL, which writes without MSG_NOSIGNAL) fails with EPIPE instead of
// ending the process. Header only and not installed, for the library and the
// program's camera actions.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <time.h>

namespace ZYRK {

class CSigpipeBlock {
public:
    CSigpipeBlock()
    {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        m_alreadyPending = Pending();
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_previous);
    }

    ~CSigpipeBlock()
    {
        // Only a SIGPIPE that the guarded calls raised is taken away; one
        // that was waiting before belongs to someone else.
        if (!m_alreadyPending && Pending()) {
            const timespec none{0, 0};
            sigtimedwait(&m_pipe, nullptr, &none);
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }

    CSigpipeBlock(const CSigpipeBlock&) = delete;
    CSigpipeBlock& operator=(const CSigpipeBlock&) = delete;

private:
    static bool Pending()
    {
        sigset_t waiting;
        sigemptyset(&waiting);
        sigpending(&waiting);
        return sigismember(&waiting, SIGPIPE) == 1;
    }

    sigset_t m_pipe;
    sigset_t m_previous;
    bool m_alreadyPending;
};

}  // namespace ZYRK
