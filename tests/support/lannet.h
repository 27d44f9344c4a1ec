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
