#include "agentapp.h"

#include "agentlogging.h"
#include "commresult.h"
#include "crashbox.h"
#include "debuglog.h"
#include "farmtrust.h"
#include "loginstore.h"
#include "mainwnd.h"
#include "rememberlogin.h"
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
    static const QByteArray text =
        QByteArray(
            "usage: ToviaSimClient [--home DIR] [--batch[=yes|=no]] [--remember-login USER ...]\n"
            "  --home DIR        keep settings, logs and screenshots in DIR instead of beside the program\n"
            "  --batch           answer message boxes by themselves and print them to standard error\n"
            "                    (--batch=yes also answers the update question Yes)\n") +
        RememberLogin::usage() + "  --help, -h        print this and exit\n";
    return text.constData();
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
    RememberLogin::struOption remember;
    QString error;
    if (!SimuSettings::applyHomeArgument(m_args) || !RememberLogin::parse(m_args, remember, error)) {
        if (!error.isEmpty())
            std::fprintf(stderr, "ToviaSimClient: %s\n", qUtf8Printable(error));
        std::fputs(usage(), stderr);
        return false;
    }
    FarmTrust::loadSetting();
    // --batch and --batch=no answer the update question No, --batch=yes answers it Yes.
    if (m_args.contains(QStringLiteral("--batch=yes"))) {
        m_batch = true;
        m_batchUpdateAnswer = true;
    } else {
        m_batch = m_args.contains(QStringLiteral("--batch")) || m_args.contains(QStringLiteral("--batch=no"));
    }
    if (m_batch)
        useStderrResultBox();
    if (remember.present)
        LoginStore::rememberForAutoLogin(remember.user, remember.password);
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
        qCWarning(lcControl) << "single instance segment:" << m_instanceLock.errorString();
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
