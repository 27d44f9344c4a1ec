#pragma once

#include "commresult.h"

#include <QDateTime>
#include <QFileInfoList>
#include <QString>
#include <cstdint>
#include <functional>

// The debug log: every Qt message goes to an hourly file "<logDir>/log_yyyy_MM_dd-h.txt".
namespace DebugLog {
using Clock = std::function<QDateTime()>;

// Creates the log directory when missing (owner-only, like every log file) and installs the
// message handler.
void install(const QString& logDir);
void uninstall();
// Replaces the clock (tests); an empty function restores the system clock.
void setClock(Clock clock);
QString fileNameFor(const QString& logDir, const QDateTime& when);
QString formatLine(QtMsgType type, const char* file, int line, const QDateTime& when, const QString& msg);
// Shows the crash to the user after the crash line was written (the widgets library has one).
using CrashBox = void (*)(std::uint64_t code, std::uintptr_t address);
// Installs the crash report: the crash line to the log, then the box when given (Linux re-raises).
void installCrashHandler(CrashBox box = nullptr);
} // namespace DebugLog

// Log clean-up at start-up: list the files, select, delete the selected ones.
class DeleteLogAbsStrategy
{
public:
    virtual ~DeleteLogAbsStrategy() = default;
    CCommResult run(const QString& logDir); // template run: list, select, delete

protected:
    virtual CCommResult listFiles(const QString& logDir);
    virtual CCommResult selectFiles() = 0;
    virtual CCommResult deleteSelected();

    QFileInfoList m_allFiles;
    QFileInfoList m_selectedFiles;
};

// Selects files last modified more than 259,199 seconds before now.
class DeleteLogStrategy : public DeleteLogAbsStrategy
{
public:
    explicit DeleteLogStrategy(DebugLog::Clock clock = DebugLog::Clock());

protected:
    CCommResult selectFiles() override;

private:
    DebugLog::Clock m_clock;
};
