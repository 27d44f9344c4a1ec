#include "notifierrun.h"

#include "jsoncodec.h"
#include "loginret.h"
#include "operloggerobj.h"
#include "simusettings.h"

#include <QAtomicInt>
#include <QBuffer>
#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QTcpSocket>
#include <QTimer>

namespace {

QAtomicInt g_resultPort(NotifierConfig::kResultPort);
QAtomicInt g_attemptWaitMs(NotifierConfig::kAttemptWaitMs);
QAtomicInt g_writeWaitMs(NotifierConfig::kWriteWaitMs);
QAtomicInt g_thumbnailPauseMs(NotifierConfig::kThumbnailPauseMs);

const char* const kDefaultTile = ":/res/vediobox/vedioBoxDef.png";

// Waits in a local event loop so that queued calls of the thread keep being served.
void waitInLoop(int ms)
{
    if (ms <= 0)
        return;
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The instance's stored state as the report leaves: one step later, and the outcome by operation.
void storeReportedState(const CCommResult& cRet, const struSimuOper& oper)
{
    if (oper.memuIdx.isEmpty())
        return; // a create names no instance yet
    SimuSettings::updateSimuRecord(oper.memuIdx, [&](struSimuRecord& rec) {
        rec.iTime += 1;
        switch (oper.iOperType) {
        case eOperStartup:
            rec.iPid = cRet.iExtraRet;
            rec.iState = cRet.iRet == 0 ? eStateRunning : eStateNotStarted;
            break;
        case eOperClose:
        case eOperDelete:
            rec.iState = eStateNotStarted;
            break;
        case eOperInstall:
            // Installing does not change whether the instance runs; the responder stores the
            // instance's real run state once its install is over.
            break;
        default:
            break;
        }
    });
}

// Up to six attempts; each occupies the attempt wait even when refused at once, so that a console
// whose result server is restarting still gets its report.
CCommResult connectToConsole(QTcpSocket& socket, const struSimuOper& oper, const CCommResult& cRetParam)
{
    CCommResult cRet;
    const int waitMs = g_attemptWaitMs.loadRelaxed();
    for (int attempt = 0; attempt < NotifierConfig::kConnectAttempts; ++attempt) {
        QElapsedTimer clock;
        clock.start();
        socket.connectToHost(oper.centerIP, quint16(g_resultPort.loadRelaxed()), QIODevice::ReadWrite);
        if (socket.waitForConnected(waitMs))
            return CCommResult();
        socket.abort();
        cRet = CCommResult::failure(ResultCode::NotifyConsoleFailed,
                                    QStringLiteral("客户端连接总控端(%1)失败").arg(oper.centerIP),
                                    cRetParam.str);
        operLog(cRet.str);
        qWarning() << "cannot connect Remote Client" << oper.centerIP << socket.errorString();
        if (attempt + 1 < NotifierConfig::kConnectAttempts)
            waitInLoop(waitMs - int(clock.elapsed()));
    }
    return cRet;
}

QByteArray thumbnailJpeg(const QString& memuIdx)
{
    QImage img(SimuSettings::screenshotBakPath(memuIdx));
    if (img.isNull())
        img.load(QString::fromLatin1(kDefaultTile));
    if (img.isNull()) {
        qWarning() << "NotifierRun: no thumbnail and no default tile, sending a blank one";
        img = QImage(NotifierConfig::kThumbnailWidth, NotifierConfig::kThumbnailHeight, QImage::Format_RGB32);
        img.fill(Qt::black);
    }
    return Thumbnail::encodeJpeg(img);
}

CCommResult writeAll(QTcpSocket& socket, const QByteArray& bytes)
{
    if (socket.write(bytes) < 0) {
        qWarning() << "NotifierRun socket write err:" << socket.errorString();
        CCommResult cRet = CCommResult::failure(
            ResultCode::NotifyConsoleFailed, QStringLiteral("客户端向总控写数据失败"), socket.errorString());
        operLog(cRet.str);
        return cRet;
    }
    const int waitMs = g_writeWaitMs.loadRelaxed();
    QElapsedTimer clock;
    clock.start();
    while (socket.bytesToWrite() > 0 && clock.elapsed() < waitMs) {
        if (!socket.waitForBytesWritten(int(waitMs - clock.elapsed())))
            break;
    }
    return CCommResult();
}

void closeSocket(QTcpSocket& socket)
{
    socket.disconnectFromHost();
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.waitForDisconnected(g_writeWaitMs.loadRelaxed());
}

} // namespace

CCommResult NotifierRun(const CCommResult& cRetParam, const struSimuOper& operIn)
{
    struSimuOper oper = operIn;
    storeReportedState(cRetParam, oper);
    oper.iTime += 1;

    QTcpSocket socket;
    CCommResult cRet = connectToConsole(socket, oper, cRetParam);
    if (cRet.iRet == 0) {
        oper.iReplyRet = cRetParam.iRet;
        oper.replyRet = cRetParam.str;
        cRet = writeAll(socket, JsonCodec::serializeCommandDoc({oper}, LoginRecord::userName()));
        if (cRet.iRet == 0 && oper.iOperType == eOperStartup && cRetParam.iRet == 0) {
            waitInLoop(g_thumbnailPauseMs.loadRelaxed());
            cRet = writeAll(socket, thumbnailJpeg(oper.memuIdx));
        }
        closeSocket(socket);
    }
    qWarning().noquote() << "NotifierRun cRetParam.str" << cRetParam.str << " cRetParam.iRet"
                         << cRetParam.iRet;
    return cRet;
}

namespace NotifierConfig {

void setResultPort(quint16 port)
{
    g_resultPort.storeRelaxed(port);
}

quint16 resultPort()
{
    return quint16(g_resultPort.loadRelaxed());
}

void setAttemptWaitMs(int ms)
{
    g_attemptWaitMs.storeRelaxed(ms);
}

int attemptWaitMs()
{
    return g_attemptWaitMs.loadRelaxed();
}

void setWriteWaitMs(int ms)
{
    g_writeWaitMs.storeRelaxed(ms);
}

int writeWaitMs()
{
    return g_writeWaitMs.loadRelaxed();
}

void setThumbnailPauseMs(int ms)
{
    g_thumbnailPauseMs.storeRelaxed(ms);
}

int thumbnailPauseMs()
{
    return g_thumbnailPauseMs.loadRelaxed();
}

void reset()
{
    setResultPort(kResultPort);
    setAttemptWaitMs(kAttemptWaitMs);
    setWriteWaitMs(kWriteWaitMs);
    setThumbnailPauseMs(kThumbnailPauseMs);
}

} // namespace NotifierConfig
