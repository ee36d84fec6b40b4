// The program's pictures: SVG files in the program's Qt resources, rendered at
// whatever size and device pixel ratio a widget asks for. The list images are
// drawn for 16x16, the toolbar images for 18x18; the application icon is the
// one the desktop menu shows (packaging/teliox.svg).
#pragma once

#include <QIcon>
#include <QPixmap>
#include <vector>

namespace icons {

// Images of the camera list in image-list order: 0 check mark, 1 red cross,
// 2 closed padlock, 3 open padlock, 4 exclamation mark. Index 5 is the
// warning triangle of an address that several cameras use.
constexpr int kListImageCount = 5;
QIcon ListIcon(int index);
std::vector<QIcon> ListImages();
// One list image as a 16x16 pixmap (device pixel ratio 1).
QPixmap ListImage(int index);

// Toolbar images by command id (32781, 32782, 32783).
QIcon ToolbarIcon(int commandId);

QIcon ApplicationIcon();

}  // namespace icons
