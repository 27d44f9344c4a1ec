#pragma once

#include <QString>
#include <QStringList>

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
