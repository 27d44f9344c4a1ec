#pragma once

#include <QStringList>

class CenterToolMainWnd;

// The console program's start-up: data directory and logs, then the loop of update check, login
// window and main window; a logout goes round again with a fresh check, login and main window.
class ConsoleApp
{
public:
    explicit ConsoleApp(const QStringList& args);
    int run();
    // The command line's help (--help), printed before any window system is needed.
    static void printUsage();

private:
    bool parseArguments();
    bool handOverToUpdate() const;
    bool runLogin() const;
    // Runs one main window; true when it was left by the logout button.
    bool runMainWindow() const;
    void attachExtensions(CenterToolMainWnd& wnd) const;

    QStringList m_args;
    bool m_batch = false;
    bool m_batchUpdateAnswer = false;
    QString m_testDriverPath;
};
