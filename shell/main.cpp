#include "platform/EventDispatcher.h"
#include "shell/TovrelApp.h"

int main(int argc, char** argv) {
    UseQtEventDispatcher();
    // The application object cannot be a global here: QApplication needs the
    // command line, so it lives for main's whole run instead.
    CTovrelApp theApp(argc, argv);
    theApp.InitInstance();
    return 0;
}
