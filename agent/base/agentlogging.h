#pragma once

#include <QLoggingCategory>

// The agent's logging categories, one per subsystem. Routine events are logged at debug or info
// level, warnings only when something went wrong. Debug lines are off unless raised, for example
// QT_LOGGING_RULES="tovia.agent.*.debug=true" (or one subsystem: "tovia.agent.watchdog.debug=true").
Q_DECLARE_LOGGING_CATEGORY(lcCommand)   // tovia.agent.command: command server, groups, responders
Q_DECLARE_LOGGING_CATEGORY(lcEmulator)  // tovia.agent.emulator: launchers, inventory, adb
Q_DECLARE_LOGGING_CATEGORY(lcShots)     // tovia.agent.screenshot: the screenshot pool
Q_DECLARE_LOGGING_CATEGORY(lcWatchdog)  // tovia.agent.watchdog
Q_DECLARE_LOGGING_CATEGORY(lcDiscovery) // tovia.agent.discovery: the discovery responder
Q_DECLARE_LOGGING_CATEGORY(lcState)     // tovia.agent.state: the instance state store, settings
Q_DECLARE_LOGGING_CATEGORY(lcControl)   // tovia.agent.control: start-up, scans, shutdown
Q_DECLARE_LOGGING_CATEGORY(lcGroup)     // tovia.agent.group: group control (replay, live view)
Q_DECLARE_LOGGING_CATEGORY(lcDesktop)   // tovia.agent.desktop: remote desktop (grabber, control, replay)
