#include "consoleapp.h"

#include "centerloginwnd.h"
#include "centertoolmainwnd.h"
#include "consoleopswiring.h"
#include "consoletestdriver.h"
#include "crashbox.h"
#include "debuglog.h"
#include "farmtrust.h"
#include "loginret.h"
#include "loginstore.h"
#include "qtchinese.h"
#include "rememberlogin.h"
#include "resultdisplay.h"
#include "resultsledgerwiring.h"
#include "simusettings.h"
#include "updatecheck.h"
#include "updatequestion.h"

#include <QCoreApplication>
#include <QDebug>
#include <cstdio>

namespace {

const char* const kUsage =
    "usage: ToviaSim [--home DIR] [--batch[=yes|=no]] [--remember-login USER ...]\n"
    "                [--test-driver PATH]\n"
    "  --home DIR            data directory (settings, logs, stored login)\n"
    "  --batch[=yes|=no]     unattended: the update question is answered (no by default) and\n"
    "                        result boxes go to standard error\n"
    "  --remember-login USER --password-stdin | --password-file FILE | PASSWORD\n"
    "                        stores the login so that the console signs in by itself; the password\n"
    "                        comes from standard input, an owner-only FILE, or the command line\n"
    "  --test-driver PATH    for scripts and tests: a local socket at PATH takes line commands (dump,\n"
    "                        tick, untick, menu, answer, rdp, click, closerdp, group) that operate the\n"
    "                        window through its own code paths; its dialogs stay real and are answered\n"
    "                        from there only when a script says so\n";

} // namespace

ConsoleApp::ConsoleApp(const QStringList& args) : m_args(args) {}

void ConsoleApp::printUsage()
{
    std::fputs(kUsage, stdout);
}

bool ConsoleApp::parseArguments()
{
    RememberLogin::struOption remember;
    QString error;
    const int driver = m_args.indexOf(QStringLiteral("--test-driver"));
    if (!SimuSettings::applyHomeArgument(m_args) || !RememberLogin::parse(m_args, remember, error) ||
        (driver >= 0 && driver + 1 >= m_args.size())) {
        if (!error.isEmpty())
            std::fprintf(stderr, "ToviaSim: %s\n", qUtf8Printable(error));
        std::fputs(kUsage, stderr);
        return false;
    }
    if (driver >= 0)
        m_testDriverPath = m_args.at(driver + 1);
    FarmTrust::loadSetting();
    // --batch and --batch=no answer the update question No, --batch=yes answers it Yes.
    m_batchUpdateAnswer = m_args.contains(QStringLiteral("--batch=yes"));
    m_batch = m_batchUpdateAnswer || m_args.contains(QStringLiteral("--batch")) ||
              m_args.contains(QStringLiteral("--batch=no"));
    if (m_batch)
        useStderrResultBox();
    if (remember.present && !LoginStore::rememberForAutoLogin(remember.user, remember.password))
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

// The operations, their results ledger and the remote-desktop window plug into the main window here; with a
// test driver a script may answer the operations' questions through it.
void ConsoleApp::attachExtensions(CenterToolMainWnd& wnd) const
{
    if (m_testDriverPath.isEmpty()) {
        attachResultsLedger(wnd, *attachConsoleOps(wnd));
        return;
    }
    auto* pDriver = new ConsoleTestDriver(wnd);
    ConsoleOpsOptions options;
    options.dialogs = pDriver->dialogs();
    attachResultsLedger(wnd, *attachConsoleOps(wnd, options));
    QString error;
    if (!pDriver->listen(m_testDriverPath, error)) {
        qWarning().noquote() << error;
        std::fprintf(stderr, "ToviaSim: %s\n", qUtf8Printable(error));
    }
}

int ConsoleApp::run()
{
    if (!parseArguments())
        return 2;
    DebugLog::installCrashHandler(CrashBox::crashBox());
    DebugLog::install(SimuSettings::logDir());
    DeleteLogStrategy().run(SimuSettings::logDir());
    installQtChineseTranslations(*QCoreApplication::instance());
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
