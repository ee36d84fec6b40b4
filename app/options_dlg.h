// The options dialog: the user-interface language, of which there is one,
// "English". Nothing is stored or applied.
#pragma once

#include <QDialog>

class QComboBox;

class Options : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 316 };
    explicit Options(QWidget* parent = nullptr);

    int DoModal();
    bool OnInitDialog();

    QComboBox* languageCombo;  // control 1006

protected:
    void showEvent(QShowEvent* event) override;
};
