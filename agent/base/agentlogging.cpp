#include "agentlogging.h"

// Debug messages are off by default; info and above are written.
Q_LOGGING_CATEGORY(lcCommand, "tovia.agent.command", QtInfoMsg)
Q_LOGGING_CATEGORY(lcEmulator, "tovia.agent.emulator", QtInfoMsg)
Q_LOGGING_CATEGORY(lcShots, "tovia.agent.screenshot", QtInfoMsg)
Q_LOGGING_CATEGORY(lcWatchdog, "tovia.agent.watchdog", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDiscovery, "tovia.agent.discovery", QtInfoMsg)
Q_LOGGING_CATEGORY(lcState, "tovia.agent.state", QtInfoMsg)
Q_LOGGING_CATEGORY(lcControl, "tovia.agent.control", QtInfoMsg)
Q_LOGGING_CATEGORY(lcGroup, "tovia.agent.group", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDesktop, "tovia.agent.desktop", QtInfoMsg)
