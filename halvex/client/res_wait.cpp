// The cancel object of the client transports and their SIGPIPE guard.
#include <halvex/client/res_cancel.h>
#include <halvex/client/res_wait_internal.h>

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace ZYRK {

CResCancel::CResCancel() : m_cancelled(false), m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CResCancel::~CResCancel() {
    if (m_fd >= 0) ::close(m_fd);
}

void CResCancel::Cancel() {
    if (m_cancelled.exchange(true)) return;
    if (m_fd >= 0) {
        const uint64_t one = 1;
        // The counter only ever goes from 0 to 1: this write cannot block.
        [[maybe_unused]] ssize_t n = ::write(m_fd, &one, sizeof one);
    }
}

CResSigpipeBlock::CResSigpipeBlock() {
    sigemptyset(&m_pipe);
    sigaddset(&m_pipe, SIGPIPE);
    sigset_t waiting;
    sigemptyset(&waiting);
    ::sigpending(&waiting);
    m_alreadyPending = sigismember(&waiting, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &m_pipe, &m_previous);
}

CResSigpipeBlock::~CResSigpipeBlock() {
    // Only a SIGPIPE that the guarded calls raised is taken away; one that
    // was waiting before belongs to someone else.
    sigset_t waiting;
    sigemptyset(&waiting);
    ::sigpending(&waiting);
    if (!m_alreadyPending && sigismember(&waiting, SIGPIPE) == 1) {
        const timespec none{0, 0};
        ::sigtimedwait(&m_pipe, nullptr, &none);
    }
    ::pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}

}  // namespace ZYRK
