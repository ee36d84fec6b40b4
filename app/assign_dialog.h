// "Assign Addresses": new network settings for every selected camera in one
// action. Fixed addresses from a start address (with the mask and gateway
// the local adapter suggests) or addresses obtained automatically; a grid
// of the cameras with their current address, the address each will get and
// a status; the line "N cameras, M addresses available, K skipped". The plan
// and its neighbour probes, the changes and the rescan that follows all run
// off the window's thread; the dialog polls them.
#pragma once

#include "app/actions/assign_run.h"
#include "discovery/address_plan.h"

#include <QDateTime>
#include <QDialog>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class QLabel;
class QPushButton;
class QRadioButton;
class QTableWidget;
class CIPAddressCtrl;

// What the dialog works with besides the cameras. Empty members are the
// product's own: the kernel's neighbour table, the routes of the IP change.
struct AssignDialogOptions {
    NeighbourProbe probe;
    CameraChangeFn change;
    unsigned parallel = CAssignRun::kDefaultParallel;
    std::chrono::milliseconds probeTimeout{1000};
    int replanDelayMs = 400;     // after the last edit of the start address, mask or gateway
    int rescanDelayMs = 5000;    // after the last change: cameras that restart need a moment
    int rescanBoundMs = 60000;   // how long the rescan looks for the cameras
};

class CAssignAddressesDlg : public QDialog {
    Q_OBJECT
public:
    enum Column { kColCamera, kColMac, kColCurrent, kColNew, kColStatus, kColumns };

    // `cameras`: the selected rows, in the list's order. `listed` gives every
    // row of the list (their addresses are in use; after the changes the
    // rescan looks there). `rescan` empties the list and scans again.
    CAssignAddressesDlg(std::vector<CDevice> cameras, std::function<std::vector<CDevice>()> listed,
                        std::function<void()> rescan, AssignDialogOptions options, QWidget* parent = nullptr);
    ~CAssignAddressesDlg() override;  // ends the plan's probes; waits for changes still running

    int DoModal();

    // Handlers
    void OnModeChanged();
    void OnAddressEdited();
    void OnApply();
    void OnCancel();
    void reject() override;

    // State, for the window and its tests.
    bool Planning() const;
    bool Running() const { return run && !run->Finished(); }
    bool RunFinished() const { return run && run->Finished(); }
    bool PlanReady() const { return planReady; }
    const AddressPlan& Plan() const { return plan; }
    QString CellText(int row, int column) const;
    QDateTime RescanTime() const { return rescanTime; }
    int FoundAfterRescan() const { return found; }
    bool RescanDone() const { return rescanDone; }  // also when no rescan was due

    QRadioButton* DhcpRadio() const { return dhcpRadio; }
    QRadioButton* StaticRadio() const { return staticRadio; }
    CIPAddressCtrl* StartCtrl() const { return startCtrl; }
    CIPAddressCtrl* MaskCtrl() const { return maskCtrl; }
    CIPAddressCtrl* GatewayCtrl() const { return gatewayCtrl; }
    QTableWidget* Grid() const { return grid; }
    QLabel* SummaryLabel() const { return summary; }
    QLabel* SkippedLabel() const { return skippedLabel; }
    QLabel* RescanLabel() const { return rescanLabel; }
    QPushButton* ApplyButton() const { return applyButton; }
    QPushButton* CloseButton() const { return closeButton; }

private:
    struct PlanJob;
    void StartPlan();
    void Poll();
    void ShowPlan();
    void ShowStatuses();
    void FillGrid(const std::vector<PlannedChange>& rows);
    void OnChangesDone();
    void StartRescan();
    void CheckRescan();
    void UpdateButtons();
    AddressPlanRequest Request() const;

    std::vector<CDevice> cameras;
    std::function<std::vector<CDevice>()> listed;
    std::function<void()> rescan;
    AssignDialogOptions options;

    QRadioButton* dhcpRadio;
    QRadioButton* staticRadio;
    CIPAddressCtrl* startCtrl;
    CIPAddressCtrl* maskCtrl;
    CIPAddressCtrl* gatewayCtrl;
    QTableWidget* grid;
    QLabel* summary;
    QLabel* skippedLabel;
    QLabel* rescanLabel;
    QPushButton* applyButton;
    QPushButton* cancelButton;
    QPushButton* closeButton;

    QTimer pollTimer;
    QTimer replanTimer;
    std::shared_ptr<PlanJob> job;     // the plan being made, if any
    bool replanPending = false;
    bool planReady = false;
    AddressPlan plan;
    uint32_t suggestedFor = 0;        // adapter whose suggestion fills mask and gateway
    std::unique_ptr<CAssignRun> run;
    unsigned shownVersion = ~0u;
    QDateTime rescanTime;
    QDateTime rescanEnd;
    bool rescanStarted = false;
    bool rescanDone = false;
    int found = 0;
};
