// CResCancel: lets another thread end the network waits of a resource-tree
// client at once, for instance when the window that started a change closes.
// Once cancelled it stays cancelled: every wait of a transport that was given
// it ends with the result "interrupted" (0x640F0000), and the client resource
// tree sends nothing more.
#pragma once

#include <halvex/halvex_export.h>

#include <atomic>

namespace ZYRK {

class HALVEX_API CResCancel {
public:
    CResCancel();
    ~CResCancel();
    CResCancel(const CResCancel&) = delete;
    CResCancel& operator=(const CResCancel&) = delete;

    // Safe from any thread, any number of times.
    void Cancel();
    bool IsCancelled() const { return m_cancelled.load(); }
    // A descriptor that polls readable once Cancel was called; -1 when the
    // system had none to give (waits then notice the flag within 100 ms).
    int Handle() const { return m_fd; }

private:
    std::atomic<bool> m_cancelled;
    int m_fd;
};

}  // namespace ZYRK
