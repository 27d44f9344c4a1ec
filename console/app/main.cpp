#include "consoleapp.h"

#include <QApplication>
#include <cstring>

int main(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            ConsoleApp::printUsage();
            return 0;
        }
    }
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    return ConsoleApp(app.arguments()).run();
}
