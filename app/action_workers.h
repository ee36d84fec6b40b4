// What the view's camera actions need to run work on threads of their own:
// a relay through which a worker reports to the view for as long as the view
// exists, and a worker thread whose end the view can wait for with a bound.
#pragma once

#include "app/actions/action_status.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CTelioxView;

// Status texts and calls from any thread to the view. A worker's pane texts
// and calls wait in the relay until the view's UI thread drains it (the view
// polls while it has workers), so everything a worker hands over passes one
// mutex. The view detaches the relay first thing when it is destroyed; from
// then on every call is dropped, so a worker that outlives the view never
// touches it.
class CViewStatusRelay {
public:
    explicit CViewStatusRelay(CTelioxView* view);
    void Detach();

    // statusText only; the view's timer shows it.
    void Set(const std::string& text);
    // statusText, and the status pane: at once on the UI thread, at the next
    // drain from a worker (the frame is the UI thread's alone).
    void Show(const std::string& text);
    // Runs fn on the UI thread at the next drain.
    void Post(std::function<void(CTelioxView&)> fn);
    // Runs what the workers handed over, in order (UI thread).
    void Drain();

private:
    std::mutex mutex;
    CTelioxView* view;
    std::vector<std::function<void(CTelioxView&)>> pending;
};

// IActionStatus over the relay; questions are asked through `ask` (UI thread only).
class CRelayActionStatus : public IActionStatus {
public:
    CRelayActionStatus(std::shared_ptr<CViewStatusRelay> relay, std::function<bool(const std::string&)> ask)
        : relay(std::move(relay)), ask(std::move(ask)) {}
    void SetStatusText(const std::string& text) override { relay->Set(text); }
    void ShowStatus(const std::string& text) override { relay->Show(text); }
    bool AskYesNo(const std::string& question) override { return ask && ask(question); }

private:
    std::shared_ptr<CViewStatusRelay> relay;
    std::function<bool(const std::string&)> ask;
};

// One worker thread of a camera action and the flag that it has finished.
class CActionWorker {
public:
    // The end of the work, shared by the thread and the view.
    class CDone {
    public:
        void Signal();
        bool IsSet();
        // True when the work finished within boundMs.
        bool WaitFor(int boundMs);

    private:
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };

    CActionWorker() : done(std::make_shared<CDone>()) {}
    ~CActionWorker();  // joins when the work has finished, else leaves the thread to finish alone

    std::shared_ptr<CDone> done;
    std::thread thread;
    // Asks the work to end at once, when it can (called from the UI thread
    // when the view goes away); empty when it cannot be asked.
    std::function<void()> abandon;
};
