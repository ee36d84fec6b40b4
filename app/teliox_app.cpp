#include "app/teliox_app.h"

#include "app/about_dlg.h"
#include "app/commands.h"
#include "app/icons.h"
#include "app/main_frame.h"

#include <QCommandLineParser>

CTelioxApp::CTelioxApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QString::fromLatin1(text::kAppTitle));
    setOrganizationName(QString::fromLatin1(text::kSettingsCompany));
    setApplicationVersion(QStringLiteral("3.5.0.0"));
    setDesktopFileName(QStringLiteral("Teliox.AppID.NoVersion"));
    setWindowIcon(icons::ApplicationIcon());
}

CTelioxApp::~CTelioxApp() { ExitInstance(); }

bool CTelioxApp::InitInstance(DiscoveryFactory discoveryFactory) {
    // The command line: the program opens no files; --help and --version only.
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Finds ZYRK network thermal cameras and changes their network settings."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(*this);

    mainFrame = std::make_unique<CMainFrame>(std::move(discoveryFactory));
    mainFrame->SetAppCommandHandler([this](int id) {
        if (id != cmd::ID_APP_ABOUT) return false;
        OnAppAbout();
        return true;
    });
    if (!mainFrame->LoadFrame()) {
        mainFrame.reset();
        return false;
    }
    mainFrame->show();
    mainFrame->repaint();
    return true;
}

int CTelioxApp::ExitInstance() {
    mainFrame.reset();
    return 0;
}

void CTelioxApp::OnAppAbout() {
    CAboutDlg about(mainFrame.get());
    about.DoModal();
}
