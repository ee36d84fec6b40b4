#include "app/actions/assign_run.h"

#include "discovery/adapters.h"

#include <algorithm>
#include <chrono>
#include <exception>

std::string AssignStateText(AssignState state) {
    switch (state) {
    case AssignState::Waiting: return kAssignWaiting;
    case AssignState::Changing: return kAssignChanging;
    case AssignState::Done: return kAssignDone;
    case AssignState::BroadcastSent: return kAssignBroadcastSent;
    case AssignState::Cancelled: return kAssignCancelled;
    case AssignState::Failed: return "Failed";
    case AssignState::NotChanged: return {};
    }
    return {};
}

CAssignRun::CAssignRun(std::vector<PlannedChange> c, CameraChangeFn fn, unsigned p,
                       std::function<void(size_t, const AssignRowStatus&)> o)
    : changes(std::move(c)), change(std::move(fn)), parallel(std::max(1u, p)), observer(std::move(o)) {
    statuses.resize(changes.size());
    for (size_t i = 0; i < changes.size(); ++i) {
        AssignRowStatus& s = statuses[i];
        s.state = changes[i].change ? AssignState::Waiting : AssignState::NotChanged;
        s.text = changes[i].change ? kAssignWaiting : changes[i].note;
    }
}

CAssignRun::~CAssignRun() {
    Cancel();
    for (std::thread& t : workers)
        if (t.joinable()) t.join();
}

void CAssignRun::SetStatus(size_t row, AssignRowStatus status) {
    statuses[row] = std::move(status);
    ++version;
    if (observer) observer(row, statuses[row]);
}

void CAssignRun::Start() {
    std::lock_guard<std::mutex> lock(mutex);
    if (started) return;
    started = true;
    const size_t waiting = static_cast<size_t>(std::count_if(
        statuses.begin(), statuses.end(), [](const AssignRowStatus& s) { return s.state == AssignState::Waiting; }));
    const unsigned threads = static_cast<unsigned>(std::min<size_t>(parallel, waiting));
    running = threads;
    // The workers read the adapter table the starting thread reads.
    for (unsigned i = 0; i < threads; ++i)
        workers.emplace_back([this, i, adapters = CAdapterTableSource::Current()] {
            CAdapterTableSource source(adapters);
            Worker(i);
        });
    if (threads == 0) ended.notify_all();
}

void CAssignRun::Worker(unsigned slot) {
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
        while (next < changes.size() && statuses[next].state != AssignState::Waiting) ++next;
        if (cancelled || next >= changes.size()) break;
        const size_t row = next++;
        SetStatus(row, {AssignState::Changing, kAssignChanging, {}});
        lock.unlock();
        CameraChangeResult result;
        try {
            result = change ? change(changes[row], slot) : CameraChangeResult{AssignState::Failed, "No route", {}};
        } catch (const std::exception& e) {
            result = {AssignState::Failed, std::string("Failed: ") + e.what(), {}};
        }
        if (result.state != AssignState::Done && result.state != AssignState::BroadcastSent)
            result.state = AssignState::Failed;
        if (result.state != AssignState::Failed || result.text.empty()) result.text = AssignStateText(result.state);
        lock.lock();
        SetStatus(row, {result.state, result.text, result.detail});
    }
    if (--running == 0) ended.notify_all();
}

void CAssignRun::Cancel() {
    std::lock_guard<std::mutex> lock(mutex);
    if (cancelled) return;
    cancelled = true;
    for (size_t i = 0; i < statuses.size(); ++i)
        if (statuses[i].state == AssignState::Waiting) SetStatus(i, {AssignState::Cancelled, kAssignCancelled, {}});
    ended.notify_all();
}

bool CAssignRun::Finished() const {
    std::lock_guard<std::mutex> lock(mutex);
    if (running > 0) return false;
    if (cancelled) return true;
    return started;
}

bool CAssignRun::WaitFor(int boundMs) {
    std::unique_lock<std::mutex> lock(mutex);
    return ended.wait_for(lock, std::chrono::milliseconds(std::max(boundMs, 0)),
                          [this] { return running == 0 && (started || cancelled); });
}

std::vector<AssignRowStatus> CAssignRun::Statuses() const {
    std::lock_guard<std::mutex> lock(mutex);
    return statuses;
}

unsigned CAssignRun::Version() const {
    std::lock_guard<std::mutex> lock(mutex);
    return version;
}

unsigned CAssignRun::Count(AssignState state) const {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<unsigned>(
        std::count_if(statuses.begin(), statuses.end(), [state](const AssignRowStatus& s) { return s.state == state; }));
}
