#include "app/dialog_units.h"

#include <QFontMetrics>
#include <QWidget>

CDialogUnits::CDialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average width of the 52 Latin letters, rounded, as the dialog manager measures it.
    const int letters = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseX = (letters / 26 + 1) / 2;
    if (baseX < 1) baseX = 1;
    baseY = metrics.height();
    if (baseY < 1) baseY = 1;
}

int CDialogUnits::X(int dlu) const { return (dlu * baseX + 2) / 4; }
int CDialogUnits::Y(int dlu) const { return (dlu * baseY + 4) / 8; }

QRect CDialogUnits::Rect(int x, int y, int width, int height) const {
    return QRect(X(x), Y(y), X(width), Y(height));
}

QSize CDialogUnits::Size(int width, int height) const { return QSize(X(width), Y(height)); }

void CDialogUnits::Place(QWidget* child, int x, int y, int width, int height) const {
    child->setGeometry(Rect(x, y, width, height));
}
