#include "app/assign_dialog.h"

#include "app/actions/assign_routes.h"
#include "app/icons.h"
#include "app/ip_addr_ctrl.h"
#include "discovery/adapters.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTextDocument>
#include <QVBoxLayout>

// A plan made on a thread of its own; the dialog polls it.
struct CAssignAddressesDlg::PlanJob {
    std::atomic<bool> cancel{false};
    std::atomic<bool> done{false};
    std::mutex mutex;
    std::string progress;
    AddressPlan result;
    std::thread thread;
    ~PlanJob() {
        cancel = true;
        if (thread.joinable()) thread.join();
    }
};

namespace {

constexpr int kPollMs = 100;

QString Plain(const std::string& text) { return QString::fromStdString(text); }

// A tooltip holding texts from the network: shown as plain text, never markup.
QString PlainToolTip(const QString& text) { return Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal); }

uint32_t ReadCtrl(const CIPAddressCtrl* ctrl) {
    uint32_t a = 0;
    ctrl->GetAddress(a);
    return a;
}

// The network of the camera's adapter, its host part zeroed, as the settings
// dialog offers a camera outside its adapter's subnet.
uint32_t NetworkOfAdapter(uint32_t adapterIndex) {
    uint32_t address = 0, mask = 0;
    if (!ParseIPv4(GetAdapterAddress(adapterIndex), address) || !ParseIPv4(GetAdapterSubnetMask(adapterIndex), mask))
        return 0;
    return address & mask;
}

}  // namespace

CAssignAddressesDlg::CAssignAddressesDlg(std::vector<CDevice> c, std::function<std::vector<CDevice>()> l,
                                         std::function<void()> r, AssignDialogOptions o, QWidget* parent)
    : QDialog(parent), cameras(std::move(c)), listed(std::move(l)), rescan(std::move(r)), options(std::move(o)) {
    setWindowTitle(QStringLiteral("Assign Addresses"));
    setObjectName(QStringLiteral("CAssignAddressesDlg"));
    if (!options.probe) options.probe = NeighbourTableProbe();
    if (!options.change)
        options.change = [](const PlannedChange& change, unsigned slot) {
            return ChangeCameraAddress(change, slot, AssignRouteOptions());
        };

    auto* layout = new QVBoxLayout(this);
    dhcpRadio = new QRadioButton(QStringLiteral("Obtain IP addresses automatically"), this);
    staticRadio = new QRadioButton(QStringLiteral("Use fixed IP addresses from a start address"), this);
    auto* radios = new QButtonGroup(this);
    radios->addButton(dhcpRadio);
    radios->addButton(staticRadio);
    layout->addWidget(dhcpRadio);
    layout->addWidget(staticRadio);

    auto* group = new QGroupBox(this);
    auto* fields = new QGridLayout(group);
    startCtrl = new CIPAddressCtrl(group);
    startCtrl->setObjectName(QStringLiteral("startAddress"));
    maskCtrl = new CIPAddressCtrl(group);
    maskCtrl->setObjectName(QStringLiteral("subnetMask"));
    gatewayCtrl = new CIPAddressCtrl(group);
    gatewayCtrl->setObjectName(QStringLiteral("defaultGateway"));
    const char* labels[] = {"Start address", "Subnet mask", "Default gateway"};
    CIPAddressCtrl* ctrls[] = {startCtrl, maskCtrl, gatewayCtrl};
    for (int i = 0; i < 3; ++i) {
        fields->addWidget(new QLabel(QString::fromLatin1(labels[i]), group), i, 0);
        ctrls[i]->setMinimumWidth(140);
        fields->addWidget(ctrls[i], i, 1);
        connect(ctrls[i], &CIPAddressCtrl::AddressEdited, this, &CAssignAddressesDlg::OnAddressEdited);
    }
    fields->setColumnStretch(2, 1);
    layout->addWidget(group);

    grid = new QTableWidget(0, kColumns, this);
    grid->setObjectName(QStringLiteral("assignGrid"));
    grid->setHorizontalHeaderLabels(
        {QStringLiteral("Camera"), QStringLiteral("MAC Address"), QStringLiteral("Current Address"),
         QStringLiteral("New Address"), QStringLiteral("Status")});
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid->setSelectionMode(QAbstractItemView::NoSelection);
    grid->verticalHeader()->setVisible(false);
    grid->horizontalHeader()->setStretchLastSection(true);
    grid->setIconSize(QSize(16, 16));
    layout->addWidget(grid, 1);

    summary = new QLabel(this);
    summary->setObjectName(QStringLiteral("assignSummary"));
    summary->setTextFormat(Qt::PlainText);
    summary->setWordWrap(true);
    skippedLabel = new QLabel(this);
    skippedLabel->setTextFormat(Qt::PlainText);
    skippedLabel->setWordWrap(true);
    rescanLabel = new QLabel(this);
    rescanLabel->setTextFormat(Qt::PlainText);
    layout->addWidget(summary);
    layout->addWidget(skippedLabel);
    layout->addWidget(rescanLabel);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    applyButton = new QPushButton(QStringLiteral("Apply"), this);
    applyButton->setDefault(true);
    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    closeButton = new QPushButton(QStringLiteral("Close"), this);
    buttons->addWidget(applyButton);
    buttons->addWidget(cancelButton);
    buttons->addWidget(closeButton);
    layout->addLayout(buttons);
    resize(720, 520);

    connect(dhcpRadio, &QRadioButton::toggled, this, &CAssignAddressesDlg::OnModeChanged);
    connect(applyButton, &QPushButton::clicked, this, &CAssignAddressesDlg::OnApply);
    connect(cancelButton, &QPushButton::clicked, this, &CAssignAddressesDlg::OnCancel);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::accept);
    pollTimer.setInterval(kPollMs);
    connect(&pollTimer, &QTimer::timeout, this, &CAssignAddressesDlg::Poll);
    replanTimer.setSingleShot(true);
    connect(&replanTimer, &QTimer::timeout, this, &CAssignAddressesDlg::StartPlan);

    // The first camera's adapter network with the mask and gateway its
    // adapter suggests; the caret where the start address is typed.
    std::vector<PlannedChange> rows;
    for (const CDevice& d : cameras) rows.push_back(PlannedChange{d});
    FillGrid(rows);
    uint32_t start = 0;
    for (const CDevice& d : cameras)
        if (CanModifyIP(d) && (start = NetworkOfAdapter(d.adapterIndex)) != 0) break;
    const AdapterSuggestion suggestion = SuggestMaskAndGateway(start);
    suggestedFor = suggestion.adapterIndex;
    startCtrl->SetAddress(start);
    maskCtrl->SetAddress(suggestion.mask);
    gatewayCtrl->SetAddress(suggestion.gateway);
    staticRadio->setChecked(true);
    startCtrl->SetFieldFocus(3);
    StartPlan();
}

CAssignAddressesDlg::~CAssignAddressesDlg() {
    pollTimer.stop();
    job.reset();  // cancels the probes and waits for the batch in flight
    run.reset();  // cancels what has not started, waits for the rest (each bounded)
}

int CAssignAddressesDlg::DoModal() { return exec(); }

AddressPlanRequest CAssignAddressesDlg::Request() const {
    AddressPlanRequest r;
    r.cameras = cameras;
    r.listed = listed ? listed() : cameras;
    r.dhcp = dhcpRadio->isChecked();
    r.start = ReadCtrl(startCtrl);
    r.mask = ReadCtrl(maskCtrl);
    r.gateway = ReadCtrl(gatewayCtrl);
    r.probe = options.probe;
    r.probeTimeout = options.probeTimeout;
    return r;
}

void CAssignAddressesDlg::OnModeChanged() {
    const bool fixed = staticRadio->isChecked();
    startCtrl->setEnabled(fixed);
    maskCtrl->setEnabled(fixed);
    gatewayCtrl->setEnabled(fixed);
    if (!run) StartPlan();
}

void CAssignAddressesDlg::OnAddressEdited() {
    if (run) return;
    // A start address on another adapter's network takes that adapter's
    // mask and gateway, as the settings dialog suggests them.
    if (sender() == startCtrl) {
        const AdapterSuggestion s = SuggestMaskAndGateway(ReadCtrl(startCtrl));
        if (s.matched && s.adapterIndex != suggestedFor) {
            suggestedFor = s.adapterIndex;
            maskCtrl->SetAddress(s.mask);
            gatewayCtrl->SetAddress(s.gateway);
        }
    }
    planReady = false;
    UpdateButtons();
    replanTimer.start(options.replanDelayMs);
}

bool CAssignAddressesDlg::Planning() const { return job != nullptr || replanPending || replanTimer.isActive(); }

void CAssignAddressesDlg::StartPlan() {
    planReady = false;
    if (job) {
        // One plan at a time: the running one is told to stop, the new one
        // starts when it has.
        job->cancel = true;
        replanPending = true;
        UpdateButtons();
        return;
    }
    replanPending = false;
    auto j = std::make_shared<PlanJob>();
    AddressPlanRequest request = Request();
    request.cancel = &j->cancel;
    PlanJob* raw = j.get();
    request.progress = [raw](const std::string& text) {
        std::lock_guard<std::mutex> lock(raw->mutex);
        raw->progress = text;
    };
    summary->setText(request.dhcp ? QStringLiteral("Preparing...") : QStringLiteral("Checking addresses..."));
    j->thread = std::thread([raw, request = std::move(request), adapters = CAdapterTableSource::Current()] {
        CAdapterTableSource source(adapters);  // the adapter table this window reads
        AddressPlan result = PlanAddresses(request);
        std::lock_guard<std::mutex> lock(raw->mutex);
        raw->result = std::move(result);
        raw->done = true;
    });
    job = std::move(j);
    pollTimer.start();
    UpdateButtons();
}

void CAssignAddressesDlg::Poll() {
    if (job) {
        if (!job->done) {
            std::lock_guard<std::mutex> lock(job->mutex);
            if (!job->progress.empty() && !job->cancel)
                summary->setText(QStringLiteral("Checking addresses... ") + Plain(job->progress));
        } else {
            {
                std::lock_guard<std::mutex> lock(job->mutex);
                if (!job->cancel) plan = std::move(job->result);
            }
            const bool superseded = job->cancel;
            job.reset();
            if (replanPending) {
                StartPlan();
            } else if (!superseded) {
                planReady = true;
                ShowPlan();
            }
        }
    }
    if (run) {
        if (run->Version() != shownVersion) ShowStatuses();
        if (run->Finished() && !rescanTime.isValid()) OnChangesDone();
    }
    if (rescanTime.isValid() && !rescanDone) {
        if (!rescanStarted && QDateTime::currentDateTime() >= rescanTime) StartRescan();
        if (rescanStarted) CheckRescan();
    }
    if (!job && !(run && !run->Finished()) && !(rescanTime.isValid() && !rescanDone)) pollTimer.stop();
    UpdateButtons();
}

void CAssignAddressesDlg::FillGrid(const std::vector<PlannedChange>& rows) {
    grid->setRowCount(static_cast<int>(rows.size()));
    const QIcon shared = icons::ListIcon(kImageDuplicate);
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
        const PlannedChange& c = rows[static_cast<size_t>(r)];
        auto set = [&](int column, const QString& text) {
            auto* item = new QTableWidgetItem(text);
            grid->setItem(r, column, item);
            return item;
        };
        set(kColCamera, Plain(c.camera.name));
        set(kColMac, Plain(c.camera.macAddress));
        QTableWidgetItem* current = set(kColCurrent, Plain(c.camera.ipAddress));
        if (!c.camera.sharedAddressMacs.empty()) {
            current->setIcon(shared);
            current->setToolTip(PlainToolTip(Plain(SharedAddressToolTip(c.camera.sharedAddressMacs))));
        }
        set(kColNew, planReady && plan.error.empty() ? Plain(PlannedAddressText(c)) : QString());
        set(kColStatus, planReady && !c.change ? Plain(c.note) : QString());
    }
    grid->resizeColumnsToContents();
}

void CAssignAddressesDlg::ShowPlan() {
    FillGrid(plan.changes);
    if (!plan.error.empty()) {
        summary->setText(Plain(plan.error));
    } else {
        summary->setText(Plain(PlanSummary(plan)));
    }
    QStringList skipped;
    for (const SkippedAddress& s : plan.skipped)
        skipped << Plain(FormatIPv4(s.address)) + QStringLiteral(" (") + Plain(s.reason) + QStringLiteral(")");
    skippedLabel->setText(skipped.isEmpty() ? QString() : QStringLiteral("Skipped: ") + skipped.join(QStringLiteral(", ")));
    UpdateButtons();
}

void CAssignAddressesDlg::ShowStatuses() {
    shownVersion = run->Version();
    const std::vector<AssignRowStatus> statuses = run->Statuses();
    for (int r = 0; r < static_cast<int>(statuses.size()) && r < grid->rowCount(); ++r) {
        const AssignRowStatus& s = statuses[static_cast<size_t>(r)];
        QTableWidgetItem* item = grid->item(r, kColStatus);
        item->setText(Plain(s.text));
        item->setToolTip(s.detail.empty() ? QString() : PlainToolTip(Plain(s.detail)));
    }
}

void CAssignAddressesDlg::OnApply() {
    if (!planReady || !plan.error.empty() || run || Planning()) return;
    startCtrl->setEnabled(false);
    maskCtrl->setEnabled(false);
    gatewayCtrl->setEnabled(false);
    dhcpRadio->setEnabled(false);
    staticRadio->setEnabled(false);
    run = std::make_unique<CAssignRun>(plan.changes, options.change, options.parallel);
    run->Start();
    ShowStatuses();
    summary->setText(Plain(PlanSummary(plan)) + QStringLiteral(": changing..."));
    pollTimer.start();
    UpdateButtons();
}

void CAssignAddressesDlg::OnChangesDone() {
    ShowStatuses();
    const unsigned done = run->Count(AssignState::Done), sent = run->Count(AssignState::BroadcastSent);
    const unsigned failed = run->Count(AssignState::Failed), cancelled = run->Count(AssignState::Cancelled);
    QString text = QStringLiteral("%1 done, %2 sent as broadcast, %3 failed").arg(done).arg(sent).arg(failed);
    if (cancelled) text += QStringLiteral(", %1 cancelled").arg(cancelled);
    summary->setText(text);
    if (done + sent == 0) {
        rescanDone = true;
        return;
    }
    rescanTime = QDateTime::currentDateTime().addMSecs(options.rescanDelayMs);
    rescanLabel->setText(QStringLiteral("Rescan at ") + rescanTime.toString(QStringLiteral("HH:mm:ss")));
}

void CAssignAddressesDlg::StartRescan() {
    rescanStarted = true;
    rescanEnd = QDateTime::currentDateTime().addMSecs(options.rescanBoundMs);
    if (rescan) rescan();
}

void CAssignAddressesDlg::CheckRescan() {
    const std::vector<CDevice> now = listed ? listed() : std::vector<CDevice>();
    const std::vector<AssignRowStatus> statuses = run->Statuses();
    int expected = 0;
    found = 0;
    for (size_t i = 0; i < plan.changes.size() && i < statuses.size(); ++i) {
        if (statuses[i].state != AssignState::Done && statuses[i].state != AssignState::BroadcastSent) continue;
        ++expected;
        const PlannedChange& c = plan.changes[i];
        const std::string target = FormatIPv4(c.address);
        for (const CDevice& d : now)
            if (IsSameCamera(d, c.camera) && (c.dhcp || d.ipAddress == target)) {
                ++found;
                break;
            }
    }
    const bool over = found == expected || QDateTime::currentDateTime() >= rescanEnd;
    rescanLabel->setText(QStringLiteral("Rescan at %1: %2 of %3 cameras found at their new addresses%4")
                             .arg(rescanTime.toString(QStringLiteral("HH:mm:ss")))
                             .arg(found)
                             .arg(expected)
                             .arg(over ? QString() : QStringLiteral("...")));
    if (over) rescanDone = true;
}

void CAssignAddressesDlg::OnCancel() {
    if (run && !run->Finished()) {
        run->Cancel();  // what has not started; the rest runs to its end
        ShowStatuses();
        return;
    }
    if (!run) QDialog::reject();
}

void CAssignAddressesDlg::reject() {
    // Closing the window while changes run cancels the rest instead: the
    // dialog stays until the running ones have ended.
    if (run && !run->Finished()) {
        OnCancel();
        return;
    }
    QDialog::reject();
}

void CAssignAddressesDlg::UpdateButtons() {
    const bool running = run && !run->Finished();
    applyButton->setEnabled(!run && planReady && !Planning() && plan.error.empty());
    cancelButton->setEnabled(!run || running);
    closeButton->setEnabled(!running);
    applyButton->setVisible(!run);
    cancelButton->setVisible(!run || running);
}

QString CAssignAddressesDlg::CellText(int row, int column) const {
    const QTableWidgetItem* item = grid->item(row, column);
    return item ? item->text() : QString();
}
