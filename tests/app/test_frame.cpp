// The main frame: caption, bars, status pane, command routing with enabling
// rules, the stored look and the toolbar customisation.
#include "app/about_dlg.h"
#include "app/commands.h"
#include "app/looks.h"
#include "app/main_frame.h"
#include "app/toolbar_customize.h"
#include "app_test_support.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QSettings>
#include <QStatusTipEvent>
#include <QTest>
#include <QToolBar>

namespace {

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        NewProgramSettings()->clear();
        state = std::make_shared<FakeDiscoveryState>();
    }

    std::unique_ptr<CMainFrame> MakeFrame() {
        auto frame = std::make_unique<CMainFrame>(FakeFactory(state));
        EXPECT_TRUE(frame->LoadFrame());
        return frame;
    }

    static QVariant StoredLook() { return NewProgramSettings()->value("ApplicationLook"); }

    ScopedAdapterTable adapters{TestAdapterTable()};
    std::shared_ptr<FakeDiscoveryState> state;
};

TEST_F(FrameTest, FirstRunUsesAndStoresTheDefaultLook) {
    ASSERT_FALSE(StoredLook().isValid());
    auto frame = MakeFrame();
    EXPECT_EQ(frame->CurrentLook(), 210);
    EXPECT_EQ(frame->CurrentLookChoice().manager, VisualManager::VS2008);
    EXPECT_EQ(StoredLook().toInt(), 210);
}

TEST_F(FrameTest, AnUnknownStoredLookStaysAndUsesTheOffice2007Look) {
    NewProgramSettings()->setValue("ApplicationLook", 300);
    auto frame = MakeFrame();
    EXPECT_EQ(frame->CurrentLook(), 300);
    EXPECT_EQ(frame->CurrentLookChoice().manager, VisualManager::Office2007);
    EXPECT_TRUE(frame->CurrentLookChoice().smartDocking);
    EXPECT_EQ(StoredLook().toInt(), 300);

    // 216 picks the black style; an id without a style keeps it.
    frame->OnCommand(216);
    EXPECT_EQ(StoredLook().toInt(), 216);
    frame->OnCommand(212);
    EXPECT_EQ(frame->CurrentLookChoice().manager, VisualManager::Office2007);
    EXPECT_EQ(frame->CurrentLookChoice().style, Office2007Style::Black);
    EXPECT_EQ(StoredLook().toInt(), 212);
}

TEST_F(FrameTest, UnreadableStoredLookFallsBackToTheDefault) {
    NewProgramSettings()->setValue("ApplicationLook", "not a number");
    EXPECT_EQ(ReadApplicationLook(), 210);
}

TEST(LookTable, IdsSelectTheirManagers) {
    EXPECT_EQ(LookForId(205).manager, VisualManager::Plain);
    EXPECT_FALSE(LookForId(205).smartDocking);
    EXPECT_FALSE(LookForId(207).smartDocking);
    EXPECT_EQ(LookForId(208).manager, VisualManager::Office2003);
    EXPECT_EQ(LookForId(217).style, Office2007Style::Silver);
    EXPECT_EQ(LookForId(219).manager, VisualManager::Windows7);
    EXPECT_EQ(LookForId(213).manager, VisualManager::Office2007);
    EXPECT_FALSE(LookForId(213).styleGiven);
    EXPECT_EQ(VisualManagerName(LookForId(210).manager), "CMFCVisualManagerVS2008");
}

TEST_F(FrameTest, CaptionMenusToolbarAndStatusBarAreAsBuilt) {
    auto frame = MakeFrame();
    EXPECT_EQ(frame->windowTitle(), "ZYRK - Teliox 3.5");
    QStringList menus;
    for (QAction* action : frame->menuBar()->actions()) menus << action->text();
    EXPECT_EQ(menus, QStringList({"&File", "Tools", "&Help"}));
    EXPECT_EQ(frame->Action(cmd::ID_HELP_MANUAL)->text(), "&Manual as HTML Help");
    EXPECT_EQ(frame->Action(cmd::ID_HELP_MANUAL)->statusTip(), "Open manual");
    EXPECT_EQ(frame->Action(cmd::ID_OPTIONS)->statusTip(), "Set application options");
    EXPECT_EQ(frame->Action(cmd::ID_APP_ABOUT)->text(), "&About Teliox...");

    EXPECT_EQ(frame->ToolBar()->windowTitle(), "Standard");
    EXPECT_EQ(frame->ToolbarCommands(), QList<int>({32781, 32782, 32783}));
    EXPECT_EQ(frame->Action(32781)->toolTip(), "Modify IP Address");
    EXPECT_EQ(frame->Action(32782)->statusTip(), "Open User Web");
    EXPECT_EQ(frame->Action(32783)->toolTip(), "Refresh Camera List");
    EXPECT_EQ(frame->Action(32783)->shortcut(), QKeySequence(Qt::Key_F5));
    EXPECT_EQ(frame->Action(32781)->icon().pixmap(18, 18).size(), QSize(18, 18));
    EXPECT_EQ(frame->StatusPane()->width(), 200);
}

TEST_F(FrameTest, StatusPaneShowsTextsAtOnceOrAtTheNextIdleUpdate) {
    auto frame = MakeFrame();
    frame->show();
    frame->SetStatusPaneText("Connecting to camera...");
    EXPECT_EQ(frame->StatusPane()->text(), "Connecting to camera...");

    // The view's timer hands its status text to the frame; the idle update shows it.
    frame->View()->SetStatus("Scan completed");
    frame->View()->OnTimer();
    EXPECT_EQ(frame->StatusPaneText(), "Scan completed");
    frame->OnIdleUpdate();
    EXPECT_EQ(frame->StatusPane()->text(), "Scan completed");

    // A fly-by prompt shows while the pointer is on a command, then the status returns.
    QStatusTipEvent tip("Open manual");
    QCoreApplication::sendEvent(frame.get(), &tip);
    EXPECT_EQ(frame->StatusPane()->text(), "Open manual");
    frame->OnIdleUpdate();
    EXPECT_EQ(frame->StatusPane()->text(), "Open manual");
    QStatusTipEvent none(QString{});
    QCoreApplication::sendEvent(frame.get(), &none);
    EXPECT_EQ(frame->StatusPane()->text(), "Scan completed");
}

// A text longer than the 200-pixel pane is cut there; its tooltip holds the
// whole text, as plain text even when a camera's name looks like markup.
TEST_F(FrameTest, ACutStatusTextIsWholeInThePanesTooltip) {
    auto frame = MakeFrame();
    frame->show();
    frame->SetStatusPaneText("Scan completed");
    EXPECT_TRUE(frame->StatusPane()->toolTip().isEmpty());

    const QString text = "Camera certificate not stored: the host name names no file (\"<b>cam</b> of the far hall\")";
    frame->SetStatusPaneText(text);
    const QString tip = frame->StatusPane()->toolTip();
    EXPECT_TRUE(tip.contains("&lt;b&gt;cam&lt;/b&gt; of the far hall")) << tip.toStdString();
    EXPECT_FALSE(tip.contains("<b>"));

    frame->SetStatusPaneText("Connected");
    EXPECT_TRUE(frame->StatusPane()->toolTip().isEmpty());
}

TEST_F(FrameTest, ANewStatusReplacesTheFlyByPromptOfTheCommandUnderThePointer) {
    auto frame = MakeFrame();
    frame->show();
    frame->View()->SetStatus("Scan completed");
    frame->View()->OnTimer();
    frame->OnIdleUpdate();

    // The pointer rests on the toolbar's Modify button and the user clicks it.
    QStatusTipEvent tip("Modify IP Address");
    QCoreApplication::sendEvent(frame.get(), &tip);
    EXPECT_EQ(frame->StatusPane()->text(), "Modify IP Address");
    frame->View()->SetStatus("No item selected");
    frame->View()->OnTimer();
    frame->OnIdleUpdate();
    EXPECT_EQ(frame->StatusPane()->text(), "No item selected");

    // Pointing at a command again shows its prompt; a text pushed at once wins too.
    QStatusTipEvent again("Open User Web");
    QCoreApplication::sendEvent(frame.get(), &again);
    EXPECT_EQ(frame->StatusPane()->text(), "Open User Web");
    frame->SetStatusPaneText("Connecting to camera...");
    frame->OnIdleUpdate();
    EXPECT_EQ(frame->StatusPane()->text(), "Connecting to camera...");
}

TEST_F(FrameTest, RefreshWhileScanningOnlyFromTheContextMenu) {
    auto frame = MakeFrame();
    frame->show();
    CTelioxView* view = frame->View();
    ASSERT_EQ(state->starts, 1);
    view->Devices().AddOrUpdateDevice(CameraInfo("cam1", "192.168.0.20", "J3"));
    view->FlushRowChanges();
    state->scanning = true;
    const int scans = state->scans;

    frame->OnIdleUpdate();
    EXPECT_FALSE(frame->Action(cmd::ID_TOOLBAR_REFRESH)->isEnabled());
    frame->OnCommand(cmd::ID_TOOLBAR_REFRESH);  // F5 and the toolbar button
    EXPECT_EQ(view->Model()->rowCount(), 1);
    EXPECT_EQ(state->scans, scans);

    QApplication::setActiveWindow(frame.get());
    QTest::keyClick(frame.get(), Qt::Key_F5);
    EXPECT_EQ(view->Model()->rowCount(), 1);
    EXPECT_EQ(state->scans, scans);

    // The context menu's Refresh is always enabled.
    view->List()->selectionModel()->select(view->Model()->index(0, 0),
                                           QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    view->SetPopupRunner([](QMenu& menu, const QPoint&) -> QAction* {
        for (QAction* action : menu.actions())
            if (action->data().toInt() == cmd::ID_REFRESH) return action;
        return nullptr;
    });
    view->OnRightClick(QPoint(1, 1));
    EXPECT_EQ(view->Model()->rowCount(), 0);
    EXPECT_EQ(state->scans, scans + 1);

    // Once the cycle has ended, F5 refreshes.
    state->scanning = false;
    frame->OnIdleUpdate();
    EXPECT_TRUE(frame->Action(cmd::ID_TOOLBAR_REFRESH)->isEnabled());
    QTest::keyClick(frame.get(), Qt::Key_F5);
    EXPECT_EQ(state->scans, scans + 2);
}

TEST_F(FrameTest, ToolbarFollowsTheSelectionAtTheIdleUpdate) {
    auto frame = MakeFrame();
    frame->show();
    CTelioxView* view = frame->View();
    view->Devices().AddOrUpdateDevice(CameraInfo("gige0", "192.168.0.40", "HU"));
    view->FlushRowChanges();
    frame->OnIdleUpdate();
    EXPECT_FALSE(frame->Action(cmd::ID_TOOLBAR_MODIFY)->isEnabled());
    EXPECT_FALSE(frame->Action(cmd::ID_TOOLBAR_WEB)->isEnabled());
    view->List()->selectionModel()->select(view->Model()->index(0, 0),
                                           QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    frame->OnIdleUpdate();
    EXPECT_TRUE(frame->Action(cmd::ID_TOOLBAR_MODIFY)->isEnabled());
    EXPECT_FALSE(frame->Action(cmd::ID_TOOLBAR_WEB)->isEnabled());
    // A disabled command does not run, whoever asks for it.
    std::vector<QUrl> opened;
    view->SetUrlOpener([&opened](const QUrl& url) {
        opened.push_back(url);
        return true;
    });
    frame->OnCommand(cmd::ID_TOOLBAR_WEB);
    EXPECT_TRUE(opened.empty());
    EXPECT_FALSE(frame->IsCommandEnabled(4242));  // no handler: disabled
}

TEST_F(FrameTest, CustomisingTheToolbarReordersAndHidesCommands) {
    auto frame = MakeFrame();
    CToolbarCustomizeDlg dlg(frame.get());
    QListWidget* list = dlg.CommandList();
    ASSERT_EQ(list->count(), 3);
    list->setCurrentRow(2);  // Refresh to the top
    dlg.MoveSelected(-1);
    dlg.MoveSelected(-1);
    EXPECT_EQ(frame->ToolbarCommands(), QList<int>({32783, 32781, 32782}));
    list->item(2)->setCheckState(Qt::Unchecked);  // hide "Open User Web"
    EXPECT_EQ(frame->ToolbarCommands(), QList<int>({32783, 32781}));
    // F5 still works while its button is elsewhere on the bar or hidden.
    EXPECT_TRUE(frame->actions().contains(frame->Action(cmd::ID_TOOLBAR_REFRESH)));
    dlg.Reset();
    EXPECT_EQ(frame->ToolbarCommands(), QList<int>({32781, 32782, 32783}));

    // The bars' context menu offers "Customize...".
    std::unique_ptr<QMenu> menu(frame->createPopupMenu());
    bool found = false;
    for (QAction* action : menu->actions()) found |= action->data().toInt() == cmd::ID_VIEW_CUSTOMIZE;
    EXPECT_TRUE(found);
}

TEST_F(FrameTest, ClosingTheFrameStopsDiscovery) {
    auto frame = MakeFrame();
    frame->show();
    EXPECT_EQ(state->starts, 1);
    frame.reset();
    EXPECT_EQ(state->stops, 1);
}

TEST(AboutBox, ShowsNameVersionAndOk) {
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle(), "About Teliox");
    bool versionShown = false;
    for (QLabel* label : about.findChildren<QLabel*>()) versionShown |= label->text() == "Teliox, Version 3.5";
    EXPECT_TRUE(versionShown);
}

}  // namespace
