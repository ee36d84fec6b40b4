// The main frame: menu bar, the "Standard" toolbar, the status bar whose pane 0
// shows the status text, the visual look, and the routing of commands to the
// view's, the frame's and the application's handlers.
#pragma once

#include "app/looks.h"
#include "app/teliox_view.h"

#include <QHash>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>

class QAction;
class QLabel;
class QToolBar;
class QToolButton;
class CTelioxDoc;
class CToolbarCustomizeDlg;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // `discoveryFactory` goes to the view (empty: the real discovery threads).
    explicit CMainFrame(DiscoveryFactory discoveryFactory = {});
    ~CMainFrame() override;

    // Creates the bars, the document and the view and applies the stored
    // look; false when a part cannot be created.
    bool LoadFrame();

    // Puts the text into status pane 0 and paints the status bar at once.
    void SetStatusPaneText(const QString& text);
    // Stores the text; the next idle update shows it.
    void SetStatusPaneTextDeferred(const QString& text);
    QString StatusPaneText() const { return statusPaneText; }
    QLabel* StatusPane() const { return statusPane; }

    // Runs a command by id when its enabling rule allows it.
    void OnCommand(int id);
    bool IsCommandEnabled(int id);
    // Evaluates the enabling rules of these actions.
    void UpdateCommandUI(const QList<QAction*>& actions);
    // The idle update: toolbar enabling and status pane 0.
    void OnIdleUpdate();

    void OnApplicationLook(int id);
    int CurrentLook() const { return currentLook; }
    LookChoice CurrentLookChoice() const { return currentLookChoice; }

    void OnViewCustomize();
    // Toolbar commands in their order on the toolbar, and all it can hold.
    QList<int> ToolbarCommands() const;
    static QList<int> DefaultToolbarCommands();
    void SetToolbarCommands(const QList<int>& ids);

    // Commands the application object handles (the about box).
    void SetAppCommandHandler(std::function<bool(int)> handler) { appCommandHandler = std::move(handler); }

    CTelioxView* View() const { return view; }
    CTelioxDoc* Document() const { return document.get(); }
    QToolBar* ToolBar() const { return toolBar; }
    QAction* Action(int id) const { return commandActions.value(id, nullptr); }
    static QString FrameTitle();

    // The bars' context menu, with "Customize...".
    QMenu* createPopupMenu() override;

protected:
    bool event(QEvent* event) override;

private:
    QAction* NewCommand(int id, const QString& text, const QString& prompt = {}, const QString& tip = {});
    bool CreateMenuBar();
    bool CreateToolBar();
    bool CreateStatusBar();
    void ShowInStatusPane(const QString& text);

    DiscoveryFactory discoveryFactory;
    std::unique_ptr<CTelioxDoc> document;
    CTelioxView* view = nullptr;
    QToolBar* toolBar = nullptr;
    QAction* customizeButtonAction = nullptr;
    QLabel* statusPane = nullptr;
    QString statusPaneText;
    bool trackingPrompt = false;
    QString statusAtPrompt;  // the status text when the fly-by prompt came up
    QHash<int, QAction*> commandActions;
    QTimer idleTimer;
    int currentLook;
    LookChoice currentLookChoice;
    std::function<bool(int)> appCommandHandler;
    QPointer<CToolbarCustomizeDlg> customizeDialog;
};
