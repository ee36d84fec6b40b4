// The cancel object of the client transports.
#include <halvex/client/res_cancel.h>

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

}  // namespace ZYRK
