#include "app/main_frame.h"

#include "app/about_dlg.h"
#include "app/commands.h"
#include "app/dialog_units.h"
#include "app/icons.h"
#include "app/teliox_doc.h"
#include "app/toolbar_customize.h"

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTextDocument>
#include <QToolBar>
#include <QToolButton>

namespace {
constexpr int kIdleUpdateMs = 100;

struct ToolbarCommand {
    int id;
    const char* prompt;  // "prompt\ntooltip"
};
const ToolbarCommand kToolbarCommands[] = {
    {cmd::ID_TOOLBAR_MODIFY, "Modify IP Address\nModify IP Address"},
    {cmd::ID_TOOLBAR_WEB, "Open User Web\nOpen User Web"},
    {cmd::ID_TOOLBAR_REFRESH, "Refresh Camera List\nRefresh Camera List"},
};
}  // namespace

CMainFrame::CMainFrame(DiscoveryFactory factory)
    : discoveryFactory(std::move(factory)), currentLook(ReadApplicationLook()) {
    setObjectName(QStringLiteral("CMainFrame"));
    idleTimer.setInterval(kIdleUpdateMs);
    connect(&idleTimer, &QTimer::timeout, this, &CMainFrame::OnIdleUpdate);
}

CMainFrame::~CMainFrame() {
    idleTimer.stop();
    // The view (and with it the discovery threads) goes before the document.
    delete view;
    view = nullptr;
}

QString CMainFrame::FrameTitle() { return QStringLiteral("Teliox 3.5"); }

QAction* CMainFrame::NewCommand(int id, const QString& text, const QString& prompt, const QString& tip) {
    auto* action = new QAction(text, this);
    action->setData(id);
    if (!prompt.isEmpty()) action->setStatusTip(prompt);
    if (!tip.isEmpty()) action->setToolTip(tip);
    connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
    commandActions.insert(id, action);
    addAction(action);  // shortcuts work while the action is not on a bar
    return action;
}

bool CMainFrame::CreateMenuBar() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("menubar0xE806"));
    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    file->addAction(NewCommand(cmd::ID_EXPORT_CAMERA_LIST, QStringLiteral("Export Camera List..."),
                               QStringLiteral("Save the camera list as CSV or JSON")));
    file->addSeparator();
    file->addAction(NewCommand(cmd::ID_APP_EXIT, QStringLiteral("E&xit")));
    QMenu* tools = bar->addMenu(QStringLiteral("Tools"));
    tools->addAction(NewCommand(cmd::ID_ASSIGN_ADDRESSES, QStringLiteral("Assign Addresses..."),
                                QStringLiteral("Give the selected cameras new addresses in one go")));
    tools->addAction(NewCommand(cmd::ID_OPTIONS, QStringLiteral("Options..."), QStringLiteral("Set application options")));
    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    help->addAction(NewCommand(cmd::ID_HELP_MANUAL, QStringLiteral("&Manual as HTML Help"), QStringLiteral("Open manual")));
    help->addSeparator();
    help->addAction(NewCommand(cmd::ID_APP_ABOUT, QStringLiteral("&About Teliox...")));
    // Enabling rules are evaluated right before a menu shows.
    for (QMenu* menu : {file, tools, help})
        connect(menu, &QMenu::aboutToShow, this, [this, menu] { UpdateCommandUI(menu->actions()); });
    return true;
}

bool CMainFrame::CreateToolBar() {
    toolBar = new QToolBar(QString::fromLatin1(text::kToolbarName), this);
    toolBar->setObjectName(QStringLiteral("toolbar0xE800"));
    toolBar->setMovable(false);  // docked at the top, no gripper
    toolBar->setFloatable(false);
    toolBar->setIconSize(QSize(18, 18));
    toolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolBar->setContentsMargins(1, 1, 1, 1);
    for (const ToolbarCommand& command : kToolbarCommands) {
        const QStringList parts = QString::fromLatin1(command.prompt).split(QLatin1Char('\n'));
        QAction* action = NewCommand(command.id, parts.value(1), parts.value(0), parts.value(1));
        action->setIcon(icons::ToolbarIcon(command.id));
        toolBar->addAction(action);
    }
    commandActions.value(cmd::ID_TOOLBAR_REFRESH)->setShortcut(QKeySequence(Qt::Key_F5));
    commandActions.value(cmd::ID_TOOLBAR_REFRESH)->setShortcutContext(Qt::WindowShortcut);

    // The customise button at the end of the toolbar.
    QAction* customize = NewCommand(cmd::ID_VIEW_CUSTOMIZE, QString::fromLatin1(text::kCustomize));
    auto* button = new QToolButton(toolBar);
    button->setObjectName(QStringLiteral("customizeButton"));
    button->setArrowType(Qt::DownArrow);
    button->setAutoRaise(true);
    button->setToolTip(QString::fromLatin1(text::kCustomize));
    button->setPopupMode(QToolButton::InstantPopup);
    button->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
    auto* buttonMenu = new QMenu(button);
    buttonMenu->addAction(customize);
    button->setMenu(buttonMenu);
    button->setFixedWidth(14);
    customizeButtonAction = toolBar->addWidget(button);
    addToolBar(Qt::TopToolBarArea, toolBar);
    return true;
}

bool CMainFrame::CreateStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("statusbar0xE801"));
    statusPane = new QLabel(bar);
    statusPane->setObjectName(QStringLiteral("pane129"));
    statusPane->setAccessibleName(QString::fromLatin1(text::kStatusPaneName));
    statusPane->setFixedWidth(200);
    statusPane->setTextFormat(Qt::PlainText);
    bar->addWidget(statusPane, 0);
    auto* stretch = new QLabel(bar);  // pane 1: stretching, no text
    bar->addWidget(stretch, 1);
    return true;
}

bool CMainFrame::LoadFrame() {
    setWindowIcon(icons::ApplicationIcon());
    if (!CreateMenuBar() || !CreateToolBar() || !CreateStatusBar()) return false;

    document = std::make_unique<CTelioxDoc>();
    if (!document->OnNewDocument()) return false;
    setWindowTitle(document->GetTitle() + QStringLiteral(" - ") + FrameTitle());

    view = new CTelioxView(this, discoveryFactory);
    setCentralWidget(view);

    // The frame fits the form (341 x 200 dialog units) below the bars.
    const CDialogUnits du(font());
    const QSize form = du.Size(341, 200);
    resize(form.width(), form.height() + menuBar()->sizeHint().height() + toolBar->sizeHint().height() +
                             statusBar()->sizeHint().height());

    OnApplicationLook(currentLook);
    idleTimer.start();
    return true;
}

void CMainFrame::SetStatusPaneText(const QString& text) {
    statusPaneText = text;
    trackingPrompt = false;  // a status pushed at once wins over a fly-by prompt
    if (!statusPane) return;
    ShowInStatusPane(text);
    // The caller is about to block the UI thread: paint now.
    statusBar()->repaint();
}

// The pane is 200 pixels wide and cuts longer texts; the whole text is then
// its tooltip. Texts may hold names from the network: the tooltip shows them
// as plain text, never as markup.
void CMainFrame::ShowInStatusPane(const QString& text) {
    statusPane->setText(text);
    const bool cut = statusPane->fontMetrics().horizontalAdvance(text) > statusPane->contentsRect().width();
    statusPane->setToolTip(cut ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : QString());
}

void CMainFrame::SetStatusPaneTextDeferred(const QString& text) { statusPaneText = text; }

bool CMainFrame::IsCommandEnabled(int id) {
    bool enabled = false;
    if (view && view->OnUpdateCmdUI(id, enabled)) return enabled;
    if (id == cmd::ID_VIEW_CUSTOMIZE || id == cmd::ID_APP_EXIT || id == cmd::ID_APP_ABOUT) return true;
    if (id >= cmd::ID_VIEW_APPLOOK_FIRST && id <= cmd::ID_VIEW_APPLOOK_LAST) return true;
    return false;  // no handler: disabled
}

void CMainFrame::OnCommand(int id) {
    // The rule is checked again at the moment of the command: a bar or key may
    // still show the state of the last update.
    if (!IsCommandEnabled(id)) return;
    if (view && view->OnCmdMsg(id)) return;
    if (id == cmd::ID_VIEW_CUSTOMIZE) {
        OnViewCustomize();
    } else if (id == cmd::ID_APP_EXIT) {
        close();
    } else if (id >= cmd::ID_VIEW_APPLOOK_FIRST && id <= cmd::ID_VIEW_APPLOOK_LAST) {
        OnApplicationLook(id);
    } else if (appCommandHandler && appCommandHandler(id)) {
        return;
    } else if (id == cmd::ID_APP_ABOUT) {
        CAboutDlg about(this);
        about.DoModal();
    }
}

void CMainFrame::UpdateCommandUI(const QList<QAction*>& list) {
    for (QAction* action : list) {
        if (action->isSeparator() || !action->data().isValid()) continue;
        const bool enabled = IsCommandEnabled(action->data().toInt());
        if (action->isEnabled() != enabled) action->setEnabled(enabled);
    }
}

void CMainFrame::OnIdleUpdate() {
    if (toolBar) UpdateCommandUI(toolBar->actions());
    if (QAction* refresh = commandActions.value(cmd::ID_TOOLBAR_REFRESH)) UpdateCommandUI({refresh});
    if (statusPane) {
        statusPane->setEnabled(true);
        // A fly-by prompt stays while the pointer rests on its command, but
        // only until the status text changes: a new status is never hidden.
        if (trackingPrompt && statusPaneText != statusAtPrompt) trackingPrompt = false;
        if (!trackingPrompt && statusPane->text() != statusPaneText) ShowInStatusPane(statusPaneText);
    }
}

bool CMainFrame::event(QEvent* event) {
    if (event->type() == QEvent::StatusTip) {
        // Fly-by prompts show in pane 0 while the pointer is on a command.
        const QString tip = static_cast<QStatusTipEvent*>(event)->tip();
        trackingPrompt = !tip.isEmpty();
        statusAtPrompt = statusPaneText;
        if (statusPane) ShowInStatusPane(trackingPrompt ? tip : statusPaneText);
        return true;
    }
    return QMainWindow::event(event);
}

QMenu* CMainFrame::createPopupMenu() {
    QMenu* menu = QMainWindow::createPopupMenu();
    if (!menu) menu = new QMenu(this);
    menu->addSeparator();
    menu->addAction(commandActions.value(cmd::ID_VIEW_CUSTOMIZE));
    return menu;
}

void CMainFrame::OnApplicationLook(int id) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    currentLook = id;
    currentLookChoice = ApplyLook(id);
    // Docking mode has no counterpart here; the frame and its children are redrawn.
    update();
    for (QWidget* child : findChildren<QWidget*>()) child->update();
    WriteApplicationLook(id);
    QApplication::restoreOverrideCursor();
}

void CMainFrame::OnViewCustomize() {
    if (!customizeDialog) {
        customizeDialog = new CToolbarCustomizeDlg(this);
        customizeDialog->setAttribute(Qt::WA_DeleteOnClose);
    }
    customizeDialog->show();  // modeless
    customizeDialog->raise();
    customizeDialog->activateWindow();
}

QList<int> CMainFrame::DefaultToolbarCommands() {
    QList<int> ids;
    for (const ToolbarCommand& command : kToolbarCommands) ids << command.id;
    return ids;
}

QList<int> CMainFrame::ToolbarCommands() const {
    QList<int> ids;
    if (!toolBar) return ids;
    for (QAction* action : toolBar->actions())
        if (action != customizeButtonAction && action->data().isValid()) ids << action->data().toInt();
    return ids;
}

void CMainFrame::SetToolbarCommands(const QList<int>& ids) {
    if (!toolBar) return;
    for (QAction* action : toolBar->actions())
        if (action != customizeButtonAction) toolBar->removeAction(action);
    for (int id : ids)
        if (QAction* action = commandActions.value(id); action && DefaultToolbarCommands().contains(id))
            toolBar->insertAction(customizeButtonAction, action);
    UpdateCommandUI(toolBar->actions());
}
