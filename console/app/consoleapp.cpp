#include "consoleapp.h"

#include "centerloginwnd.h"
#include "centertoolmainwnd.h"
#include "consoleopswiring.h"
#include "crashbox.h"
#include "debuglog.h"
#include "loginret.h"
#include "loginstore.h"
#include "resultdisplay.h"
#include "simusettings.h"
#include "updatecheck.h"
#include "updatequestion.h"

#include <QDebug>
#include <cstdio>

ConsoleApp::ConsoleApp(const QStringList& args) : m_args(args) {}

bool ConsoleApp::parseArguments()
{
    const int remember = m_args.indexOf(QStringLiteral("--remember-login"));
    if (!SimuSettings::applyHomeArgument(m_args) || (remember >= 0 && remember + 2 >= m_args.size())) {
        std::fprintf(stderr,
                     "usage: ToviaSim [--home DIR] [--batch[=yes|=no]] [--remember-login USER PASSWORD]\n");
        return false;
    }
    // --batch and --batch=no answer the update question No, --batch=yes answers it Yes.
    m_batchUpdateAnswer = m_args.contains(QStringLiteral("--batch=yes"));
    m_batch = m_batchUpdateAnswer || m_args.contains(QStringLiteral("--batch")) ||
              m_args.contains(QStringLiteral("--batch=no"));
    if (m_batch)
        useStderrResultBox();
    if (remember >= 0 && !LoginStore::rememberForAutoLogin(m_args.at(remember + 1), m_args.at(remember + 2)))
        std::fprintf(stderr, "ToviaSim: the login could not be stored in %s\n",
                     qUtf8Printable(LoginStore::defaultPath()));
    return true;
}

bool ConsoleApp::handOverToUpdate() const
{
    const UpdateCheck::UpdateQuestion ask = m_batch ? UpdateCheck::batchAnswer(m_batchUpdateAnswer)
                                                    : [] { return UpdateCheck::askUpdateQuestion(); };
    return UpdateCheck::runStartupCheck(
        UpdateCheck::kConsoleProductNo, ask,
        UpdateCheck::struUpdatePlace::forApplication(SimuSettings::dataDir()));
}

bool ConsoleApp::runLogin() const
{
    CenterLoginWnd login;
    login.exec();
    if (login.loginResult() != 0) {
        qInfo("login window closed without a login: the console ends");
        return false;
    }
    // The login window has made the signed-in user the process-wide record.
    LoginRecord::set(login.loginRet());
    qInfo().noquote() << "signed in as" << LoginRecord::userName();
    return true;
}

bool ConsoleApp::runMainWindow() const
{
    CenterToolMainWnd wnd;
    attachExtensions(wnd);
    wnd.initWnd();
    wnd.exec();
    return wnd.exitByLogout() == 1;
}

// The operations and the remote-desktop window plug into the main window here.
void ConsoleApp::attachExtensions(CenterToolMainWnd& wnd)
{
    attachConsoleOps(wnd);
}

int ConsoleApp::run()
{
    if (!parseArguments())
        return 2;
    DebugLog::installCrashHandler(CrashBox::crashBox());
    DebugLog::install(SimuSettings::logDir());
    DeleteLogStrategy().run(SimuSettings::logDir());
    qInfo().noquote() << "ToviaSim starts, data directory" << SimuSettings::dataDir();
    for (;;) {
        if (handOverToUpdate())
            break;
        if (!runLogin())
            break;
        if (!runMainWindow())
            break;
        qInfo("logged out: back to the login window");
        LoginRecord::clear();
    }
    DebugLog::uninstall();
    return 0;
}
