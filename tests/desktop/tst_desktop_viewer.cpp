// The console's side of the remote desktop: the stream port choice, the mapping of mouse, keys and
// wheel to control messages, the window's fit to the screen, the decoder run's results (a scripted
// decoder) and its stop, what the window tells the user (a decoder fed by the test, the agent's
// control port played by the test), and the whole loop against the agent's sender in this process:
// begin, live pictures of the agent's X display, a click and typing landing there, close leaving
// nothing running.
#include "consoleharness.h"
#include "desktoprunmgr.h"
#include "desktopvideosender.h"
#include "latestframe.h"
#include "platform.h"
#include "remotedesktopobj.h"
#include "remotedesktopwnd.h"
#include "resultdisplay.h"
#include "rmtdsktpctrlobj.h"
#include "rmtdsktpmsg.h"
#include "rmtdsktpport.h"
#include "simusettings.h"
#include "simutcprcvobj.h"
#include "xdesk.h"

#include <algorithm>

#include <QPushButton>
#include <QScreen>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <deque>

namespace {

// The part of a hello that names the run, signed or not.
QByteArray helloOf(const QString& runId)
{
    return QByteArray("\"runId\":\"") + runId.toUtf8() + '"';
}

const QString kUser = QStringLiteral("deskuser");
constexpr int kWaitMs = 15000;

using Step = IDesktopDecoder::Step;

// A decoder that plays a script: open failures first, then the given steps; once the script is
// spent it blocks until the running flag is cleared, as a stream that stopped arriving does.
class ScriptedDecoder : public IDesktopDecoder
{
public:
    ScriptedDecoder(const std::atomic_bool* pRunning, int openFailures, std::deque<Step> steps)
        : m_pRunning(pRunning), m_openFailures(openFailures), m_steps(std::move(steps))
    {
    }
    CCommResult initNetwork() override { return CCommResult(); }
    CCommResult openInput(const QString&) override
    {
        if (m_openFailures-- > 0)
            return CCommResult::failure(RmtDsktpCode::OpenInputFailed, QStringLiteral("打开输入流失败"));
        return CCommResult();
    }
    CCommResult prepare() override { return CCommResult(); }
    Step step(QImage& picture, int& ffmpegRet) override
    {
        ffmpegRet = -5;
        if (m_steps.empty()) {
            while (m_pRunning->load())
                QThread::msleep(5);
            return Step::Stopped;
        }
        const Step s = m_steps.front();
        m_steps.pop_front();
        if (s == Step::Picture) {
            picture = QImage(1000, 500, QImage::Format_RGB32);
            picture.fill(Qt::green);
        }
        return s;
    }
    void close() override {}

private:
    const std::atomic_bool* m_pRunning;
    int m_openFailures;
    std::deque<Step> m_steps;
};

// A decoder whose pictures come while the test feeds it, as a stream that runs and stops.
class FedDecoder : public IDesktopDecoder
{
public:
    FedDecoder(const std::atomic_bool* pRunning, const std::atomic_bool* pFeeding)
        : m_pRunning(pRunning), m_pFeeding(pFeeding)
    {
    }
    CCommResult initNetwork() override { return CCommResult(); }
    CCommResult openInput(const QString&) override { return CCommResult(); }
    CCommResult prepare() override { return CCommResult(); }
    Step step(QImage& picture, int& ffmpegRet) override
    {
        ffmpegRet = 0;
        QThread::msleep(20);
        if (!m_pRunning->load())
            return Step::Stopped;
        if (!m_pFeeding->load())
            return Step::NoPicture;
        picture = QImage(640, 360, QImage::Format_RGB32);
        picture.fill(Qt::darkCyan);
        return Step::Picture;
    }
    void close() override {}

private:
    const std::atomic_bool* m_pRunning;
    const std::atomic_bool* m_pFeeding;
};

// The agent's control port as the test plays it: what the viewer writes, and notices back.
class FakeAgentCtrl
{
public:
    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }
    // The next connection, once its bytes contain `expected`.
    // A connection whose first bytes hold every one of `expected`.
    QTcpSocket* waitConnection(const QList<QByteArray>& expected, int timeoutMs)
    {
        if (!m_server.hasPendingConnections() && !m_server.waitForNewConnection(timeoutMs))
            return nullptr;
        QTcpSocket* pSocket = m_server.nextPendingConnection();
        QByteArray seen;
        QDeadlineTimer deadline(timeoutMs);
        const auto complete = [&] {
            return std::all_of(expected.begin(), expected.end(),
                               [&](const QByteArray& part) { return seen.contains(part); });
        };
        while (!complete() && !deadline.hasExpired()) {
            pSocket->waitForReadyRead(50);
            seen += pSocket->readAll();
        }
        return complete() ? pSocket : nullptr;
    }

private:
    QTcpServer m_server;
};

struct DecoderRun
{
    QList<CCommResult> results;
    QList<QSize> sizes;
    int frames = 0;
    bool finished = false;
};

// Runs a RemoteDesktopObj over the scripted decoder on a thread; stopAfterMs > 0 stops it then.
DecoderRun runDecoder(int openFailures, std::deque<Step> steps, int stopAfterMs = 0)
{
    DecoderRun run;
    struRmtDsktpTarget target;
    target.strAddr = QStringLiteral("127.0.0.1");
    target.iPort = 6001;
    auto* pObj = new RemoteDesktopObj(target, [&](const std::atomic_bool* pRunning) {
        return std::make_unique<ScriptedDecoder>(pRunning, openFailures, steps);
    });
    QThread thread;
    QObject::connect(pObj, &RemoteDesktopObj::sigReplyResult, [&](CCommResult* pRet) {
        run.results << *pRet;
        delete pRet;
    });
    QObject::connect(pObj, &RemoteDesktopObj::sigSizeChanged, [&](QSize s) { run.sizes << s; });
    QObject::connect(pObj, &RemoteDesktopObj::sigFrameReady,
                     [&] { run.frames = int(pObj->frames()->putCount()); });
    QObject::connect(&thread, &QThread::started, pObj, &RemoteDesktopObj::slInitRmtDsktpSocket);
    QObject::connect(&thread, &QThread::finished, pObj, &QObject::deleteLater);
    pObj->moveToThread(&thread);
    thread.start();
    if (stopAfterMs > 0) {
        QTest::qWait(stopAfterMs);
        pObj->stop();
        thread.quit();
    } else {
        QDeadlineTimer deadline(kWaitMs);
        while (run.results.isEmpty() && !deadline.hasExpired())
            QTest::qWait(10);
        thread.quit();
    }
    run.finished = thread.wait(1000);
    QTest::qWait(20);
    return run;
}

QList<QList<int>> messages(const QSignalSpy& spy)
{
    QList<QList<int>> out;
    for (const QList<QVariant>& m : spy)
        out << QList<int>{m.at(0).toInt(), m.at(1).toInt(), m.at(2).toInt()};
    return out;
}

quint16 freeTcpPort()
{
    QTcpServer server;
    server.listen(QHostAddress::AnyIPv4, 0);
    return server.serverPort();
}

} // namespace

class TstDesktopViewer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void portChoice();
    void inputIsMappedToAgentPixels();
    void windowFitsTheConsoleScreen();
    void viewerTellsTheUserWhatHappens();
    void decoderRunResults();
    void decoderJoinsARunningStream();
    void closeWhileNothingArrives();
    void liveViewOfTheAgent();

private:
    QStringList m_boxes;
    QTemporaryDir m_home;
};

void TstDesktopViewer::initTestCase()
{
    setResultBox([this](const QString&, const QString& text, bool) {
        m_boxes << text;
        return true;
    });
    QVERIFY(m_home.isValid());
    SimuSettings::setDataDir(m_home.path());
}

// 6000 plus the agent's last octet, skipping ports in use (a table, then the real one).
void TstDesktopViewer::portChoice()
{
    const QSet<int> listed{6037, 6038};
    auto table = [&](int port) { return listed.contains(port); };
    QCOMPARE(RmtDsktpPort::choose(QStringLiteral("192.168.1.37"), table, 0), 6039);
    QCOMPARE(RmtDsktpPort::choose(QStringLiteral("192.168.1.36"), table, 0), 6036);
    QCOMPARE(RmtDsktpPort::choose(QStringLiteral("no address"), table, 0), 6000);
    QCOMPARE(RmtDsktpPort::choose(
                 QStringLiteral("10.0.0.1"), [](int) { return true; }, 0),
             RmtDsktpPort::kLast);

    QUdpSocket bound;
    int octet = 0;
    while (octet < 256 && !bound.bind(QHostAddress::AnyIPv4, quint16(6000 + octet)))
        ++octet;
    QVERIFY(octet < 256);
    QVERIFY(RmtDsktpPort::choose(QStringLiteral("10.0.0.%1").arg(octet), {}, 0) > 6000 + octet);
}

// Presses, releases and moves map from the scaled window to the agent's pixels; the right button
// is sent too, other buttons not; nothing is sent before the first picture; keys go as virtual-key
// codes (auto-repeat releases dropped), the wheel in whole notches.
void TstDesktopViewer::inputIsMappedToAgentPixels()
{
    struRmtDsktpTarget target;
    RemoteDesktopWnd wnd(target);
    wnd.resize(750, 650);
    wnd.setMouseTracking(true); // as initWnd does, without its threads
    QSignalSpy sent(&wnd, &RemoteDesktopWnd::sigMouseClicked);
    QTest::mouseClick(&wnd, Qt::LeftButton, {}, QPoint(375, 325));
    QTest::keyClick(&wnd, Qt::Key_A);
    QCOMPARE(sent.size(), 0);

    wnd.slSetBkgImg(new QImage(1920, 1080, QImage::Format_RGB32));
    QTest::mousePress(&wnd, Qt::LeftButton, {}, QPoint(375, 325));
    QTest::mouseRelease(&wnd, Qt::LeftButton, {}, QPoint(375, 325));
    QTest::mouseClick(&wnd, Qt::RightButton, {}, QPoint(749, 0));
    QTest::mouseClick(&wnd, Qt::MiddleButton, {}, QPoint(10, 10));
    QMouseEvent move(QEvent::MouseMove, QPointF(10, 649), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&wnd, &move);
    // The picture keeps its aspect: beside it (here above and below), points go to its edge.
    const QList<QList<int>> mouse{{2, 960, 540}, {4, 960, 540}, {8, 1917, 0}, {16, 1917, 0}, {1, 25, 1079}};
    QCOMPARE(messages(sent), mouse);
    QCOMPARE(wnd.moveCount(), 1);

    sent.clear();
    // QTest presses and releases Shift around the key, as a keyboard does.
    QTest::keyClick(&wnd, Qt::Key_Exclam, Qt::ShiftModifier);
    QKeyEvent repeatRelease(QEvent::KeyRelease, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"), true);
    QApplication::sendEvent(&wnd, &repeatRelease);
    QTest::keyClick(&wnd, Qt::Key_Tab);
    QTest::keyClick(&wnd, Qt::Key_5, Qt::KeypadModifier);
    QWheelEvent wheel(QPointF(5, 5), QPointF(5, 5), QPoint(), QPoint(0, 300), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(&wnd, &wheel);
    const QList<QList<int>> keys{{256, 0x10, 0}, {256, '1', 0},  {257, '1', 0},
                                 {257, 0x10, 0}, {256, 0x09, 0}, {257, 0x09, 0},
                                 {256, 0x65, 0}, {257, 0x65, 0}, {258, 2, 0}};
    QCOMPARE(messages(sent), keys);

    // Ctrl held while the keyboard goes elsewhere is let go on the agent too.
    sent.clear();
    QTest::keyPress(&wnd, Qt::Key_Control);
    QFocusEvent focusOut(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QApplication::sendEvent(&wnd, &focusOut);
    QCOMPARE(messages(sent), (QList<QList<int>>{{256, 0x11, 0}, {257, 0x11, 0}}));
}

// A stream larger than the console's screen (60 % of a 3840 x 2160 desktop) opens a window that fits
// the screen's free area, the stream's aspect kept, and lies inside it; a small one opens at the size
// asked, centred. A picture of another aspect than the window is shown as large as fits, centred,
// and input maps through it.
void TstDesktopViewer::windowFitsTheConsoleScreen()
{
    RemoteDesktopWnd wnd{struRmtDsktpTarget()};
    wnd.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wnd));
    const QRect avail = wnd.screen()->availableGeometry();
    wnd.slSizeChanged(QSize(2304, 1296));
    QVERIFY2(avail.contains(wnd.frameGeometry()),
             qPrintable(
                 QStringLiteral("%1,%2 %3x%4").arg(wnd.x()).arg(wnd.y()).arg(wnd.width()).arg(wnd.height())));
    QVERIFY(wnd.width() < 2304 && qAbs(wnd.width() * 1296 - wnd.height() * 2304) <= 2304);
    wnd.slSizeChanged(QSize(300, 200));
    QCOMPARE(wnd.size(), QSize(300, 200));
    QVERIFY(qAbs(wnd.frameGeometry().center().x() - avail.center().x()) <= 1);

    QCOMPARE(RemoteDesktopWnd::pictureRect(QSize(1000, 500), QSize(1000, 1000)), QRectF(250, 0, 500, 500));
    QCOMPARE(RemoteDesktopWnd::mapToAgent(QPointF(250, 0), QSize(1000, 500), QSize(1000, 1000)),
             QPoint(0, 0));
    QCOMPARE(RemoteDesktopWnd::mapToAgent(QPointF(500, 250), QSize(1000, 500), QSize(1000, 1000)),
             QPoint(500, 500));
    QCOMPARE(RemoteDesktopWnd::mapToAgent(QPointF(10, 499), QSize(1000, 500), QSize(1000, 1000)),
             QPoint(0, 998));
}

// What the window tells: it opens at once, waiting, though 30 stream ports are in use and each
// costs the port choice a pause; then that no picture came; nothing while pictures come; that they
// stopped; that the agent's run was taken over (the control channel closes then). Its button begins
// a new run: a new run id on the same port, a new control connection whose hello names it. A
// grabber the agent could not start is told with the agent's words, and later pictures do not hide
// it. The control channel's hello names the begin's run, and heartbeats follow.
void TstDesktopViewer::viewerTellsTheUserWhatHappens()
{
    std::vector<std::unique_ptr<QUdpSocket>> used;
    for (quint16 port = 6001; port <= 6030; ++port) {
        used.push_back(std::make_unique<QUdpSocket>());
        used.back()->bind(QHostAddress::AnyIPv4, port);
    }
    FakeAgentCtrl agent;
    QVERIFY(agent.listen());
    std::atomic_bool feeding{false};
    struRmtDsktpTarget target;
    target.strAddr = QStringLiteral("127.0.0.1");
    auto* pWnd = new RemoteDesktopWnd(target);
    pWnd->setDecoderFactory([&feeding](const std::atomic_bool* pRunning) {
        return std::make_unique<FedDecoder>(pRunning, &feeding);
    });
    pWnd->setControlPort(agent.port());
    pWnd->setPictureWaits(700, 500);
    pWnd->setHeartbeatMs(150);
    QSignalSpy begins(pWnd, &RemoteDesktopWnd::sigBeginRmtDsktp);
    QElapsedTimer clock;
    clock.start();
    pWnd->initWnd();
    pWnd->show();
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(QTest::qWaitForWindowExposed(pWnd));
    QCOMPARE(pWnd->viewState(), RemoteDesktopWnd::ViewState::Waiting);
    QVERIFY(pWnd->messageText().contains(QStringLiteral("正在连接")));
    QVERIFY(!pWnd->retryButton()->isVisible());

    QVERIFY(begins.wait(kWaitMs));
    const int port = begins.first().at(0).toInt();
    const QString run1 = begins.first().at(1).toString();
    QVERIFY2(port > 6030, qPrintable(QString::number(port)));
    QCOMPARE(pWnd->target().iPort, port);
    QTcpSocket* pConn = agent.waitConnection({helloOf(run1), RmtDsktpMsg::heartbeatMessage()}, kWaitMs);
    QVERIFY(pConn);

    QTRY_COMPARE_WITH_TIMEOUT(pWnd->viewState(), RemoteDesktopWnd::ViewState::NoPicture, kWaitMs);
    QVERIFY(pWnd->messageText().contains(QStringLiteral("没有收到")));
    QVERIFY(pWnd->retryButton()->isVisible());
    feeding = true;
    QTRY_COMPARE_WITH_TIMEOUT(pWnd->viewState(), RemoteDesktopWnd::ViewState::Live, kWaitMs);
    QVERIFY(pWnd->messageText().isEmpty() && !pWnd->retryButton()->isVisible());
    feeding = false;
    QTRY_COMPARE_WITH_TIMEOUT(pWnd->viewState(), RemoteDesktopWnd::ViewState::Stalled, kWaitMs);
    QVERIFY(pWnd->messageText().contains(QStringLiteral("中断")));

    pConn->write(RmtDsktpMsg::runEndedMessage(RmtDsktpMsg::eEndTakenOver, QStringLiteral("10.0.0.9")));
    QTRY_COMPARE_WITH_TIMEOUT(pWnd->viewState(), RemoteDesktopWnd::ViewState::Ended, kWaitMs);
    QVERIFY(pWnd->messageText().contains(QStringLiteral("10.0.0.9")) &&
            pWnd->messageText().contains(QStringLiteral("接管")));
    QVERIFY(pConn->state() == QAbstractSocket::UnconnectedState || pConn->waitForDisconnected(kWaitMs));

    QTest::mouseClick(pWnd->retryButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(begins.size(), 2, kWaitMs);
    QCOMPARE(begins.at(1).at(0).toInt(), port);
    const QString run2 = begins.at(1).at(1).toString();
    QVERIFY(!run2.isEmpty() && run2 != run1);
    QCOMPARE(pWnd->viewState(), RemoteDesktopWnd::ViewState::Waiting);
    QTcpSocket* pConn2 = agent.waitConnection({helloOf(run2)}, kWaitMs);
    QVERIFY(pConn2);
    feeding = true;
    QTRY_COMPARE_WITH_TIMEOUT(pWnd->viewState(), RemoteDesktopWnd::ViewState::Live, kWaitMs);

    pConn2->write(RmtDsktpMsg::runEndedMessage(RmtDsktpMsg::eEndGrabberFailed,
                                               QStringLiteral("ToviaMpeg.exe: No such file or directory")));
    QTRY_COMPARE_WITH_TIMEOUT(pWnd->viewState(), RemoteDesktopWnd::ViewState::Ended, kWaitMs);
    QVERIFY(pWnd->messageText().contains(QStringLiteral("无法启动屏幕采集程序")) &&
            pWnd->messageText().contains(QStringLiteral("No such file")));
    QTest::qWait(300);
    QCOMPARE(pWnd->viewState(), RemoteDesktopWnd::ViewState::Ended);
    pWnd->close();
    delete pWnd;
}

// Open failures, decode failures and read failures end a run with their codes; pictures come
// through the latest-frame buffer with the window size at 60 %; a stop ends a blocked run at once
// and reports nothing.
void TstDesktopViewer::decoderRunResults()
{
    DecoderRun open = runDecoder(RemoteDesktopObj::kOpenAttempts, {});
    QCOMPARE(open.results.size(), 1);
    QCOMPARE(open.results.first().iRet, RmtDsktpCode::OpenInputFailed);

    std::deque<Step> decodeErrors(11, Step::DecodeFailed);
    decodeErrors.push_front(Step::Picture);
    DecoderRun decode = runDecoder(3, decodeErrors);
    QCOMPARE(decode.results.first().iRet, RmtDsktpCode::DecodeFailed);
    QCOMPARE(decode.sizes, QList<QSize>{QSize(600, 300)});
    QCOMPARE(decode.frames, 1);

    // Ten failures in a row are survived when a success breaks the row.
    std::deque<Step> reads(10, Step::ReadFailed);
    reads.push_back(Step::NoPicture);
    reads.insert(reads.end(), 11, Step::ReadFailed);
    DecoderRun read = runDecoder(0, reads);
    QCOMPARE(read.results.first().iRet, RmtDsktpCode::ReadFailed);

    QElapsedTimer clock;
    clock.start();
    DecoderRun stopped = runDecoder(0, {Step::Picture, Step::Picture}, 200);
    QVERIFY(stopped.finished);
    QVERIFY(stopped.results.isEmpty());
    QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
}

// The real decoder joining a stream that runs already (a busy test picture, several datagrams a
// picture): what precedes the next key picture is skipped, then every picture is decoded whole.
void TstDesktopViewer::decoderJoinsARunningStream()
{
    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    if (ffmpeg.isEmpty())
        QSKIP("ffmpeg is not installed (package ffmpeg)");
    struRmtDsktpTarget target;
    target.strAddr = QStringLiteral("127.0.0.1");
    target.iPort = RmtDsktpPort::choose(target.strAddr, {}, 0);
    QProcess source;
    source.setProgram(ffmpeg);
    source.setArguments(QStringList{"-hide_banner",
                                    "-loglevel",
                                    "error",
                                    "-re",
                                    "-f",
                                    "lavfi",
                                    "-i",
                                    "testsrc2=size=640x360:rate=30",
                                    "-vcodec",
                                    "mpeg2video",
                                    "-b:v",
                                    "4M",
                                    "-g",
                                    "10",
                                    "-bf",
                                    "0",
                                    "-flush_packets",
                                    "1",
                                    "-f",
                                    "mpeg2video"}
                        << QStringLiteral("udp://127.0.0.1:%1").arg(target.iPort));
    source.start();
    QVERIFY(source.waitForStarted(kWaitMs));
    auto stopSource = qScopeGuard([&] {
        source.kill();
        source.waitForFinished(kWaitMs);
    });
    QTest::qWait(500);

    auto* pObj = new RemoteDesktopObj(target);
    QThread thread;
    QSignalSpy sizes(pObj, &RemoteDesktopObj::sigSizeChanged);
    QObject::connect(&thread, &QThread::started, pObj, &RemoteDesktopObj::slInitRmtDsktpSocket);
    QObject::connect(&thread, &QThread::finished, pObj, &QObject::deleteLater);
    const QSharedPointer<LatestFrame> frames = pObj->frames();
    pObj->moveToThread(&thread);
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(frames->putCount() >= 20, kWaitMs);
    pObj->stop();
    thread.quit();
    QVERIFY(thread.wait(2000));
    QCOMPARE(sizes.size(), 1);
    QCOMPARE(sizes.first().first().toSize(), QSize(384, 216));
    QCOMPARE(frames->take().size(), QSize(640, 360));
}

// The real decoder on a port where nothing arrives: the begin is asked for once the port is bound;
// closing ends the decoder thread at once (no terminate), frees the port, ends the control
// thread, and asks for the end command; no message box appears.
void TstDesktopViewer::closeWhileNothingArrives()
{
    m_boxes.clear();
    struRmtDsktpTarget target;
    target.strAddr = QStringLiteral("127.0.0.1");
    target.iPort = RmtDsktpPort::choose(target.strAddr, {}, 0);
    auto* pWnd = new RemoteDesktopWnd(target);
    pWnd->setControlPort(freeTcpPort());
    QSignalSpy begin(pWnd, &RemoteDesktopWnd::sigBeginRmtDsktp);
    QSignalSpy closed(pWnd, &RemoteDesktopWnd::sigRemoteDesktopWndClosed);
    pWnd->initWnd();
    pWnd->show();
    QVERIFY(begin.wait(kWaitMs));
    QCOMPARE(begin.first().first().toInt(), target.iPort);
    QVERIFY(platform::isUdpPortListened(quint16(target.iPort)));
    QPointer<QThread> decoder = pWnd->decoderThread();
    QPointer<QThread> control = pWnd->controlThread();
    QTest::qWait(300);

    QElapsedTimer clock;
    clock.start();
    pWnd->close();
    QCOMPARE(closed.size(), 1);
    QVERIFY2(clock.elapsed() < 200, "closing the window does not wait");
    QTRY_VERIFY_WITH_TIMEOUT(decoder.isNull() && control.isNull(), 2000);
    QVERIFY(!platform::isUdpPortListened(quint16(target.iPort)));
    delete pWnd;
    QVERIFY(m_boxes.isEmpty());
}

// The whole loop on this machine: the console's window asks for the begin command, the agent's
// sender streams its X display, pictures of it are shown at 60 % of its size, a click in the
// window lands at the agent pixel under it, typed keys reach the agent's focused window, and
// closing sends the end command: grabber, threads and port are gone. The agent still has a run of
// this console's address (left by a console that crashed) when the viewer opens, and the begin is
// late: the control channel first reaches that run, and still ends up serving the viewer's own.
// The grabber is slower to start than the agent's waits for its console (scaled down together
// with the viewer's heartbeat).
void TstDesktopViewer::liveViewOfTheAgent()
{
    XDesk desk;
    QString why;
    if (!desk.open(why))
        QSKIP(qPrintable(why));
    const QString grabber = qEnvironmentVariable("TOVIA_BIN_DIR") + QStringLiteral("/ToviaMpeg.exe");
    if (!QFile::exists(grabber) || QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty())
        QSKIP("ToviaMpeg.exe not built or ffmpeg not installed");
    signIn(kUser);
    desk.fill(QColor(200, 30, 30));
    QTemporaryDir dir;
    const QString slow = dir.filePath(QStringLiteral("ToviaMpeg.exe"));
    QFile script(slow);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/bash\nsleep 1.5\nexec \"%1\" \"$@\"\n").arg(grabber).toUtf8());
    script.close();
    script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
    SimuSettings::setValue(QStringLiteral("desktop/lostGraceMs"), 600);
    SimuSettings::setValue(QStringLiteral("desktop/silenceMs"), 900);
    auto resetSettings = qScopeGuard([] {
        SimuSettings::setValue(QStringLiteral("desktop/lostGraceMs"), QVariant());
        SimuSettings::setValue(QStringLiteral("desktop/silenceMs"), QVariant());
    });

    const quint16 controlPort = freeTcpPort();
    AgentCommandServer server;
    auto* pMgr = new DesktopRunMgr(server.object(), controlPort, slow);
    pMgr->attach(server.object());
    qint64 grabberPid = 0;
    connect(
        pMgr, &DesktopRunMgr::sigRunStarted, this,
        [&](DesktopVideoSender* pSender) {
            connect(pSender, &DesktopVideoSender::sigGrabberStarted, this,
                    [&](qint64 pid) { grabberPid = pid; });
        },
        Qt::DirectConnection);
    QVERIFY(server.start());
    auto command = [&](int kind, int port, const QString& runId) {
        const QString idx =
            kind == eOperRmtDesktopBegin ? QStringLiteral("remoteDesktop") : QStringLiteral("closeRmtDsktp");
        QList<struSimuOper> opers =
            ConsoleClient::makeOpers(kind, {idx}, int(QDateTime::currentSecsSinceEpoch()), port);
        opers.first().runId = runId;
        ConsoleClient::send(server.port(), ConsoleClient::makeDoc(opers, kUser));
    };
    command(eOperRmtDesktopBegin, 6999, QStringLiteral("left-by-a-crash"));
    QTRY_VERIFY_WITH_TIMEOUT(pMgr->hasRun(), kWaitMs);

    struRmtDsktpTarget target;
    target.strAddr = QStringLiteral("127.0.0.1");
    target.strName = QStringLiteral("模拟器1");
    target.strTitle = QStringLiteral("机房一");
    auto* pWnd = new RemoteDesktopWnd(target);
    pWnd->setControlPort(controlPort);
    pWnd->setHeartbeatMs(200);
    QString runId;
    connect(pWnd, &RemoteDesktopWnd::sigBeginRmtDsktp, this, [&](int port, const QString& id) {
        runId = id;
        QTimer::singleShot(500, this, [&, port] { command(eOperRmtDesktopBegin, port, runId); });
    });
    connect(pWnd, &RemoteDesktopWnd::sigRemoteDesktopWndClosed, this,
            [&] { command(eOperRmtDesktopEnd, 0, runId); });
    pWnd->initWnd();
    pWnd->show();
    QCOMPARE(pWnd->windowTitle(), QStringLiteral("机房一-模拟器1 远程操控窗口"));
    QSignalSpy connected(pWnd->controlObj(), &RmtDsktpCtrlObj::sigConnected);

    const QSize screen = desk.screenSize();
    QTRY_VERIFY_WITH_TIMEOUT(pWnd->picture().size() == screen, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(pWnd->size(), QSize(int(screen.width() * 0.6), int(screen.height() * 0.6)),
                              kWaitMs);
    const QColor seen = pWnd->picture().pixelColor(screen.width() / 4, screen.height() / 4);
    QVERIFY2(qAbs(seen.red() - 200) < 40 && seen.green() < 70 && seen.blue() < 70, qPrintable(seen.name()));
    // The run left by the crash took the connection first and turned it away; then the viewer's own.
    QTRY_VERIFY_WITH_TIMEOUT(connected.size() >= 2, kWaitMs);

    const QPoint local(pWnd->width() / 2, pWnd->height() / 3);
    const QPoint agent = RemoteDesktopWnd::mapToAgent(local, pWnd->size(), screen);
    QTest::mouseClick(pWnd, Qt::LeftButton, {}, local);
    QVERIFY(desk.waitButtons(2, kWaitMs));
    QCOMPARE(desk.buttons().first().root, agent);
    QCOMPARE(desk.pointer(), agent);

    QTest::keyClick(pWnd, Qt::Key_O, Qt::ShiftModifier);
    QTest::keyClicks(pWnd, QStringLiteral("k"));
    QVERIFY2(desk.waitText(QStringLiteral("Ok"), kWaitMs), qPrintable(desk.text()));

    QPointer<QThread> decoder = pWnd->decoderThread();
    QPointer<QThread> control = pWnd->controlThread();
    pWnd->close();
    QTRY_VERIFY_WITH_TIMEOUT(!pMgr->hasRun(), kWaitMs);
    QVERIFY(grabberPid > 0 && !platform::processAlive(grabberPid));
    QTRY_VERIFY_WITH_TIMEOUT(decoder.isNull() && control.isNull(), 2000);
    QVERIFY(!platform::isUdpPortListened(quint16(target.iPort)));
    delete pWnd;
}

QTEST_MAIN(TstDesktopViewer)
#include "tst_desktop_viewer.moc"
