// The agent's side of the remote desktop, in-process: the command server takes begin and end
// commands from a test acting as the console, the real grabber (ToviaMpeg.exe) streams the test's
// own X display to a UDP socket of the test, and control messages are replayed there with XTest.
// The refusal of a control connection from another address runs in network namespaces.
#include "consoleharness.h"
#include "desktoprunmgr.h"
#include "desktopvideosender.h"
#include "lannet.h"
#include "platform.h"
#include "rmtdsktpmsg.h"
#include "simutcprcvobj.h"
#include "xdesk.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <thread>
#include <unistd.h>

namespace {

const QString kUser = QStringLiteral("deskuser");
constexpr int kWaitMs = 15000;

QString grabberPath()
{
    return qEnvironmentVariable("TOVIA_BIN_DIR") + QStringLiteral("/ToviaMpeg.exe");
}

QByteArray cmdlineOf(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/cmdline").arg(pid));
    return f.open(QIODevice::ReadOnly) ? f.readAll().replace('\0', ' ') : QByteArray();
}

bool waitGone(qint64 pid, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (platform::processAlive(pid) && !deadline.hasExpired())
        QTest::qWait(20);
    return !platform::processAlive(pid);
}

QByteArray msg(int type, int x, int y)
{
    return QStringLiteral("{\"int1\":%2,\"int2\":%3,\"type\":%1}").arg(type).arg(x).arg(y).toLatin1();
}

// Follows the runs of a DesktopRunMgr from the test's thread: the sender's signals, connected
// before its thread starts.
class RunWatch : public QObject
{
    Q_OBJECT
public:
    explicit RunWatch(DesktopRunMgr* pMgr)
    {
        connect(
            pMgr, &DesktopRunMgr::sigRunStarted, this,
            [this](DesktopVideoSender* pSender) {
                connect(pSender, &DesktopVideoSender::sigControlListening, this, &RunWatch::sigListening);
                connect(pSender, &DesktopVideoSender::sigGrabberStarted, this, &RunWatch::sigGrabber);
                connect(pSender, &DesktopVideoSender::sigMsgReplayed, this, &RunWatch::sigReplayed);
                connect(pSender, &QObject::destroyed, this, &RunWatch::sigSenderGone);
            },
            Qt::DirectConnection);
    }
signals:
    void sigListening(quint16 port);
    void sigGrabber(qint64 pid);
    void sigReplayed(int type, int x, int y, bool replayed);
    void sigSenderGone();
};

// One run as the test started it.
struct Run
{
    quint16 controlPort = 0;
    qint64 grabberPid = 0;
};

// Bytes arriving on a UDP port of the test.
class UdpSink
{
public:
    bool bind() { return m_socket.bind(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_socket.localPort(); }
    QByteArray waitBytes(int atLeast, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (m_bytes.size() < atLeast && !deadline.hasExpired()) {
            m_socket.waitForReadyRead(50);
            while (m_socket.hasPendingDatagrams()) {
                QByteArray datagram(int(m_socket.pendingDatagramSize()), '\0');
                m_socket.readDatagram(datagram.data(), datagram.size());
                m_bytes += datagram;
            }
        }
        return m_bytes;
    }

private:
    QUdpSocket m_socket;
    QByteArray m_bytes;
};

} // namespace

class TstDesktopAgent : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void beginStreamsToTheConsole();
    void controlMessagesAreReplayed();
    void secondBeginReplacesTheFirst();
    void endClosesEverything();
    void controlFromAnotherAddressRefused();

private:
    bool begin(quint16 udpPort, Run& run);
    bool sendCommand(int kind, int port);
    bool connectControl(QTcpSocket& socket, quint16 port);

    XDesk m_desk;
    std::unique_ptr<AgentCommandServer> m_pServer;
    DesktopRunMgr* m_pMgr = nullptr;
    std::unique_ptr<RunWatch> m_pWatch;
};

void TstDesktopAgent::initTestCase()
{
    QString why;
    if (!m_desk.open(why))
        QSKIP(qPrintable(why));
    if (!QFile::exists(grabberPath()))
        QSKIP(qPrintable(QStringLiteral("ToviaMpeg.exe not built (%1)").arg(grabberPath())));
    if (QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty())
        QSKIP("ffmpeg is not installed (package ffmpeg)");
    signIn(kUser);
}

void TstDesktopAgent::init()
{
    m_pServer = std::make_unique<AgentCommandServer>();
    // The manager goes with the command server onto its thread, as in the agent.
    m_pMgr = new DesktopRunMgr(m_pServer->object(), 0, grabberPath());
    m_pMgr->attach(m_pServer->object());
    m_pWatch = std::make_unique<RunWatch>(m_pMgr);
    QVERIFY(m_pServer->start());
    m_desk.clear();
}

void TstDesktopAgent::cleanup()
{
    m_pServer.reset(); // ends a run left open: the grabber dies with it
    m_pWatch.reset();
}

bool TstDesktopAgent::sendCommand(int kind, int port)
{
    const QString idx =
        kind == eOperRmtDesktopBegin ? QStringLiteral("remoteDesktop") : QStringLiteral("closeRmtDsktp");
    const QByteArray doc = ConsoleClient::makeDoc(
        ConsoleClient::makeOpers(kind, {idx}, int(QDateTime::currentSecsSinceEpoch()), port), kUser);
    return ConsoleClient::send(m_pServer->port(), doc);
}

bool TstDesktopAgent::begin(quint16 udpPort, Run& run)
{
    QSignalSpy listening(m_pWatch.get(), &RunWatch::sigListening);
    QSignalSpy grabber(m_pWatch.get(), &RunWatch::sigGrabber);
    if (!sendCommand(eOperRmtDesktopBegin, udpPort))
        return false;
    // Waited for by their counts: the signals come from other threads, maybe before a wait() starts.
    if (!QTest::qWaitFor([&] { return !grabber.isEmpty() && !listening.isEmpty(); }, kWaitMs))
        return false;
    run.controlPort = listening.first().first().value<quint16>();
    run.grabberPid = grabber.first().first().value<qint64>();
    return run.controlPort != 0 && run.grabberPid > 0;
}

bool TstDesktopAgent::connectControl(QTcpSocket& socket, quint16 port)
{
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(kWaitMs);
}

// The begin command starts the grabber with the console's address and port and the explicit frame
// rate, bit rate and key-frame interval; an MPEG-2 stream (sequence header first) arrives.
void TstDesktopAgent::beginStreamsToTheConsole()
{
    UdpSink sink;
    QVERIFY(sink.bind());
    Run run;
    QVERIFY(begin(sink.port(), run));
    // The script hands over to ffmpeg under the grabber's name.
    QByteArray cmdline;
    QTRY_VERIFY_WITH_TIMEOUT((cmdline = cmdlineOf(run.grabberPid)).startsWith("ToviaMpeg.exe "), kWaitMs);
    QVERIFY2(cmdline.startsWith("ToviaMpeg.exe ") && cmdline.contains("-f x11grab") &&
                 cmdline.contains("-framerate 30") && cmdline.contains("-b:v 8M") &&
                 cmdline.contains("-g 15") &&
                 cmdline.contains(QStringLiteral("udp://127.0.0.1:%1").arg(sink.port()).toLatin1()),
             cmdline.constData());
    const QByteArray bytes = sink.waitBytes(4096, kWaitMs);
    QVERIFY2(bytes.startsWith(QByteArray::fromHex("000001b3")), bytes.left(8).toHex().constData());
}

// Mouse, keyboard and wheel messages, split over writes or several in one write, are replayed on
// the agent's display; the right button clicks where the cursor is; codes 3 and 32 and bytes
// that are no message do nothing, and what follows them still works.
void TstDesktopAgent::controlMessagesAreReplayed()
{
    UdpSink sink;
    QVERIFY(sink.bind());
    Run run;
    QVERIFY(begin(sink.port(), run));
    QTcpSocket control;
    QVERIFY(connectControl(control, run.controlPort));
    QSignalSpy replayed(m_pWatch.get(), &RunWatch::sigReplayed);

    const QByteArray move = msg(RmtDsktpMsg::eMouseMove, 100, 50);
    control.write(move.left(7));
    control.waitForBytesWritten(kWaitMs);
    QTest::qWait(100);
    control.write(move.mid(7) + msg(RmtDsktpMsg::eLeftDown, 120, 60) + msg(RmtDsktpMsg::eLeftUp, 120, 60));
    QVERIFY(m_desk.waitButtons(2, kWaitMs));
    QCOMPARE(m_desk.buttons().at(0).button, 1u);
    QCOMPARE(m_desk.buttons().at(0).root, QPoint(120, 60));
    QVERIFY(!m_desk.buttons().at(1).press);

    control.write(msg(RmtDsktpMsg::eRightDown, 400, 300) + msg(RmtDsktpMsg::eRightUp, 400, 300) +
                  msg(3, 500, 500) + msg(32, 500, 500) + "]]garbage" + "{\"type\":}" +
                  msg(RmtDsktpMsg::eWheel, 2, 0));
    QTRY_VERIFY_WITH_TIMEOUT(replayed.size() >= 6, kWaitMs);
    QVERIFY(m_desk.waitButtons(2 + 2 + 4, kWaitMs));
    QCOMPARE(m_desk.buttons().at(2).button, 3u);
    QCOMPARE(m_desk.buttons().at(2).root, QPoint(120, 60)); // right button: the cursor stayed
    QCOMPARE(m_desk.buttons().at(4).button, 4u);            // wheel up, two notches
    QCOMPARE(m_desk.pointer(), QPoint(120, 60));
    QList<int> ignored;
    for (const QList<QVariant>& r : replayed) {
        if (!r.at(3).toBool())
            ignored << r.at(0).toInt();
    }
    QCOMPARE(ignored, (QList<int>{3, 32}));

    // Shift, H, Shift up, I, Shift+1: "Hi!" in the focused window of the agent's display.
    const int keys[][2] = {{0x10, 1}, {'H', 1},  {'H', 0}, {0x10, 0}, {'I', 1},
                           {'I', 0},  {0x10, 1}, {'1', 1}, {'1', 0},  {0x10, 0}};
    QByteArray typing;
    for (const auto& k : keys)
        typing += msg(k[1] ? RmtDsktpMsg::eKeyDown : RmtDsktpMsg::eKeyUp, k[0], 0);
    control.write(typing);
    QVERIFY2(m_desk.waitText(QStringLiteral("Hi!"), kWaitMs), qPrintable(m_desk.text()));
}

// A begin while a run is active closes the earlier run first: its grabber ends, its control
// connection is closed, and the new grabber streams to the new port.
void TstDesktopAgent::secondBeginReplacesTheFirst()
{
    UdpSink first;
    UdpSink second;
    QVERIFY(first.bind() && second.bind());
    Run run1;
    QVERIFY(begin(first.port(), run1));
    QTcpSocket control;
    QVERIFY(connectControl(control, run1.controlPort));
    QSignalSpy gone(m_pWatch.get(), &RunWatch::sigSenderGone);

    Run run2;
    QVERIFY(begin(second.port(), run2));
    QCOMPARE(gone.size(), 1);
    QVERIFY(waitGone(run1.grabberPid, 2000));
    QVERIFY(control.state() == QAbstractSocket::UnconnectedState || control.waitForDisconnected(kWaitMs));
    QVERIFY(platform::processAlive(run2.grabberPid));
    QVERIFY(second.waitBytes(4096, kWaitMs).startsWith(QByteArray::fromHex("000001b3")));

    // An end and a begin back to back: the begin arrives while the end waits for the run to close,
    // and is carried out after it, in order.
    UdpSink third;
    QVERIFY(third.bind());
    QSignalSpy grabbers(m_pWatch.get(), &RunWatch::sigGrabber);
    QVERIFY(sendCommand(eOperRmtDesktopEnd, 0));
    QVERIFY(sendCommand(eOperRmtDesktopBegin, third.port()));
    QVERIFY(third.waitBytes(4096, kWaitMs).startsWith(QByteArray::fromHex("000001b3")));
    QVERIFY(!platform::processAlive(run2.grabberPid));
    QTRY_COMPARE_WITH_TIMEOUT(grabbers.size(), 1, kWaitMs);
    QVERIFY(m_pMgr->hasRun());
}

// The end command returns once the grabber, the control server and the sender's thread are gone;
// an end without a run changes nothing; a run left open dies with the command server (shutdown).
void TstDesktopAgent::endClosesEverything()
{
    UdpSink sink;
    QVERIFY(sink.bind());
    Run run;
    QVERIFY(begin(sink.port(), run));
    QSignalSpy gone(m_pWatch.get(), &RunWatch::sigSenderGone);
    QVERIFY(sendCommand(eOperRmtDesktopEnd, 0));
    QVERIFY(gone.wait(kWaitMs));
    QVERIFY(!platform::processAlive(run.grabberPid));
    QTRY_VERIFY_WITH_TIMEOUT(!m_pMgr->hasRun(), kWaitMs);
    QTcpSocket control;
    control.connectToHost(QHostAddress::LocalHost, run.controlPort);
    QVERIFY(!control.waitForConnected(2000));
    QVERIFY(!m_pMgr->hasRun());

    QSignalSpy accepted(m_pServer->object(), &SimuTcpRcvObj::sigCommandAccepted);
    QVERIFY(sendCommand(eOperRmtDesktopEnd, 0));
    QTRY_COMPARE_WITH_TIMEOUT(accepted.size(), 1, kWaitMs);
    QVERIFY(!m_pMgr->hasRun());

    QVERIFY(begin(sink.port(), run));
    m_pServer.reset();
    QVERIFY(!platform::processAlive(run.grabberPid));
}

// ---------------------------------------------------------------------------------------------
// Namespaces: the agent at 10.77.0.2 began a run for the console at 10.77.0.1; a control
// connection from 10.77.0.3 is closed at once and replays nothing, the console's own is served.

namespace {

bool runIn(const QString& ns, const std::function<void()>& fn, QString& error)
{
    std::thread worker([&] {
        NetnsSwitch in;
        if (in.enter(ns, error))
            fn();
    });
    worker.join();
    return error.isEmpty();
}

// Connects from the namespace's thread, writes a move, and tells whether the agent closed it.
bool closedByAgent(const QString& ns, QPoint to, int waitMs, QString& error)
{
    bool closed = false;
    runIn(
        ns,
        [&] {
            QTcpSocket socket;
            socket.connectToHost(QStringLiteral("10.77.0.2"), RmtDsktpMsg::kControlPort);
            if (!socket.waitForConnected(kWaitMs)) {
                error = QStringLiteral("no control connection from %1: %2").arg(ns, socket.errorString());
                return;
            }
            socket.write(msg(RmtDsktpMsg::eMouseMove, to.x(), to.y()));
            socket.waitForBytesWritten(kWaitMs);
            closed =
                socket.state() == QAbstractSocket::UnconnectedState || socket.waitForDisconnected(waitMs);
        },
        error);
    return closed;
}

} // namespace

void TstDesktopAgent::controlFromAnotherAddressRefused()
{
    if (::geteuid() != 0)
        QSKIP("network namespaces need root; this test runs as root in CI");
    QString prefix;
    const ToolRun up = lanUp(QStringLiteral("tvdesk"), prefix);
    if (up.exitCode == 3)
        QSKIP(qPrintable(QStringLiteral("no network namespaces here: ") + up.output));
    QVERIFY2(up.exitCode == 0, qPrintable(up.output));
    auto down = qScopeGuard([&] { lanns({QStringLiteral("down"), prefix}); });

    // The agent's run lives on a thread in the agent's namespace (its sockets are made there), on
    // the real control port: the namespace has ports of its own.
    QThread agentThread;
    auto* pCtx = new QObject;
    pCtx->moveToThread(&agentThread);
    connect(&agentThread, &QThread::finished, pCtx, &QObject::deleteLater);
    agentThread.start();
    QString error;
    DesktopRunMgr* pMgr = nullptr;
    QMetaObject::invokeMethod(
        pCtx,
        [&] {
            const int target = ::open(
                QFile::encodeName(QStringLiteral("/run/netns/") + prefix + QStringLiteral("-a")).constData(),
                O_RDONLY);
            if (target < 0 || ::setns(target, CLONE_NEWNET) != 0)
                error = QStringLiteral("cannot enter the agent's namespace");
            if (target >= 0)
                ::close(target);
            pMgr = new DesktopRunMgr(nullptr, RmtDsktpMsg::kControlPort,
                                     QStringLiteral("/nonexistent/ToviaMpeg.exe"));
        },
        Qt::BlockingQueuedConnection);
    auto stopAgent = qScopeGuard([&] {
        QMetaObject::invokeMethod(
            pCtx, [&] { delete pMgr; }, Qt::BlockingQueuedConnection);
        agentThread.quit();
        agentThread.wait(kWaitMs);
    });
    QVERIFY2(error.isEmpty(), qPrintable(error));
    RunWatch watch(pMgr);
    QSignalSpy listening(&watch, &RunWatch::sigListening);
    QSignalSpy replayed(&watch, &RunWatch::sigReplayed);
    QMetaObject::invokeMethod(
        pCtx, [&] { pMgr->beginRmtDsktp(QStringLiteral("10.77.0.1"), 6001); }, Qt::BlockingQueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(!listening.isEmpty(), kWaitMs);
    QCOMPARE(listening.first().first().value<quint16>(), RmtDsktpMsg::kControlPort);

    const QPoint before = m_desk.pointer();
    QVERIFY2(closedByAgent(prefix + QStringLiteral("-b"), QPoint(33, 44), kWaitMs, error), qPrintable(error));
    QVERIFY(error.isEmpty());
    QVERIFY(!closedByAgent(prefix + QStringLiteral("-con"), QPoint(55, 66), 1000, error));
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(replayed.size(), 1, kWaitMs);
    QCOMPARE(replayed.first().at(1).toInt(), 55);
    QVERIFY(before != QPoint(33, 44));
    QCOMPARE(m_desk.pointer(), QPoint(55, 66));
}

QTEST_MAIN(TstDesktopAgent)
#include "tst_desktop_agent.moc"
