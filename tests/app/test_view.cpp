// The camera list view: rows as the merge writes them, the selection, the
// commands and their enabling rules. Records are fed through the merge;
// discovery is a stand-in, so nothing goes to a network.
#include "app/commands.h"
#include "app/icons.h"
#include "app/main_frame.h"
#include "app_test_support.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QMenu>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <thread>

#include <QFile>
#include <QScrollBar>
#include <QStyle>
#include <QTextDocument>

namespace {

class ViewTest : public FakeViewTest {
protected:
    void SetUp() override {
        MakeView(600, 300);
        view->SetUrlOpener([this](const QUrl& url) {
            opened.push_back(url);
            return true;
        });
        view->SetPopupRunner([this](QMenu& menu, const QPoint&) -> QAction* {
            ++popups;
            for (QAction* action : menu.actions())
                if (action->data().toInt() == chooseId) return action;
            return nullptr;
        });
    }

    void Select(int row) {
        view->List()->selectionModel()->select(view->Model()->index(row, 0),
                                               QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }

    QAction* MenuAction(QMenu& menu, int id) {
        for (QAction* action : menu.actions())
            if (action->data().toInt() == id) return action;
        return nullptr;
    }

    std::vector<QUrl> opened;
    int popups = 0;
    int chooseId = 0;
};

TEST_F(ViewTest, CommandsOnTheSelectedCameraWithoutSelectionOnlySayNoItemSelected) {
    Add(CameraInfo("cam1", "192.168.0.20", "J3"));
    const std::vector<std::function<void()>> commands = {
        [&] { view->OnWeb(); },
        [&] { view->OnConnectivityWizard(); },
        [&] { view->OnModify(); },
        [&] { view->OnUploadCertificate(); },
        [&] { view->OnGenerateCertificates(); },
        [&] { view->OnDoubleClick(); },
        [&] { view->OnRightClick(QPoint(10, 10)); },
        [&] { view->OnClick(); },
    };
    for (const auto& command : commands) {
        view->SetStatus("Scan completed");
        command();
        EXPECT_EQ(view->StatusText().Get(), "No item selected");
    }
    EXPECT_FALSE(view->GetSelectedDevice().has_value());
    EXPECT_TRUE(opened.empty());
    EXPECT_EQ(popups, 0);  // no menu without a selected row
}

TEST_F(ViewTest, ClickOnARowClearsTheStatus) {
    Add(CameraInfo("cam1", "192.168.0.20", "J3"));
    Select(0);
    view->SetStatus("Scan completed");
    view->OnClick();
    EXPECT_EQ(view->StatusText().Get(), "");
}

TEST_F(ViewTest, RowsShowTheMergesTextsAndImages) {
    Add(CameraInfo("  cam1.site.local", "192.168.0.20", "J3"));
    DeviceInfo far = CameraInfo("cam2", "10.9.9.9", "W8");
    far.txt["enabled"] = "FALSE";
    Add(far);
    Add(CameraInfo("cam3", "10.9.9.10", "QD"));   // announced: reachable whatever the subnet
    Add(CameraInfo("cam4", "192.168.0.21", "M", "D"));  // not listable
    const CCameraListModel* model = view->Model();
    ASSERT_EQ(model->rowCount(), 3);
    EXPECT_EQ(model->ItemText(0, 0), "cam1");
    EXPECT_EQ(model->ItemText(0, 1), "192.168.0.20");
    EXPECT_EQ(model->ItemText(0, 2), "00:11:22:33:44:55");
    EXPECT_EQ(model->ItemText(0, 3), "Ethernet 2 (192.168.0.10)");
    EXPECT_EQ(model->ItemImage(0, 0), 0);
    EXPECT_EQ(model->ItemImage(0, 4), -1);
    EXPECT_EQ(model->ItemImage(1, 0), 1);
    EXPECT_EQ(model->ItemImage(1, 4), 2);
    EXPECT_EQ(model->ItemImage(2, 0), 0);
    EXPECT_EQ(model->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), "Name");
    EXPECT_EQ(model->headerData(4, Qt::Horizontal, Qt::DisplayRole).toString(), "");
    EXPECT_FALSE(model->data(model->index(1, 4), Qt::DecorationRole).isNull());
    EXPECT_TRUE(model->data(model->index(1, 0), Qt::ToolTipRole).toString().contains("TLS only"));
    EXPECT_FALSE(model->data(model->index(0, 0), Qt::ToolTipRole).toString().contains("TLS only"));

    // An update with the pending flag set shows image 4.
    view->Devices().WithDevice(0, [](CDevice& d) { d.ipChangePending = true; });
    Add(CameraInfo("cam1", "192.168.0.20", "J3"));
    EXPECT_EQ(model->ItemImage(0, 0), 4);
    EXPECT_EQ(model->rowCount(), 3);
}

TEST_F(ViewTest, ListImagesAreFiveDistinctSixteenPixelPictures) {
    const auto images = icons::ListImages();
    ASSERT_EQ(images.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        const QImage a = icons::ListImage(i).toImage();
        EXPECT_EQ(a.size(), QSize(16, 16));
        for (int j = i + 1; j < 5; ++j) EXPECT_NE(a, icons::ListImage(j).toImage()) << i << " vs " << j;
    }
}

struct PlatformRule {
    const char* platform;
    const char* model;
    bool modify;
    bool web;
    bool certificates;
};

TEST_F(ViewTest, EnablingRulesFollowThePlatform) {
    const PlatformRule rules[] = {
        {"HU", "", true, false, false}, {"J3", "", true, true, true},  {"W8", "", true, true, true},
        {"J5", "", true, true, true},   {"j5", "", true, true, true},  {"M", "L", true, true, false},
        {"QD", "", false, true, false}, {"W6", "", true, true, false},
    };
    int row = 0;
    for (const PlatformRule& rule : rules) {
        SCOPED_TRACE(std::string(rule.platform) + "/" + rule.model);
        Add(CameraInfo("cam" + std::to_string(row), "192.168.0." + std::to_string(30 + row), rule.platform, rule.model));
        ASSERT_EQ(view->Model()->rowCount(), row + 1);
        Select(row);
        const auto device = view->GetSelectedDevice();
        ASSERT_TRUE(device.has_value());
        auto menu = view->BuildContextMenu(*device);
        EXPECT_EQ(MenuAction(*menu, cmd::ID_MODIFY)->isEnabled(), rule.modify);
        EXPECT_EQ(MenuAction(*menu, cmd::ID_WEB)->isEnabled(), rule.web);
        EXPECT_TRUE(MenuAction(*menu, cmd::ID_REFRESH)->isEnabled());
        for (int id : {cmd::ID_UPLOAD_CERTIFICATE, cmd::ID_GENERATE_CERTIFICATES, cmd::ID_CONNECTIVITY_WIZARD})
            EXPECT_EQ(MenuAction(*menu, id)->isEnabled(), rule.certificates) << id;

        bool enabled = false;
        ASSERT_TRUE(view->OnUpdateCmdUI(cmd::ID_TOOLBAR_MODIFY, enabled));
        EXPECT_EQ(enabled, rule.modify);
        ASSERT_TRUE(view->OnUpdateCmdUI(cmd::ID_TOOLBAR_WEB, enabled));
        EXPECT_EQ(enabled, rule.web);
        ++row;
    }
    // No selection: the toolbar's camera commands are disabled, Refresh is not.
    view->List()->clearSelection();
    bool enabled = true;
    view->OnUpdateCmdUI(cmd::ID_TOOLBAR_MODIFY, enabled);
    EXPECT_FALSE(enabled);
    view->OnUpdateCmdUI(cmd::ID_TOOLBAR_WEB, enabled);
    EXPECT_FALSE(enabled);
    view->OnUpdateCmdUI(cmd::ID_TOOLBAR_REFRESH, enabled);
    EXPECT_TRUE(enabled);
}

TEST_F(ViewTest, ContextMenuHasItsItemsInOrderAndRunsTheChosenOne) {
    Add(CameraInfo("cam1", "192.168.0.20", "J3"));
    Select(0);
    auto menu = view->BuildContextMenu(*view->GetSelectedDevice());
    QStringList texts;
    for (QAction* action : menu->actions()) texts << action->text();
    EXPECT_EQ(texts, QStringList({"Modify...", "Web...", "Refresh", "Upload certificate", "Generate certificates",
                                  "Connectivity Wizard", "Assign Addresses..."}));

    chooseId = cmd::ID_CONNECTIVITY_WIZARD;
    view->OnRightClick(QPoint(5, 5));
    EXPECT_EQ(popups, 1);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], QUrl("http://192.168.0.20/setupwizard"));

    chooseId = 0;  // dismissed: nothing runs
    view->OnRightClick(QPoint(5, 5));
    EXPECT_EQ(opened.size(), 1u);
}

TEST_F(ViewTest, WebOpensTheCameraPageAndDoubleClickIgnoresThePlatform) {
    Add(CameraInfo("gige0", "192.168.0.40", "HU"));
    Select(0);
    view->OnDoubleClick();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], QUrl("http://192.168.0.40"));
    EXPECT_EQ(opened[0].toString(), "http://192.168.0.40");
}

TEST_F(ViewTest, AnAddressThatIsNotIPv4NeverReachesTheBrowser) {
    // An announcement carries its address as free text.
    Add(CameraInfo("cam1", "1.2.3.4@evil.example", "QD"));
    Select(0);
    view->OnWeb();
    view->OnConnectivityWizard();
    EXPECT_TRUE(opened.empty());
    EXPECT_NE(view->StatusText().Get().find("1.2.3.4@evil.example"), std::string::npos);
}

TEST_F(ViewTest, ManualIsOpenedFromTheExecutablesFolder) {
    view->OnHelpManual();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_TRUE(opened[0].isLocalFile());
    EXPECT_EQ(opened[0].toLocalFile(), QCoreApplication::applicationDirPath() + "/Manual.html");
    EXPECT_EQ(CTelioxView::ManualPath(), QCoreApplication::applicationDirPath() + "/Manual.html");
}

TEST_F(ViewTest, InstalledManualIsFoundAmongTheProgramsData) {
    QTemporaryDir prefix;
    ASSERT_TRUE(prefix.isValid());
    const QDir root(prefix.path());
    ASSERT_TRUE(root.mkpath("bin") && root.mkpath("share/teliox"));
    const QString bin = root.filePath("bin");
    // Neither there: the path beside the executable, as before.
    EXPECT_EQ(CTelioxView::ManualPathFor(bin), bin + "/Manual.html");
    QFile shared(root.filePath("share/teliox/Manual.html"));
    ASSERT_TRUE(shared.open(QIODevice::WriteOnly));
    shared.close();
    EXPECT_EQ(CTelioxView::ManualPathFor(bin), root.filePath("share/teliox/Manual.html"));
    // One beside the executable wins.
    QFile beside(bin + "/Manual.html");
    ASSERT_TRUE(beside.open(QIODevice::WriteOnly));
    beside.close();
    EXPECT_EQ(CTelioxView::ManualPathFor(bin), bin + "/Manual.html");
}

TEST_F(ViewTest, RefreshEmptiesTheListAtOnceAndSignalsAScan) {
    Add(CameraInfo("cam1", "192.168.0.20", "J3"));
    Add(CameraInfo("cam2", "192.168.0.21", "J3"));
    Select(1);
    const int scansBefore = state->scans;
    view->OnRefresh();
    EXPECT_EQ(view->Model()->rowCount(), 0);
    EXPECT_EQ(view->Devices().DeviceCount(), 0);
    EXPECT_EQ(view->SelectedRow(), -1);
    EXPECT_EQ(state->scans, scansBefore + 1);
    // The next answer from a known camera makes row 0 again.
    Add(CameraInfo("cam2", "192.168.0.21", "J3"));
    ASSERT_EQ(view->Model()->rowCount(), 1);
    EXPECT_EQ(view->Model()->ItemText(0, 0), "cam2");
}

TEST_F(ViewTest, ThousandCamerasFromAWorkerThreadArriveInOneBatch) {
    QSignalSpy inserts(view->Model(), &QAbstractItemModel::rowsInserted);
    std::thread worker([this] {
        ScopedAdapterTable same{TestAdapterTable()};  // a thread of its own reads the table the test gives it too
        for (int i = 0; i < 1000; ++i) {
            DeviceInfo info = CameraInfo("cam" + std::to_string(i), "192.168." + std::to_string(i / 250) + "." +
                                                                         std::to_string(i % 250 + 1), "J3");
            view->Devices().AddOrUpdateDevice(info);
        }
    });
    worker.join();
    EXPECT_EQ(view->Model()->rowCount(), 0);  // nothing is applied off the UI thread
    ASSERT_TRUE(ProcessEventsUntil([this] { return view->Model()->rowCount() == 1000; }));
    EXPECT_EQ(inserts.count(), 1);
    EXPECT_EQ(view->Model()->ItemText(999, 0), "cam999");
    EXPECT_EQ(view->Model()->ItemText(999, 1), "192.168.3.250");
    EXPECT_EQ(view->Model()->ItemImage(0, 0), 0);    // 192.168.0.x: the adapter's subnet
    EXPECT_EQ(view->Model()->ItemImage(999, 0), 1);  // 192.168.3.x: another subnet
}

TEST_F(ViewTest, ChangesQueuedBeforeARefreshDoNotComeBackAfterIt) {
    view->Devices().AddOrUpdateDevice(CameraInfo("cam1", "192.168.0.20", "J3"));
    view->Devices().AddOrUpdateDevice(CameraInfo("cam2", "192.168.0.21", "J3"));
    view->OnRefresh();  // the inserts above are still queued
    EXPECT_EQ(view->Model()->rowCount(), 0);
    view->Devices().AddOrUpdateDevice(CameraInfo("cam3", "192.168.0.22", "J3"));
    ASSERT_TRUE(ProcessEventsUntil([this] { return view->Model()->rowCount() == 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(view->Model()->rowCount(), 1);
    EXPECT_EQ(view->Model()->ItemText(0, 0), "cam3");
}

TEST_F(ViewTest, FirstShowingStartsDiscoveryOnceAndFixesTheColumns) {
    EXPECT_EQ(state->starts, 0);
    view->show();
    EXPECT_EQ(state->starts, 1);
    EXPECT_TRUE(view->StatusTimerRunning());
    const int unit = view->Unit();
    const int client = view->List()->width() - 2 * view->List()->frameWidth();
    const int scrollBar = view->List()->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, view->List());
    EXPECT_EQ(unit, (client - scrollBar) / 17);
    ASSERT_GT(unit, 0);
    const std::array<int, 5> expected{4 * unit, 3 * unit, 4 * unit, 5 * unit, unit};
    EXPECT_EQ(view->ColumnWidths(), expected);

    view->resize(1000, 500);
    QCoreApplication::processEvents();
    EXPECT_EQ(view->List()->width(), 1000);
    EXPECT_EQ(view->ColumnWidths(), expected);
    for (int column = 0; column < 5; ++column)
        EXPECT_EQ(view->List()->header()->sectionResizeMode(column), QHeaderView::Fixed);
    view->hide();
    view->show();
    EXPECT_EQ(state->starts, 1);

    view.reset();
    EXPECT_EQ(state->stops, 1);
}

TEST_F(ViewTest, AllFiveColumnsFitTheDefaultWindowAlsoWithAFullList) {
    CMainFrame frame(FakeFactory(state));
    ASSERT_TRUE(frame.LoadFrame());
    frame.show();
    QCoreApplication::processEvents();
    CCameraListCtrl* list = frame.View()->List();
    const auto widths = frame.View()->ColumnWidths();
    int sum = 0;
    for (int w : widths) sum += w;
    EXPECT_GT(widths[4], 16);  // room for the padlock
    EXPECT_LE(sum, list->viewport()->width());
    EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0);

    // Rows enough for a vertical scroll bar: still no horizontal one.
    for (int i = 0; i < 60; ++i) {
        frame.View()->Devices().AddOrUpdateDevice(
            CameraInfo("cam" + std::to_string(i), "192.168.0." + std::to_string(i + 20), "J3"));
    }
    frame.View()->FlushRowChanges();
    ASSERT_TRUE(ProcessEventsUntil([list] { return list->verticalScrollBar()->isVisible(); }))
        << frame.View()->Model()->rowCount() << " rows, viewport " << list->viewport()->height();
    EXPECT_LE(sum, list->viewport()->width());
    EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0);
    const QRect padlock = list->visualRect(frame.View()->Model()->index(0, 4));
    EXPECT_LE(padlock.right(), list->viewport()->width());
}

TEST_F(ViewTest, AManualThatCannotBeOpenedIsReportedInTheStatus) {
    const std::string failure = "Failed to open manual " + CTelioxView::ManualPath().toStdString();
    // No viewer for it.
    view->SetUrlOpener([](const QUrl&) { return false; });
    view->OnHelpManual();
    EXPECT_EQ(view->StatusText().Get(), failure);

    // Missing: the program's own opener says so without starting a viewer.
    if (QFile::exists(CTelioxView::ManualPath())) GTEST_SKIP() << "a manual lies beside this test";
    CTelioxView plain(nullptr, FakeFactory(state));
    plain.OnHelpManual();
    EXPECT_EQ(plain.StatusText().Get(), failure);
}

TEST_F(ViewTest, APageThatCannotBeOpenedIsReportedInTheStatus) {
    Add(CameraInfo("cam1", "192.168.0.20", "J3"));
    Select(0);
    view->SetUrlOpener([](const QUrl&) { return false; });  // no browser
    view->OnWeb();
    EXPECT_EQ(view->StatusText().Get(), "Failed to open http://192.168.0.20");
    view->OnConnectivityWizard();
    EXPECT_EQ(view->StatusText().Get(), "Failed to open http://192.168.0.20/setupwizard");
}

TEST_F(ViewTest, NamesFromTheNetworkShowAsTypedInTheTooltip) {
    const std::string name = "<h1>BIG</h1><font color=red>Red</font> & <b>bold</b>";
    Add(CameraInfo(name, "192.168.0.20", "J3"));
    const CCameraListModel* model = view->Model();
    ASSERT_EQ(model->rowCount(), 1);
    EXPECT_EQ(model->ItemText(0, 0), QString::fromStdString(name));  // the cell is plain text
    const QString tip = model->data(model->index(0, 0), Qt::ToolTipRole).toString();
    // A tooltip renders what looks like rich text as rich text; what it gets
    // is rich text whose rendering is exactly the name, markup and all.
    ASSERT_TRUE(Qt::mightBeRichText(tip));
    QTextDocument rendered;
    rendered.setHtml(tip);
    const QStringList lines = rendered.toPlainText().split(QChar::LineFeed);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines[0], QString::fromStdString(name));
    EXPECT_FALSE(tip.contains("<h1>"));
    EXPECT_FALSE(tip.contains("<font"));
}

}  // namespace
