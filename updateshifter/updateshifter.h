#pragma once
// UpdateShifter's main sequence: count down, move the downloaded files of the update list from
// "TempDldFile" into the program directory (killing a running program that is being replaced),
// then start the host program again, with the arguments it was running with.
#include "updaterserializer.h"

#include <string>
#include <vector>

class CUpdateShifter
{
public:
    // Exit codes of the program.
    enum eExitCode
    {
        kExitOk = 0,
        kExitInitFailed = 1,
        kExitMoveFailed = 2
    };

    // The environment variable in which the program that handed over leaves its own arguments,
    // for the restart (shifter::decodeArguments).
    static constexpr const char* kHostArgsVariable = "TOVIA_HOST_ARGS";

    // tickMs: the length of one countdown second; retryPauseMs: the pause between copy attempts.
    explicit CUpdateShifter(unsigned tickMs = 1000, unsigned retryPauseMs = 1000);

    int run();
    // Moves every listed file; false with an error text when any file could not be moved.
    // hostProgram receives the program to start afterwards.
    bool moveFiles(std::string& errorText, std::string& hostProgram);

    // A duration in ms from an environment variable (0..10000), otherwise fallbackMs. Used with
    // TOVIA_SHIFTER_TICK_MS (countdown) and TOVIA_SHIFTER_RETRY_MS (pause between copy attempts).
    static unsigned msFromEnvironment(const char* name, unsigned fallbackMs);
    // True when text contains what at a position after the start.
    static bool containsAfterStart(const std::string& text, const std::string& what, bool ignoreCase);
    // A name that stays inside the base directory: not empty, relative, no ".." part.
    static bool isSafeEntryName(const std::string& name, char separator);

private:
    void countdown(int from, const char* format);
    // Kills every other process whose executable name contains the entry's name (ignoring case),
    // together with its process tree.
    void killRunning(const std::string& entryName);
    bool moveOne(const std::string& source, const std::string& destination);
    static void startHost(const std::string& hostProgram);

    unsigned m_tickMs;
    unsigned m_retryPauseMs;
    std::string m_baseDir;
    std::string m_ownName;
};
