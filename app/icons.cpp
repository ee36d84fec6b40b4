#include "app/icons.h"

#include "app/commands.h"

#include <QApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPixmapCache>
#include <QStyle>
#include <QStyleOption>
#include <QSvgRenderer>

#include <memory>

namespace icons {
namespace {

// Renders one SVG file at the size asked for, so that an icon stays sharp at
// every size and screen scale. The rendered pictures are cached by file,
// size and mode; a disabled or selected picture is derived from the normal
// one by the style, as Qt does for icons built from pixmaps.
class SvgIconEngine final : public QIconEngine {
public:
    explicit SvgIconEngine(const QString& file) : file(file), renderer(std::make_shared<QSvgRenderer>(file)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap picture = pixmap(rect.size() * ratio, mode, state);
        picture.setDevicePixelRatio(ratio);
        painter->drawPixmap(rect, picture);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
        if (size.isEmpty()) return {};
        const QString key =
            QStringLiteral("teliox-svg:%1:%2x%3:%4").arg(file).arg(size.width()).arg(size.height()).arg(int(mode));
        QPixmap picture;
        if (QPixmapCache::find(key, &picture)) return picture;
        picture = QPixmap(size);
        picture.fill(Qt::transparent);
        {
            QPainter painter(&picture);
            renderer->render(&painter);
        }
        if (mode != QIcon::Normal && qobject_cast<QApplication*>(QCoreApplication::instance())) {
            QStyleOption option;
            option.palette = QApplication::palette();
            const QPixmap derived = QApplication::style()->generatedIconPixmap(mode, picture, &option);
            if (!derived.isNull()) picture = derived;
        }
        QPixmapCache::insert(key, picture);
        return picture;
    }

    QIconEngine* clone() const override { return new SvgIconEngine(*this); }
    QString key() const override { return QStringLiteral("TelioxSvgIconEngine"); }
    bool isNull() override { return !renderer->isValid(); }

private:
    SvgIconEngine(const SvgIconEngine&) = default;

    QString file;
    std::shared_ptr<QSvgRenderer> renderer;  // parsed once, shared by the icon's copies
};

QIcon SvgIcon(const QString& file) { return QIcon(new SvgIconEngine(file)); }

const char* const kListFiles[] = {
    "list-reachable.svg", "list-outside-subnet.svg", "list-locked.svg",
    "list-unlocked.svg",  "list-ip-change-pending.svg", "list-shared-address.svg",
};

}  // namespace

QIcon ListIcon(int index) {
    if (index < 0 || index >= static_cast<int>(std::size(kListFiles))) return {};
    return SvgIcon(QStringLiteral(":/icons/") + QLatin1String(kListFiles[index]));
}

std::vector<QIcon> ListImages() {
    std::vector<QIcon> images;
    for (int i = 0; i < kListImageCount; ++i) images.push_back(ListIcon(i));
    return images;
}

QPixmap ListImage(int index) {
    QPixmap picture = ListIcon(index).pixmap(QSize(16, 16), 1.0);
    if (picture.isNull()) {
        picture = QPixmap(16, 16);
        picture.fill(Qt::transparent);
    }
    return picture;
}

QIcon ToolbarIcon(int commandId) {
    switch (commandId) {
    case cmd::ID_TOOLBAR_MODIFY: return SvgIcon(QStringLiteral(":/icons/toolbar-modify.svg"));
    case cmd::ID_TOOLBAR_WEB: return SvgIcon(QStringLiteral(":/icons/toolbar-web.svg"));
    case cmd::ID_TOOLBAR_REFRESH: return SvgIcon(QStringLiteral(":/icons/toolbar-refresh.svg"));
    default: return {};
    }
}

QIcon ApplicationIcon() { return SvgIcon(QStringLiteral(":/icons/teliox.svg")); }

}  // namespace icons
