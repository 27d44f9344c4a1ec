#pragma once
// The update check of both programs at start-up: run the checker "VerScout.exe" beside the program,
// read its one-byte verdict, ask the user, and on consent hand over to the updater "PatchRun.exe"
// and end. The decision, the question box and the hand-over are separate so that each can be used
// (and exercised) on its own.
#include <QString>
#include <QStringList>
#include <functional>

namespace UpdateCheck {

constexpr int kAgentProductNo = 1056;
constexpr int kConsoleProductNo = 105;
constexpr int kCheckerWaitMs = 30000;

// Where the check runs: the directory of the update tools and of the verdict file, the program
// that asks, and (optional) the data directory whose settings the tools should read.
struct struUpdatePlace
{
    QString appDir;
    QString callerPath;
    QString dataDir;
    // The program's own arguments, for its restart after the update (UpdateShifter starts it with
    // them again); forApplication takes them without the login option and its password.
    QStringList hostArguments;
    int startWaitMs = kCheckerWaitMs;
    int finishWaitMs = kCheckerWaitMs;

    // The running program's own directory and executable.
    static struUpdatePlace forApplication(const QString& dataDir = QString());
    QString checkerPath() const;
    QString verdictPath() const;
    QString updaterPath() const;
};

// The checker's command line: "\"<checker>\" <productNo> \"<caller>\"".
QString checkerCommandLine(int productNo, const struUpdatePlace& place);
// True when the file's first byte exists and is not 0.
bool readVerdict(const QString& verdictPath);

// Runs the checker (bounded waits) and reads its verdict.
bool checkForUpdate(int productNo);
bool checkForUpdate(int productNo, const struUpdatePlace& place);

// The arguments as they travel to UpdateShifter in the environment variable TOVIA_HOST_ARGS: each
// percent-encoded (UTF-8), separated by single spaces.
constexpr const char* kHostArgsVariable = "TOVIA_HOST_ARGS";
QString encodeHostArguments(const QStringList& args);

// Starts the updater detached, without arguments (the host's arguments ride in its environment
// and on to UpdateShifter); the outcome is only logged.
bool launchUpdater();
bool launchUpdater(const struUpdatePlace& place);

// Asks the user whether to update; true for Yes. The windowed question lives with the widgets.
using UpdateQuestion = std::function<bool()>;
// The question as an unattended run (--batch) answers it: printed to standard error with the answer.
UpdateQuestion batchAnswer(bool yes);

// The start-up step: check, ask, hand over. Without a question an available update is declined. True when the
// program must now end (the updater was started); false to continue the normal start (no update, declined, or
// the updater did not start).
bool runStartupCheck(int productNo, const UpdateQuestion& ask = UpdateQuestion(),
                     const struUpdatePlace& place = struUpdatePlace::forApplication());

// "FILEVERSION a,b,c,d" of a version resource script as "a.b.c.d"; empty when it cannot be read.
QString readRcVersion(const QString& rcPath);

} // namespace UpdateCheck
