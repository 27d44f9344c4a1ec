#pragma once

#include <QSharedMemory>
#include <QStringList>

// The agent program's start-up steps, in order: data directory and logs, single instance, update
// check, main window. Kept apart from main() so each step reads on its own.
class AgentApp
{
public:
    explicit AgentApp(const QStringList& args);
    int run();

    // The command line's options, as printed by --help and after a wrong command line.
    static const char* usage();
    // True when argv asks for the usage only (--help, -h); needs no display and no QApplication.
    static bool wantsHelp(int argc, char* argv[]);

private:
    bool parseArguments();
    bool acquireSingleInstance();
    bool handOverToUpdate();

    QStringList m_args;
    QSharedMemory m_instanceLock;
    bool m_batch = false;             // no blocking boxes: their texts go to the debug log and standard error
    bool m_batchUpdateAnswer = false; // the answer a batch run gives to the update question
};
