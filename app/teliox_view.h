// The camera list view: one row per discovered camera, the records and the
// state the discovery threads share, and every command on the selected camera.
#pragma once

#include "app/camera_list.h"
#include "discovery/device_list.h"
#include "discovery/scan_threads.h"

#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QMenu;
class QAction;
class CMainFrame;

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
    int SelectedRow() const;  // -1 when none

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

    // The context menu 310 ("Modify") with the greying rules for a camera.
    std::unique_ptr<QMenu> BuildContextMenu(const CDevice& device);

    // Status text: Set only for the timer to show; Show also puts it into the
    // status pane at once (for operations that block the UI thread).
    void SetStatus(const std::string& text);
    void ShowStatus(const std::string& text);
    CStatusText& StatusText() { return statusText; }

    CDeviceList& Devices() { return devices; }
    CCameraListCtrl* List() const { return cameraList; }
    CCameraListModel* Model() const { return model; }
    int Unit() const { return unit; }
    std::array<int, CCameraListModel::kColumns> ColumnWidths() const;
    bool StatusTimerRunning() const { return statusTimer.isActive(); }

    // Opens URLs and files (the browser, the manual); tests record instead.
    using UrlOpener = std::function<bool(const QUrl&)>;
    void SetUrlOpener(UrlOpener opener) { urlOpener = std::move(opener); }
    // Shows a popup menu and returns the chosen action (null when dismissed).
    using PopupRunner = std::function<QAction*(QMenu&, const QPoint&)>;
    void SetPopupRunner(PopupRunner runner) { popupRunner = std::move(runner); }

    // The manual's path: beside the executable.
    static QString ManualPath();

public slots:
    // Applies the queued row changes of the merge to the list (UI thread).
    void FlushRowChanges();

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void OnInitialUpdate();
    std::optional<CDevice> PeekSelectedDevice();  // no status text
    void OpenCameraPage(const char* format);
    CMainFrame* ParentFrame() const;

    CStatusText statusText;
    CRowChangeQueue rowQueue;
    CDeviceList devices;
    DiscoveryFactory discoveryFactory;
    std::unique_ptr<IDiscoveryControl> discovery;
    CCameraListModel* model;
    CCameraListCtrl* cameraList;
    QTimer statusTimer;
    int unit = 0;
    bool initialUpdateDone = false;
    UrlOpener urlOpener;
    PopupRunner popupRunner;
};
