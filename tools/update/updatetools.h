#pragma once
// Shared pieces of the two update tools: the files they exchange beside the programs, the
// installed and published versions, and a small log beside the programs (the tools run detached).
#include <QString>

namespace UpdateTools {

// "ToviaVersion.txt": the installed version beside the programs, or the published one in the
// update folder (one line, dotted numbers).
QString versionFileName();
// "PatchRunTask.ini": what the checker found, for the updater (caller, source, version, product).
QString taskFileName();
QString logFileName();

// Reads the first line of a version file; empty when missing or not a dotted number.
QString readVersion(const QString& path);
// Dotted numeric comparison, missing parts count as 0: <0, 0, >0.
int compareVersions(const QString& a, const QString& b);
bool isVersionText(const QString& text);

// Settings file of the caller: TOVIA_DATA_DIR when set, otherwise the caller's directory.
QString settingsPath(const QString& callerDir);

// Appends a time-stamped line to the tools' log in dir and echoes it on standard error.
void logLine(const QString& dir, const QString& tool, const QString& text);

} // namespace UpdateTools
