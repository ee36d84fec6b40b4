// In-process events of the library (auto-reset or manual-reset), with a wait
// for one of several events.
#pragma once

#include <halvex/halvex_export.h>

#include <cstdint>

namespace ZYRK {

class HALVEX_API CEvent {
public:
    explicit CEvent(bool autoReset = true, bool signalled = false);
    ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set();
    void Reset();

    // Wait results.
    static constexpr int WAIT_SIGNALLED = 0;
    static constexpr int WAIT_TIMEOUT = -1;
    static constexpr uint32_t INFINITE_WAIT = 0xFFFFFFFFu;

    // Waits at most timeoutMs (INFINITE_WAIT: without limit); an auto-reset
    // event is consumed by the wait that sees it.
    int Wait(uint32_t timeoutMs);

    // Waits for the first of count events; returns its index or WAIT_TIMEOUT.
    static int WaitAny(CEvent* const* events, int count, uint32_t timeoutMs);

private:
    bool autoReset_;
    bool signalled_;
};

}  // namespace ZYRK
