// The camera list view: one row per discovered camera, the records and the
// state the discovery threads share, and every command on the selected camera.
#pragma once

#include "app/actions/generate_action.h"
#include "app/actions/ip_change_rt.h"
#include "app/actions/upload.h"
#include "app/camera_list.h"
#include "discovery/device_list.h"
#include "discovery/gev_modify.h"
#include "discovery/scan_threads.h"

#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QMenu;
class QAction;
class QLineEdit;
class CAssignAddressesDlg;
struct AssignDialogOptions;
class CMainFrame;
class CIPSettings;
class CViewStatusRelay;
class CActionWorker;

// What the view needs of the discovery threads. The program uses the real
// threads; tests give the view a stand-in, so nothing is sent on a network.
class IDiscoveryControl {
public:
    virtual ~IDiscoveryControl() = default;
    virtual void Start() = 0;       // start the threads and the first scan
    virtual void Stop() = 0;        // end them; no thread touches the list afterwards
    virtual void SignalScan() = 0;  // scanEvent
    virtual bool IsScanning() const = 0;
};

using DiscoveryFactory = std::function<std::unique_ptr<IDiscoveryControl>(CDeviceList&, CStatusText&)>;

// The real discovery threads (GigE Vision, mDNS, announcements).
std::unique_ptr<IDiscoveryControl> MakeDiscoveryThreads(CDeviceList& devices, CStatusText& statusText);

class CTelioxView : public QWidget {
    Q_OBJECT
public:
    enum { IDD = 101, IDC_CAMERA_LIST = 1000, kStatusTimerId = 100, kStatusTimerMs = 500 };
    // The five columns' widths in units: 4 + 3 + 4 + 5 + 1.
    static constexpr int kColumnUnits = 17;

    // An empty factory means the real discovery threads.
    explicit CTelioxView(QWidget* parent = nullptr, DiscoveryFactory discoveryFactory = {});
    ~CTelioxView() override;

    // Command routing: runs the view's handler of `id`; false when the view has none.
    bool OnCmdMsg(int id);
    // Enabling rule of `id`; false when the view does not handle the id.
    bool OnUpdateCmdUI(int id, bool& enabled);

    // The camera of the selected row (a copy; its `row` names the record), or
    // none with the status "No item selected".
    std::optional<CDevice> GetSelectedDevice();
    int SelectedRow() const;  // -1 when none; the record's row (the first selected row shown)
    // The records of every selected row, in the order the list shows them.
    std::vector<CDevice> SelectedDevices();
    // The records of the rows the list shows, in that order.
    std::vector<CDevice> ShownDevices();

    // Handlers
    void OnRefresh();
    void OnWeb();
    void OnConnectivityWizard();
    void OnHelpManual();
    void OnOptions();
    void OnModify();
    void OnUploadCertificate();
    void OnGenerateCertificates();
    void OnClick();
    void OnDoubleClick();
    void OnRightClick(const QPoint& globalPos);
    void OnTimer();
    void OnAssignAddresses();
    void OnExportCameraList();

    // The context menu 310 ("Modify") with the greying rules for a camera.
    std::unique_ptr<QMenu> BuildContextMenu(const CDevice& device);

    // Status text: Set only for the timer to show; Show also puts it into the
    // status pane at once (for operations that block the UI thread).
    void SetStatus(const std::string& text);
    void ShowStatus(const std::string& text);
    // The status pane only, at once (UI thread).
    void ShowPaneText(const std::string& text);
    CStatusText& StatusText() { return statusText; }

    CDeviceList& Devices() { return devices; }
    CCameraListCtrl* List() const { return cameraList; }
    // The rows as the merge writes them; row numbers are the records'. The
    // list's selection model also takes indexes of this model.
    CCameraListModel* Model() const { return model; }
    // The rows as the list shows them (sorted, filtered); row numbers are shown rows.
    CCameraListProxy* ShownModel() const { return proxy; }
    QLineEdit* FilterEdit() const { return filterEdit; }
    int Unit() const { return unit; }
    std::array<int, CCameraListModel::kColumns> ColumnWidths() const;
    bool StatusTimerRunning() const { return statusTimer.isActive(); }

    // Opens URLs and files (the browser, the manual); tests record instead.
    using UrlOpener = std::function<bool(const QUrl&)>;
    void SetUrlOpener(UrlOpener opener) { urlOpener = std::move(opener); }
    // Shows a popup menu and returns the chosen action (null when dismissed).
    using PopupRunner = std::function<QAction*(QMenu&, const QPoint&)>;
    void SetPopupRunner(PopupRunner runner) { popupRunner = std::move(runner); }

    // The manual's path: beside the executable, as in the build tree; an
    // installed program finds it among its data, <prefix>/share/teliox, as
    // the file-system layout keeps documents out of the programs' folder.
    static QString ManualPath();
    static QString ManualPathFor(const QString& programDir);

    // Runs the IP settings dialog modally and returns its result
    // (QDialog::Accepted is OK); tests fill in the user's choice instead.
    using SettingsDialogRunner = std::function<int(CIPSettings&)>;
    void SetSettingsDialogRunner(SettingsDialogRunner runner) { settingsDialogRunner = std::move(runner); }
    // Asks a Yes/No question in a message box; true means Yes.
    using QuestionRunner = std::function<bool(const QString&)>;
    void SetQuestionRunner(QuestionRunner runner) { questionRunner = std::move(runner); }
    // Gives the GigE Vision control of one change; empty: a new CGEVControl
    // with the real ports. Tests aim it at a fake camera on loopback.
    using GEVControlFactory = std::function<std::unique_ptr<CGEVControl>()>;
    void SetGEVControlFactory(GEVControlFactory factory) { gevControlFactory = std::move(factory); }
    // Ports, time limits and the broadcast of the camera actions; the
    // defaults are the product's, tests point them at peers on loopback.
    void SetRouteOptions(RTRouteOptions options) { routeOptions = std::move(options); }
    void SetGenerateOptions(GenerateOptions options) { generateOptions = std::move(options); }
    void SetUploadOptions(UploadOptions options) { uploadOptions = std::move(options); }

    // Runs the Assign Addresses dialog modally; tests drive it instead.
    using AssignDialogRunner = std::function<int(CAssignAddressesDlg&)>;
    void SetAssignDialogRunner(AssignDialogRunner runner) { assignDialogRunner = std::move(runner); }
    // Probe, routes and timing of Assign Addresses; tests give stand-ins.
    void SetAssignOptions(const AssignDialogOptions& options);
    // Asks for the file of "Export Camera List..." (empty: cancelled).
    using ExportFileRunner = std::function<QString()>;
    void SetExportFileRunner(ExportFileRunner runner) { exportFileRunner = std::move(runner); }

    // A certificate generation is running on its worker thread.
    bool GenerationRunning() const { return generationRunning; }
    // A certificate upload is running on its worker thread.
    bool UploadRunning() const { return uploadRunning; }
    // Worker threads of the camera actions that have not been joined yet.
    int RunningWorkers() const { return static_cast<int>(workers.size()); }
    // The reply body of the last certificate upload.
    const std::string& UploadResponse() const { return uploadResponse; }

    // The longest the view waits at its destruction, for all its workers
    // together, before it leaves one still talking to a camera to finish
    // alone. Generation and upload give up within a tenth of a second of
    // the window closing.
    static constexpr int kWorkerJoinBoundMs = 1000;
    // How often the view takes over what its workers handed to it.
    static constexpr int kWorkerPollMs = 50;

signals:
    // A text went to the status pane at once (ShowStatus, from any thread's report).
    void StatusShown(const QString& text);
    // The generation's worker has finished and been joined (UI thread).
    void GenerationFinished(int outcome);
    // A resource-tree IP change's worker has finished and been joined.
    void IPChangeFinished();
    // The upload's worker has finished and been joined (UI thread).
    void UploadFinished();

public slots:
    // Applies the queued row changes of the merge to the list (UI thread).
    void FlushRowChanges();

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void OnInitialUpdate();
    void LayOutChildren();
    std::optional<CDevice> PeekSelectedDevice();  // no status text
    std::vector<CDevice> PeekSelectedDevices();   // without applying queued row changes first
    void OpenCameraPage(const char* format);
    // Opens the URL; when that fails the status text becomes `failure`.
    void OpenOrSay(const QUrl& url, const std::string& failure);
    CMainFrame* ParentFrame() const;

    // The two routes of the IP change, on the UI thread.
    void ModifyViaGigEVision(const CDevice& record);
    void ModifyViaResourceTree(const CDevice& record);
    // Fills the dialog from `preset`, runs it and reads the choice back; false on cancel.
    bool RunSettingsDialog(const GEVDialogPreset& preset, GEVSettings& chosen);
    // Joins the workers that have finished (UI thread).
    void ReapWorkers();
    // The selected camera for a command of which one runs at a time: none,
    // and `busyText` in the status pane, while the previous one still runs.
    std::optional<CDevice> SelectedDeviceUnlessBusy(bool busy, const char* busyText);
    void OnGenerationDone(int outcome);
    void OnUploadDone(const std::string& response);
    // The options with the view's cancel flag, unless they bring their own.
    GenerateOptions WithCancel(GenerateOptions options) const;
    void InitCommandDefaults();
    void AddWorker(std::unique_ptr<CActionWorker> worker);
    // Runs `work` on a worker thread of its own; what it returns runs on the
    // UI thread at the next drain, after the worker has marked its end.
    void RunOnWorker(std::function<std::function<void(CTelioxView&)>()> work);
    void ShutDownWorkers();

    CStatusText statusText;
    CRowChangeQueue rowQueue;
    CDeviceList devices;
    DiscoveryFactory discoveryFactory;
    std::unique_ptr<IDiscoveryControl> discovery;
    CCameraListModel* model;
    CCameraListProxy* proxy;
    QLineEdit* filterEdit;
    CCameraListCtrl* cameraList;
    QTimer statusTimer;
    int unit = 0;
    bool initialUpdateDone = false;
    UrlOpener urlOpener;
    PopupRunner popupRunner;
    SettingsDialogRunner settingsDialogRunner;
    QuestionRunner questionRunner;
    AssignDialogRunner assignDialogRunner;
    std::shared_ptr<AssignDialogOptions> assignOptions;
    ExportFileRunner exportFileRunner;
    GEVControlFactory gevControlFactory;
    RTRouteOptions routeOptions;
    GenerateOptions generateOptions;
    UploadOptions uploadOptions;
    std::string uploadResponse;
    bool generationRunning = false;
    bool uploadRunning = false;
    CancelFlag workCancel = std::make_shared<std::atomic<bool>>(false);  // set when the view closes
    std::shared_ptr<CViewStatusRelay> statusRelay;
    QTimer workerTimer;  // drains the relay while workers run
    std::vector<std::unique_ptr<CActionWorker>> workers;
};
