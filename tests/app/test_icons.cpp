// The program's pictures come from SVG files in its resources: each one must
// be there and parse, draw something, and be drawn afresh for a dense screen
// rather than blown up from the 16- or 18-pixel picture.
#include "app/commands.h"
#include "app/icons.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

namespace {

int OpaquePixels(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) > 0) ++count;
    return count;
}

std::vector<std::pair<QString, QIcon>> EveryIcon() {
    std::vector<std::pair<QString, QIcon>> all;
    for (int i = 0; i <= icons::kListImageCount; ++i) all.emplace_back(QStringLiteral("list %1").arg(i), icons::ListIcon(i));
    for (int id : {cmd::ID_TOOLBAR_MODIFY, cmd::ID_TOOLBAR_WEB, cmd::ID_TOOLBAR_REFRESH})
        all.emplace_back(QStringLiteral("toolbar %1").arg(id), icons::ToolbarIcon(id));
    all.emplace_back(QStringLiteral("application"), icons::ApplicationIcon());
    return all;
}

TEST(Icons, EveryPictureIsInTheResourcesAndDrawsAtEverySize) {
    for (const auto& [name, icon] : EveryIcon()) {
        SCOPED_TRACE(name.toStdString());
        ASSERT_FALSE(icon.isNull());
        for (int size : {16, 18, 32, 48, 128}) {
            const QImage image = icon.pixmap(QSize(size, size), 1.0).toImage();
            EXPECT_EQ(image.size(), QSize(size, size));
            // Something is drawn, and not a filled square.
            const int opaque = OpaquePixels(image);
            EXPECT_GT(opaque, size * size / 10) << size;
            EXPECT_LT(opaque, size * size) << size;
        }
    }
}

TEST(Icons, ADenseScreenGetsThePictureDrawnAtItsOwnResolution) {
    const QIcon check = icons::ListIcon(0);
    const QPixmap dense = check.pixmap(QSize(16, 16), 2.0);
    EXPECT_EQ(dense.size(), QSize(32, 32));
    EXPECT_DOUBLE_EQ(dense.devicePixelRatio(), 2.0);
    // Drawn afresh, not the 16-pixel picture doubled: a doubled picture has
    // its pixels in identical 2x2 blocks.
    const QImage image = dense.toImage();
    const QImage doubled = icons::ListImage(0).toImage().scaled(32, 32);
    EXPECT_NE(image.convertToFormat(doubled.format()), doubled);

    // Painting into a device of ratio 2 fills its device pixels likewise.
    QImage canvas(32, 32, QImage::Format_ARGB32_Premultiplied);
    canvas.setDevicePixelRatio(2.0);
    canvas.fill(Qt::transparent);
    {
        QPainter painter(&canvas);
        check.paint(&painter, QRect(0, 0, 16, 16));
    }
    EXPECT_EQ(canvas.convertToFormat(QImage::Format_ARGB32), image.convertToFormat(QImage::Format_ARGB32));
}

TEST(Icons, DisabledToolbarPicturesDifferFromTheNormalOnes) {
    for (int id : {cmd::ID_TOOLBAR_MODIFY, cmd::ID_TOOLBAR_WEB, cmd::ID_TOOLBAR_REFRESH}) {
        const QIcon icon = icons::ToolbarIcon(id);
        const QImage normal = icon.pixmap(QSize(18, 18), 1.0, QIcon::Normal).toImage();
        const QImage disabled = icon.pixmap(QSize(18, 18), 1.0, QIcon::Disabled).toImage();
        EXPECT_EQ(disabled.size(), QSize(18, 18)) << id;
        EXPECT_NE(disabled.convertToFormat(normal.format()), normal) << id;
    }
}

TEST(Icons, UnknownIdsHaveNoPicture) {
    EXPECT_TRUE(icons::ListIcon(-1).isNull());
    EXPECT_TRUE(icons::ListIcon(icons::kListImageCount + 1).isNull());
    EXPECT_TRUE(icons::ToolbarIcon(cmd::ID_TOOLBAR_REFRESH + 100).isNull());
    const QImage blank = icons::ListImage(99).toImage();
    EXPECT_EQ(blank.size(), QSize(16, 16));
    EXPECT_EQ(OpaquePixels(blank), 0);
}

}  // namespace
