#include "app/teliox_view.h"

#include "app/action_workers.h"
#include "app/commands.h"
#include "app/main_frame.h"
#include "app/options_dlg.h"
#include "discovery/adapters.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QShowEvent>
#include <QStyle>

namespace {

// The real discovery: the three threads over the view's list and status text.
class CThreadsDiscovery : public IDiscoveryControl {
public:
    CThreadsDiscovery(CDeviceList& devices, CStatusText& statusText) : threads(devices, statusText) {}
    void Start() override { threads.Start(); }
    void Stop() override { threads.Stop(); }
    void SignalScan() override { threads.SignalScan(); }
    bool IsScanning() const override { return threads.IsScanning(); }

private:
    CDiscoveryThreads threads;
};

bool IsCertificatePlatform(const CDevice& device) {
    return EqualsNoCase(device.platform, "J3") || EqualsNoCase(device.platform, "W8") ||
           EqualsNoCase(device.platform, "J5");
}

bool IsHU(const CDevice& device) { return EqualsNoCase(device.platform, "HU"); }

struct MenuItem {
    int id;
    const char* text;
};
const MenuItem kContextMenu[] = {
    {cmd::ID_MODIFY, "Modify..."},
    {cmd::ID_WEB, "Web..."},
    {cmd::ID_REFRESH, "Refresh"},
    {cmd::ID_UPLOAD_CERTIFICATE, "Upload certificate"},
    {cmd::ID_GENERATE_CERTIFICATES, "Generate certificates"},
    {cmd::ID_CONNECTIVITY_WIZARD, "Connectivity Wizard"},
    {cmd::ID_ASSIGN_ADDRESSES, "Assign Addresses..."},
};

}  // namespace

std::unique_ptr<IDiscoveryControl> MakeDiscoveryThreads(CDeviceList& devices, CStatusText& statusText) {
    return std::make_unique<CThreadsDiscovery>(devices, statusText);
}

CTelioxView::CTelioxView(QWidget* parent, DiscoveryFactory factory)
    : QWidget(parent),
      rowQueue([this] { QMetaObject::invokeMethod(this, [this] { FlushRowChanges(); }, Qt::QueuedConnection); }),
      devices(&rowQueue),
      discoveryFactory(std::move(factory)) {
    setObjectName(QStringLiteral("CTelioxView"));
    model = new CCameraListModel(this);
    proxy = new CCameraListProxy(model, this);
    filterEdit = new QLineEdit(this);
    filterEdit->setObjectName(QStringLiteral("cameraFilter"));
    filterEdit->setPlaceholderText(QStringLiteral("Filter"));
    filterEdit->setClearButtonEnabled(true);
    cameraList = new CCameraListCtrl(this);
    cameraList->setModel(proxy);
    QItemSelectionModel* defaultSelection = cameraList->selectionModel();
    cameraList->setSelectionModel(new CCameraSelectionModel(proxy, cameraList));
    delete defaultSelection;
    connect(filterEdit, &QLineEdit::textChanged, proxy, &CCameraListProxy::SetFilterText);
    LayOutChildren();
    discovery = discoveryFactory ? discoveryFactory(devices, statusText) : MakeDiscoveryThreads(devices, statusText);

    // A local file that is not there is a failure of its own: the desktop's
    // opener would start a viewer for it and report success.
    urlOpener = [](const QUrl& url) {
        if (url.isLocalFile() && !QFileInfo::exists(url.toLocalFile())) return false;
        return QDesktopServices::openUrl(url);
    };
    popupRunner = [](QMenu& menu, const QPoint& pos) { return menu.exec(pos); };
    InitCommandDefaults();

    statusTimer.setInterval(kStatusTimerMs);
    connect(&statusTimer, &QTimer::timeout, this, &CTelioxView::OnTimer);
    connect(cameraList, &CCameraListCtrl::Clicked, this, &CTelioxView::OnClick);
    connect(cameraList, &CCameraListCtrl::DoubleClicked, this, &CTelioxView::OnDoubleClick);
    connect(cameraList, &CCameraListCtrl::RightClicked, this, &CTelioxView::OnRightClick);
}

CTelioxView::~CTelioxView() {
    statusTimer.stop();
    // Workers of the camera actions report nothing more to this view; each
    // still talking to a camera gets a bounded wait, then finishes alone.
    statusRelay->Detach();
    ShutDownWorkers();
    // The threads end before the records and the list go away.
    if (discovery) {
        discovery->Stop();
        discovery.reset();
    }
}

void CTelioxView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!initialUpdateDone) OnInitialUpdate();
}

void CTelioxView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (cameraList) LayOutChildren();
}

// The filter field across the top, the list below it over the rest.
void CTelioxView::LayOutChildren() {
    const int filterHeight = std::min(filterEdit->sizeHint().height(), height());
    filterEdit->setGeometry(0, 0, width(), filterHeight);
    cameraList->setGeometry(0, filterHeight, width(), height() - filterHeight);
}

void CTelioxView::OnInitialUpdate() {
    initialUpdateDone = true;
    LayOutChildren();
    // Column widths in the proportions 4:3:4:5:1, fixed from now on. They
    // add up to 17 units, so the unit is a seventeenth of the list's client
    // width at this moment, less room for a vertical scroll bar: all five
    // columns stay in view without a horizontal scroll bar, also once the
    // rows fill the list.
    const int clientWidth = cameraList->width() - 2 * cameraList->frameWidth();
    const int scrollBar = cameraList->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, cameraList);
    unit = std::max(clientWidth - scrollBar, 0) / kColumnUnits;
    const int units[CCameraListModel::kColumns] = {4, 3, 4, 5, 1};
    QHeaderView* header = cameraList->header();
    header->setMinimumSectionSize(1);
    for (int column = 0; column < CCameraListModel::kColumns; ++column) {
        header->setSectionResizeMode(column, QHeaderView::Fixed);
        header->resizeSection(column, units[column] * unit);
    }
    statusTimer.start();
    if (discovery) discovery->Start();  // starts the threads, then the first scan
}

std::array<int, CCameraListModel::kColumns> CTelioxView::ColumnWidths() const {
    std::array<int, CCameraListModel::kColumns> widths{};
    for (int column = 0; column < CCameraListModel::kColumns; ++column)
        widths[static_cast<size_t>(column)] = cameraList->header()->sectionSize(column);
    return widths;
}

void CTelioxView::FlushRowChanges() {
    const auto changes = rowQueue.Take();
    if (!changes.empty()) model->Apply(changes);
}

int CTelioxView::SelectedRow() const {
    const QModelIndexList selected = cameraList->selectionModel()->selectedRows();
    int first = -1;
    for (const QModelIndex& index : selected)
        if (first < 0 || index.row() < first) first = index.row();
    return proxy->SourceRow(first);
}

std::vector<CDevice> CTelioxView::SelectedDevices() {
    FlushRowChanges();  // the list shows what the records hold
    return PeekSelectedDevices();
}

std::vector<CDevice> CTelioxView::PeekSelectedDevices() {
    std::vector<int> shown;
    for (const QModelIndex& index : cameraList->selectionModel()->selectedRows()) shown.push_back(index.row());
    std::sort(shown.begin(), shown.end());
    std::vector<CDevice> records;
    for (int row : shown) devices.WithDevice(proxy->SourceRow(row), [&records](CDevice& d) { records.push_back(d); });
    return records;
}

std::vector<CDevice> CTelioxView::ShownDevices() {
    FlushRowChanges();
    std::vector<CDevice> records;
    for (int row = 0; row < proxy->rowCount(); ++row)
        devices.WithDevice(proxy->SourceRow(row), [&records](CDevice& d) { records.push_back(d); });
    return records;
}

std::optional<CDevice> CTelioxView::PeekSelectedDevice() {
    const int row = SelectedRow();
    if (row < 0) return std::nullopt;
    std::optional<CDevice> copy;
    devices.WithDevice(row, [&copy](CDevice& device) { copy = device; });
    return copy;
}

std::optional<CDevice> CTelioxView::GetSelectedDevice() {
    FlushRowChanges();  // the list shows what the records hold
    if (SelectedRow() < 0) {
        SetStatus(text::kNoItemSelected);
        return std::nullopt;
    }
    return PeekSelectedDevice();
}

bool CTelioxView::OnCmdMsg(int id) {
    switch (id) {
    case cmd::ID_MODIFY:
    case cmd::ID_TOOLBAR_MODIFY: OnModify(); return true;
    case cmd::ID_WEB:
    case cmd::ID_TOOLBAR_WEB: OnWeb(); return true;
    case cmd::ID_REFRESH:
    case cmd::ID_TOOLBAR_REFRESH: OnRefresh(); return true;
    case cmd::ID_UPLOAD_CERTIFICATE: OnUploadCertificate(); return true;
    case cmd::ID_GENERATE_CERTIFICATES: OnGenerateCertificates(); return true;
    case cmd::ID_CONNECTIVITY_WIZARD: OnConnectivityWizard(); return true;
    case cmd::ID_HELP_MANUAL: OnHelpManual(); return true;
    case cmd::ID_OPTIONS: OnOptions(); return true;
    case cmd::ID_ASSIGN_ADDRESSES: OnAssignAddresses(); return true;
    case cmd::ID_EXPORT_CAMERA_LIST: OnExportCameraList(); return true;
    default: return false;
    }
}

bool CTelioxView::OnUpdateCmdUI(int id, bool& enabled) {
    switch (id) {
    case cmd::ID_MODIFY:
    case cmd::ID_TOOLBAR_MODIFY: {
        const auto device = PeekSelectedDevice();
        enabled = device && CanModifyIP(*device);
        return true;
    }
    case cmd::ID_WEB:
    case cmd::ID_TOOLBAR_WEB: {
        const auto device = PeekSelectedDevice();
        enabled = device && !IsHU(*device);
        return true;
    }
    case cmd::ID_TOOLBAR_REFRESH:
        enabled = !(discovery && discovery->IsScanning());
        return true;
    case cmd::ID_UPLOAD_CERTIFICATE:
    case cmd::ID_GENERATE_CERTIFICATES:
    case cmd::ID_CONNECTIVITY_WIZARD: {
        const auto device = PeekSelectedDevice();
        enabled = device && IsCertificatePlatform(*device);
        // One generation at a time: it writes the shared client files.
        if (id == cmd::ID_GENERATE_CERTIFICATES && generationRunning) enabled = false;
        if (id == cmd::ID_UPLOAD_CERTIFICATE && uploadRunning) enabled = false;
        return true;
    }
    case cmd::ID_ASSIGN_ADDRESSES: {
        enabled = false;
        for (const CDevice& device : PeekSelectedDevices()) enabled = enabled || CanModifyIP(device);
        return true;
    }
    case cmd::ID_REFRESH:
    case cmd::ID_HELP_MANUAL:
    case cmd::ID_OPTIONS:
    case cmd::ID_EXPORT_CAMERA_LIST:
        enabled = true;
        return true;
    default:
        return false;
    }
}

std::unique_ptr<QMenu> CTelioxView::BuildContextMenu(const CDevice& device) {
    auto menu = std::make_unique<QMenu>(QStringLiteral("Modify"), this);
    menu->setObjectName(QStringLiteral("menu310"));
    for (const MenuItem& item : kContextMenu) {
        QAction* action = menu->addAction(QString::fromLatin1(item.text));
        action->setData(item.id);
    }
    const auto disable = [&menu](int id) {
        for (QAction* action : menu->actions())
            if (action->data().toInt() == id) action->setEnabled(false);
    };
    if (!IsCertificatePlatform(device)) {
        disable(cmd::ID_UPLOAD_CERTIFICATE);
        disable(cmd::ID_GENERATE_CERTIFICATES);
        disable(cmd::ID_CONNECTIVITY_WIZARD);
    }
    if (generationRunning) disable(cmd::ID_GENERATE_CERTIFICATES);
    if (uploadRunning) disable(cmd::ID_UPLOAD_CERTIFICATE);
    if (IsHU(device)) disable(cmd::ID_WEB);
    if (!CanModifyIP(device)) disable(cmd::ID_MODIFY);
    bool assignable = false;
    for (const CDevice& selected : PeekSelectedDevices()) assignable = assignable || CanModifyIP(selected);
    if (!assignable) disable(cmd::ID_ASSIGN_ADDRESSES);
    return menu;
}

void CTelioxView::OnClick() {
    FlushRowChanges();
    SetStatus(SelectedRow() < 0 ? text::kNoItemSelected : "");
}

void CTelioxView::OnDoubleClick() { OnWeb(); }  // no platform test here

void CTelioxView::OnRightClick(const QPoint& globalPos) {
    const auto device = GetSelectedDevice();
    if (!device) return;  // no menu
    const auto menu = BuildContextMenu(*device);
    QAction* chosen = popupRunner ? popupRunner(*menu, globalPos) : nullptr;
    if (chosen && chosen->isEnabled()) OnCmdMsg(chosen->data().toInt());
}

void CTelioxView::OnRefresh() {
    devices.RemoveAll();  // records, rows and deviceCount under the device lock
    FlushRowChanges();    // the list empties at once
    if (discovery) discovery->SignalScan();
}

void CTelioxView::OpenCameraPage(const char* format) {
    const auto device = GetSelectedDevice();
    if (!device) return;
    // The address comes from the network: only a dotted IPv4 address goes into
    // the URL, so a crafted answer cannot send the browser elsewhere.
    uint32_t address = 0;
    if (!ParseIPv4(device->ipAddress, address)) {
        SetStatus("Not an IPv4 address: " + device->ipAddress);
        return;
    }
    const QString url = QString::fromLatin1(format).arg(QString::fromStdString(FormatIPv4(address)));
    OpenOrSay(QUrl(url), "Failed to open " + url.toStdString());
}

void CTelioxView::OpenOrSay(const QUrl& url, const std::string& failure) {
    // No browser or viewer: the user is told, rather than nothing happening.
    if (!urlOpener || !urlOpener(url)) SetStatus(failure);
}

void CTelioxView::OnWeb() { OpenCameraPage("http://%1"); }

void CTelioxView::OnConnectivityWizard() { OpenCameraPage("http://%1/setupwizard"); }

QString CTelioxView::ManualPath() { return ManualPathFor(QCoreApplication::applicationDirPath()); }

QString CTelioxView::ManualPathFor(const QString& programDir) {
    const QDir dir(programDir);
    const QString beside = dir.filePath(QStringLiteral("Manual.html"));
    if (QFileInfo::exists(beside)) return beside;
    const QString shared = QDir::cleanPath(dir.filePath(QStringLiteral("../share/teliox/Manual.html")));
    return QFileInfo::exists(shared) ? shared : beside;
}

void CTelioxView::OnHelpManual() {
    const QString path = ManualPath();
    OpenOrSay(QUrl::fromLocalFile(path), "Failed to open manual " + path.toStdString());
}

void CTelioxView::OnOptions() {
    Options dialog(this);
    dialog.DoModal();
}

void CTelioxView::OnTimer() {
    std::string text = statusText.Get();
    // After a scan the status bar also counts the cameras that share an address.
    if (text == "Scan completed")
        if (const int shared = devices.SharedAddressCount())
            text += ", " + std::to_string(shared) + " duplicate IPs";
    if (CMainFrame* frame = ParentFrame()) frame->SetStatusPaneTextDeferred(QString::fromStdString(text));
}

void CTelioxView::SetStatus(const std::string& text) { statusText.Set(text); }

void CTelioxView::ShowStatus(const std::string& text) {
    statusText.Set(text);
    ShowPaneText(text);
}

void CTelioxView::ShowPaneText(const std::string& text) {
    const QString pane = QString::fromStdString(text);
    if (CMainFrame* frame = ParentFrame()) frame->SetStatusPaneText(pane);
    emit StatusShown(pane);
}

CMainFrame* CTelioxView::ParentFrame() const { return qobject_cast<CMainFrame*>(window()); }
