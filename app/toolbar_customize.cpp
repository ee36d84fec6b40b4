#include "app/toolbar_customize.h"

#include "app/main_frame.h"

#include <QAction>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QToolBar>
#include <QVBoxLayout>

CToolbarCustomizeDlg::CToolbarCustomizeDlg(CMainFrame* frame) : QDialog(frame), frame(frame) {
    setWindowTitle(QStringLiteral("Customize"));
    setObjectName(QStringLiteral("CToolbarCustomizeDlg"));
    setModal(false);

    auto* layout = new QVBoxLayout(this);
    showToolbar = new QCheckBox(QStringLiteral("Show the \"Standard\" toolbar"), this);
    showToolbar->setChecked(frame->ToolBar() && frame->ToolBar()->isVisible());
    layout->addWidget(showToolbar);
    layout->addWidget(new QLabel(QStringLiteral("Toolbar commands:"), this));

    auto* row = new QHBoxLayout;
    list = new QListWidget(this);
    list->setIconSize(QSize(18, 18));
    row->addWidget(list, 1);
    auto* buttons = new QVBoxLayout;
    upButton = new QPushButton(QStringLiteral("Move &Up"), this);
    downButton = new QPushButton(QStringLiteral("Move &Down"), this);
    auto* reset = new QPushButton(QStringLiteral("&Reset"), this);
    buttons->addWidget(upButton);
    buttons->addWidget(downButton);
    buttons->addWidget(reset);
    buttons->addStretch(1);
    row->addLayout(buttons);
    layout->addLayout(row);

    auto* close = new QPushButton(QStringLiteral("Close"), this);
    auto* closeRow = new QHBoxLayout;
    closeRow->addStretch(1);
    closeRow->addWidget(close);
    layout->addLayout(closeRow);

    // Shown commands first, in toolbar order, then the hidden ones.
    const QList<int> shown = frame->ToolbarCommands();
    QList<int> order = shown;
    for (int id : CMainFrame::DefaultToolbarCommands())
        if (!order.contains(id)) order << id;
    Fill(order, shown);

    connect(list, &QListWidget::itemChanged, this, [this] {
        if (!filling) Apply();
    });
    connect(list, &QListWidget::currentRowChanged, this, [this] { UpdateButtons(); });
    connect(upButton, &QPushButton::clicked, this, [this] { MoveSelected(-1); });
    connect(downButton, &QPushButton::clicked, this, [this] { MoveSelected(1); });
    connect(reset, &QPushButton::clicked, this, &CToolbarCustomizeDlg::Reset);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    connect(showToolbar, &QCheckBox::toggled, this, [this](bool on) {
        if (this->frame->ToolBar()) this->frame->ToolBar()->setVisible(on);
    });
    UpdateButtons();
}

void CToolbarCustomizeDlg::Fill(const QList<int>& order, const QList<int>& shown) {
    filling = true;
    list->clear();
    for (int id : order) {
        QAction* action = frame->Action(id);
        if (!action) continue;
        auto* item = new QListWidgetItem(action->icon(), action->toolTip(), list);
        item->setData(Qt::UserRole, id);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(shown.contains(id) ? Qt::Checked : Qt::Unchecked);
    }
    filling = false;
}

void CToolbarCustomizeDlg::MoveSelected(int delta) {
    const int row = list->currentRow();
    const int target = row + delta;
    if (row < 0 || target < 0 || target >= list->count()) return;
    filling = true;
    QListWidgetItem* item = list->takeItem(row);
    list->insertItem(target, item);
    list->setCurrentRow(target);
    filling = false;
    Apply();
}

void CToolbarCustomizeDlg::Reset() {
    Fill(CMainFrame::DefaultToolbarCommands(), CMainFrame::DefaultToolbarCommands());
    Apply();
}

void CToolbarCustomizeDlg::Apply() {
    QList<int> ids;
    for (int i = 0; i < list->count(); ++i)
        if (list->item(i)->checkState() == Qt::Checked) ids << list->item(i)->data(Qt::UserRole).toInt();
    frame->SetToolbarCommands(ids);
    UpdateButtons();
}

void CToolbarCustomizeDlg::UpdateButtons() {
    const int row = list->currentRow();
    upButton->setEnabled(row > 0);
    downButton->setEnabled(row >= 0 && row < list->count() - 1);
}
