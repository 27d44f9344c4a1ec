// The real ToviaSim against real agents on a simulated LAN of network namespaces (lanns.sh): the
// console host runs the account service and ToviaSim, host A runs ToviaSimClient of the console's
// user on a simulated LDPlayer farm whose tools answer slower than the console's query period,
// host B an agent of another user. The console signs in by itself (--remember-login), lists A with
// its emulators (never B), marks A offline about ten seconds after A is killed, and lists it online
// again when A comes back. What the console does is read from its debug log.
#include "farmfixture.h"
#include "lanagent.h"
#include "lannet.h"
#include "simusettings.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <unistd.h>

namespace {

const QString kUser = QStringLiteral("consoleuser");
const QString kOtherUser = QStringLiteral("someoneelse");
const QString kPassword = QStringLiteral("pw-con-1");
const QString kConsoleIp = QStringLiteral("10.77.0.1");
const QString kAgentAHost = QStringLiteral("tovia-pc-a");
const QString kAgentBHost = QStringLiteral("tovia-pc-b");
constexpr quint16 kAccountPort = 8750;
constexpr int kInstances = 4;
constexpr int kToolDelayMs = 1500; // every farm tool call: slower than the 1 s query period
constexpr int kListedMs = 45000;   // console login (3 s) + agent start-up with slow tools
constexpr int kOfflineMs = 25000;

} // namespace

class TstConsoleProgram : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void listsOfflineAndBackAgain();

private:
    bool startAccountService(QString& error);
    bool prepareAgent(FarmFixture& farm, LanHostProgram& agent, const QString& host, const QString& user,
                      QString& error);
    bool waitLog(const LanHostProgram& p, const QRegularExpression& re, int timeoutMs, int from = 0) const;
    void dump() const;

    QString m_prefix;
    bool m_lanUp = false;
    QTemporaryDir m_scratch;
    std::unique_ptr<QProcess> m_pAccountSvc;
    FarmFixture m_farmA;
    FarmFixture m_farmB;
    LanHostProgram m_agentA;
    LanHostProgram m_agentB;
    LanHostProgram m_console;
};

void TstConsoleProgram::initTestCase()
{
    const QString why = lanSkipReason({QStringLiteral("ip"), QStringLiteral("unshare")},
                                      {QStringLiteral("ToviaSim"), QStringLiteral("ToviaSimClient"),
                                       QStringLiteral("farmsim"), QStringLiteral("ToviaAccountSvc")});
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY(m_scratch.isValid());
    LAN_UP_OR_SKIP(QStringLiteral("tvcon"), m_prefix, m_lanUp);

    QString error;
    QVERIFY2(startAccountService(error), qPrintable(error));
    QVERIFY2(prepareAgent(m_farmA, m_agentA, QStringLiteral("-a"), kUser, error), qPrintable(error));
    QVERIFY2(prepareAgent(m_farmB, m_agentB, QStringLiteral("-b"), kOtherUser, error), qPrintable(error));
    QVERIFY(m_farmA.setKnob(QStringLiteral("toolDelayMs"), QString::number(kToolDelayMs)));

    m_console.ns = m_prefix + QStringLiteral("-con");
    m_console.home = m_scratch.filePath(QStringLiteral("console/home"));
    QVERIFY(QDir().mkpath(m_console.home));
    QVERIFY(copyProgram(QStringLiteral("ToviaSim"), m_scratch.filePath(QStringLiteral("console/app")),
                        &m_console.program));
    SimuSettings::setDataDir(m_console.home);
    SimuSettings::setValue(QStringLiteral("account/url"),
                           QStringLiteral("http://%1:%2").arg(kConsoleIp).arg(kAccountPort));
    m_console.args = QStringList{QStringLiteral("--remember-login"), kUser, kPassword};
    SimuSettings::setDataDir(m_scratch.path());
}

bool TstConsoleProgram::startAccountService(QString& error)
{
    m_pAccountSvc = startLanAccountService(m_prefix, m_scratch.path(), {kUser, kOtherUser}, kPassword,
                                           kConsoleIp, kAccountPort, error);
    return m_pAccountSvc != nullptr;
}

bool TstConsoleProgram::prepareAgent(FarmFixture& farm, LanHostProgram& agent, const QString& host,
                                     const QString& user, QString& error)
{
    LanAgentOptions o(m_prefix + host, user, kPassword, kConsoleIp, kAccountPort);
    o.instances = kInstances;
    o.knobs = {{QStringLiteral("bootDelayMs"), QStringLiteral("200")}};
    o.nick = QStringLiteral("机房") + host.right(1).toUpper();
    o.daemonModel = -1; // the stored default
    return prepareLanAgent(farm, agent, o, error);
}

bool TstConsoleProgram::waitLog(const LanHostProgram& p, const QRegularExpression& re, int timeoutMs,
                                int from) const
{
    QDeadlineTimer deadline(timeoutMs);
    do {
        if (re.match(p.log(), from).hasMatch())
            return true;
        QTest::qWait(200);
    } while (!deadline.hasExpired() && p.running());
    return re.match(p.log(), from).hasMatch();
}

void TstConsoleProgram::dump() const
{
    for (const LanHostProgram* p : {&m_console, &m_agentA})
        qInfo().noquote() << "----" << p->program << ":\n" << p->logTail(40);
}

void TstConsoleProgram::listsOfflineAndBackAgain()
{
    QString error;
    QVERIFY2(m_console.start(error), qPrintable(error));
    const QRegularExpression listedA(
        QStringLiteral("PC listed: %1 nick 机房A at 10\\.77\\.0\\.2 connect 10\\.77\\.0\\.2 "
                       "with %2 emulators")
            .arg(kAgentAHost)
            .arg(kInstances));
    const bool listed = waitLog(m_console, listedA, kListedMs);
    if (!listed)
        dump();
    QVERIFY2(listed, "the console did not list agent A with its emulators");
    QVERIFY(m_console.log().contains(QStringLiteral("signed in as ") + kUser));
    // B answers only its own user: watched while A keeps being listed.
    QTest::qWait(3000);
    QVERIFY2(!m_console.log().contains(QStringLiteral("PC listed: ") + kAgentBHost), "agent B was listed");
    QVERIFY2(!m_console.log().contains(QStringLiteral("PC offline: ") + kAgentAHost),
             "a live agent with slow tools was marked offline");

    // A dies: offline after about ten seconds, not at once.
    const int mark = m_console.log().size();
    QElapsedTimer sinceKill;
    m_agentA.kill();
    sinceKill.start();
    const QRegularExpression offlineA(QStringLiteral("PC offline: %1").arg(kAgentAHost));
    QVERIFY2(waitLog(m_console, offlineA, kOfflineMs, mark), "agent A was not marked offline");
    QVERIFY2(sinceKill.elapsed() >= 6000,
             qPrintable(QStringLiteral("marked offline %1 ms after the kill").arg(sinceKill.elapsed())));

    // A comes back (signs in by itself again): online again with the next reply.
    const int mark2 = m_console.log().size();
    QVERIFY2(m_agentA.start(error), qPrintable(error));
    const QRegularExpression onlineA(
        QStringLiteral("PC online: %1 with %2 emulators").arg(kAgentAHost).arg(kInstances));
    const bool back = waitLog(m_console, onlineA, kListedMs, mark2);
    if (!back)
        dump();
    QVERIFY2(back, "agent A was not listed online again");
    QVERIFY(m_console.running());
}

void TstConsoleProgram::cleanupTestCase()
{
    for (LanHostProgram* p : {&m_console, &m_agentA, &m_agentB})
        p->kill();
    if (m_pAccountSvc) {
        m_pAccountSvc->kill();
        m_pAccountSvc->waitForFinished(3000);
    }
    if (m_lanUp) {
        const ToolRun down = lanns({QStringLiteral("down"), m_prefix});
        if (down.exitCode != 0)
            qWarning().noquote() << "LAN tear-down:" << down.output;
    }
}

QTEST_GUILESS_MAIN(TstConsoleProgram)
#include "tst_consoleprogram.moc"
