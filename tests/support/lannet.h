#pragma once

#include <QString>
#include <QStringList>

#include <memory>

class QProcess;

// Helpers of the tests that run real programs on a simulated LAN of network namespaces (lanns.sh).

// A tool by name, also from the system folders root's PATH may lack.
QString findTool(const QString& name);

struct ToolRun
{
    int exitCode = -1;
    QString output;
};

// Runs a program to its end, bounded; its merged output in `output`.
ToolRun runTool(const QString& program, const QStringList& args);
// Runs the LAN helper lanns.sh with the arguments ("up PREFIX", "down PREFIX", "reap STEM").
ToolRun lanns(const QStringList& args);
// The last lines of a text file.
QString tailOf(const QString& path, int lines);

// The calling thread's network namespace: entered for the console, left again at the end. Sockets
// keep the namespace of the thread that made them; processes started meanwhile inherit it.
class NetnsSwitch
{
public:
    ~NetnsSwitch() { leave(); }
    bool enter(const QString& ns, QString& error);
    void leave();

private:
    int m_home = -1;
};

// The account service on the console host PREFIX-con of the LAN: the users are added to a database in
// dir (all with one password), the service listens on ip:port, its output goes to
// dir/accountsvc.out. Returns the running service once it accepts connections, else null with error.
std::unique_ptr<QProcess> startLanAccountService(const QString& prefix, const QString& dir,
                                                 const QStringList& users, const QString& password,
                                                 const QString& ip, quint16 port, QString& error);

// The folder of the built programs (TOVIA_BIN_DIR).
QString testBinDir();
// Why a LAN test cannot run here: not root, one of the tools missing, one of the programs not built.
// Empty when it can.
QString lanSkipReason(const QStringList& tools, const QStringList& programs);
// Takes down what an earlier run of this test left (killed before its clean-up) and brings up the LAN
// "<stem>-<pid>" (prefix) with this many agent hosts (2 to 5: -a, -b, then -c, -d, -e). lanns.sh exits
// with 3 where there are no network namespaces.
ToolRun lanUp(const QString& stem, QString& prefix, int agentHosts = 2);
// In a test's initTestCase: brings the LAN up (lanUp), skips where there are no network namespaces,
// fails when the set-up failed, and sets lanUpFlag once it is up.
#define LAN_UP_OR_SKIP(stem, prefix, lanUpFlag)                                                              \
    do {                                                                                                     \
        const ToolRun up_ = lanUp(stem, prefix);                                                             \
        if (up_.exitCode == 3)                                                                               \
            QSKIP(qPrintable(QStringLiteral("no network namespaces here: ") + up_.output));                  \
        QVERIFY2(up_.exitCode == 0, qPrintable(QStringLiteral("LAN set-up failed: ") + up_.output));         \
        lanUpFlag = true;                                                                                    \
    } while (false)
// Ends the account service (when there is one) and takes down the LAN of prefix (when up), warning
// when lanns.sh cannot; both are reset so that a second call does nothing.
void lanDown(const QString& prefix, bool& lanUp, std::unique_ptr<QProcess>& pAccountSvc);
// Copies a built program into a folder of its own (its update-check files would lie beside it).
bool copyProgram(const QString& name, const QString& dir, QString* pOut = nullptr);
// The debug logs a program wrote under its home, oldest first; with tailLines, the last lines of each.
QString readProgramLogs(const QString& home, int tailLines = -1);

// A program run in a namespace host through lanns.sh with "--home HOME --batch ARGS", off screen, its
// output appended to HOME/program.out. keepDisplay leaves it the test's X display.
struct LanHostProgram
{
    QString ns;
    QString program;
    QString home;
    QStringList args;
    bool keepDisplay = false;
    std::unique_ptr<QProcess> pProc;

    LanHostProgram();
    ~LanHostProgram();
    QString outPath() const { return home + QStringLiteral("/program.out"); }
    bool start(QString& error);
    bool running() const;
    void kill();
    QString log() const { return readProgramLogs(home); }
    // The output's and the debug logs' last lines.
    QString logTail(int lines) const;
};
