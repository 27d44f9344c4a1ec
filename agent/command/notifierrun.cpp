#include "notifierrun.h"

#include "agentlogging.h"
#include "farmtrust.h"
#include "jsoncodec.h"
#include "loginret.h"
#include "operloggerobj.h"
#include "shotthumbcache.h"
#include "simusettings.h"
#include "simustatestore.h"
#include "thumbnail.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QTcpSocket>
#include <QTimer>

namespace {

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

} // namespace

// The instance's stored state as the report leaves: one step later, and the outcome by operation.
void StoreReportedState(const CCommResult& cRet, const struSimuOper& oper)
{
    if (oper.memuIdx.isEmpty())
        return; // a create names no instance yet
    SimuStateStore::instance().update(oper.memuIdx, [&](struSimuRecord& rec) {
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

namespace {

// Up to six attempts; each occupies the attempt wait even when refused at once, so that a console
// whose result server is restarting still gets its report.
CCommResult connectToConsole(QTcpSocket& socket, const struSimuOper& oper, const CCommResult& cRetParam,
                             const struNotifierOptions& options)
{
    CCommResult cRet;
    const int waitMs = options.attemptWaitMs;
    for (int attempt = 0; attempt < struNotifierOptions::kConnectAttempts; ++attempt) {
        QElapsedTimer clock;
        clock.start();
        socket.connectToHost(oper.centerIP, options.resultPort, QIODevice::ReadWrite);
        if (socket.waitForConnected(waitMs))
            return CCommResult();
        socket.abort();
        cRet = CCommResult::failure(ResultCode::NotifyConsoleFailed,
                                    QStringLiteral("客户端连接总控端(%1)失败").arg(oper.centerIP),
                                    cRetParam.str);
        operLog(cRet.str);
        qCWarning(lcCommand) << "cannot connect Remote Client" << oper.centerIP << socket.errorString();
        if (attempt + 1 < struNotifierOptions::kConnectAttempts)
            waitInLoop(waitMs - int(clock.elapsed()));
    }
    return cRet;
}

QByteArray thumbnailJpeg(const QString& memuIdx)
{
    const QByteArray jpeg = ShotThumbCache::instance().jpegOf(SimuSettings::screenshotBakPath(memuIdx));
    if (!jpeg.isEmpty())
        return jpeg;
    QImage img(QString::fromLatin1(kDefaultTile));
    if (img.isNull()) {
        qCWarning(lcCommand) << "NotifierRun: no thumbnail and no default tile, sending a blank one";
        img = QImage(Thumbnail::kWidth, Thumbnail::kHeight, QImage::Format_RGB32);
        img.fill(Qt::black);
    }
    return Thumbnail::encodeJpeg(img);
}

CCommResult writeAll(QTcpSocket& socket, const QByteArray& bytes, int waitMs)
{
    if (socket.write(bytes) < 0) {
        qCWarning(lcCommand) << "NotifierRun socket write err:" << socket.errorString();
        CCommResult cRet = CCommResult::failure(
            ResultCode::NotifyConsoleFailed, QStringLiteral("客户端向总控写数据失败"), socket.errorString());
        operLog(cRet.str);
        return cRet;
    }
    QElapsedTimer clock;
    clock.start();
    while (socket.bytesToWrite() > 0 && clock.elapsed() < waitMs) {
        if (!socket.waitForBytesWritten(int(waitMs - clock.elapsed())))
            break;
    }
    return CCommResult();
}

void closeSocket(QTcpSocket& socket, int waitMs)
{
    socket.disconnectFromHost();
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.waitForDisconnected(waitMs);
}

} // namespace

CCommResult NotifierRun(const CCommResult& cRetParam, const struSimuOper& operIn,
                        const struNotifierOptions& options)
{
    StoreReportedState(cRetParam, operIn);
    return ReportToConsole(cRetParam, operIn, options);
}

CCommResult ReportToConsole(const CCommResult& cRetParam, const struSimuOper& operIn,
                            const struNotifierOptions& options)
{
    struSimuOper oper = operIn;
    oper.iTime += 1;

    QTcpSocket socket;
    CCommResult cRet = connectToConsole(socket, oper, cRetParam, options);
    if (cRet.iRet == 0) {
        oper.iReplyRet = cRetParam.iRet;
        oper.replyRet = cRetParam.str;
        // The thumbnail's digest is signed with the document, so that nobody can swap the picture.
        const bool withThumbnail = oper.iOperType == eOperStartup && cRetParam.iRet == 0;
        const QByteArray jpeg = withThumbnail ? thumbnailJpeg(oper.memuIdx) : QByteArray();
        cRet = writeAll(
            socket, FarmTrust::commandDoc({oper}, LoginRecord::userName(), MsgAuth::eChannel::Result, jpeg),
            options.writeWaitMs);
        if (cRet.iRet == 0 && withThumbnail) {
            waitInLoop(options.thumbnailPauseMs);
            cRet = writeAll(socket, jpeg, options.writeWaitMs);
        }
        closeSocket(socket, options.writeWaitMs);
    }
    if (cRet.iRet != 0)
        qCWarning(lcCommand).noquote() << "result of operation" << oper.iOperType << "on" << oper.memuIdx
                                       << "not delivered to" << oper.centerIP << ":" << cRet.str;
    else
        qCDebug(lcCommand).noquote() << "NotifierRun cRetParam.str" << cRetParam.str << " cRetParam.iRet"
                                     << cRetParam.iRet;
    return cRet;
}
