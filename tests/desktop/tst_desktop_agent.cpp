// The agent's side of the remote desktop, in-process: the command server takes begin and end
// commands from a test acting as the console, the real grabber (ToviaMpeg.exe) streams the test's
// own X display to a UDP socket of the test, and control messages are replayed there with XTest.
// A second console is played from 127.0.0.2. The refusal of a control connection from another
// address runs in network namespaces.
#include "consoleharness.h"
#include "desktopgrabber.h"
#include "desktoprunmgr.h"
#include "desktopvideosender.h"
#include "farmtrust.h"
#include "grabberrecord.h"
#include "jsonsplitter.h"
#include "lannet.h"
#include "platform.h"
#include "rmtdsktpmsg.h"
#include "simusettings.h"
#include "simutcprcvobj.h"
#include "xdesk.h"

#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <thread>
#include <unistd.h>

namespace {

const QString kUser = QStringLiteral("deskuser");
constexpr int kWaitMs = 15000;
const QHostAddress kSecondConsole(QStringLiteral("127.0.0.2"));

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

// An executable script in dir; the grabbers of the failure tests.
QString writeScript(const QString& dir, const QString& name, const QByteArray& body)
{
    const QString path = dir + QLatin1Char('/') + name;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write("#!/bin/bash\n" + body) < 0)
        return QString();
    f.close();
    f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    return path;
}

// A console's control connection as the test plays it: from a chosen address, naming a run.
class CtrlClient
{
public:
    bool open(quint16 port, const QString& runId, const QHostAddress& from = QHostAddress::LocalHost)
    {
        m_socket.bind(from);
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        if (!m_socket.waitForConnected(kWaitMs))
            return false;
        if (!runId.isEmpty())
            send(ConsoleClient::signedHello(runId));
        return true;
    }
    void send(const QByteArray& bytes)
    {
        m_socket.write(bytes);
        m_socket.waitForBytesWritten(kWaitMs);
    }
    // The agent's notice that the run ended; closes the connection then, as the console does.
    bool waitEnded(RmtDsktpMsg::Message& out, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        JsonSplitter splitter;
        QByteArray doc;
        while (!deadline.hasExpired()) {
            if (m_socket.bytesAvailable() == 0 && !m_socket.waitForReadyRead(50) &&
                m_socket.state() != QAbstractSocket::ConnectedState && m_socket.bytesAvailable() == 0)
                return false;
            splitter.append(m_socket.readAll());
            while (splitter.next(doc) == JsonSplitter::Complete) {
                if (RmtDsktpMsg::decode(doc, out) && out.type == RmtDsktpMsg::eRunEnded) {
                    m_socket.abort();
                    return true;
                }
            }
        }
        return false;
    }
    // True once the agent has closed the connection.
    bool waitClosed(int timeoutMs)
    {
        return m_socket.state() == QAbstractSocket::UnconnectedState ||
               m_socket.waitForDisconnected(timeoutMs);
    }
    void close() { m_socket.abort(); }

private:
    QTcpSocket m_socket;
};

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
                const QString runId = pSender->runId();
                connect(pSender, &DesktopVideoSender::sigControlListening, this,
                        [this, runId](quint16 port) { emit sigListening(port, runId); });
                connect(pSender, &DesktopVideoSender::sigGrabberStarted, this,
                        [this, runId](qint64 pid) { emit sigGrabber(pid, runId); });
                connect(pSender, &DesktopVideoSender::sigMsgReplayed, this, &RunWatch::sigReplayed);
                connect(pSender, &DesktopVideoSender::sigRunEnded, this, &RunWatch::sigEnded);
                connect(pSender, &QObject::destroyed, this, &RunWatch::sigSenderGone);
            },
            Qt::DirectConnection);
    }
signals:
    // With the run id of the run they come from.
    void sigListening(quint16 port, QString runId);
    void sigGrabber(qint64 pid, QString runId);
    void sigReplayed(int type, int x, int y, bool replayed);
    void sigEnded(int reason, QString why);
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
    bool bind(const QHostAddress& address = QHostAddress::LocalHost) { return m_socket.bind(address, 0); }
    quint16 port() const { return m_socket.localPort(); }
    QByteArray waitBytes(int atLeast, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (m_bytes.size() < atLeast && !deadline.hasExpired()) {
            m_socket.waitForReadyRead(50);
            takePending();
        }
        return m_bytes;
    }
    // Forgets what arrived so far, also what waits unread.
    void clear()
    {
        takePending();
        m_bytes.clear();
    }

private:
    void takePending()
    {
        while (m_socket.hasPendingDatagrams()) {
            QByteArray datagram(int(m_socket.pendingDatagramSize()), '\0');
            m_socket.readDatagram(datagram.data(), datagram.size());
            m_bytes += datagram;
        }
    }

    QUdpSocket m_socket;
    QByteArray m_bytes;
};

const QByteArray kSequenceHeader = QByteArray::fromHex("000001b3");

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
    void namedRunServesOnlyItsOwnHello();
    void secondBeginReplacesTheFirst();
    void endClosesOnlyItsOwnConsolesRun();
    void runEndsWhenItsConsoleIsGone();
    void grabberFailuresReachTheConsole();
    void leftoverGrabbersAreEnded();
    void controlFromAnotherAddressRefused();

private:
    bool begin(quint16 udpPort, Run& run, const QString& runId = QString());
    bool sendCommand(int kind, int port, const QString& runId = QString());
    bool connectControl(QTcpSocket& socket, quint16 port);
    void restartServer(const QString& grabber);
    void onAgent(const std::function<void()>& fn);

    QTemporaryDir m_home;
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
    QVERIFY(m_home.isValid());
    SimuSettings::setDataDir(m_home.path());
    signIn(kUser);
}

void TstDesktopAgent::init()
{
    for (const char* key : {"desktop/attachGraceMs", "desktop/lostGraceMs", "desktop/silenceMs",
                            "desktop/grabberRestarts", "desktop/bitRateKbps"})
        SimuSettings::setValue(QString::fromLatin1(key), QVariant());
    restartServer(grabberPath());
    m_desk.clear();
}

void TstDesktopAgent::restartServer(const QString& grabber)
{
    m_pServer.reset();
    m_pServer = std::make_unique<AgentCommandServer>();
    // The manager goes with the command server onto its thread, as in the agent.
    m_pMgr = new DesktopRunMgr(m_pServer->object(), 0, grabber);
    m_pMgr->attach(m_pServer->object());
    m_pWatch = std::make_unique<RunWatch>(m_pMgr);
    QVERIFY(m_pServer->start());
}

void TstDesktopAgent::cleanup()
{
    m_pServer.reset(); // ends a run left open: the grabber dies with it
    m_pWatch.reset();
}

// Runs fn on the command server's thread, where the manager lives (a console at another address).
void TstDesktopAgent::onAgent(const std::function<void()>& fn)
{
    QMetaObject::invokeMethod(m_pMgr, fn, Qt::QueuedConnection);
}

bool TstDesktopAgent::sendCommand(int kind, int port, const QString& runId)
{
    const QString idx =
        kind == eOperRmtDesktopBegin ? QStringLiteral("remoteDesktop") : QStringLiteral("closeRmtDsktp");
    QList<struSimuOper> opers =
        ConsoleClient::makeOpers(kind, {idx}, int(QDateTime::currentSecsSinceEpoch()), port);
    opers.first().runId = runId;
    return ConsoleClient::send(m_pServer->port(), ConsoleClient::makeDoc(opers, kUser));
}

bool TstDesktopAgent::begin(quint16 udpPort, Run& run, const QString& runId)
{
    QSignalSpy listening(m_pWatch.get(), &RunWatch::sigListening);
    QSignalSpy grabber(m_pWatch.get(), &RunWatch::sigGrabber);
    if (!sendCommand(eOperRmtDesktopBegin, udpPort, runId))
        return false;
    // Waited for by their counts: the signals come from other threads, maybe before a wait() starts.
    // Signals of an earlier run may still be on their way: the run's own are taken.
    auto ofThisRun = [&runId](const QSignalSpy& spy) {
        for (const QList<QVariant>& args : spy) {
            if (args.at(1).toString() == runId)
                return args.first();
        }
        return QVariant();
    };
    if (!QTest::qWaitFor([&] { return ofThisRun(grabber).isValid() && ofThisRun(listening).isValid(); },
                         kWaitMs))
        return false;
    run.controlPort = ofThisRun(listening).value<quint16>();
    run.grabberPid = ofThisRun(grabber).value<qint64>();
    return run.controlPort != 0 && run.grabberPid > 0;
}

bool TstDesktopAgent::connectControl(QTcpSocket& socket, quint16 port)
{
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(kWaitMs);
}

// The begin command starts the grabber with the console's address and port, the bit rate of the
// settings and the explicit frame rate and key-picture interval; the grabber runs under its own
// path; an MPEG-2 stream (sequence header first) arrives.
void TstDesktopAgent::beginStreamsToTheConsole()
{
    SimuSettings::setValue(QStringLiteral("desktop/bitRateKbps"), 2500);
    UdpSink sink;
    QVERIFY(sink.bind());
    Run run;
    QVERIFY(begin(sink.port(), run));
    const QByteArray self = grabberPath().toUtf8() + ' ';
    QByteArray cmdline;
    QTRY_VERIFY_WITH_TIMEOUT((cmdline = cmdlineOf(run.grabberPid)).contains("-f x11grab"), kWaitMs);
    QVERIFY2(cmdline.startsWith(self) && cmdline.contains("-framerate 30") &&
                 cmdline.contains("-b:v 2500k -maxrate 2500k") && cmdline.contains("-g 30") &&
                 cmdline.contains(QStringLiteral("udp://127.0.0.1:%1").arg(sink.port()).toLatin1()),
             cmdline.constData());
    QVERIFY(platform::processRunsImage(run.grabberPid, grabberPath().toStdString()));
    QVERIFY(!platform::processRunsImage(run.grabberPid, (grabberPath() + "x").toStdString()));
    const QByteArray bytes = sink.waitBytes(4096, kWaitMs);
    QVERIFY2(bytes.startsWith(kSequenceHeader), bytes.left(8).toHex().constData());
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

// A begin that names its run serves only connections whose first message is the hello of that run:
// a viewer that reached the run with another run's hello, and one that starts with input, are
// closed and nothing they sent is replayed; the run's own hello, with input right behind it in the
// same write, is served.
void TstDesktopAgent::namedRunServesOnlyItsOwnHello()
{
    UdpSink sink;
    QVERIFY(sink.bind());
    Run run;
    QVERIFY(begin(sink.port(), run, QStringLiteral("run-a")));
    QSignalSpy replayed(m_pWatch.get(), &RunWatch::sigReplayed);
    CtrlClient other;
    QVERIFY(other.open(run.controlPort, QStringLiteral("run-b")));
    other.send(msg(RmtDsktpMsg::eMouseMove, 11, 12));
    QVERIFY(other.waitClosed(kWaitMs));
    CtrlClient plain;
    QVERIFY(plain.open(run.controlPort, QString()));
    plain.send(msg(RmtDsktpMsg::eMouseMove, 13, 14));
    QVERIFY(plain.waitClosed(kWaitMs));
    // The run's own id, but not from the console whose signed begin started it: a plain hello, one
    // signed with another key, one signed without the begin's binding, one for the command channel.
    const auto hello = [](const QByteArray& key, MsgAuth::eChannel channel, const QByteArray& binding) {
        QJsonObject o = RmtDsktpMsg::helloObject(QStringLiteral("run-a"));
        MsgAuth::signJson(o, key, channel, binding);
        return QJsonDocument(o).toJson(QJsonDocument::Compact);
    };
    const QByteArray binding = FarmTrust::runBinding(QStringLiteral("run-a"));
    QVERIFY(!binding.isEmpty());
    for (const QByteArray& forged : {RmtDsktpMsg::helloMessage(QStringLiteral("run-a")),
                                     hello(QByteArray(32, 'x'), MsgAuth::eChannel::DesktopControl, binding),
                                     hello(kTestFarmKey, MsgAuth::eChannel::DesktopControl, QByteArray()),
                                     hello(kTestFarmKey, MsgAuth::eChannel::Command, binding)}) {
        CtrlClient attacker;
        QVERIFY(attacker.open(run.controlPort, QString()));
        attacker.send(forged + msg(RmtDsktpMsg::eMouseMove, 15, 16));
        QVERIFY(attacker.waitClosed(kWaitMs));
    }
    QVERIFY(replayed.isEmpty());
    CtrlClient own;
    QVERIFY(own.open(run.controlPort, QString()));
    own.send(ConsoleClient::signedHello(QStringLiteral("run-a")) + msg(RmtDsktpMsg::eMouseMove, 70, 80));
    QTRY_COMPARE_WITH_TIMEOUT(replayed.size(), 1, kWaitMs);
    QCOMPARE(replayed.first().at(1).toInt(), 70);
    QCOMPARE(m_desk.pointer(), QPoint(70, 80));
    QVERIFY(m_pMgr->hasRun());
}

// A begin while a run is active closes the earlier run first: its grabber ends, its console is told
// on its control connection (taken over, with the other console's address; replaced, when the same
// console begins again), and the new grabber streams to the new port. An end and a begin back to
// back: the begin arrives while the end waits for the run to close, and is carried out after it.
void TstDesktopAgent::secondBeginReplacesTheFirst()
{
    UdpSink first;
    UdpSink second;
    QVERIFY(first.bind() && second.bind(kSecondConsole));
    Run run1;
    QVERIFY(begin(first.port(), run1, QStringLiteral("first")));
    CtrlClient control1;
    QVERIFY(control1.open(run1.controlPort, QStringLiteral("first")));
    QSignalSpy replayed(m_pWatch.get(), &RunWatch::sigReplayed);
    control1.send(msg(RmtDsktpMsg::eMouseMove, 5, 5)); // once it is replayed, the connection is the run's
    QTRY_COMPARE_WITH_TIMEOUT(replayed.size(), 1, kWaitMs);
    QSignalSpy gone(m_pWatch.get(), &RunWatch::sigSenderGone);
    QSignalSpy listening(m_pWatch.get(), &RunWatch::sigListening);
    const quint16 port2 = second.port();
    onAgent(
        [this, port2] { m_pMgr->beginRmtDsktp(kSecondConsole.toString(), port2, QStringLiteral("second")); });
    RmtDsktpMsg::Message told;
    QVERIFY(control1.waitEnded(told, kWaitMs));
    QCOMPARE(told.int1, int(RmtDsktpMsg::eEndTakenOver));
    QCOMPARE(told.text, kSecondConsole.toString());
    QTRY_VERIFY_WITH_TIMEOUT(gone.size() == 1 && listening.size() == 1, kWaitMs);
    QVERIFY(waitGone(run1.grabberPid, 2000));
    QVERIFY(second.waitBytes(4096, kWaitMs).startsWith(kSequenceHeader));

    CtrlClient control2;
    QVERIFY(
        control2.open(listening.first().first().value<quint16>(), QStringLiteral("second"), kSecondConsole));
    control2.send(msg(RmtDsktpMsg::eMouseMove, 6, 6));
    QTRY_COMPARE_WITH_TIMEOUT(replayed.size(), 2, kWaitMs);
    onAgent(
        [this, port2] { m_pMgr->beginRmtDsktp(kSecondConsole.toString(), port2, QStringLiteral("again")); });
    QVERIFY(control2.waitEnded(told, kWaitMs));
    QCOMPARE(told.int1, int(RmtDsktpMsg::eEndReplaced));

    UdpSink third;
    UdpSink fourth;
    QVERIFY(third.bind() && fourth.bind());
    Run run3;
    QVERIFY(begin(third.port(), run3, QStringLiteral("third")));
    QSignalSpy grabbers(m_pWatch.get(), &RunWatch::sigGrabber);
    QVERIFY(sendCommand(eOperRmtDesktopEnd, 0, QStringLiteral("third")));
    QVERIFY(sendCommand(eOperRmtDesktopBegin, fourth.port(), QStringLiteral("fourth")));
    QVERIFY(fourth.waitBytes(4096, kWaitMs).startsWith(kSequenceHeader));
    QVERIFY(!platform::processAlive(run3.grabberPid));
    QTRY_COMPARE_WITH_TIMEOUT(grabbers.size(), 1, kWaitMs);
    QVERIFY(m_pMgr->hasRun());
}

// An end closes the run only when the console that began it sends it, for that run (or naming none,
// as a console that names no run does): an end from another console, or for another run, changes
// nothing. The end returns once grabber, control server and thread are gone; an end without a run
// changes nothing; a run left open dies with the command server (the agent's shutdown), and its
// console is told so.
void TstDesktopAgent::endClosesOnlyItsOwnConsolesRun()
{
    UdpSink sink;
    QVERIFY(sink.bind());
    Run run;
    QVERIFY(begin(sink.port(), run, QStringLiteral("mine")));
    QSignalSpy gone(m_pWatch.get(), &RunWatch::sigSenderGone);
    QSignalSpy accepted(m_pServer->object(), &SimuTcpRcvObj::sigCommandAccepted);
    onAgent([this] { m_pMgr->endRmtDsktp(kSecondConsole.toString(), QStringLiteral("mine")); });
    QVERIFY(sendCommand(eOperRmtDesktopEnd, 0, QStringLiteral("not-mine")));
    QTRY_COMPARE_WITH_TIMEOUT(accepted.size(), 1, kWaitMs);
    QTest::qWait(300);
    QVERIFY(gone.isEmpty() && m_pMgr->hasRun());
    QVERIFY(platform::processAlive(run.grabberPid));

    QVERIFY(sendCommand(eOperRmtDesktopEnd, 0, QStringLiteral("mine")));
    QVERIFY(gone.wait(kWaitMs));
    QVERIFY(!platform::processAlive(run.grabberPid));
    QTRY_VERIFY_WITH_TIMEOUT(!m_pMgr->hasRun(), kWaitMs);
    QTcpSocket control;
    control.connectToHost(QHostAddress::LocalHost, run.controlPort);
    QVERIFY(!control.waitForConnected(2000));

    QVERIFY(sendCommand(eOperRmtDesktopEnd, 0));
    QTRY_COMPARE_WITH_TIMEOUT(accepted.size(), 3, kWaitMs);
    QVERIFY(!m_pMgr->hasRun());

    QVERIFY(begin(sink.port(), run));
    QVERIFY(sendCommand(eOperRmtDesktopEnd, 0));
    QVERIFY(gone.wait(kWaitMs));
    QVERIFY(waitGone(run.grabberPid, 2000));

    QVERIFY(begin(sink.port(), run));
    CtrlClient viewer;
    QVERIFY(viewer.open(run.controlPort, QString()));
    QTest::qWait(200);
    m_pServer.reset();
    QVERIFY(!platform::processAlive(run.grabberPid));
    RmtDsktpMsg::Message told;
    QVERIFY(viewer.waitEnded(told, kWaitMs));
    QCOMPARE(told.int1, int(RmtDsktpMsg::eEndAgentClosing));
}

// A run whose console is gone ends by itself, its grabber with it: no control connection within the
// attach grace; a connection lost (closed, or silent past the silence limit) and not back within
// the lost grace. A console that keeps sending heartbeats, or comes back in time, keeps its run, also
// while the grabber takes longer to start than all of these waits.
void TstDesktopAgent::runEndsWhenItsConsoleIsGone()
{
    QTemporaryDir dir;
    const QString slow =
        writeScript(dir.path(), QStringLiteral("ToviaMpeg.exe"),
                    QStringLiteral("sleep 2.5\nexec \"%1\" \"$@\"\n").arg(grabberPath()).toUtf8());
    QVERIFY(!slow.isEmpty());
    restartServer(slow);
    SimuSettings::setValue(QStringLiteral("desktop/attachGraceMs"), 1200);
    SimuSettings::setValue(QStringLiteral("desktop/lostGraceMs"), 800);
    SimuSettings::setValue(QStringLiteral("desktop/silenceMs"), 1000);
    UdpSink sink;
    QVERIFY(sink.bind());
    QSignalSpy ended(m_pWatch.get(), &RunWatch::sigEnded);
    QSignalSpy listening(m_pWatch.get(), &RunWatch::sigListening);
    QSignalSpy grabber(m_pWatch.get(), &RunWatch::sigGrabber);

    QVERIFY(sendCommand(eOperRmtDesktopBegin, sink.port(), QStringLiteral("nobody")));
    QVERIFY(ended.wait(kWaitMs));
    QCOMPARE(ended.first().at(0).toInt(), int(RmtDsktpMsg::eEndConsoleGone));
    QVERIFY2(ended.first().at(1).toString().contains(QStringLiteral("no control connection")),
             qPrintable(ended.first().at(1).toString()));
    QTRY_VERIFY_WITH_TIMEOUT(!m_pMgr->hasRun(), kWaitMs);

    ended.clear();
    listening.clear();
    grabber.clear();
    QVERIFY(sendCommand(eOperRmtDesktopBegin, sink.port(), QStringLiteral("kept")));
    QTRY_VERIFY_WITH_TIMEOUT(!listening.isEmpty(), kWaitMs);
    const quint16 port = listening.first().first().value<quint16>();
    CtrlClient control;
    QVERIFY(control.open(port, QStringLiteral("kept")));
    for (int beat = 0; beat < 10; ++beat) {
        QTest::qWait(300);
        control.send(RmtDsktpMsg::heartbeatMessage());
    }
    QVERIFY(ended.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!grabber.isEmpty(), kWaitMs);
    QVERIFY(sink.waitBytes(4096, kWaitMs).startsWith(kSequenceHeader));
    const qint64 pid = grabber.first().first().value<qint64>();

    control.close();
    QTest::qWait(300);
    CtrlClient back;
    QVERIFY(back.open(port, QStringLiteral("kept")));
    for (int beat = 0; beat < 4; ++beat) {
        QTest::qWait(300);
        back.send(RmtDsktpMsg::heartbeatMessage());
    }
    QVERIFY(ended.isEmpty() && platform::processAlive(pid));
    QElapsedTimer silent;
    silent.start();
    QVERIFY(ended.wait(kWaitMs));
    QVERIFY2(silent.elapsed() >= 1000, qPrintable(QString::number(silent.elapsed())));
    QVERIFY2(ended.first().at(1).toString().contains(QStringLiteral("silent")),
             qPrintable(ended.first().at(1).toString()));
    QVERIFY(waitGone(pid, 2000));
    QTRY_VERIFY_WITH_TIMEOUT(!m_pMgr->hasRun(), kWaitMs);
}

// A grabber that cannot run is the begin's failure, told to the console once its control
// connection is there: a missing program (with its path), one that ends at once (with its last
// words); the run ends. One that dies while streaming is started again and the stream goes on; when
// it dies again beyond the restarts allowed, the console is told and the run ends.
void TstDesktopAgent::grabberFailuresReachTheConsole()
{
    QTemporaryDir dir;
    SimuSettings::setValue(QStringLiteral("desktop/grabberRestarts"), 1);
    const QString missing = dir.filePath(QStringLiteral("ToviaMpeg.exe"));
    const QString quick =
        writeScript(dir.path(), QStringLiteral("quick.exe"), "echo 'cannot open display :99' >&2\nexit 2\n");
    UdpSink sink;
    QVERIFY(sink.bind());
    RmtDsktpMsg::Message told;
    for (const auto& [grabber, said] : {std::make_pair(missing, missing),
                                        std::make_pair(quick, QStringLiteral("cannot open display :99"))}) {
        restartServer(grabber);
        QSignalSpy listening(m_pWatch.get(), &RunWatch::sigListening);
        QVERIFY(sendCommand(eOperRmtDesktopBegin, sink.port(), QStringLiteral("failing")));
        QTRY_VERIFY_WITH_TIMEOUT(!listening.isEmpty(), kWaitMs);
        CtrlClient control;
        QVERIFY(control.open(listening.first().first().value<quint16>(), QStringLiteral("failing")));
        QVERIFY2(control.waitEnded(told, kWaitMs), qPrintable(grabber));
        QCOMPARE(told.int1, int(RmtDsktpMsg::eEndGrabberFailed));
        QVERIFY2(told.text.contains(said), qPrintable(told.text));
        QTRY_VERIFY_WITH_TIMEOUT(!m_pMgr->hasRun(), kWaitMs);
    }

    restartServer(grabberPath());
    Run run;
    QVERIFY(begin(sink.port(), run, QStringLiteral("dying")));
    CtrlClient control;
    QVERIFY(control.open(run.controlPort, QStringLiteral("dying")));
    QSignalSpy grabbers(m_pWatch.get(), &RunWatch::sigGrabber);
    QVERIFY(sink.waitBytes(4096, kWaitMs).startsWith(kSequenceHeader));
    QTest::qWait(DesktopGrabber::kQuickExitMs + 300);
    ::kill(pid_t(run.grabberPid), SIGKILL);
    QTRY_COMPARE_WITH_TIMEOUT(grabbers.size(), 1, kWaitMs);
    const qint64 again = grabbers.first().first().value<qint64>();
    QVERIFY(again != run.grabberPid);
    sink.clear();
    QVERIFY(sink.waitBytes(4096, kWaitMs).startsWith(kSequenceHeader));
    QVERIFY(m_pMgr->hasRun());
    QTest::qWait(DesktopGrabber::kQuickExitMs + 300);
    ::kill(pid_t(again), SIGKILL);
    QVERIFY(control.waitEnded(told, kWaitMs));
    QCOMPARE(told.int1, int(RmtDsktpMsg::eEndGrabberStopped));
    QTRY_VERIFY_WITH_TIMEOUT(!m_pMgr->hasRun(), kWaitMs);
}

// Grabbers an earlier agent of this install left running are ended when the agent starts and at
// each begin; a recorded pid that runs another program, and a grabber of another install, are left.
void TstDesktopAgent::leftoverGrabbersAreEnded()
{
    UdpSink sink;
    QVERIFY(sink.bind());
    QTemporaryDir dir;
    const QString otherInstall = dir.filePath(QStringLiteral("ToviaMpeg.exe"));
    QVERIFY(QFile::copy(grabberPath(), otherInstall));
    const QString url = QStringLiteral("udp://127.0.0.1:%1").arg(sink.port());
    auto startGrabber = [&](const QString& program) {
        qint64 pid = 0;
        QProcess::startDetached(program, DesktopGrabber::arguments(url, 1000), QString(), &pid);
        return pid;
    };
    const qint64 left = startGrabber(grabberPath());
    const qint64 foreign = startGrabber(otherInstall);
    qint64 sleeper = 0;
    QProcess::startDetached(QStringLiteral("sleep"), {QStringLiteral("60")}, QString(), &sleeper);
    auto stopOthers = qScopeGuard([&] {
        platform::killProcessTree(foreign);
        platform::killProcessTree(sleeper);
    });
    QTRY_VERIFY_WITH_TIMEOUT(platform::processRunsImage(left, grabberPath().toStdString()) &&
                                 platform::processRunsImage(foreign, otherInstall.toStdString()),
                             kWaitMs);
    for (qint64 pid : {left, foreign, sleeper})
        GrabberRecord::add(pid);

    restartServer(grabberPath()); // the next agent starts
    QVERIFY(waitGone(left, kWaitMs));
    QVERIFY(platform::processAlive(foreign) && platform::processAlive(sleeper));

    const qint64 late = startGrabber(grabberPath());
    QTRY_VERIFY_WITH_TIMEOUT(platform::processRunsImage(late, grabberPath().toStdString()), kWaitMs);
    GrabberRecord::add(late);
    Run run;
    QVERIFY(begin(sink.port(), run));
    QVERIFY(waitGone(late, kWaitMs));
    QVERIFY(platform::processAlive(run.grabberPid) && platform::processAlive(foreign));
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
            pMgr = new DesktopRunMgr(nullptr, RmtDsktpMsg::kControlPort, grabberPath());
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
