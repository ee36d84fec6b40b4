// Customising the "Standard" toolbar: which of its commands it shows and in
// which order. Modeless; changes apply at once.
#pragma once

#include <QDialog>

class CMainFrame;
class QListWidget;
class QPushButton;
class QCheckBox;

class CToolbarCustomizeDlg : public QDialog {
    Q_OBJECT
public:
    explicit CToolbarCustomizeDlg(CMainFrame* frame);

    QListWidget* CommandList() const { return list; }
    void MoveSelected(int delta);
    void Reset();
    // Applies the list (checked items, in list order) to the toolbar.
    void Apply();

private:
    void Fill(const QList<int>& order, const QList<int>& shown);
    void UpdateButtons();

    CMainFrame* frame;
    QListWidget* list;
    QCheckBox* showToolbar;
    QPushButton* upButton;
    QPushButton* downButton;
    bool filling = false;
};
