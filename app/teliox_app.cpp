#include "app/teliox_app.h"

#include "app/about_dlg.h"
#include "app/commands.h"
#include "app/icons.h"
#include "app/main_frame.h"

#include <QCommandLineParser>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}
}  // namespace

CTelioxApp::CTelioxApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QString::fromLatin1(text::kAppTitle));
    setOrganizationName(QString::fromLatin1(text::kSettingsCompany));
    setApplicationVersion(QStringLiteral(TELIOX_VERSION));
    // The desktop entry teliox.desktop: window systems match the windows to it.
    setDesktopFileName(QStringLiteral("teliox"));
    setWindowIcon(icons::ApplicationIcon());
}

CTelioxApp::~CTelioxApp() { ExitInstance(); }

void CTelioxApp::DescribeCommandLine(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral("Finds ZYRK network thermal cameras and changes their network settings."));
    parser.addHelpOption();
    parser.addVersionOption();
}

bool CTelioxApp::InitInstance(DiscoveryFactory discoveryFactory) {
    // The command line: the program opens no files; --help and --version only.
    QCommandLineParser parser;
    DescribeCommandLine(parser);
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

void CTelioxApp::CloseOnTerminationSignals() {
    if (signalPipe[0] >= 0) return;
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        if (mainFrame)
            mainFrame->close();
        else
            quit();
    });
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) sigaction(signalNumber, &action, nullptr);
}

void CTelioxApp::OnAppAbout() {
    CAboutDlg about(mainFrame.get());
    about.DoModal();
}
