#include "app/looks.h"

#include "app/commands.h"

#include <QApplication>
#include <QPalette>
#include <QSettings>
#include <QStyle>
#include <QStyleFactory>

namespace {

Office2007Style currentOfficeStyle = Office2007Style::Blue;

QPalette MakePalette(QColor window, QColor button, QColor highlight, QColor highlightedText = Qt::white,
                     QColor windowText = Qt::black, QColor buttonText = Qt::black) {
    QPalette p;
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, windowText);
    p.setColor(QPalette::Base, Qt::white);
    p.setColor(QPalette::AlternateBase, window.lighter(108));
    p.setColor(QPalette::Text, Qt::black);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, buttonText);
    p.setColor(QPalette::Highlight, highlight);
    p.setColor(QPalette::HighlightedText, highlightedText);
    p.setColor(QPalette::ToolTipBase, QColor(255, 255, 225));
    p.setColor(QPalette::ToolTipText, Qt::black);
    p.setColor(QPalette::Light, button.lighter(150));
    p.setColor(QPalette::Midlight, button.lighter(115));
    p.setColor(QPalette::Mid, button.darker(130));
    p.setColor(QPalette::Dark, button.darker(160));
    p.setColor(QPalette::Shadow, button.darker(300));
    const QColor greyText(128, 128, 128);
    p.setColor(QPalette::Disabled, QPalette::WindowText, windowText == Qt::black ? greyText : windowText.darker(160));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, buttonText == Qt::black ? greyText : buttonText.darker(160));
    p.setColor(QPalette::Disabled, QPalette::Text, greyText);
    p.setColor(QPalette::Disabled, QPalette::Base, window);
    return p;
}

QPalette PaletteFor(const LookChoice& look) {
    switch (look.manager) {
    case VisualManager::Plain: return MakePalette(QColor(212, 208, 200), QColor(212, 208, 200), QColor(10, 36, 106));
    case VisualManager::OfficeXP: return MakePalette(QColor(236, 233, 216), QColor(236, 233, 216), QColor(49, 106, 197));
    case VisualManager::Windows: return MakePalette(QColor(236, 233, 216), QColor(236, 233, 216), QColor(49, 106, 197));
    case VisualManager::Office2003: return MakePalette(QColor(196, 218, 250), QColor(221, 236, 254), QColor(255, 197, 120), Qt::black);
    case VisualManager::VS2005: return MakePalette(QColor(236, 233, 216), QColor(243, 241, 232), QColor(49, 106, 197));
    case VisualManager::VS2008: return MakePalette(QColor(240, 240, 240), QColor(233, 236, 238), QColor(51, 153, 255));
    case VisualManager::Windows7: return MakePalette(QColor(240, 240, 240), QColor(236, 242, 250), QColor(204, 232, 255), Qt::black);
    case VisualManager::Office2007:
        switch (currentOfficeStyle) {
        case Office2007Style::Blue: return MakePalette(QColor(213, 228, 242), QColor(196, 218, 240), QColor(255, 216, 107), Qt::black);
        case Office2007Style::Black:
            return MakePalette(QColor(83, 83, 83), QColor(100, 100, 100), QColor(255, 216, 107), Qt::black, Qt::white, Qt::white);
        case Office2007Style::Silver: return MakePalette(QColor(221, 225, 232), QColor(208, 212, 221), QColor(255, 216, 107), Qt::black);
        case Office2007Style::Aqua: return MakePalette(QColor(208, 223, 232), QColor(190, 210, 222), QColor(255, 216, 107), Qt::black);
        }
        break;
    }
    return MakePalette(QColor(240, 240, 240), QColor(233, 236, 238), QColor(51, 153, 255));
}

QString StyleNameFor(const LookChoice& look) {
    // "Windows" draws the classic bevelled controls; Fusion stands for the themed managers.
    switch (look.manager) {
    case VisualManager::Plain:
    case VisualManager::Windows: return QStringLiteral("Windows");
    default: return QStringLiteral("Fusion");
    }
}

}  // namespace

LookChoice LookForId(int id) {
    LookChoice look;
    look.smartDocking = !(id == 205 || id == 206 || id == 207);
    switch (id) {
    case 205: look.manager = VisualManager::Plain; break;
    case 206: look.manager = VisualManager::OfficeXP; break;
    case 207: look.manager = VisualManager::Windows; break;
    case 208: look.manager = VisualManager::Office2003; break;
    case 209: look.manager = VisualManager::VS2005; break;
    case 210: look.manager = VisualManager::VS2008; break;
    case 215: look.manager = VisualManager::Office2007; look.styleGiven = true; look.style = Office2007Style::Blue; break;
    case 216: look.manager = VisualManager::Office2007; look.styleGiven = true; look.style = Office2007Style::Black; break;
    case 217: look.manager = VisualManager::Office2007; look.styleGiven = true; look.style = Office2007Style::Silver; break;
    case 218: look.manager = VisualManager::Office2007; look.styleGiven = true; look.style = Office2007Style::Aqua; break;
    case 219: look.manager = VisualManager::Windows7; break;
    default: look.manager = VisualManager::Office2007; break;  // 211 to 214 and any other value
    }
    return look;
}

QString VisualManagerName(VisualManager manager) {
    switch (manager) {
    case VisualManager::Plain: return QStringLiteral("CMFCVisualManager");
    case VisualManager::OfficeXP: return QStringLiteral("CMFCVisualManagerOfficeXP");
    case VisualManager::Windows: return QStringLiteral("CMFCVisualManagerWindows");
    case VisualManager::Office2003: return QStringLiteral("CMFCVisualManagerOffice2003");
    case VisualManager::VS2005: return QStringLiteral("CMFCVisualManagerVS2005");
    case VisualManager::VS2008: return QStringLiteral("CMFCVisualManagerVS2008");
    case VisualManager::Office2007: return QStringLiteral("CMFCVisualManagerOffice2007");
    case VisualManager::Windows7: return QStringLiteral("CMFCVisualManagerWindows7");
    }
    return {};
}

std::unique_ptr<QSettings> NewProgramSettings() {
    return std::make_unique<QSettings>(QString::fromLatin1(text::kSettingsCompany), QString::fromLatin1(text::kSettingsApp));
}

int ReadApplicationLook() {
    const auto settings = NewProgramSettings();
    bool ok = false;
    const int id = settings->value(QString::fromLatin1(text::kSettingsLook), cmd::ID_VIEW_APPLOOK_VS_2008).toInt(&ok);
    return ok ? id : cmd::ID_VIEW_APPLOOK_VS_2008;
}

void WriteApplicationLook(int id) {
    const auto settings = NewProgramSettings();
    settings->setValue(QString::fromLatin1(text::kSettingsLook), id);
    settings->sync();
}

LookChoice ApplyLook(int id) {
    LookChoice look = LookForId(id);
    if (look.manager == VisualManager::Office2007) {
        if (look.styleGiven)
            currentOfficeStyle = look.style;
        else
            look.style = currentOfficeStyle;
    }
    if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) {
        const QString styleName = StyleNameFor(look);
        if (!app->style() || app->style()->name().compare(styleName, Qt::CaseInsensitive) != 0) {
            if (QStyle* style = QStyleFactory::create(styleName)) app->setStyle(style);
        }
        app->setPalette(PaletteFor(look));
    }
    return look;
}

Office2007Style CurrentOffice2007Style() { return currentOfficeStyle; }
