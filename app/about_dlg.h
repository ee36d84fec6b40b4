// The about box: the application icon, the program's name and version, the
// legal notice and OK.
#pragma once

#include <QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 100 };
    explicit CAboutDlg(QWidget* parent = nullptr);
    int DoModal() { return exec(); }
};
