// The view's commands that talk to a camera: Modify (the GigE Vision route and
// the resource-tree route of the IP change), Generate certificates and Upload
// certificate. The camera work itself is in discovery/ and app/actions/; this
// file gives it the dialog, the question, the status line and the threads.
#include "app/action_workers.h"
#include "app/commands.h"
#include "app/ip_settings.h"
#include "app/teliox_view.h"

#include <halvex/client/res_cancel.h>

#include <QApplication>
#include <QMessageBox>

#include <algorithm>
#include <chrono>

namespace {

// The wait cursor for as long as a route blocks the UI thread.
class CBusyCursor {
public:
    CBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~CBusyCursor() { QApplication::restoreOverrideCursor(); }
    CBusyCursor(const CBusyCursor&) = delete;
    CBusyCursor& operator=(const CBusyCursor&) = delete;
};

constexpr const char* kGenerationRunning = "Certificate generation is already running";
constexpr const char* kUploadRunning = "Certificate upload is already running";

}  // namespace

void CTelioxView::InitCommandDefaults() {
    statusRelay = std::make_shared<CViewStatusRelay>(this);
    workerTimer.setInterval(kWorkerPollMs);
    connect(&workerTimer, &QTimer::timeout, this, [this] {
        statusRelay->Drain();
        if (workers.empty()) workerTimer.stop();
    });
    settingsDialogRunner = [](CIPSettings& dialog) { return dialog.DoModal(); };
    questionRunner = [this](const QString& question) {
        QMessageBox box(QMessageBox::Question, QString::fromLatin1(text::kAppTitle), question,
                        QMessageBox::Yes | QMessageBox::No, this);
        box.setTextFormat(Qt::PlainText);  // never read as markup
        return box.exec() == QMessageBox::Yes;
    };
}

void CTelioxView::ShutDownWorkers() {
    workerTimer.stop();
    // Generation and upload give up at their next wait; what they had not
    // written yet is not written.
    workCancel->store(true);
    // One bound for all of them together: closing the window never hangs on a
    // camera that stopped answering.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWorkerJoinBoundMs);
    // Work that can be abandoned ends at once (an IP change stops waiting
    // for its camera and commits nothing more).
    for (auto& worker : workers)
        if (worker->abandon) worker->abandon();
    for (auto& worker : workers) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        worker->done->WaitFor(static_cast<int>(std::max<long long>(left.count(), 0)));
    }
    workers.clear();  // joins the finished, leaves the others to end alone
}

void CTelioxView::AddWorker(std::unique_ptr<CActionWorker> worker) {
    workers.push_back(std::move(worker));
    if (!workerTimer.isActive()) workerTimer.start();
}

void CTelioxView::RunOnWorker(std::function<std::function<void(CTelioxView&)>()> work) {
    auto worker = std::make_unique<CActionWorker>();
    worker->thread = std::thread([work = std::move(work), done = worker->done, relay = statusRelay] {
        std::function<void(CTelioxView&)> finish = work();
        done->Signal();
        relay->Post(std::move(finish));
    });
    AddWorker(std::move(worker));
}

void CTelioxView::ReapWorkers() {
    std::erase_if(workers, [](const std::unique_ptr<CActionWorker>& worker) { return worker->done->IsSet(); });
}

// ---- Modify -------------------------------------------------------------

void CTelioxView::OnModify() {
    const auto device = GetSelectedDevice();
    if (!device) return;
    if (UsesGEVControl(*device))
        ModifyViaGigEVision(*device);
    else
        ModifyViaResourceTree(*device);
}

bool CTelioxView::RunSettingsDialog(const GEVDialogPreset& preset, GEVSettings& chosen) {
    CIPSettings dialog(this);
    dialog.cameraName = QString::fromStdString(preset.cameraName);
    dialog.address = preset.address;
    dialog.netmask = preset.netmask;
    dialog.gatewayAddress = preset.gatewayAddress;
    dialog.obtainAutomatically = preset.obtainAutomatically;
    dialog.settingsKnown = preset.settingsKnown;
    dialog.automaticAllowed = preset.automaticAllowed;
    const int result = settingsDialogRunner ? settingsDialogRunner(dialog) : dialog.DoModal();
    if (result != QDialog::Accepted) return false;
    chosen.dhcp = dialog.obtainAutomatically;
    chosen.address = dialog.address;
    chosen.netmask = dialog.netmask;
    chosen.gateway = dialog.gatewayAddress;
    return true;
}

void CTelioxView::ModifyViaGigEVision(const CDevice& record) {
    GEVSettings chosen;
    if (!RunSettingsDialog(PrepareGEVDialog(record), chosen)) return;

    std::unique_ptr<CGEVControl> control = gevControlFactory ? gevControlFactory() : std::make_unique<CGEVControl>();
    GEVModifyResult result;
    {
        CBusyCursor busy;
        result = ::ModifyViaGigEVision(
            devices, record.row, chosen,
            [this](const std::string& text, bool showNow) { showNow ? ShowStatus(text) : SetStatus(text); },
            control.get());
    }
    FlushRowChanges();  // the emptied address cell
    // After a forced address a new scan looks for the camera at its new address.
    if (result.rescan && discovery) discovery->SignalScan();
}

void CTelioxView::ModifyViaResourceTree(const CDevice& record) {
    // The callback serves the UI thread (read phase, start of the change) and
    // the write phase's thread alike: the relay knows which it is on.
    std::shared_ptr<CViewStatusRelay> relay = statusRelay;
    RTStatusCallback status = [relay](const std::string& text, bool showNow) {
        showNow ? relay->Show(text) : relay->Set(text);
    };

    // The change can be abandoned: closing the window ends its waits.
    RTRouteOptions options = routeOptions;
    auto cancel = std::make_shared<ZYRK::CResCancel>();
    options.connect.cancel = cancel;

    RTReadResult read;
    {
        CBusyCursor busy;
        read = ReadViaResourceTree(record, status, options);
    }
    GEVSettings chosen;
    if (!RunSettingsDialog(read.preset, chosen)) return;

    auto worker = std::make_unique<CActionWorker>();
    std::shared_ptr<CActionWorker::CDone> done = worker->done;
    worker->abandon = [cancel] { cancel->Cancel(); };
    RTApplyResult applied = ApplyViaResourceTree(
        devices, record.row, read, chosen, status, options, [relay, done](const RTWriteResult&) {
            done->Signal();
            relay->Post([](CTelioxView& view) {
                view.ReapWorkers();
                emit view.IPChangeFinished();
            });
        });
    FlushRowChanges();  // the emptied address cell
    if (applied.threadStarted) {
        worker->thread = std::move(applied.thread);
        AddWorker(std::move(worker));
    }
}

// ---- Generate certificates ----------------------------------------------

std::optional<CDevice> CTelioxView::SelectedDeviceUnlessBusy(bool busy, const char* busyText) {
    auto device = GetSelectedDevice();
    if (device && busy) {
        // The command is greyed meanwhile; a key press can still get here.
        ShowStatus(busyText);
        return std::nullopt;
    }
    return device;
}

void CTelioxView::OnGenerateCertificates() {
    const auto device = SelectedDeviceUnlessBusy(generationRunning, kGenerationRunning);
    if (!device) return;

    struct Job {
        Job(std::shared_ptr<CViewStatusRelay> relay, std::function<bool(const std::string&)> ask,
            const GenerateOptions& options, const CDevice& camera)
            : status(std::move(relay), std::move(ask)), action(status, options), camera(camera) {}
        CRelayActionStatus status;
        CGenerateCertificates action;
        CDevice camera;
    };
    auto job = std::make_shared<Job>(
        statusRelay,
        [this](const std::string& question) {
            return questionRunner && questionRunner(QString::fromStdString(question));
        },
        WithCancel(generateOptions), *device);

    // The folder and the overwrite question on the UI thread.
    if (!job->action.Prepare()) return;

    // Key generation takes seconds and the camera may be slow to answer: the
    // rest runs on a worker while the window stays responsive.
    generationRunning = true;
    RunOnWorker([job] {
        const GenerateOutcome outcome = job->action.Run(&job->camera);
        return [outcome](CTelioxView& view) { view.OnGenerationDone(static_cast<int>(outcome)); };
    });
}

void CTelioxView::OnGenerationDone(int outcome) {
    generationRunning = false;
    ReapWorkers();
    emit GenerationFinished(outcome);
}

// ---- Upload certificate -------------------------------------------------

void CTelioxView::OnUploadCertificate() {
    const auto device = SelectedDeviceUnlessBusy(uploadRunning, kUploadRunning);
    if (!device) return;
    CertificatePaths paths;
    std::string error;
    if (!GetCertificatePaths(paths, error)) {
        ShowStatus(error);
        return;
    }

    // The transfer runs on a worker: the window stays responsive, and closing
    // it gives the transfer up at once. Its texts reach the status pane
    // through the relay.
    struct Job {
        Job(std::shared_ptr<CViewStatusRelay> relay, const CDevice& camera, CertificatePaths paths,
            UploadOptions options)
            : status(std::move(relay), {}), camera(camera), paths(std::move(paths)), options(std::move(options)) {}
        CRelayActionStatus status;
        CDevice camera;
        CertificatePaths paths;
        UploadOptions options;
        std::string response;
    };
    UploadOptions options = uploadOptions;
    if (!options.cancel) options.cancel = workCancel;
    auto job = std::make_shared<Job>(statusRelay, *device, std::move(paths), std::move(options));
    uploadRunning = true;
    RunOnWorker([job] {
        UploadCertificate(job->camera, job->paths, job->status, job->response, job->options);
        return [job](CTelioxView& view) { view.OnUploadDone(job->response); };
    });
}

void CTelioxView::OnUploadDone(const std::string& response) {
    uploadRunning = false;
    uploadResponse = response;
    ReapWorkers();
    emit UploadFinished();
}

GenerateOptions CTelioxView::WithCancel(GenerateOptions options) const {
    if (!options.cancel) options.cancel = workCancel;
    return options;
}
