#include "app/action_workers.h"

#include "app/teliox_view.h"

#include <QThread>
#include <chrono>

CViewStatusRelay::CViewStatusRelay(CTelioxView* view) : view(view), guard(view) {}

void CViewStatusRelay::Detach() {
    std::lock_guard<std::mutex> lock(mutex);
    view = nullptr;
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
    QPointer<CTelioxView> target = guard;
    QMetaObject::invokeMethod(
        view,
        [target, text] {
            if (target) target->ShowPaneText(text);
        },
        Qt::QueuedConnection);
}

void CViewStatusRelay::Post(std::function<void(CTelioxView&)> fn) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!view) return;
    QPointer<CTelioxView> target = guard;
    QMetaObject::invokeMethod(
        view,
        [target, fn = std::move(fn)] {
            if (target) fn(*target);
        },
        Qt::QueuedConnection);
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
