// Teliox: finds ZYRK network thermal cameras and changes their network settings.
#include "app/teliox_app.h"

int main(int argc, char** argv) {
    CTelioxApp app(argc, argv);
    app.CloseOnTerminationSignals();
    if (!app.InitInstance()) return 1;
    const int result = app.exec();
    app.ExitInstance();
    return result;
}
