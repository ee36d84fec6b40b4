#include "app/options_dlg.h"

#include "app/dialog_units.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include <algorithm>

Options::Options(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Options"));
    setObjectName(QStringLiteral("Options"));
    const CDialogUnits du(font());
    setFixedSize(du.Size(143, 84));

    auto* label = new QLabel(QStringLiteral("Language"), this);
    du.Place(label, 14, 14, 110, 12);
    languageCombo = new QComboBox(this);
    languageCombo->setObjectName(QStringLiteral("languageCombo"));
    // The item list comes with the dialog, as its initialisation data.
    languageCombo->addItem(QStringLiteral("English"));
    const QRect comboRect = du.Rect(13, 32, 111, 12);
    languageCombo->setGeometry(comboRect.x(), comboRect.y(), comboRect.width(),
                               std::max(comboRect.height(), languageCombo->sizeHint().height()));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    du.Place(ok, 18, 63, 50, 14);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    du.Place(cancel, 75, 63, 50, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

bool Options::OnInitDialog() {
    languageCombo->setCurrentIndex(0);
    return true;
}

void Options::showEvent(QShowEvent* event) {
    OnInitDialog();
    QDialog::showEvent(event);
}

int Options::DoModal() { return exec(); }
