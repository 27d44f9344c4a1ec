#include "agentapp.h"

#include "commresult.h"
#include "crashbox.h"
#include "debuglog.h"
#include "loginstore.h"
#include "mainwnd.h"
#include "resultdisplay.h"
#include "simusettings.h"
#include "updatecheck.h"
#include "updatequestion.h"

#include <QDebug>
#include <QMessageBox>
#include <cstdio>
#include <cstring>

namespace {
const char* kInstanceKey = "Korvane";
} // namespace

AgentApp::AgentApp(const QStringList& args) : m_args(args), m_instanceLock(QString::fromLatin1(kInstanceKey))
{
}

const char* AgentApp::usage()
{
    return "usage: ToviaSimClient [--home DIR] [--batch[=yes|=no]] [--remember-login USER PASSWORD]\n"
           "  --home DIR        keep settings, logs and screenshots in DIR instead of beside the program\n"
           "  --batch           answer message boxes by themselves and print them to standard error\n"
           "                    (--batch=yes also answers the update question Yes)\n"
           "  --remember-login USER PASSWORD\n"
           "                    store this login with automatic login on, then start signed in\n"
           "  --help, -h        print this and exit\n";
}

bool AgentApp::wantsHelp(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return true;
    }
    return false;
}

bool AgentApp::parseArguments()
{
    const int remember = m_args.indexOf(QStringLiteral("--remember-login"));
    if (!SimuSettings::applyHomeArgument(m_args) || (remember >= 0 && remember + 2 >= m_args.size())) {
        std::fputs(usage(), stderr);
        return false;
    }
    // --batch and --batch=no answer the update question No, --batch=yes answers it Yes.
    if (m_args.contains(QStringLiteral("--batch=yes"))) {
        m_batch = true;
        m_batchUpdateAnswer = true;
    } else {
        m_batch = m_args.contains(QStringLiteral("--batch")) || m_args.contains(QStringLiteral("--batch=no"));
    }
    if (m_batch)
        useStderrResultBox();
    if (remember >= 0)
        LoginStore::rememberForAutoLogin(m_args.at(remember + 1), m_args.at(remember + 2));
    return true;
}

// One agent per machine. A segment left behind by a crashed agent has no process attached any
// more: attaching and detaching again removes it, so only a live agent blocks the start.
bool AgentApp::acquireSingleInstance()
{
    if (m_instanceLock.attach())
        m_instanceLock.detach();
    if (m_instanceLock.create(1))
        return true;
    if (m_instanceLock.error() != QSharedMemory::AlreadyExists)
        qWarning() << "single instance segment:" << m_instanceLock.errorString();
    showResult(CCommResult::failure(ResultCode::SingleInstance,
                                    QStringLiteral("Tovia模拟器被控端只能运行一个实例")));
    return false;
}

bool AgentApp::handOverToUpdate()
{
    const UpdateCheck::UpdateQuestion ask =
        m_batch ? UpdateCheck::batchAnswer(m_batchUpdateAnswer)
                : UpdateCheck::UpdateQuestion([] { return UpdateCheck::askUpdateQuestion(); });
    const bool handedOver =
        UpdateCheck::runStartupCheck(UpdateCheck::kAgentProductNo, ask,
                                     UpdateCheck::struUpdatePlace::forApplication(SimuSettings::dataDir()));
    if (handedOver)
        m_instanceLock.detach();
    return handedOver;
}

int AgentApp::run()
{
    if (!parseArguments())
        return 2;
    DebugLog::installCrashHandler(CrashBox::crashBox());
    DebugLog::install(SimuSettings::logDir());
    if (!acquireSingleInstance())
        return 0;
    if (handOverToUpdate())
        return 0;
    MainWnd wnd;
    wnd.initWnd();
    wnd.exec();
    // However the window ended, the workers stop while the debug log still takes their lines.
    wnd.shutdown();
    DebugLog::uninstall();
    return 0;
}
