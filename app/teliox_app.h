// The application object: start-up in the order of the single-document
// framework (settings store, document template, frame, view), the about box,
// and the shutdown that destroys the view before the program ends.
#pragma once

#include "app/teliox_view.h"

#include <QApplication>
#include <memory>

class CMainFrame;
class QCommandLineParser;

class CTelioxApp : public QApplication {
    Q_OBJECT
public:
    CTelioxApp(int& argc, char** argv);
    ~CTelioxApp() override;

    // Builds and shows the frame; false ends the program.
    bool InitInstance(DiscoveryFactory discoveryFactory = {});
    // Destroys the frame and with it the view and its threads.
    int ExitInstance();

    // The command line the program understands (--help, --version); shared by
    // the window and by the answer given before any display is opened.
    static void DescribeCommandLine(QCommandLineParser& parser);

    void OnAppAbout();
    // SIGTERM, SIGINT and SIGHUP close the frame as File, Exit does, so the
    // discovery threads stop in order when a script ends the program.
    void CloseOnTerminationSignals();
    CMainFrame* MainFrame() const { return mainFrame.get(); }

private:
    std::unique_ptr<CMainFrame> mainFrame;
};
