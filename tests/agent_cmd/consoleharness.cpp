#include "consoleharness.h"

#include <algorithm>

#include "comgrpopermgr.h"
#include "farmkey.h"
#include "farmtrust.h"
#include "jsoncodec.h"
#include "loginret.h"
#include "operloggerobj.h"
#include "resultreport.h"
#include "rmtdsktpmsg.h"
#include "simusettings.h"
#include "simutcprcvobj.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

QImage ConsoleReport::image() const
{
    QImage img;
    img.loadFromData(tail);
    return img;
}

ResultServer::ResultServer(QObject* parent) : QObject(parent), m_pServer(new QTcpServer(this))
{
    m_clock.start();
    connect(m_pServer, &QTcpServer::newConnection, this, &ResultServer::onConnection);
}

bool ResultServer::listen(const QHostAddress& address, quint16 port)
{
    return m_pServer->listen(address, port);
}

quint16 ResultServer::port() const
{
    return m_pServer->serverPort();
}

struNotifierOptions ResultServer::notifierOptions() const
{
    struNotifierOptions options;
    options.resultPort = port();
    return options;
}

SimuTcpRcvObj::Options ResultServer::agentOptions(SimuTcpRcvObj::Options options) const
{
    options.notifier = notifierOptions();
    return options;
}

void ResultServer::takeDocument(ConsoleReport& report, const QByteArray& document) const
{
    report.docMs = nowMs();
    report.document = document;
    QList<struSimuOper> opers;
    report.usrName = JsonCodec::parseCommandDoc(document, opers, QString()).str;
    report.recordCount = opers.size();
    if (!opers.isEmpty()) {
        report.oper = opers.first();
        SimuSettings::loadSimuRecord(report.oper.memuIdx, report.storedAtDoc);
    }
}

void ResultServer::onConnection()
{
    while (QTcpSocket* pSocket = m_pServer->nextPendingConnection()) {
        auto* pReader = new ResultReportReader;
        auto* pReport = new ConsoleReport;
        pReport->seq = m_nextSeq++;
        connect(pSocket, &QTcpSocket::readyRead, this, [=] {
            const bool hadDocument = pReader->status() == ResultReportReader::ReadingTail;
            const int tailBefore = pReader->tail().size();
            if (pReader->append(pSocket->readAll()) != ResultReportReader::ReadingTail)
                return;
            if (!hadDocument)
                takeDocument(*pReport, pReader->document());
            if (pReport->tailMs < 0 && pReader->tail().size() > tailBefore)
                pReport->tailMs = nowMs();
        });
        connect(pSocket, &QTcpSocket::disconnected, this, [=] {
            pReport->tail = pReader->tail();
            pReport->endMs = nowMs();
            // Reports are kept in the order their connections came in (the agent's sending order),
            // not the order in which the connections happened to end.
            auto at = std::upper_bound(m_reports.begin(), m_reports.end(), pReport->seq,
                                       [](int seq, const ConsoleReport& r) { return seq < r.seq; });
            m_reports.insert(at, *pReport);
            delete pReport;
            delete pReader;
            pSocket->deleteLater();
        });
    }
}

bool ResultServer::waitForReports(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_reports.size() < count && !deadline.hasExpired())
        QTest::qWait(10);
    return m_reports.size() >= count;
}

OperLogCapture::OperLogCapture(const QString& logDir) : m_pLogger(new OperLoggerObj(logDir))
{
    m_pLogger->slInitOperLogger();
    connect(m_pLogger, &OperLoggerObj::sigAppendLog, this, [this](const QString& line, int) {
        // "MM-dd hh:mm:ss:" precedes the text.
        m_lines.append(line.mid(15));
    });
    OperLoggerObj::setInstance(m_pLogger);
}

OperLogCapture::~OperLogCapture()
{
    OperLoggerObj::setInstance(nullptr);
    delete m_pLogger;
}

AgentCommandServer::AgentCommandServer(const SimuTcpRcvObj::Options& options)
    : m_pThread(new QThread), m_pObj(new SimuTcpRcvObj(0, options))
{
}

AgentCommandServer::~AgentCommandServer()
{
    waitIdle(60000);
    QMetaObject::invokeMethod(
        m_pObj, [obj = m_pObj] { delete obj; }, Qt::BlockingQueuedConnection);
    m_pThread->quit();
    m_pThread->wait(10000);
    delete m_pThread;
}

bool AgentCommandServer::start()
{
    m_pObj->moveToThread(m_pThread);
    QSignalSpy spy(m_pObj, &SimuTcpRcvObj::sigListening);
    QObject::connect(m_pThread, &QThread::started, m_pObj, &SimuTcpRcvObj::slInitSocket);
    m_pThread->start();
    // The signal may come from the new thread before a QSignalSpy::wait() would start counting, so
    // the count itself is what is waited for; a loaded machine may take a while.
    if (!QTest::qWaitFor([&spy] { return spy.count() > 0; }, 30000)) {
        qWarning("agent command server did not report listening within 30 s");
        return false;
    }
    m_port = spy.first().first().value<quint16>();
    return m_port != 0;
}

bool AgentCommandServer::waitIdle(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (ComGrpOperMgr::LiveCount() > 0 && !deadline.hasExpired())
        QTest::qWait(10);
    // Let the finished threads delete themselves.
    QTest::qWait(20);
    return ComGrpOperMgr::LiveCount() == 0;
}

namespace ConsoleClient {

QList<struSimuOper> makeOpers(int iOperType, const QStringList& memuIdxs, int iTime, int iExtra,
                              const QString& fileName)
{
    QList<struSimuOper> opers;
    for (const QString& idx : memuIdxs) {
        struSimuOper o;
        o.iOperType = iOperType;
        o.memuIdx = idx;
        o.iTime = iTime;
        o.iExtra = iExtra;
        o.fileName = fileName;
        o.rmtPcName = QStringLiteral("agent-pc");
        o.rmtNickName = QStringLiteral("机房一");
        o.centerIP = QStringLiteral("10.9.9.9"); // the agent answers the peer address instead
        opers.append(o);
    }
    return opers;
}

QByteArray makeDoc(const QList<struSimuOper>& opers, const QString& usrName)
{
    return FarmTrust::commandDoc(opers, usrName, MsgAuth::eChannel::Command);
}

QByteArray signedHello(const QString& runId)
{
    QJsonObject hello = RmtDsktpMsg::helloObject(runId);
    FarmTrust::sign(hello, MsgAuth::eChannel::DesktopControl, FarmTrust::runBinding(runId));
    return QJsonDocument(hello).toJson(QJsonDocument::Compact);
}

namespace {
bool writeAll(QTcpSocket& s, const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return true;
    if (s.write(bytes) != bytes.size())
        return false;
    while (s.bytesToWrite() > 0) {
        if (!s.waitForBytesWritten(30000))
            return false;
    }
    return true;
}
} // namespace

bool send(quint16 port, const QByteArray& doc, const QByteArray& tail, const Options& opt,
          QTcpSocket** pSocket)
{
    auto* s = new QTcpSocket;
    s->connectToHost(opt.host, port);
    bool ok = s->waitForConnected(6000);
    if (ok && opt.splitAt > 0 && opt.splitAt < doc.size()) {
        ok = writeAll(*s, doc.left(opt.splitAt));
        QTest::qWait(opt.pauseMs);
        ok = ok && writeAll(*s, doc.mid(opt.splitAt));
    } else if (ok) {
        ok = writeAll(*s, doc);
    }
    if (ok && !tail.isEmpty()) {
        if (opt.pauseMs > 0)
            QTest::qWait(opt.pauseMs);
        ok = writeAll(*s, tail);
    }
    if (pSocket && opt.keepOpen) {
        *pSocket = s;
        return ok;
    }
    s->disconnectFromHost();
    if (s->state() != QAbstractSocket::UnconnectedState)
        s->waitForDisconnected(2000);
    delete s;
    return ok;
}

} // namespace ConsoleClient

const QByteArray kTestFarmKey = QByteArray("farm key of the tests, 32 bytes.");

void playConsoleOf(const QString& userName, const QString& password)
{
    static QHash<QString, QByteArray> keys; // a key takes a third of a second to derive
    const QString id = userName + QLatin1Char('\n') + password;
    if (!keys.contains(id))
        keys.insert(id, FarmKey::derive(userName, password));
    CLoginRet ret;
    ret.strUserName = userName;
    ret.baFarmKey = keys.value(id);
    LoginRecord::set(ret);
}

void signIn(const QString& userName)
{
    CLoginRet ret;
    ret.strUserName = userName;
    if (!userName.isEmpty())
        ret.baFarmKey = kTestFarmKey;
    LoginRecord::set(ret);
}
