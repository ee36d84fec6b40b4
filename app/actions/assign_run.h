// Runs the changes of an address plan: a few cameras at a time, each on a
// worker thread, each row with its status ("Waiting", "Changing...", "Done",
// "Broadcast sent" or the failure text). Cancel stops what has not started;
// a change that has started runs to its end (every route is bounded). The
// window polls the statuses; teliox-cli prints them as they change.
#pragma once

#include "discovery/address_plan.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class AssignState {
    NotChanged,     // the plan leaves the camera as it is
    Waiting,
    Changing,
    Done,           // the camera acknowledged the change
    BroadcastSent,  // the change went out as a broadcast; only a rescan tells whether it took
    Failed,
    Cancelled,
};

struct AssignRowStatus {
    AssignState state = AssignState::Waiting;
    std::string text;    // what the row shows
    std::string detail;  // more for the technician (route, skipped settings), may be empty
};

// What changing one camera came to.
struct CameraChangeResult {
    AssignState state = AssignState::Failed;  // Done, BroadcastSent or Failed
    std::string text;                         // the failure text (Failed)
    std::string detail;
};

// Changes one camera. `slot` (0 to parallel - 1) is the worker's own: no two
// changes that run at the same time share it.
using CameraChangeFn = std::function<CameraChangeResult(const PlannedChange& change, unsigned slot)>;

inline constexpr const char* kAssignWaiting = "Waiting";
inline constexpr const char* kAssignChanging = "Changing...";
inline constexpr const char* kAssignDone = "Done";
inline constexpr const char* kAssignBroadcastSent = "Broadcast sent";
inline constexpr const char* kAssignCancelled = "Cancelled";

class CAssignRun {
public:
    static constexpr unsigned kDefaultParallel = 4;

    // One row per change of the plan, in its order. `observer`, when given,
    // is told of every status change on the thread that made it.
    CAssignRun(std::vector<PlannedChange> changes, CameraChangeFn change, unsigned parallel = kDefaultParallel,
               std::function<void(size_t row, const AssignRowStatus&)> observer = {});
    ~CAssignRun();  // cancels what has not started and waits for the rest
    CAssignRun(const CAssignRun&) = delete;
    CAssignRun& operator=(const CAssignRun&) = delete;

    void Start();
    void Cancel();
    bool Finished() const;
    // True when every change has ended within boundMs.
    bool WaitFor(int boundMs);

    const std::vector<PlannedChange>& Changes() const { return changes; }
    std::vector<AssignRowStatus> Statuses() const;
    // Grows with every status change: pollers redraw only when it moved.
    unsigned Version() const;
    unsigned Count(AssignState state) const;

private:
    void Worker(unsigned slot);
    void SetStatus(size_t row, AssignRowStatus status);  // lock held

    const std::vector<PlannedChange> changes;
    CameraChangeFn change;
    unsigned parallel;
    std::function<void(size_t, const AssignRowStatus&)> observer;

    mutable std::mutex mutex;
    std::condition_variable ended;
    std::vector<AssignRowStatus> statuses;
    size_t next = 0;
    unsigned running = 0;
    unsigned version = 0;
    bool started = false;
    bool cancelled = false;
    std::vector<std::thread> workers;
};

// The row's text for a state without a text of its own.
std::string AssignStateText(AssignState state);
