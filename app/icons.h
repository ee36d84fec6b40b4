// The program's pictures, drawn with QPainter: the list images (16x16), the
// toolbar images (18x18) and the application icon (16, 32 and 48 pixels).
#pragma once

#include <QIcon>
#include <QPixmap>
#include <vector>

namespace icons {

// Images of the camera list in image-list order: 0 check mark, 1 red cross,
// 2 closed padlock, 3 open padlock, 4 exclamation mark. ListImage(5) is the
// warning triangle of an address that several cameras use.
constexpr int kListImageCount = 5;
QPixmap ListImage(int index);
std::vector<QIcon> ListImages();

// Toolbar images by command id (32781, 32782, 32783).
QPixmap ToolbarImage(int commandId);

QIcon ApplicationIcon();
QPixmap ApplicationPixmap(int size);

}  // namespace icons
