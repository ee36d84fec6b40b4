#include "app/action_workers.h"

#include "app/teliox_view.h"

#include <QThread>
#include <chrono>

CViewStatusRelay::CViewStatusRelay(CTelioxView* view) : view(view) {}

void CViewStatusRelay::Detach() {
    std::lock_guard<std::mutex> lock(mutex);
    view = nullptr;
    pending.clear();
}

void CViewStatusRelay::Set(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    if (view) view->SetStatus(text);
}

void CViewStatusRelay::Show(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!view) return;
    if (QThread::currentThread() == view->thread()) {
        view->ShowStatus(text);
        return;
    }
    // statusText now, so the order of the texts is the order of the calls;
    // the pane follows on the UI thread.
    view->SetStatus(text);
    pending.push_back([text](CTelioxView& target) { target.ShowPaneText(text); });
}

void CViewStatusRelay::Post(std::function<void(CTelioxView&)> fn) {
    std::lock_guard<std::mutex> lock(mutex);
    if (view) pending.push_back(std::move(fn));
}

void CViewStatusRelay::Drain() {
    std::vector<std::function<void(CTelioxView&)>> calls;
    CTelioxView* target = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.swap(pending);
        target = view;
    }
    // Outside the lock: a call may start new work that reports here.
    if (target)
        for (auto& call : calls) call(*target);
}

void CActionWorker::CDone::Signal() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    cv.notify_all();
}

bool CActionWorker::CDone::IsSet() {
    std::lock_guard<std::mutex> lock(mutex);
    return done;
}

bool CActionWorker::CDone::WaitFor(int boundMs) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::milliseconds(boundMs), [this] { return done; });
}

CActionWorker::~CActionWorker() {
    if (!thread.joinable()) return;
    if (done->IsSet())
        thread.join();
    else
        thread.detach();  // it holds what it uses itself; the relay drops its reports
}
