// Teliox: finds ZYRK network thermal cameras and changes their network settings.
#include "app/commands.h"
#include "app/teliox_app.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    // The version needs no display: it is answered before the window system
    // starts, so that it also works from a remote shell or a package script.
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--version") || !std::strcmp(argv[i], "-v")) {
            std::printf("%s %s\n", text::kAppTitle, TELIOX_VERSION);
            return 0;
        }
        // So is the help: a core application prints it and exits.
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help-all")) {
            QCoreApplication core(argc, argv);
            QCommandLineParser parser;
            CTelioxApp::DescribeCommandLine(parser);
            parser.process(core);
            return 0;
        }
    }
    CTelioxApp app(argc, argv);
    app.CloseOnTerminationSignals();
    if (!app.InitInstance()) return 1;
    const int result = app.exec();
    app.ExitInstance();
    return result;
}
