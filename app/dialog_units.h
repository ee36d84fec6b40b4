// Dialog units to pixels. A dialog template gives positions in dialog units:
// a horizontal unit is a quarter of the font's average character width, a
// vertical unit an eighth of its height, so layouts scale with the font.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

class CDialogUnits {
public:
    explicit CDialogUnits(const QFont& font);

    int X(int dlu) const;
    int Y(int dlu) const;
    QRect Rect(int x, int y, int width, int height) const;
    QSize Size(int width, int height) const;

    int BaseX() const { return baseX; }
    int BaseY() const { return baseY; }

    // Places a child at a rectangle given in dialog units.
    void Place(QWidget* child, int x, int y, int width, int height) const;

private:
    int baseX;
    int baseY;
};
