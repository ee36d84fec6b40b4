// Many cameras at once in the window: the Assign Addresses dialog's plan,
// rows and statuses with stand-in probe and routes, several selected rows,
// sorting and filtering, the marks of cameras that share an address, and
// the export of the list. No discovery runs and nothing goes to a network.
#include "app/assign_dialog.h"
#include "app/commands.h"
#include "app/ip_addr_ctrl.h"
#include "app/main_frame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTemporaryDir>

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <mutex>

#include "app_test_support.h"

namespace {

constexpr uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

DeviceInfo Camera(const std::string& name, const std::string& ip, const std::string& mac,
                  const std::string& platform = "J3") {
    DeviceInfo info = CameraInfo(name, ip, platform);
    info.macAddress = mac;
    return info;
}

// Changes that wait at a gate the test opens, and record what they were given.
struct StandInRoutes {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    std::vector<std::string> changed;
    std::map<std::string, CameraChangeResult> results;  // by camera name; default Done

    CameraChangeFn Fn() {
        return [this](const PlannedChange& c, unsigned) {
            std::unique_lock<std::mutex> lock(mutex);
            cv.wait(lock, [this] { return open; });
            changed.push_back(c.camera.name + " " + PlannedAddressText(c));
            auto it = results.find(c.camera.name);
            return it == results.end() ? CameraChangeResult{AssignState::Done, {}, {}} : it->second;
        };
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        cv.notify_all();
    }
};

class AssignTest : public FakeViewTest {
protected:
    void SetUp() override {
        MakeView(800, 400);
        view->show();
        options.probe = [this](uint32_t, const std::string& address, std::chrono::milliseconds) {
            std::lock_guard<std::mutex> lock(probeMutex);
            probed.push_back(address);
            auto it = inUse.find(address);
            return it == inUse.end() ? std::optional<std::string>() : std::optional<std::string>(it->second);
        };
        options.change = routes.Fn();
        options.replanDelayMs = 0;
        options.rescanDelayMs = 0;
        options.rescanBoundMs = 2000;
    }
    void TearDown() override { routes.Open(); }

    void SelectShown(std::initializer_list<int> rows) {
        view->List()->clearSelection();
        for (int row : rows)
            view->List()->selectionModel()->select(view->ShownModel()->index(row, 0),
                                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    std::unique_ptr<CAssignAddressesDlg> Dialog(std::vector<CDevice> cameras) {
        return std::make_unique<CAssignAddressesDlg>(
            std::move(cameras), [this] { return view->Devices().Snapshot(); }, [this] { ++rescans; }, options);
    }
    static std::vector<std::string> Column(const CAssignAddressesDlg& d, int column) {
        std::vector<std::string> out;
        for (int r = 0; r < d.Grid()->rowCount(); ++r) out.push_back(d.CellText(r, column).toStdString());
        return out;
    }

    AssignDialogOptions options;
    StandInRoutes routes;
    std::mutex probeMutex;
    std::vector<std::string> probed;
    std::map<std::string, std::string> inUse;
    int rescans = 0;
};

}  // namespace

TEST_F(AssignTest, DialogPlansRunsAndRescans) {
    Add(Camera("lobby", "192.168.0.60", "02:00:00:00:00:60"));
    Add(Camera("gige", "192.168.0.50", "02:00:00:00:00:50", "HU"));
    Add(Camera("dupA", "192.168.0.70", "02:00:00:00:00:A1", "HU"));
    Add(Camera("dupB", "192.168.0.70", "02:00:00:00:00:B2", "HU"));
    Add(Camera("dock", "192.168.0.80", "02:00:00:00:00:80", "QD"));
    inUse["192.168.0.1"] = "02:00:00:00:00:01";  // not the adapter's gateway here: found by the probe
    inUse["192.168.0.2"] = "02:00:00:00:00:02";
    auto dialog = Dialog(view->Devices().Snapshot());

    // Opened on the first camera's network with its adapter's mask and gateway.
    uint32_t a = 0;
    dialog->StartCtrl()->GetAddress(a);
    EXPECT_EQ(a, Ip(192, 168, 0, 0));
    dialog->MaskCtrl()->GetAddress(a);
    EXPECT_EQ(a, 0xFFFFFF00u);
    dialog->GatewayCtrl()->GetAddress(a);
    EXPECT_EQ(a, Ip(192, 168, 0, 1));
    EXPECT_TRUE(dialog->StaticRadio()->isChecked());
    EXPECT_FALSE(dialog->ApplyButton()->isEnabled()) << "nothing to apply before the plan";

    // The gateway is skipped as such; start from .2 instead.
    dialog->StartCtrl()->SetAddress(Ip(192, 168, 0, 2));
    emit dialog->StartCtrl()->AddressEdited();
    ASSERT_TRUE(ProcessEventsUntil([&] { return dialog->PlanReady(); }));
    EXPECT_EQ(dialog->Plan().error, "");
    // Cameras that share an address first; the announced camera is left alone.
    EXPECT_THAT(Column(*dialog, CAssignAddressesDlg::kColCamera), ::testing::ElementsAre("dupA", "dupB", "lobby", "gige", "dock"));
    EXPECT_THAT(Column(*dialog, CAssignAddressesDlg::kColCurrent),
                ::testing::ElementsAre("192.168.0.70", "192.168.0.70", "192.168.0.60", "192.168.0.50", "192.168.0.80"));
    EXPECT_THAT(Column(*dialog, CAssignAddressesDlg::kColNew),
                ::testing::ElementsAre("192.168.0.3", "192.168.0.4", "192.168.0.5", "192.168.0.6", ""));
    EXPECT_EQ(dialog->CellText(4, CAssignAddressesDlg::kColStatus), "offers no address change");
    EXPECT_FALSE(dialog->Grid()->item(0, CAssignAddressesDlg::kColCurrent)->icon().isNull());
    EXPECT_TRUE(dialog->Grid()->item(2, CAssignAddressesDlg::kColCurrent)->icon().isNull());
    EXPECT_EQ(dialog->SummaryLabel()->text(), "4 cameras, 247 addresses available, 1 skipped");
    EXPECT_THAT(dialog->SkippedLabel()->text().toStdString(), ::testing::HasSubstr("192.168.0.2 (in use by 02:00:00:00:00:02)"));
    ASSERT_TRUE(dialog->ApplyButton()->isEnabled());

    routes.results["lobby"] = {AssignState::BroadcastSent, {}, "IP-change message for lobby-host"};
    routes.results["gige"] = {AssignState::Failed, "The camera did not acknowledge every register write", {}};
    options.parallel = 1;
    dialog.reset();
    dialog = Dialog(view->Devices().Snapshot());
    dialog->StartCtrl()->SetAddress(Ip(192, 168, 0, 2));
    emit dialog->StartCtrl()->AddressEdited();
    ASSERT_TRUE(ProcessEventsUntil([&] { return dialog->PlanReady(); }));
    dialog->OnApply();
    EXPECT_FALSE(dialog->ApplyButton()->isVisible() && dialog->ApplyButton()->isEnabled());
    EXPECT_FALSE(dialog->StartCtrl()->isEnabled());
    // One at a time: the first is changing, the others wait.
    ASSERT_TRUE(ProcessEventsUntil([&] { return dialog->CellText(0, CAssignAddressesDlg::kColStatus) == "Changing..."; }));
    EXPECT_THAT(Column(*dialog, CAssignAddressesDlg::kColStatus),
                ::testing::ElementsAre("Changing...", "Waiting", "Waiting", "Waiting", "offers no address change"));
    EXPECT_FALSE(dialog->CloseButton()->isEnabled());
    dialog->reject();  // closing while changes run: only cancels what has not started
    EXPECT_TRUE(dialog->Running());
    EXPECT_THAT(Column(*dialog, CAssignAddressesDlg::kColStatus),
                ::testing::ElementsAre("Changing...", "Cancelled", "Cancelled", "Cancelled", "offers no address change"));
    routes.Open();
    ASSERT_TRUE(ProcessEventsUntil([&] { return dialog->RunFinished(); }));
    ProcessEventsUntil([&] { return dialog->CellText(0, CAssignAddressesDlg::kColStatus) == "Done"; });
    EXPECT_EQ(dialog->CellText(0, CAssignAddressesDlg::kColStatus), "Done");
    EXPECT_THAT(routes.changed, ::testing::ElementsAre("dupA 192.168.0.3"));
    EXPECT_TRUE(dialog->CloseButton()->isEnabled());

    // The rescan starts at the time shown and looks for the camera at its new address.
    ASSERT_TRUE(ProcessEventsUntil([&] { return rescans == 1; }));
    EXPECT_TRUE(dialog->RescanTime().isValid());
    EXPECT_THAT(dialog->RescanLabel()->text().toStdString(), ::testing::StartsWith("Rescan at "));
    Add(Camera("dupA", "192.168.0.3", "02:00:00:00:00:A1", "HU"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return dialog->FoundAfterRescan() == 1; }));
    EXPECT_THAT(dialog->RescanLabel()->text().toStdString(),
                ::testing::HasSubstr("1 of 1 cameras found at their new addresses"));
}

TEST_F(AssignTest, StatusesOfEveryOutcome) {
    Add(Camera("ok", "192.168.0.60", "02:00:00:00:00:60"));
    Add(Camera("sent", "192.168.0.61", "02:00:00:00:00:61"));
    Add(Camera("bad", "192.168.0.62", "02:00:00:00:00:62"));
    routes.results["sent"] = {AssignState::BroadcastSent, {}, {}};
    routes.results["bad"] = {AssignState::Failed, "Failed to connect", "result 0x64080001"};
    routes.Open();
    auto dialog = Dialog(view->Devices().Snapshot());
    dialog->StartCtrl()->SetAddress(Ip(192, 168, 0, 100));
    emit dialog->StartCtrl()->AddressEdited();
    ASSERT_TRUE(ProcessEventsUntil([&] { return dialog->PlanReady(); }));
    dialog->OnApply();
    ASSERT_TRUE(ProcessEventsUntil([&] { return dialog->RunFinished(); }));
    ProcessEventsUntil([&] { return dialog->SummaryLabel()->text().contains("failed"); });
    EXPECT_THAT(Column(*dialog, CAssignAddressesDlg::kColStatus),
                ::testing::ElementsAre("Done", "Broadcast sent", "Failed to connect"));
    EXPECT_TRUE(dialog->Grid()->item(2, CAssignAddressesDlg::kColStatus)->toolTip().contains("0x64080001"));
    EXPECT_EQ(dialog->SummaryLabel()->text(), "1 done, 1 sent as broadcast, 1 failed");
}

TEST_F(AssignTest, TooFewAddressesChangeNothing) {
    for (int i = 0; i < 4; ++i)
        Add(Camera("c" + std::to_string(i), "192.168.0." + std::to_string(60 + i), "02:00:00:00:01:0" + std::to_string(i)));
    routes.Open();
    auto dialog = Dialog(view->Devices().Snapshot());
    dialog->StartCtrl()->SetAddress(Ip(192, 168, 0, 252));
    emit dialog->StartCtrl()->AddressEdited();
    ASSERT_TRUE(ProcessEventsUntil([&] { return dialog->PlanReady(); }));
    EXPECT_THAT(dialog->SummaryLabel()->text().toStdString(), ::testing::StartsWith("Not enough addresses"));
    EXPECT_FALSE(dialog->ApplyButton()->isEnabled());
    EXPECT_THAT(Column(*dialog, CAssignAddressesDlg::kColNew), ::testing::Each(""));
    dialog->OnApply();
    EXPECT_FALSE(dialog->RunFinished());
    EXPECT_TRUE(routes.changed.empty());

    // Obtain automatically: no addresses needed, nothing probed.
    probed.clear();
    dialog->DhcpRadio()->setChecked(true);
    EXPECT_FALSE(dialog->StartCtrl()->isEnabled());
    ASSERT_TRUE(ProcessEventsUntil([&] { return dialog->PlanReady(); }));
    EXPECT_EQ(dialog->SummaryLabel()->text(), "4 cameras, addresses obtained automatically");
    EXPECT_THAT(Column(*dialog, CAssignAddressesDlg::kColNew), ::testing::Each("DHCP"));
    EXPECT_TRUE(probed.empty());
    EXPECT_TRUE(dialog->ApplyButton()->isEnabled());
}

TEST_F(AssignTest, StartAddressOnAnotherAdapterTakesItsSuggestion) {
    Add(Camera("a", "192.168.0.60", "02:00:00:00:00:60"));
    auto dialog = Dialog(view->Devices().Snapshot());
    dialog->StartCtrl()->SetAddress(Ip(10, 1, 7, 1));
    emit dialog->StartCtrl()->AddressEdited();
    uint32_t mask = 0, gateway = 0;
    dialog->MaskCtrl()->GetAddress(mask);
    dialog->GatewayCtrl()->GetAddress(gateway);
    EXPECT_EQ(mask, 0xFFFF0000u);
    EXPECT_EQ(gateway, Ip(10, 1, 0, 1));
    ASSERT_TRUE(ProcessEventsUntil([&] { return dialog->PlanReady(); }));
    EXPECT_EQ(dialog->CellText(0, CAssignAddressesDlg::kColNew), "10.1.7.1");
}

TEST_F(AssignTest, CommandFollowsTheSelectionOfShownRows) {
    Add(Camera("cam100", "192.168.0.100", "02:00:00:00:00:01"));
    Add(Camera("cam9", "192.168.0.9", "02:00:00:00:00:02"));
    Add(Camera("dock", "192.168.0.20", "02:00:00:00:00:03", "QD"));
    Add(Camera("cam10", "192.168.0.10", "02:00:00:00:00:04"));
    bool enabled = true;

    SelectShown({2});  // only the announced camera
    ASSERT_TRUE(view->OnUpdateCmdUI(cmd::ID_ASSIGN_ADDRESSES, enabled));
    EXPECT_FALSE(enabled);
    auto menu = view->BuildContextMenu(*view->GetSelectedDevice());
    for (QAction* action : menu->actions())
        if (action->data().toInt() == cmd::ID_ASSIGN_ADDRESSES) EXPECT_FALSE(action->isEnabled());

    // Sorted by address as numbers: .9, .10, .20, .100.
    view->List()->sortByColumn(1, Qt::AscendingOrder);
    std::vector<std::string> shown;
    for (int r = 0; r < view->ShownModel()->rowCount(); ++r) shown.push_back(view->ShownModel()->ItemText(r, 1).toStdString());
    EXPECT_THAT(shown, ::testing::ElementsAre("192.168.0.9", "192.168.0.10", "192.168.0.20", "192.168.0.100"));

    // An index of the records' rows selects that record wherever it is shown.
    view->List()->selectionModel()->select(view->Model()->index(0, 0),
                                           QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    EXPECT_EQ(view->GetSelectedDevice()->name, "cam100");
    EXPECT_EQ(view->SelectedRow(), 0);

    SelectShown({3, 0, 2});
    ASSERT_TRUE(view->OnUpdateCmdUI(cmd::ID_ASSIGN_ADDRESSES, enabled));
    EXPECT_TRUE(enabled);
    EXPECT_EQ(view->GetSelectedDevice()->name, "cam9") << "the first selected row as shown";
    std::vector<std::string> names;
    view->SetAssignDialogRunner([&](CAssignAddressesDlg& dialog) {
        for (int r = 0; r < dialog.Grid()->rowCount(); ++r)
            names.push_back(dialog.CellText(r, CAssignAddressesDlg::kColCamera).toStdString());
        return int(QDialog::Rejected);
    });
    view->SetAssignOptions(options);
    routes.Open();
    view->OnCmdMsg(cmd::ID_ASSIGN_ADDRESSES);
    EXPECT_THAT(names, ::testing::ElementsAre("cam9", "dock", "cam100"));

    // The filter narrows the rows by any column's text; the selection and
    // the commands follow what is shown.
    view->FilterEdit()->setText("cam1");
    EXPECT_EQ(view->ShownModel()->rowCount(), 2);  // cam10, cam100
    std::vector<std::string> selected;
    for (const CDevice& d : view->SelectedDevices()) selected.push_back(d.name);
    EXPECT_THAT(selected, ::testing::ElementsAre("cam100"));
    view->FilterEdit()->setText("02:00:00:00:00:03");
    ASSERT_EQ(view->ShownModel()->rowCount(), 1);
    EXPECT_EQ(view->ShownModel()->ItemText(0, 0), "dock");
    view->FilterEdit()->clear();
    EXPECT_EQ(view->ShownModel()->rowCount(), 4);
}

TEST_F(AssignTest, SharedAddressIsMarkedAndCounted) {
    Add(Camera("first", "192.168.0.70", "02:00:00:00:00:A1", "HU"));
    Add(Camera("<b>second</b>", "192.168.0.70", "02:00:00:00:00:B2", "HU"));
    Add(Camera("other", "192.168.0.71", "02:00:00:00:00:C3", "HU"));
    ASSERT_EQ(view->ShownModel()->rowCount(), 3);
    EXPECT_EQ(view->ShownModel()->ItemImage(0, kColIpAddress), kImageDuplicate);
    EXPECT_EQ(view->ShownModel()->ItemImage(1, kColIpAddress), kImageDuplicate);
    EXPECT_EQ(view->ShownModel()->ItemImage(2, kColIpAddress), -1);
    const QString tip = view->ShownModel()->data(view->ShownModel()->index(0, kColIpAddress), Qt::ToolTipRole).toString();
    EXPECT_TRUE(tip.contains("also used by 02:00:00:00:00:B2")) << tip.toStdString();
    EXPECT_FALSE(view->ShownModel()->data(view->ShownModel()->index(0, kColIpAddress), Qt::DecorationRole).isNull());

    CMainFrame frame(FakeFactory(state));
    ASSERT_TRUE(frame.LoadFrame());
    frame.View()->Devices().AddOrUpdateDevice(Camera("first", "192.168.0.70", "02:00:00:00:00:A1", "HU"));
    frame.View()->Devices().AddOrUpdateDevice(Camera("second", "192.168.0.70", "02:00:00:00:00:B2", "HU"));
    frame.View()->StatusText().Set("Scan completed");
    frame.View()->OnTimer();
    frame.OnIdleUpdate();
    EXPECT_EQ(frame.StatusPaneText(), "Scan completed, 2 duplicate IPs");
}

TEST_F(AssignTest, ExportWritesTheShownRowsByExtension) {
    Add(Camera("Gate, north", "192.168.0.61", "02:00:00:00:00:61"));
    Add(Camera("lobby\xff", "192.168.0.60", "02:00:00:00:00:60"));
    Add(Camera("yard", "192.168.0.62", "02:00:00:00:00:62"));
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QString file = dir.filePath("site.CSV");
    view->SetExportFileRunner([&file] { return file; });
    view->List()->sortByColumn(1, Qt::AscendingOrder);
    view->FilterEdit()->setText("192.168.0.6");
    view->FilterEdit()->setText("lobby");
    view->FilterEdit()->clear();
    view->FilterEdit()->setText("0.6");

    view->OnCmdMsg(cmd::ID_EXPORT_CAMERA_LIST);
    QFile csv(file);
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = csv.readAll().split('\n');
    ASSERT_GE(lines.size(), 4);
    EXPECT_TRUE(lines[0].startsWith("name,ipAddress,macAddress,"));
    EXPECT_TRUE(lines[1].startsWith("lobby\xEF\xBF\xBD,192.168.0.60,")) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith("\"Gate, north\",192.168.0.61,")) << lines[2].toStdString();
    EXPECT_TRUE(lines[3].startsWith("yard,"));

    view->FilterEdit()->setText("yard");
    file = dir.filePath("site");  // no extension: the file dialog's type, CSV by default
    view->OnCmdMsg(cmd::ID_EXPORT_CAMERA_LIST);
    EXPECT_TRUE(QFile::exists(dir.filePath("site.csv")));

    file = dir.filePath("site.json");
    view->OnCmdMsg(cmd::ID_EXPORT_CAMERA_LIST);
    QFile json(file);
    ASSERT_TRUE(json.open(QIODevice::ReadOnly));
    const auto parsed = nlohmann::json::parse(json.readAll().toStdString());
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(parsed[0]["name"], "yard");
    EXPECT_EQ(parsed[0]["duplicateAddress"], false);
    EXPECT_EQ(view->StatusText().Get(), "Exported 1 cameras to " + file.toStdString());

    file = dir.filePath("missing/folder/site.json");
    view->OnCmdMsg(cmd::ID_EXPORT_CAMERA_LIST);
    EXPECT_THAT(view->StatusText().Get(), ::testing::StartsWith("Export failed: "));
}

TEST_F(AssignTest, ListKeepsTheOrderOfDiscoveryUntilAHeaderIsClicked) {
    CMainFrame frame(FakeFactory(state));
    ASSERT_TRUE(frame.LoadFrame());
    frame.show();
    CTelioxView* framed = frame.View();
    for (const char* name : {"zeta", "Alpha", "mid"})
        framed->Devices().AddOrUpdateDevice(Camera(name, std::string("192.168.0.") + std::to_string(name[0] % 50 + 1),
                                                   "02:00:00:00:00:0" + std::to_string(name[1] % 10)));
    framed->FlushRowChanges();
    QCoreApplication::processEvents();
    std::vector<std::string> names;
    for (int r = 0; r < framed->ShownModel()->rowCount(); ++r) names.push_back(framed->ShownModel()->ItemText(r, 0).toStdString());
    EXPECT_THAT(names, ::testing::ElementsAre("zeta", "Alpha", "mid"));
    framed->List()->sortByColumn(0, Qt::AscendingOrder);  // what a click on "Name" does
    names.clear();
    for (int r = 0; r < framed->ShownModel()->rowCount(); ++r) names.push_back(framed->ShownModel()->ItemText(r, 0).toStdString());
    EXPECT_THAT(names, ::testing::ElementsAre("Alpha", "mid", "zeta"));
    // A new camera takes its place in the sorted rows; its record stays the last one.
    framed->Devices().AddOrUpdateDevice(Camera("beta", "192.168.0.44", "02:00:00:00:00:44"));
    framed->FlushRowChanges();
    EXPECT_EQ(framed->ShownModel()->ItemText(1, 0), "beta");
    EXPECT_EQ(framed->ShownModel()->SourceRow(1), 3);
}
