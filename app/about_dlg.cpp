#include "app/about_dlg.h"

#include "app/dialog_units.h"
#include "app/icons.h"

#include <QLabel>
#include <QPushButton>

#include <algorithm>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Teliox"));
    setObjectName(QStringLiteral("CAboutDlg"));
    setWindowIcon(icons::ApplicationIcon());
    const CDialogUnits du(font());
    setFixedSize(du.Size(170, 62));

    auto* icon = new QLabel(this);
    icon->setPixmap(icons::ApplicationIcon().pixmap(QSize(32, 32), devicePixelRatioF()));
    icon->setGeometry(du.X(14), du.Y(14), 32, 32);

    auto* version = new QLabel(QStringLiteral("Teliox, Version 3.5"), this);
    du.Place(version, 42, 14, 114, 8);
    version->setMinimumHeight(version->sizeHint().height());
    auto* legal = new QLabel(QStringLiteral("Copyright (C) ZYRK"), this);
    du.Place(legal, 42, 26, 120, 8);
    legal->setMinimumHeight(legal->sizeHint().height());

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    du.Place(ok, 113, 41, 50, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    // Wider than the template only when a font leaves a text no room.
    const int needed = std::max(version->x() + version->sizeHint().width(), legal->x() + legal->sizeHint().width()) + du.X(7);
    if (needed > width()) {
        setFixedWidth(needed);
        ok->move(needed - ok->width() - du.X(7), ok->y());
    }
    version->resize(std::max(version->width(), version->sizeHint().width()), version->height());
    legal->resize(std::max(legal->width(), legal->sizeHint().width()), legal->height());
}
