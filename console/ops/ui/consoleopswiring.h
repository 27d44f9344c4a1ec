#pragma once

#include "opsdialogs.h"
#include "ports.h"

#include <QString>
#include <memory>

class CenterToolMainWnd;

// Plugs the console's operations into its main window: the result server on a thread of its own,
// one command client per agent PC on a thread of its own, the menu's operations through their checks,
// and the device group store.
struct ConsoleOpsOptions
{
    quint16 agentPort = Tovia::kCommandPort;
    quint16 resultPort = Tovia::kResultPort;
    std::shared_ptr<OpsDialogs> dialogs; // empty: the console's dialogs
    QString groupFile;                   // empty: devGroups.json in the data directory
};

class ConsoleOpsWiring;

ConsoleOpsWiring* attachConsoleOps(CenterToolMainWnd& wnd,
                                   const ConsoleOpsOptions& options = ConsoleOpsOptions());
