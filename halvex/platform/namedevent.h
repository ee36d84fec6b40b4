// Machine-wide named auto-reset events, internal to halvex.
//
// An event is a named POSIX semaphore (the signal, at most one pending) and
// a lock file that its creator holds with an open-file-description lock. The
// event exists exactly while the creator holds that lock: the kernel drops it
// when the creator closes the event or dies, so a crashed creator leaves no
// event behind for others to find.
#pragma once

#include <cstdint>
#include <semaphore.h>
#include <string>

namespace ZYRK {
namespace Platform {

class CNamedEvent {
public:
    ~CNamedEvent();
    CNamedEvent(const CNamedEvent&) = delete;
    CNamedEvent& operator=(const CNamedEvent&) = delete;

    // Creates the event; null when it exists already (another creator holds
    // it) or cannot be made. *alreadyExists tells the two apart.
    static CNamedEvent* Create(const std::string& name, bool* alreadyExists = nullptr);

    // True while some creator holds the event of that name.
    static bool Exists(const std::string& name);

    // Signals the event of that name when it exists; false when it does not.
    static bool SignalByName(const std::string& name);

    // Takes one pending signal of the named event without waiting.
    static void TryConsumeByName(const std::string& name);

    // Waits for the signal; 0 signalled, 1 time-out, -1 failure. timeoutMs
    // 0xFFFFFFFF waits without limit.
    int Wait(uint32_t timeoutMs);
    void Set();
    void Reset();

    const std::string& Name() const { return name_; }

private:
    CNamedEvent(std::string name, int lockFd, sem_t* sem);

    std::string name_;
    int lockFd_;
    sem_t* sem_;
};

}  // namespace Platform
}  // namespace ZYRK
