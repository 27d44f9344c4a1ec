#include "agentapp.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    // Before any window system is needed: the usage prints on a machine without a display.
    if (AgentApp::wantsHelp(argc, argv)) {
        std::fputs(AgentApp::usage(), stdout);
        return 0;
    }
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    return AgentApp(app.arguments()).run();
}
